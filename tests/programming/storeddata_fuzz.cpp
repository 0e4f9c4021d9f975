// Fuzz target: the stored-data listing from its request to the cleaned lines of the window;
// the bytes are what the controller sends after the request.
#include "app/StoredDataWindow.h"
#include "platform/Text.h"
#include "tests/programming/progdata_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunProgTransfer(
      data, size,
      [](TProgData& prog) {
        prog.Hooks.ShowStoredData = [](const std::string& listing) {
          TStringList split;
          split.SetText(listing);
          std::vector<std::string> lines = split.Items();
          FilterStoredDataLines(lines);
        };
        return prog.StartStoredDataRead();
      },
      [](const TProgData& prog) { return prog.StoreResult(); });
  return 0;
}
