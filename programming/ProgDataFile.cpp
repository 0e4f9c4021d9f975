// Implements programming/ProgDataFile.h and the file operations of TProgData
// (programming/ProgDataTransfer.h).
#include "programming/ProgDataFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "programming/ProgDataTransfer.h"

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

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A name beside the file that no other save uses at the same time.
std::string TemporaryNameFor(const std::string& fileName) {
  static std::atomic<unsigned> counter{0};
  return fileName + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

}  // namespace

std::string ProgrammingCaptionFor(const std::string& fileName) {
  return std::string(ProgrammingWindowCaption) + " [" + fileName + "]";
}

TProgFileResult WriteProgDataFile(const std::string& fileName, const TProgrammingImage& image,
                                  const TSocketTable& sockets) {
  std::uint8_t bytes[FileSize];
  std::memcpy(bytes, FileSignature, FileSignatureSize);
  std::memcpy(bytes + FileImageOffset, image.GetImageStart(), ProgLayout::ImageSize);
  std::memcpy(bytes + FileSocketOffset, sockets.GetSocketTableStart(), ProgLayout::SocketTableSize);

  // Where the old file is not writable, saving over it is refused as its opening would be.
  struct stat old {};
  const bool exists = ::stat(fileName.c_str(), &old) == 0;
  if (exists && (S_ISDIR(old.st_mode) || ::access(fileName.c_str(), W_OK) != 0))
    return TProgFileResult::OpenFailed;

  // A device or a pipe is written as it is: there is nothing to replace.
  if (exists && !S_ISREG(old.st_mode)) {
    const int fd = ::open(fileName.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return TProgFileResult::OpenFailed;
    bool ok = WriteAll(fd, bytes, sizeof bytes);
    ok = ::close(fd) == 0 && ok;
    return ok ? TProgFileResult::Ok : TProgFileResult::WriteFailed;
  }

  const std::string temporary = TemporaryNameFor(fileName);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return TProgFileResult::OpenFailed;
  bool ok = WriteAll(fd, bytes, sizeof bytes);
  if (ok && exists) ok = ::fchmod(fd, old.st_mode & 07777) == 0;
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), fileName.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return TProgFileResult::WriteFailed;
  }
  return TProgFileResult::Ok;
}

TProgFileResult ReadProgDataFile(const std::string& fileName, TProgrammingImage& image,
                                 TSocketTable& sockets) {
  TFile file(std::fopen(fileName.c_str(), "rb"));
  if (!file) return TProgFileResult::OpenFailed;
  // One byte more than a file holds tells a complete file from a short one.
  std::array<std::uint8_t, FileSize + 1> bytes{};
  const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file.get());
  if (std::ferror(file.get())) return TProgFileResult::ReadFailed;
  file.reset();

  if (got < FileSignatureSize || std::memcmp(bytes.data(), FileSignature, FileSignatureSize) != 0)
    return TProgFileResult::BadSignature;
  // A short file or one without the end marker is refused whole: the image being edited is
  // not traded for a partial one.
  TProgrammingImage loaded;
  std::memcpy(loaded.Bytes.data(), bytes.data() + FileImageOffset, ProgLayout::ImageSize);
  if (got < FileSize || !loaded.HasEndMarker()) return TProgFileResult::InvalidData;
  image = loaded;
  std::memcpy(sockets.Bytes.data(), bytes.data() + FileSocketOffset, ProgLayout::SocketTableSize);
  return TProgFileResult::Ok;
}

// ---------------------------------------------------------------------------
// TProgData

bool TProgData::SaveToFile(const std::string& fileName) {
  switch (WriteProgDataFile(fileName, ProgrammingImage, SocketTable)) {
    case TProgFileResult::Ok:
      CallHook(Hooks.SetCaption, ProgrammingCaptionFor(fileName));
      return true;
    case TProgFileResult::OpenFailed:
      LinkMessageBox("Fehler beim Öffnen der Datei", "Datei Fehler", TBoxKind::Error);
      return false;
    default:
      LinkMessageBox("Fehler beim Schreiben der Datei", "Datei Fehler", TBoxKind::Error);
      return false;
  }
}

bool TProgData::LoadFromFile(const std::string& fileName) {
  TProgrammingImage image;
  TSocketTable sockets;
  switch (ReadProgDataFile(fileName, image, sockets)) {
    case TProgFileResult::Ok:
      break;
    case TProgFileResult::BadSignature:
      LinkMessageBox("Ungültiges Dateiformat!", "Datei öffnen", TBoxKind::Error);
      return false;
    case TProgFileResult::InvalidData:
      LinkMessageBox("Fehler beim Einlesen: ungültige Daten.", "Datei öffnen", TBoxKind::Error);
      return false;
    default:
      LinkMessageBox("Fehler beim öffen der Datei", "Datei öffnen", TBoxKind::Error);
      return false;
  }
  CallHook(Hooks.DisableAllPages);
  CallHook(Hooks.SetCaption, ProgrammingCaptionFor(fileName));
  ProgrammingImage = image;
  SocketTable = sockets;
  FImageValid = true;
  CallHook(Hooks.ShowAllPages);
  return true;
}
