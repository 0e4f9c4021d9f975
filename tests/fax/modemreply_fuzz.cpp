// Fuzz target: the modem's reply lines to the blocking commands of the fax modem layer: class
// detection, the identity, rate and error-correction queries and the Class 1 rate list. Byte 0
// is the size of the pieces in which the modem's bytes arrive (1 to 256).
#include "fax/Swfax.h"
#include "tests/support/FuzzLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  TFuzzLine line;
  if (line.Open() != 0) std::abort();
  line.Play({data + 1, size - 1}, 1 + data[0]);
  TFaxRec* fax = nullptr;
  if (fInitC12SendFax(fax, "KORVIDAN FUZZ", &line, 0) != 0) std::abort();
  char cls = 0;
  std::string model, maker, revision;
  if (fGetModemInfo(fax, cls, model, maker, revision, true) && (model.size() > ReplyMaxLen || maker.size() > ReplyMaxLen))
    __builtin_trap();
  fSetClassType(fax, ctDetect);
  fSetClassType(fax, cls == 'B' ? ctClass2_0 : ctClass2);
  std::int32_t bps = 0;
  char correction = 0;
  fGetModemFeatures(fax, bps, correction);
  if (fGetClass1Rates(fax) && (fax->CData->RateIndex < 1 || fax->CData->RateIndex > 6)) __builtin_trap();
  fDoneC12SendFax(fax);
  return 0;
}
