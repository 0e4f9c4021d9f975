// The programming-data file (".prg"): the 12 signature bytes "ovu ProgData",
// the programming image (3578 bytes, PC byte order whatever the controller's
// firmware) and the socket table (119 bytes); 3709 bytes, no length field, no
// checksum.  The image's end marker makes a file valid.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "programming/Programmingdata.h"

using namespace ProgTransfer;

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using TFile = std::unique_ptr<std::FILE, FileCloser>;

template <class F, class... A>
void CallHook(const F& hook, A&&... args) {
  if (hook) hook(std::forward<A>(args)...);
}

std::string CaptionFor(const std::string& fileName) {
  return std::string(ProgrammingWindowCaption) + " [" + fileName + "]";
}

}  // namespace

bool TProgData::SaveToFile(const std::string& fileName) {
  TFile file(std::fopen(fileName.c_str(), "wb"));
  if (!file) {
    LinkMessageBox("Fehler beim Öffnen der Datei", "Datei Fehler", TBoxKind::Error);
    return false;
  }
  bool ok = std::fwrite(FileSignature, 1, FileSignatureSize, file.get()) == FileSignatureSize;
  CallHook(Hooks.SetCaption, CaptionFor(fileName));
  ok = ok && std::fwrite(ProgrammingImage.GetImageStart(), 1, ProgLayout::ImageSize, file.get()) ==
                 ProgLayout::ImageSize;
  ok = ok && std::fwrite(SocketTable.GetSocketTableStart(), 1, ProgLayout::SocketTableSize, file.get()) ==
                 ProgLayout::SocketTableSize;
  // A full disk shows only at the flush: the close is checked as well.
  ok = std::fclose(file.release()) == 0 && ok;
  if (!ok) {
    LinkMessageBox("Fehler beim Schreiben der Datei", "Datei Fehler", TBoxKind::Error);
    return false;
  }
  return true;
}

bool TProgData::LoadFromFile(const std::string& fileName) {
  TFile file(std::fopen(fileName.c_str(), "rb"));
  if (!file) {
    LinkMessageBox("Fehler beim öffen der Datei", "Datei öffnen", TBoxKind::Error);
    return false;
  }
  // One byte more than a file holds tells a complete file from a short one.
  std::array<std::uint8_t, FileSize + 1> bytes{};
  const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file.get());
  if (std::ferror(file.get())) {
    LinkMessageBox("Fehler beim öffen der Datei", "Datei öffnen", TBoxKind::Error);
    return false;
  }
  file.reset();

  if (got < FileSignatureSize || std::memcmp(bytes.data(), FileSignature, FileSignatureSize) != 0) {
    LinkMessageBox("Ungültiges Dateiformat!", "Datei öffnen", TBoxKind::Error);
    return false;
  }
  // A short file or one without the end marker is refused whole: the image
  // being edited is not traded for a partial one.
  TProgrammingImage image;
  std::memcpy(image.Bytes.data(), bytes.data() + FileImageOffset, ProgLayout::ImageSize);
  bool valid = false;
  if (got < FileSize || !CheckImageMarker(valid, image)) {
    LinkMessageBox("Fehler beim Einlesen: ungültige Daten.", "Datei öffnen", TBoxKind::Error);
    return false;
  }

  CallHook(Hooks.DisableAllPages);
  CallHook(Hooks.SetCaption, CaptionFor(fileName));
  ProgrammingImage = image;
  std::memcpy(SocketTable.Bytes.data(), bytes.data() + FileSocketOffset, ProgLayout::SocketTableSize);
  FImageValid = true;
  CallHook(Hooks.ShowAllPages);
  return true;
}
