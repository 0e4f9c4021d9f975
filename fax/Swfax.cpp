// The fax modem layer: records, parameters, the command exchange with the modem, class
// detection and modem queries, rates and scan-line rules, and the preparation of a send.
#include "fax/Swfax.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>

#include "fax/Swfaxcvt.h"
#include "fax/Swtxtcvt.h"
#include "platform/Text.h"
#include "platform/Threads.h"
#include "serial/Sioexcept.h"

namespace {

bool Contains(std::string_view s, std::string_view what) { return s.find(what) != std::string_view::npos; }

// Commands that go out with the short pre-delay of the Class 1 frame and data phases. The
// remote's training starts 75 ms after its DCS (or our CFR or MCF): listening for it later
// than that misses it, and the remote has to repeat the DCS.
bool ShortPreDelay(std::string_view cmd) {
  return cmd == "AT+FTH=3" || cmd == "AT+FRH=3" || (cmd.starts_with("AT+FTM=") && cmd != "AT+FTM=?") ||
         (cmd.starts_with("AT+FRM=") && cmd != "AT+FRM=?");
}

// Tick wait without handling messages (the dispatch thread has none to handle).
void WaitTicks(std::int32_t ticks) { DelayMS(static_cast<std::uint32_t>(ticks) * MSecsPerTick); }

}  // namespace

// ---------------------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------------------

int cInitC12AbsData(TC12AbsData*& data) {
  data = new (std::nothrow) TC12AbsData;
  if (data == nullptr) return ecOutOfMemory;
  data->DataBuffer.reset(new (std::nothrow) std::uint8_t[DataBufferSize]());
  data->FrameBuffer.reset(new (std::nothrow) std::uint8_t[FrameBufferSize]());
  if (!data->DataBuffer || !data->FrameBuffer) {
    delete data;
    data = nullptr;
    return ecOutOfMemory;
  }
  return 0;
}

void cDoneC12AbsData(TC12AbsData*& data) {
  delete data;
  data = nullptr;
}

namespace {

void DoneConverter(TFaxRec* fax) {
  if (fax->Converter == nullptr) return;
  if (fax->ConverterEnhanced)
    fcDoneTextExConverter(fax->Converter);
  else
    fcDoneTextConverter(fax->Converter);
  fax->Converter = nullptr;
}

void FreeCoverReader(TFaxRec* fax) {
  delete fax->CoverReader;
  fax->CoverReader = nullptr;
  fax->CoverOpen = false;
}

}  // namespace

int fInitC12SendFax(TFaxRec*& fax, std::string_view stationID, TSioBaseDispatcher* comPort, HWND window) {
  fax = new (std::nothrow) TFaxRec;
  if (fax == nullptr) return ecOutOfMemory;
  int r = afInitFaxData(fax->PData, stationID, comPort, window);
  if (r == 0) r = cInitC12AbsData(fax->CData);
  if (r != 0) {
    fDoneC12SendFax(fax);
    return ecOutOfMemory;
  }
  fax->State = tfNone;
  return 0;
}

void fDoneC12SendFax(TFaxRec*& fax) {
  if (fax == nullptr) return;
  TFaxRec* f = fax;
  fax = nullptr;
  // Never waits for the record's lock: a call under way may be waiting for this very thread
  // (the handler of its notice destroys the component). It frees the record when it ends.
  if (afSetAsideFax(f)) fFreeC12Fax(f);
}

void fFreeC12Fax(TFaxRec* fax) {
  if (fax->PData != nullptr && (fax->PData->HandlerRegistered || fax->PData->InProgress)) afStopFax(fax);
  FreeCoverReader(fax);
  DoneConverter(fax);
  cDoneC12AbsData(fax->CData);
  afDoneFaxData(fax->PData);
  delete fax;
}

// ---------------------------------------------------------------------------------------
// Parameters
// ---------------------------------------------------------------------------------------

void fSetFaxPort(TFaxRec* fax, TSioBaseDispatcher* comPort) { afSetComHandle(fax, comPort); }

void fSetModemInit(TFaxRec* fax, std::string_view init) {
  std::string s = UpperCase(init.substr(0, 40));
  if (!s.empty() && !s.starts_with("AT")) s = "AT" + s;
  fax->CData->ModemInit = s.substr(0, 40);
}

void fSetHeaderText(TFaxRec* fax, std::string_view text) {
  fax->HeaderText = std::string(text.substr(0, 255));
}
void fSetEnhTextEnabled(TFaxRec* fax, bool enabled) { fax->CData->EnhTextEnabled = enabled; }
void fSetEnhSmallFont(TFaxRec* fax, const TFaxTextFont& font) { fax->CData->EnhSmallFont = font; }
void fSetEnhStandardFont(TFaxRec* fax, const TFaxTextFont& font) { fax->CData->EnhStandardFont = font; }

namespace {
void ChooseDefInit(TC12AbsData* c) {
  // X1 blind dial without busy detection, X2 neither, X3 both, X4 busy detection only.
  const char x = c->BlindDial ? (c->DetectBusy ? '3' : '1') : (c->DetectBusy ? '4' : '2');
  c->DefInit = std::string("ATE0Q0V1X") + x + "S0=0S2=43";
}
}  // namespace

void fSetBlindDial(TFaxRec* fax, bool blind) {
  fax->CData->BlindDial = blind;
  ChooseDefInit(fax->CData);
}
void fSetDetectBusy(TFaxRec* fax, bool detect) {
  fax->CData->DetectBusy = detect;
  ChooseDefInit(fax->CData);
}
void fSetToneDial(TFaxRec* fax, bool tone) { fax->CData->ToneDial = tone; }
void fSetDialPrefix(TFaxRec* fax, std::string_view prefix) {
  fax->CData->DialPrefix = std::string(prefix.substr(0, 40));
}
void fSetDialTime(TFaxRec* fax, std::int32_t ticks) { fax->CData->DialWait = ticks; }
void fSetMaxRetries(TFaxRec* fax, std::int32_t retries) { fax->MaxRetries = retries; }
void fSetYielding(TFaxRec* fax, std::uint16_t maxSendCount, std::uint16_t bufferMinimum) {
  fax->MaxSendCount = maxSendCount;
  fax->BufferMinimum = bufferMinimum;
}
void fSetSafeMode(TFaxRec* fax, bool safe) { fax->SafeMode = safe; }
void fSetModemFeatures(TFaxRec* fax, std::uint16_t bps, char ecmChar) {
  fax->CData->DesiredBPS = bps;
  fax->CData->ECMChar = ecmChar;
}

void fSetInitBaudRate(TFaxRec* fax, std::int32_t initRate, std::int32_t normalRate, bool setCurrent) {
  TC12AbsData* c = fax->CData;
  c->InitBaud = initRate;
  if (normalRate != 0) {
    c->NormalBaud = normalRate;
  } else if (fax->PData->ComPort != nullptr) {
    std::uint32_t baud = 0, parity = 0, bits = 0, stop = 0;
    if (fax->PData->ComPort->GetLine(baud, parity, bits, stop) == 0)
      c->NormalBaud = static_cast<std::int32_t>(baud);
  }
  if (setCurrent) fSwitchToInitBaud(fax);
}

// ---------------------------------------------------------------------------------------
// Queries
// ---------------------------------------------------------------------------------------

void fGetPageInfoC12(TFaxRec* fax, std::int32_t& pages, std::int32_t& page, std::int32_t& bytesTransferred,
                     std::int32_t& pageLength) {
  // No lock: the status display asks while the engine waits for it.
  const TFaxData* d = fax->PData;
  pages = d->PageCount + d->CoverCount;
  page = d->CurrentPage;
  if (d->CoverCount != 0 && !d->SendingCover) ++page;
  if (d->SendingCover) page = 1;
  bytesTransferred = d->DataCount;
  pageLength = d->PageSize;
}

bool fGetLastPageStatus(TFaxRec* fax) { return fax->CData->LastPageOk; }
std::string fGetRemoteID(TFaxRec* fax) {
  std::lock_guard<std::mutex> g(fax->PData->InfoLock);
  return fax->PData->RemoteID;
}
void fGetSessionParams(TFaxRec* fax, std::int32_t& bps, bool& resolution, bool& correction) {
  bps = fax->CData->SessionBPS;
  resolution = fax->CData->SessionRes != 0;
  correction = fax->CData->SessionECM != 0;
}
std::int16_t fGetHangupResult(TFaxRec* fax) { return fax->CData->HangupCode; }

// ---------------------------------------------------------------------------------------
// Command table, rates, scan lines
// ---------------------------------------------------------------------------------------

void fBuildModCodes(TFaxRec* fax) {
  static const char* const kClass2[13] = {"CLASS=2", "MDL?", "MFR?", "REV?", "DIS", "LID", "DCC",
                                          "CON",     "DIS",  "DCS",  "TSI",  "CSI", "PTS"};
  static const char* const kClass20[13] = {"CLASS=2.0", "MI?", "MM?", "MR?", "IS", "LI", "CC",
                                           "CO",        "IS",  "CS",  "TI",  "CI", "PS"};
  TModCodes& m = fax->CData->ModCodes;
  const bool is20 = fax->PData->ClassInUse == ctClass2_0;
  for (int i = 0; i < 13; ++i) {
    m.Codes[static_cast<std::size_t>(i)] =
        std::string(i <= 6 ? "AT+F" : "+F") + (is20 ? kClass20[i] : kClass2[i]);
    m.Codes[static_cast<std::size_t>(i)].resize(
        std::min<std::size_t>(m.Codes[static_cast<std::size_t>(i)].size(), 13));
  }
  m.Hangup = is20 ? "FHS" : "FHNG";
}

char fRateCode(std::uint16_t bps) {
  switch (bps) {
    case 2400:
      return '0';
    case 4800:
      return '1';
    case 7200:
      return '2';
    case 12000:
      return '4';
    case 14400:
      return '5';
    default:
      return '3';
  }
}

std::uint16_t fMinBytes(std::uint8_t scanTimeCode, bool highRes, std::int32_t bps) {
  static const int kNormal[8] = {0, 5, 10, 10, 20, 20, 40, 40};
  static const int kHigh[8] = {0, 5, 5, 10, 10, 20, 20, 40};
  const int t = (highRes ? kHigh : kNormal)[scanTimeCode & 7];
  return static_cast<std::uint16_t>(t * bps / 8000);
}

void fDecodeSessionParams(TFaxRec* fax, std::string_view reply) {
  TC12AbsData* c = fax->CData;
  std::size_t colon = reply.find(':');
  std::string v = Trim(colon == std::string_view::npos ? reply.substr(std::min<std::size_t>(reply.size(), 5))
                                                       : reply.substr(colon + 1));
  auto at = [&](std::size_t pos) { return pos <= v.size() ? v[pos - 1] : '\0'; };
  c->SessionRes = at(1) == '1' ? 1 : 0;
  c->CanDoHighRes = c->SessionRes != 0;
  switch (at(3)) {
    case '0':
      c->SessionBPS = 2400;
      break;
    case '1':
      c->SessionBPS = 4800;
      break;
    case '2':
      c->SessionBPS = 7200;
      break;
    case '4':
      c->SessionBPS = 12000;
      break;
    case '5':
      c->SessionBPS = 14400;
      break;
    default:
      c->SessionBPS = 9600;
      break;
  }
  c->SessionWid = at(5) == '1' ? 1 : 0;
  c->CanDoHighWid = c->SessionWid != 0;
  c->SessionECM = (at(11) == '1' || at(11) == '2') ? 1 : 0;
  const char scan = at(15);
  c->ScanTimeCode = static_cast<std::uint8_t>(scan >= '0' && scan <= '7' ? scan - '0' : 0);
  c->MinBytes = fMinBytes(c->ScanTimeCode, c->SessionRes != 0, c->SessionBPS);
}

// ---------------------------------------------------------------------------------------
// Command exchange
// ---------------------------------------------------------------------------------------

int fPutRaw(TFaxRec* fax, const std::uint8_t* data, std::size_t len) {
  TSioBaseDispatcher* port = fax->PData->ComPort;
  if (port == nullptr) return ecCommNotOpen;
  EventTimer limit;
  NewTimer(limit, fax->CData->DataWait);
  while (len > 0) {
    const std::uint32_t chunk = static_cast<std::uint32_t>(std::min<std::size_t>(len, 4096));
    int r = port->PutBlock(data, chunk);
    if (r == ecOutputBufferTooSmall) {
      // The line is slower than we are: wait for room, but not for ever.
      if (TimerExpired(limit)) return ecTimeout;
      DelayMS(2);
      continue;
    }
    if (r < 0) return r;
    data += chunk;
    len -= chunk;
  }
  return 0;
}

int fPutDLEData(TFaxRec* fax, const std::uint8_t* data, std::size_t len) {
  std::uint8_t* fb = fax->CData->FrameBuffer.get();
  std::size_t n = 0;
  for (std::size_t i = 0; i < len; ++i) {
    fb[n++] = data[i];
    if (data[i] == 0x10) fb[n++] = 0x10;
    if (n >= FrameBufferSize - 1) {
      if (int r = fPutRaw(fax, fb, n); r < 0) return r;
      n = 0;
    }
  }
  return n > 0 ? fPutRaw(fax, fb, n) : 0;
}

int fPutModemCommand(TFaxRec* fax, std::string_view command) {
  TFaxData* d = fax->PData;
  TC12AbsData* c = fax->CData;
  if (d->ComPort == nullptr) return ecCommNotOpen;
  DelayMS(ShortPreDelay(command) ? 40 : 100);
  std::string line(command);
  line += '\r';
  int r = fPutRaw(fax, reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
  c->Response.clear();
  c->LineReady = false;
  if (d->TimeoutTrigger > 0)
    d->ComPort->SetTimerTrigger(static_cast<std::uint32_t>(d->TimeoutTrigger), c->ReplyWait, true);
  NewTimer(c->ReplyTimer, c->ReplyWait);
  return r;
}

bool fReadReplyLine(TFaxRec* fax) {
  TC12AbsData* c = fax->CData;
  TSioBaseDispatcher* port = fax->PData->ComPort;
  if (c->LineReady) {
    c->Response.clear();
    c->LineReady = false;
  }
  std::uint8_t ch = 0;
  while (port->CharReady() && port->GetChar(ch) == 0) {
    if (ch == '\r') {
      if (!c->Response.empty()) {
        c->LineReady = true;
        return true;
      }
    } else if (ch >= 32) {
      if (c->Response.size() >= ReplyMaxLen) c->Response.erase(0, 1);
      c->Response += static_cast<char>(ch);
    }
  }
  return false;
}

bool fBlockingCommand(TFaxRec* fax, std::string_view command) {
  TSioBaseDispatcher* port = fax->PData->ComPort;
  TC12AbsData* c = fax->CData;
  if (port == nullptr) return false;
  if (fPutModemCommand(fax, command) != 0) return false;
  bool wasBusy = false;
  port->SetEventBusy(wasBusy, true);

  auto collect = [&]() -> bool {
    for (;;) {
      if (fReadReplyLine(fax)) return true;
      if (TimerExpired(c->ReplyTimer)) return false;
      SafeYield();
      DelayMS(2);
    }
  };

  bool result = false;
  for (;;) {
    if (!collect()) break;
    const std::string line = Trim(c->Response);
    if (line == command) continue;  // the modem's echo
    if (line == "RING") continue;   // a call rings meanwhile: no answer to the command
    if (Contains(line, "ERROR")) break;
    if (Contains(line, "OK")) {
      result = true;
      break;
    }
    // An information reply: keep it and wait for the closing line.
    const std::string info = c->Response;
    result = collect();
    c->Response = info;
    c->LineReady = false;
    break;
  }
  // Drop whatever else the modem said.
  std::uint8_t ch;
  while (port->CharReady() && port->GetChar(ch) == 0) {
  }
  bool ignored = false;
  port->SetEventBusy(ignored, wasBusy);
  return result;
}

void fLineReset(TFaxRec* fax) {
  TSioBaseDispatcher* port = fax->PData->ComPort;
  if (port == nullptr) return;
  port->FlushInBuffer();
  port->FlushOutBuffer();
  port->SetModem(false, false);
  DelayMS(500);
  port->SetModem(true, true);
  DelayMS(500);
}

void fHangup(TFaxRec* fax) {
  TSioBaseDispatcher* port = fax->PData->ComPort;
  if (port == nullptr) return;
  if (port->CheckDCD()) {
    DelayMS(1000);
    port->PutString("+++");
    DelayMS(1000);
    port->PutString("ATH0\r");
    DelayMS(1000);
    port->FlushInBuffer();
    if (port->CheckDCD()) fLineReset(fax);
  } else {
    // Without a carrier signal the modem may still be in a data or frame mode, where it takes
    // the first character as the end of that mode and drops the rest: end the mode first, so
    // that the hang-up command is heard.
    port->PutString(std::string("\x10\x03", 2));
    port->PutString("AT\r");
    DelayMS(500);
    port->FlushInBuffer();
    port->PutString("ATH0\r");
    DelayMS(1000);
    port->FlushInBuffer();
  }
}

void fSwitchToNormalBaud(TFaxRec* fax) {
  TSioBaseDispatcher* port = fax->PData->ComPort;
  TC12AbsData* c = fax->CData;
  if (port == nullptr) return;
  port->ChangeBaud(19200);
  if (c->InitBaud != 0 && c->InInitBaud) {
    WaitTicks(9);
    port->ChangeBaud(static_cast<std::uint32_t>(c->NormalBaud));
    c->InInitBaud = false;
  }
}

void fSwitchToInitBaud(TFaxRec* fax) {
  TSioBaseDispatcher* port = fax->PData->ComPort;
  TC12AbsData* c = fax->CData;
  if (port == nullptr) return;
  port->ChangeBaud(19200);
  if (c->InitBaud != 0 && !c->InInitBaud) {
    WaitTicks(9);
    port->ChangeBaud(static_cast<std::uint32_t>(c->InitBaud));
    c->InInitBaud = true;
  }
}

// ---------------------------------------------------------------------------------------
// Class detection and modem queries
// ---------------------------------------------------------------------------------------

bool fGetModemClassSupport(TFaxRec* fax, bool& class1, bool& class2, bool& class2_0, bool reset) {
  class1 = class2 = class2_0 = false;
  if (reset) {
    bool ok = fBlockingCommand(fax, fax->CData->DefInit);
    if (!ok) ok = fBlockingCommand(fax, fax->CData->DefInit);
    if (!ok) return false;
  }
  if (!fBlockingCommand(fax, "AT+FCLASS=?")) return false;
  std::string list = Trim(fax->CData->Response);
  std::size_t cut = list.find(':');
  if (cut == std::string::npos) cut = list.find('=');
  if (cut != std::string::npos) list = Trim(list.substr(cut + 1));
  class1 = Contains(list, "1");
  if (Contains(list, "2.0")) {
    class2_0 = true;
    class2 = Contains(list, "2,");
  } else {
    class2 = Contains(list, "2");
  }
  return true;
}

bool fSetClassType(TFaxRec* fax, ClassType ct) {
  if (ct != ctDetect) {
    fax->PData->ClassInUse = ct;
    return true;
  }
  bool c1 = false, c2 = false, c20 = false;
  fGetModemClassSupport(fax, c1, c2, c20, true);
  fax->PData->ClassInUse = c20 ? ctClass2_0 : c2 ? ctClass2 : c1 ? ctClass1 : ctUnknown;
  return fax->PData->ClassInUse != ctUnknown;
}

bool fGetModemInfo(TFaxRec* fax, char& cls, std::string& model, std::string& chip, std::string& rev,
                   bool reset) {
  cls = '0';
  model.clear();
  chip.clear();
  rev.clear();
  bool c1 = false, c2 = false, c20 = false;
  if (!fGetModemClassSupport(fax, c1, c2, c20, reset)) return false;
  const ClassType saved = fax->PData->ClassInUse;
  if (c20) {
    cls = 'B';
    fax->PData->ClassInUse = ctClass2_0;
  } else if (c2) {
    cls = '2';
    fax->PData->ClassInUse = ctClass2;
  } else if (c1) {
    cls = '1';
  }
  if (cls == '2' || cls == 'B') {
    fBuildModCodes(fax);
    const auto& m = fax->CData->ModCodes.Codes;
    if (fBlockingCommand(fax, m[mcModel])) model = Trim(fax->CData->Response);
    if (fBlockingCommand(fax, m[mcMaker])) chip = Trim(fax->CData->Response);
    if (fBlockingCommand(fax, m[mcRevision])) rev = Trim(fax->CData->Response);
  }
  fax->PData->ClassInUse = saved;
  return true;
}

void fGetModemFeatures(TFaxRec* fax, std::int32_t& bps, char& correction) {
  bps = 0;
  correction = '0';
  const ClassType ct = fax->PData->ClassInUse;
  if (ct != ctClass2 && ct != ctClass2_0) return;
  fBuildModCodes(fax);
  const std::string& cmd = fax->CData->ModCodes.Codes[mcSessionParams];
  bps = 4800;
  static const std::int32_t kRates[4] = {7200, 9600, 12000, 14400};
  for (char digit = '5'; digit >= '2'; --digit) {
    if (fBlockingCommand(fax, cmd + "=0," + digit + ",0,0,0,0,0,3")) {
      bps = kRates[digit - '2'];
      break;
    }
  }
  correction = fBlockingCommand(fax, cmd + "=0,0,0,0,0,1,0,3") ? '1' : '0';
}

std::int32_t fClass1Rate(int rateIndex) {
  static const std::int32_t kRates[6] = {2400, 4800, 7200, 9600, 12000, 14400};
  return rateIndex >= 1 && rateIndex <= 6 ? kRates[rateIndex - 1] : 0;
}

bool fGetClass1Rates(TFaxRec* fax) {
  TC12AbsData* c = fax->CData;
  if (!fBlockingCommand(fax, "AT+FCLASS=1")) return false;
  c->Class1Rates = {true, true, false, false, false, false};
  const std::uint16_t wait = c->ReplyWait;
  c->ReplyWait = static_cast<std::uint16_t>(wait + 36);
  const bool ok = fBlockingCommand(fax, "AT+FTM=?");
  c->ReplyWait = wait;
  const std::string list = c->Response;
  if (ok && Contains(list, ",")) {
    c->Class1Rates[2] = Contains(list, "72");
    c->Class1Rates[3] = Contains(list, "96");
    c->Class1Rates[4] = Contains(list, "121");
    c->Class1Rates[5] = Contains(list, "145");
  }
  c->RateIndex = 1;
  for (int i = 6; i >= 1; --i)
    if (c->Class1Rates[static_cast<std::size_t>(i - 1)]) {
      c->RateIndex = static_cast<std::uint16_t>(i);
      break;
    }
  return ok;
}

// ---------------------------------------------------------------------------------------
// Preparation of a send
// ---------------------------------------------------------------------------------------

void fPrepareFaxTransmit(TFaxRec* fax) {
  TFaxData* d = fax->PData;
  TC12AbsData* c = fax->CData;
  TSioBaseDispatcher* port = d->ComPort;

  c->LastResChar = ' ';
  if (fax->Converter != nullptr && fax->ConverterEnhanced != c->EnhTextEnabled) DoneConverter(fax);
  if (fax->Converter == nullptr) {
    const int r =
        c->EnhTextEnabled ? fcInitTextExConverter(fax->Converter) : fcInitTextConverter(fax->Converter);
    if (r != 0) {
      fax->Converter = nullptr;
      afReportError(fax, r);
      return;
    }
    fax->ConverterEnhanced = c->EnhTextEnabled;
  }

  fax->State = tfGetEntry;
  d->FaxProgress = fpInitModem;
  d->FaxError = 0;
  d->FaxListNode = 0;
  afFaxStatus(fax, true, false);

  d->DataCount = 0;
  d->PageSize = 0;
  d->CoverCount = 0;
  d->FaxFileName.clear();
  d->CoverFileName.clear();
  d->PhoneNum.clear();
  d->CurrentPage = 1;

  port->ChangeBaud(19200);
  port->SetModem(true, true);
  if (d->ClassInUse == ctUnknown) d->ClassInUse = ctDetect;
  if (d->ClassInUse == ctDetect && !fSetClassType(fax, ctDetect)) {
    afReportError(fax, ecFaxBadModemResult);
    return;
  }

  if (!c->InitSent) {
    if (!c->ModemInit.empty() && !fBlockingCommand(fax, c->ModemInit)) {
      afReportError(fax, ecFaxBadModemResult);
      return;
    }
    if (!fBlockingCommand(fax, c->DefInit)) {
      afReportError(fax, ecFaxBadModemResult);
      return;
    }
    c->InitSent = true;
  }

  if (d->ClassInUse == ctClass2 || d->ClassInUse == ctClass2_0) fBuildModCodes(fax);
  fSwitchToNormalBaud(fax);
  if (d->ClassInUse == ctClass1) fGetClass1Rates(fax);
  d->InProgress = true;
}
