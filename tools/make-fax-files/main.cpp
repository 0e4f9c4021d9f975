// make-fax-files: writes the alarm fax's default files, used while the directory the program
// runs in holds none of its own.
//   Cover.txt     the cover text above the alarm report (Windows-1252, CR LF line ends)
//   korvidan.fxf  the page sent after the cover: a short German text made into a fax file by
//                 the converter component, in the built-in fax font at fine resolution
// Usage: make-fax-files DIRECTORY (made if missing).
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

#include "fax/SioFaxCvt.h"
#include "platform/Text.h"

namespace fs = std::filesystem;

namespace {

const char* const kCover =
    "Alarmmeldung der Aquariensteuerung\n"
    "\n"
    "Dieses Fax sendet das Überwachungsprogramm des korvidan,\n"
    "sobald ein Messwert seine Alarmgrenze verlässt.\n"
    "Was geschehen ist, steht in den Zeilen darunter.\n";

const char* const kPage =
    "korvidan dralmit - Alarmfax\n"
    "\n"
    "Bitte prüfen Sie das Becken, die Technik und die Messwerte.\n"
    "\n"
    "Diese Seite folgt jedem Alarmfax. Eine eigene Seite oder ein\n"
    "eigenes Deckblatt: \"korvidan.fxf\" oder \"Cover.txt\" in den\n"
    "Ordner legen, in dem das Programm läuft.\n";

// UTF-8 with LF line ends as the fax's text files hold it: Windows-1252 with CR LF.
std::string FaxText(const std::string& text) {
  std::string out;
  for (char c : Utf8ToCp1252(text)) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

bool Write(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-fax-files DIRECTORY\n");
    return 2;
  }
  const fs::path dir = argv[1];
  std::error_code ec;
  fs::create_directories(dir, ec);
  const fs::path source = dir / "korvidan.txt";
  if (!Write(dir / "Cover.txt", FaxText(kCover)) || !Write(source, FaxText(kPage))) {
    std::fprintf(stderr, "make-fax-files: cannot write to %s\n", dir.c_str());
    return 1;
  }
  try {
    TSioFaxConverter cvt;
    cvt.SetInputDocumentType(idText);
    cvt.SetResolution(frHigh);
    cvt.SetDocumentFile(source.string());
    cvt.SetOutFileName((dir / "korvidan.fxf").string());
    cvt.SetStationID("korvidan");
    cvt.ConvertToFile();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make-fax-files: %s\n", e.what());
    return 1;
  }
  fs::remove(source, ec);
  return 0;
}
