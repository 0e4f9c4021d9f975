// Fuzz target: the stored-data listing from its request to the window and the file it saves;
// the bytes are what the controller sends after the request. What the window shows is what it
// saves: the cleaned lines of the listing, saved as an ".ovu" file, come back from it byte for
// byte, each followed by CR LF.
#include <QApplication>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/StoredDataWindow.h"
#include "platform/Text.h"
#include "tests/programming/progdata_fuzz.h"
#include "tests/support/TempDir.h"

namespace {

TStoredDataForm& Window() {
  static int argc = 1;
  static char name[] = "fuzz_stored_data";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return new QApplication(argc, argv);
  }();
  static TStoredDataForm* form = (static_cast<void>(app), new TStoredDataForm);
  return *form;
}

void CheckSaved(const std::string& listing) {
  static const support::TempDir dir("korvidan-stored-fuzz", support::TmpfsOrTemp());
  TStringList split;
  split.SetText(listing);
  std::vector<std::string> lines = split.Items();
  FilterStoredDataLines(lines);
  std::string expected;
  for (const std::string& line : lines) expected += line + "\r\n";
  TStoredDataForm& window = Window();
  window.ShowListing(listing);
  const std::string file = dir / "daten.ovu";
  if (!window.SaveToFile(file) || support::ReadFile(file) != expected) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunProgTransfer(
      data, size,
      [](TProgData& prog) {
        prog.Hooks.ShowStoredData = CheckSaved;
        return prog.StartStoredDataRead();
      },
      [](const TProgData& prog) { return prog.StoreResult(); });
  return 0;
}
