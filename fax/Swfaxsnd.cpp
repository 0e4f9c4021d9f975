// Implements the send state machine declared in fax/Swfax.h: one fax list entry after the
// other, dialled, negotiated with a Class 1, Class 2 or Class 2.0 modem, sent with header line,
// cover and pages, and ended.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "fax/Swfax.h"
#include "fax/Swfaxcvt.h"
#include "fax/Swtxtcvt.h"
#include "platform/Text.h"
#include "serial/SioMisc.h"
#include "serial/Sioexcept.h"

namespace {

// Set while the first state asks the component for the next fax (which may pump messages).
std::atomic<bool> gGetEntryBusy{false};

// The zero-filled white line that leads every page.
const std::uint8_t kWhiteLine[6] = {0x00, 0x80, 0xB2, 0x59, 0x01, 0x00};

bool Contains(std::string_view s, std::string_view what) { return s.find(what) != std::string_view::npos; }

bool IsReplyState(std::uint8_t s) {
  return (s >= tf1Init1 && s <= tf2Init3) || (s >= tf1Connect && s <= tf2GetParams) || s == tf1PageEnd ||
         (s >= tf1SendEOP && s <= tf1WaitHangup) || (s >= tf2WaitFPTS && s <= tf2WaitPageOK) ||
         s == tf20CheckPage;
}

bool WaitsAfter(std::uint8_t s) {
  return s == tfRetryWait || s == tfWaitXon || s == tfWaitFreeHeader || s == tfSendCover || s == tfSendPage ||
         s == tfDrainPage || s == tfDone;
}

// The number behind the ":" of a reply such as "+FHNG:50" (0 when there is none).
std::int16_t ReplyNumber(std::string_view reply) {
  std::size_t p = reply.find(':');
  if (p == std::string_view::npos) return 0;
  ++p;
  while (p < reply.size() && reply[p] == ' ') ++p;
  int v = 0;
  bool any = false;
  while (p < reply.size() && std::isdigit(static_cast<unsigned char>(reply[p])) && v < 10000) {
    v = v * 10 + (reply[p++] - '0');
    any = true;
  }
  return static_cast<std::int16_t>(any ? v : 0);
}

// One session's view of the record.
struct Session {
  TFaxRec* fax;
  TFaxData* d;
  TC12AbsData* c;
  TSioBaseDispatcher* port;

  bool Class20() const { return d->ClassInUse == ctClass2_0; }
  const std::string& Code(int entry) const { return c->ModCodes.Codes[static_cast<std::size_t>(entry)]; }
  bool ReplyIs(int entry) const { return c->Response.starts_with(Code(entry)); }
  bool Has(std::string_view word) const { return Contains(c->Response, word); }

  void Fail(int code) {
    afReportError(fax, code);
    fax->State = tfAbort;
  }
  void Command(std::string_view text) { fPutModemCommand(fax, text); }
  void ArmTimeout(std::int32_t ticks) {
    port->SetTimerTrigger(static_cast<std::uint32_t>(d->TimeoutTrigger), ticks, true);
  }
  void ArmOutFree() { port->SetStatusTrigger(static_cast<std::uint32_t>(d->OutFreeTrigger), 4096, true); }
  void ArmOutEmpty() { port->SetStatusTrigger(static_cast<std::uint32_t>(d->OutEmptyTrigger), 0, true); }
  void ArmStatus() {
    port->SetTimerTrigger(static_cast<std::uint32_t>(d->StatusTrigger), Secs2Ticks(d->StatusInterval), true);
  }
  void DropInput() {
    std::uint8_t ch;
    while (port->CharReady() && port->GetChar(ch) == 0) {
    }
  }
  std::uint16_t PageFlags() const { return c->FaxFile.IsOpen() ? c->FaxFile.PageHeader().PageFlags : 0; }
  bool ResolutionChanges() const { return c->LastResChar != ' ' && c->LastResChar != c->ResChar; }
  // Class 1: the page to go next follows MPS under the session's DCS when it has the session's
  // resolution; otherwise the page before it ends with EOM and a DCS of its own follows.
  bool NextPageFollowsMPS() const { return fax->FastPage && (c->ResChar == '1') == (c->SessionRes != 0); }

  void CloseFaxFile() { c->FaxFile.Close(); }
  void FreeCover() {
    delete fax->CoverReader;
    fax->CoverReader = nullptr;
    fax->CoverOpen = false;
  }

  int OpenFaxFile(const std::string& name) {
    CloseFaxFile();
    std::string full = name;
    if (JustExtension(full).empty()) full = DefaultExtension(full, d->FaxFileExt);
    return c->FaxFile.Open(full);
  }

  // Reads the header of page Page of the open file and takes its resolution.
  int SeekPage(unsigned page) {
    int r = c->FaxFile.SeekPage(page);
    if (r < 0) return r;
    c->UseLengthWords = (PageFlags() & pfLineLengths) != 0;
    c->LastResChar = c->ResChar;
    c->ResChar = (PageFlags() & pfHighResolution) ? '1' : '0';
    return 0;
  }

  bool MorePages() {
    c->MorePages = !d->FaxFileName.empty() && (d->SendingCover || d->CurrentPage < d->PageCount);
    return c->MorePages;
  }

  int NextPage() {
    if (d->SendingCover) {
      if (c->CoverIsFXF) {
        if (int r = OpenFaxFile(d->FaxFileName); r < 0) return r;
      } else {
        FreeCover();
      }
      d->SendingCover = false;
      d->CoverFileName.clear();
    } else {
      ++d->CurrentPage;
      d->DataCount = 0;
    }
    return SeekPage(d->CurrentPage);
  }

  int PadToBufferMinimum() {
    const std::uint32_t used = port->OutBuffUsed();
    if (used >= fax->BufferMinimum) return 0;
    const std::size_t n = std::min<std::size_t>(fax->BufferMinimum - used, 8192);
    std::vector<std::uint8_t> zeros(n, 0);
    return fPutRaw(fax, zeros.data(), n);
  }

  int PadLine(int len) {
    if (len >= c->MinBytes) return 0;
    std::uint8_t zeros[256] = {};
    return fPutRaw(fax, zeros, static_cast<std::size_t>(c->MinBytes - len));
  }

  // Renders a text line in the loaded font and sends its coded rows.
  int SendTextRows(std::string_view text) {
    TAbsFaxCvt* cvt = fax->Converter;
    if (text.size() > 255) text = text.substr(0, 255);
    std::uint8_t* raster = c->DataBuffer.get();
    const int rows = fcFontRows(cvt);
    for (int r = 1; r <= rows; ++r) {
      std::memset(raster, 0, DataBufferSize);
      fcRasterizeText(cvt, text, r, raster);
      acInitDataLine(cvt);
      acCompressRasterLine(cvt, raster);
      const int len = cvt->ByteOfs;
      if (int e = fPutDLEData(fax, cvt->DataLine.get(), static_cast<std::size_t>(len)); e < 0) return e;
      if (int e = PadLine(len); e < 0) return e;
      d->DataCount += std::max<int>(len, c->MinBytes);
    }
    return 0;
  }

  int LoadFont(bool small) {
    const bool fine = c->ResChar == '1';
    if (fax->ConverterEnhanced)
      return fcSetFont(fax->Converter, small ? c->EnhSmallFont : c->EnhStandardFont, fine);
    return fcLoadFont(fax->Converter, "SWFAX.FNT", small ? ffSmallFontHandle : ffStandardFontHandle, fine);
  }

  // ----- the states -----

  void GetEntry() {
    gGetEntryBusy = true;
    if (!afNextFax(fax)) {
      fax->State = tfCompleteOK;
      return;
    }
    afLogFax(fax, lfaxTransmitStart);
    d->ConnectCount = 0;
    d->SendingCover = false;
    c->CoverIsFXF = false;
    d->PageCount = 0;
    d->CoverCount = 0;
    fax->RetryCount = 0;
    c->HangupCode = 0;
    d->DataCount = 0;
    d->PageSize = 0;
    afSetRemoteID(fax, "");
    d->CurrentPage = 1;
    if (!d->FaxFileName.empty()) {
      if (int r = OpenFaxFile(d->FaxFileName); r < 0) return Fail(r);
      // A file whose pages are missing or cut short is refused before the number is
      // dialled, not found out halfway through the call.
      if (int r = c->FaxFile.CheckPages(); r < 0) return Fail(r);
      d->PageCount = c->FaxFile.Header().PageCount;
    }
    if (d->FaxFileName.empty() && d->CoverFileName.empty()) return Fail(ecNoFilename);
    if (d->FaxOptions & afSoftwareFlow) port->SWFlowDisable();
    fax->State = tfInit;
  }

  void Init() {
    d->StationID = UpperCase(d->StationID);
    if (!d->CoverFileName.empty()) {
      d->CoverCount = 1;
      d->SendingCover = true;
      c->CoverIsFXF = Contains(UpperCase(d->CoverFileName), "." + UpperCase(d->FaxFileExt));
    }
    if (!d->FaxFileName.empty()) {
      if (int r = SeekPage(d->CurrentPage); r < 0) return Fail(r);
    } else {
      c->ResChar = '0';
      if (c->CoverIsFXF) {
        int r = OpenFaxFile(d->CoverFileName);
        if (r == 0) r = SeekPage(1);
        CloseFaxFile();
        if (r < 0) return Fail(r);
      }
    }
    d->FaxProgress = fpInitModem;
    c->ForceStatus = true;
    // Nothing of a frame cut off in an earlier call belongs to this one.
    c->InFrame = false;
    c->RxFrame.clear();
    if (d->ClassInUse == ctClass2 || d->ClassInUse == ctClass2_0) {
      Command(Code(mcSelectClass));
      fax->State = tf2Init1;
      return;
    }
    if (d->ClassInUse == ctClass1) {
      Command("AT+FCLASS=1");
      fax->State = tf1Init1;
      return;
    }
    Fail(ecFaxInitError);
  }

  // ----- Class 1 -----

  static constexpr const char* kTrainCodes[6] = {"24", "48", "72", "96", "121", "145"};
  static constexpr const char* kPageCodes[6] = {"24", "48", "72", "96", "122", "146"};

  const char* PageCode() const { return kPageCodes[std::clamp<int>(c->RateIndex, 1, 6) - 1]; }

  // Sends an HDLC frame (DLE doubled, ended by DLE ETX) after the 20 ms pause.
  int SendFrame(const std::vector<std::uint8_t>& frame) {
    DelayMS(20);
    if (int r = fPutDLEData(fax, frame.data(), frame.size()); r < 0) return r;
    const std::uint8_t end[2] = {0x10, 0x03};
    return fPutRaw(fax, end, 2);
  }

  std::vector<std::uint8_t> TSIFrame() const {
    std::vector<std::uint8_t> f{0xFF, 0x03, 0x43};
    const std::string& id = d->StationID;
    for (std::size_t i = id.size(); i < 20; ++i) f.push_back(' ');
    for (auto it = id.rbegin(); it != id.rend(); ++it) f.push_back(static_cast<std::uint8_t>(*it));
    return f;
  }

  std::vector<std::uint8_t> DCSFrame() {
    // T.30's data signalling rates: V.27ter 2400 and 4800, V.29 7200 and 9600, V.17 12000
    // and 14400.
    static const std::uint8_t kRateBits[7] = {0x04, 0x00, 0x08, 0x0C, 0x04, 0x28, 0x20};
    static const std::uint8_t kScan[8][2] = {{0x70, 0x70}, {0x10, 0x10}, {0x20, 0x10}, {0x20, 0x20},
                                             {0x00, 0x20}, {0x00, 0x00}, {0x40, 0x00}, {0x40, 0x40}};
    // The DCS sets the session's resolution, and with it the scan time's bytes a line.
    c->SessionRes = c->ResChar == '1' ? 1 : 0;
    c->MinBytes = fMinBytes(c->ScanTimeCode, c->SessionRes != 0, c->SessionBPS);
    std::uint8_t rate = c->ResChar == '1' ? 0x42 : 0x02;
    rate |= c->RateIndex <= 6 ? kRateBits[c->RateIndex] : 0x04;
    std::uint8_t scan = static_cast<std::uint8_t>(kScan[c->ScanTimeCode & 7][c->SessionRes ? 1 : 0] | 0x88);
    if (PageFlags() & pfWideLine) scan |= 0x01;
    c->TrainCode = kTrainCodes[std::clamp<int>(c->RateIndex, 1, 6) - 1];
    return {0xFF, 0x13, 0x83, 0x00, rate, scan, 0x00};
  }

  bool RateAllowed(int index) const {
    return index >= 1 && index <= 6 && c->Class1Rates[static_cast<std::size_t>(index - 1)] &&
           c->RemoteRates[static_cast<std::size_t>(index - 1)];
  }

  // The remote's capabilities (DIS); false when the page cannot be sent to it.
  bool DecodeDIS(const std::vector<std::uint8_t>& f, std::size_t ff) {
    const std::uint8_t b1 = ff + 4 < f.size() ? f[ff + 4] : 0;
    const std::uint8_t b2 = ff + 5 < f.size() ? f[ff + 5] : 0;
    c->RemoteRates = {true, true, false, false, false, false};
    if ((b1 & 0x0C) == 0x04) c->RemoteRates[3] = true;
    if ((b1 & 0x0C) == 0x0C) c->RemoteRates[2] = c->RemoteRates[3] = true;
    // V.17 brings 12000 and 14400 (bit 0x10 is no rate of T.30).
    if (b1 & 0x20) c->RemoteRates[4] = c->RemoteRates[5] = true;
    // A DIS after EOM keeps the rate the call has come down to.
    const int top = c->AfterEOM ? std::min<int>(c->RateIndex, 6) : 6;
    c->RateIndex = 1;
    for (int i = top; i >= 1; --i)
      if (RateAllowed(i) && fClass1Rate(i) <= c->DesiredBPS) {
        c->RateIndex = static_cast<std::uint16_t>(i);
        break;
      }
    c->SessionBPS = fClass1Rate(c->RateIndex);
    c->CanDoHighRes = (b1 & 0x40) != 0;
    c->CanDoHighWid = (b2 & 0x03) == 1;
    c->SessionRes = c->ResChar == '1' ? 1 : 0;
    c->SessionWid = (PageFlags() & pfWideLine) ? 1 : 0;
    c->SessionECM = 0;
    static const std::uint8_t kScanCode[8] = {5, 1, 3, 4, 7, 6, 2, 0};
    c->ScanTimeCode = kScanCode[(b2 & 0x70) >> 4];
    c->MinBytes = fMinBytes(c->ScanTimeCode, c->SessionRes != 0, c->SessionBPS);
    return !((c->SessionRes && !c->CanDoHighRes) || (c->SessionWid && !c->CanDoHighWid));
  }

  // Steps down to the next rate both sides have; false when none is left.
  bool FallBack() {
    for (int i = c->RateIndex - 1; i >= 1; --i)
      if (RateAllowed(i)) {
        c->RateIndex = static_cast<std::uint16_t>(i);
        c->SessionBPS = fClass1Rate(i);
        c->MinBytes = fMinBytes(c->ScanTimeCode, c->SessionRes != 0, c->SessionBPS);
        return true;
      }
    return false;
  }

  // Decodes a received frame; true when it ended the state's wait (an error or a fall-back).
  bool DecodeFrame() {
    const std::vector<std::uint8_t>& f = c->RxFrame;
    std::size_t ff = 0;
    while (ff < f.size() && f[ff] != 0xFF) ++ff;
    if (ff + 2 >= f.size()) return false;
    c->FinalFrame = (f[ff + 1] & 0x10) != 0;
    c->LastFrame = f[ff + 2];
    switch (c->LastFrame & 0xFE) {
      case 0x40:
      case 0x42: {
        std::string id;
        for (std::size_t i = 0; i < 20 && ff + 3 + i < f.size(); ++i)
          id.insert(id.begin(), static_cast<char>(f[ff + 3 + i]));
        afSetRemoteID(fax, id);
        d->FaxProgress = fpGotRemoteID;
        c->ForceStatus = true;
        c->GotRemoteID = true;
        return false;
      }
      case 0x44:  // FTT: the training failed
        if (!FallBack()) {
          Fail(ecFaxTrainError);
          return true;
        }
        Command("AT+FTH=3");
        fax->State = tf1TSIResponse;
        return false;
      case 0x4C:  // RTN: the page was not received well
        return PageRejected();
      case 0x80:
        if (!DecodeDIS(f, ff)) {
          Fail(ecFaxBadMachine);
          return true;
        }
        d->FaxProgress = fpSessionParams;
        c->ForceStatus = true;
        return false;
      case 0x84:
        c->ReceivedCFR = true;
        return false;
      case 0xFA:
        // The remote hangs up: the call ends after the pages it has confirmed.
        Fail(ecFaxSessionError);
        return true;
      default:
        return false;
    }
  }

  // RTN: the page just sent was not received well. It is sent again after new training
  // (one rate lower where there is one) until the retries run out.
  bool PageRejected() {
    const bool afterEOM = c->MorePages && !NextPageFollowsMPS();
    c->LastPageOk = false;
    d->FaxProgress = fpPageError;
    c->ForceStatus = true;
    if (++fax->RetryCount > fax->MaxRetries) {
      Fail(ecFaxSessionError);
      return true;
    }
    if (!FallBack()) {
      Fail(ecFaxTrainError);
      return true;
    }
    if (int r = RewindToSentPage(); r < 0) {
      Fail(r);
      return true;
    }
    // After EOM the remote starts phase B again: the wait for its DIS follows the modem's OK.
    if (afterEOM) return false;
    Command("AT+FTH=3");
    fax->State = tf1TSIResponse;
    return false;
  }

  // Goes back to the page whose end was signalled last (the file may already stand on the
  // page after it), or to the cover.
  int RewindToSentPage() {
    if (c->SentCover) {
      FreeCover();
      d->SendingCover = true;
      d->CoverFileName = c->SentCoverName;
      if (c->CoverIsFXF) {
        int r = OpenFaxFile(d->CoverFileName);
        if (r == 0) r = SeekPage(1);
        if (r < 0) return r;
      } else if (!d->FaxFileName.empty()) {
        d->CurrentPage = 1;
        if (int r = SeekPage(1); r < 0) return r;
      }
    } else if (!d->FaxFileName.empty()) {
      if (!c->FaxFile.IsOpen())
        if (int r = OpenFaxFile(d->FaxFileName); r < 0) return r;
      d->CurrentPage = c->SentPage;
      d->DataCount = 0;
      if (int r = SeekPage(d->CurrentPage); r < 0) return r;
    }
    c->LastResChar = c->ResChar;
    return 0;
  }

  bool FrameState() const {
    return fax->State == tf1Connect || fax->State == tf1WaitCFR || fax->State == tf1WaitMCF;
  }

  // Class 1: the waits for the remote's DIS and for its answer to the training last until their
  // time has run out. A modem that stops listening before the frame comes (NO CARRIER) or hears
  // what it cannot take (ERROR: a high-speed carrier, a frame with a bad check) is told to listen
  // again, as T.30 has the sender do.
  void BeginListening(std::int32_t ticks) {
    c->Listening = true;
    NewTimer(c->ListenTimer, ticks);
  }
  bool Listens() const {
    return d->ClassInUse == ctClass1 && c->Listening &&
           (fax->State == tf1Connect || fax->State == tf1WaitCFR);
  }
  void ListenAgain() {
    const std::int32_t left = RemainingTime(c->ListenTimer);
    if (left <= 0) return ListenRanOut();
    Command("AT+FRH=3");
    ArmTimeout(left);
  }
  // No DIS: the remote has not answered as a fax, or after the pages it confirmed it has not come
  // back after EOM. No answer to the training: the line's time-out.
  void ListenRanOut() {
    if (fax->State == tf1Connect && !c->AfterEOM) return Fail(ecFaxNoAnswer);
    Fail(ecTimeout);
  }

  void Connect1() {
    if (Has("CONNECT")) {
      // The remote has answered: its DIS is awaited until T1 from its first frame on.
      if (!c->Listening) BeginListening(c->DISWait);
      return;  // the frame follows
    }
    if (Has("OK")) {
      if (c->FinalFrame) {
        DelayMS(200);
        Command("AT+FTH=3");
        c->FinalFrame = false;
        c->Listening = false;
        fax->State = tf1SendTSI;
      } else {
        if (!c->Listening) BeginListening(c->DISWait);
        ListenAgain();
      }
      return;
    }
    if (Listens() && (Has("RRIER") || Has("ERROR"))) return ListenAgain();
    if (Has("BUSY") || Has("ANSWER")) return BusyRule();
    if (Has("VOICE") || Has("VCON")) return Fail(ecFaxVoiceCall);
    if (Has("NO DIAL")) return Fail(ecFaxNoDialTone);
    if (Has("RRIER")) return Fail(ecFaxNoCarrier);
  }

  void SendFrameThen(const std::vector<std::uint8_t>& frame, SendStates next) {
    if (int r = SendFrame(frame); r < 0) return Fail(r);
    fax->State = next;
  }

  void WaitCFR() {
    if (Has("RRIER") || Has("ERROR")) return ListenAgain();
    if (!Has("OK")) return;
    if (!c->FinalFrame) return ListenAgain();
    DelayMS(200);
    if (c->ReceivedCFR) {
      Command(std::string("AT+FTM=") + PageCode());
      c->FinalFrame = false;
      fax->State = tf1WaitPageConnect;
    } else {
      Command("AT+FTH=3");
      fax->State = tf1TSIResponse;
    }
  }

  void SendTCF() {
    if (d->FaxOptions & afSoftwareFlow) port->SWFlowEnable(0, 0, sfTransmitFlow);
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(c->SessionBPS / 100 * 18), 8192);
    std::vector<std::uint8_t> zeros(n, 0);
    if (int r = fPutRaw(fax, zeros.data(), n); r < 0) return Fail(r);
    const std::uint8_t end[2] = {0x10, 0x03};
    if (int r = fPutRaw(fax, end, 2); r < 0) return Fail(r);
    fax->State = tf1TrainFinish;
  }

  void WaitMCF() {
    if (Has("CONNECT")) {
      fax->FrameConnect = true;
      return;
    }
    if (Has("ERROR")) {
      fax->State = tf1PrepareEOP;
      return;
    }
    if (!Has("OK")) return;
    const std::uint8_t control = c->LastFrame & 0xFE;
    if (control == 0x8C) {
      c->LastPageOk = true;
      fax->RetryCount = 0;
      d->FaxProgress = fpPageOK;
      c->ForceStatus = true;
      if (c->MorePages && NextPageFollowsMPS()) {
        // The next page follows the confirmation without new training: the page code.
        Command(std::string("AT+FTM=") + PageCode());
        fax->State = tf1WaitPageConnect;
      } else if (c->MorePages) {
        AwaitDIS();
      } else {
        Command("AT+FTH=3");
        fax->State = tf1SendDCN;
      }
    } else if (control == 0xCC) {
      // Received, but the remote wants new training before the next page.
      c->LastPageOk = true;
      fax->RetryCount = 0;
      d->FaxProgress = fpPageOK;
      c->ForceStatus = true;
      if (c->MorePages && !NextPageFollowsMPS()) {
        AwaitDIS();
      } else {
        Command("AT+FTH=3");
        fax->State = c->MorePages ? tf1TSIResponse : tf1SendDCN;
      }
    } else if (control == 0x4C) {
      // RTN after EOM: the page goes again once the remote has sent its DIS.
      AwaitDIS();
    }
    if (fax->State == tf1Connect) {
      // The frames still to come after a frame that was not final are read first.
      c->FinalFrame = false;
      ListenAgain();
    } else if (!c->FinalFrame) {
      Command("AT+FRH=3");
    }
  }

  // After EOM the remote starts phase B again: its DIS (some machines send it only once their
  // T2 has run out) is awaited until T1 and answered as after the dial, with TSI, the next
  // page's DCS and training.
  void AwaitDIS() {
    c->AfterEOM = true;
    BeginListening(c->DISWait);
    fax->State = tf1Connect;
  }

  // A reply state that only wants "OK" before its command.
  bool NeedOK() {
    if (Has("OK")) return true;
    Fail(ecFaxInitError);
    return false;
  }

  void Dial() {
    std::string cmd;
    if (d->ManualSend)
      cmd = "ATD";
    else
      cmd = std::string(c->ToneDial ? "ATDT" : "ATDP") + c->DialPrefix + d->PhoneNum;
    Command(cmd);
    ArmTimeout(c->DialWait);
    c->AfterEOM = false;
    c->Listening = false;
    d->FaxProgress = d->ManualSend ? fpConnecting : fpDialing;
    fax->State = d->ClassInUse == ctClass1 ? tf1Connect : tf2Connect;
  }

  void BusyRule() {
    ++d->ConnectCount;
    if (d->ConnectAttempts != 0 && d->ConnectCount >= d->ConnectAttempts) {
      afFaxStatus(fax, false, false);
      if (d->FaxOptions & afAbortNoConnect) return Fail(ecFaxBusy);
      CloseFaxFile();
      afReportError(fax, ecFaxBusy);
      afLogFax(fax, lfaxTransmitFail);
      d->FaxProgress = fpInitModem;
      fax->State = tfGetEntry;
      return;
    }
    d->FaxProgress = fpBusyWait;
    c->ForceStatus = true;
    ArmTimeout(d->RetryWait);
    fax->State = tfRetryWait;
  }

  void Connect2() {
    if (ReplyIs(mcConnectReply)) {
      ArmTimeout(c->ReplyWait);
      c->Response.clear();
      fax->State = tf2GetParams;
    } else if (Has("BUSY") || Has("ANSWER")) {
      BusyRule();
    } else if (Has("VOICE") || Has("VCON")) {
      Fail(ecFaxVoiceCall);
    } else if (Has("NO DIAL")) {
      Fail(ecFaxNoDialTone);
    }
  }

  void GetParams() {
    if (ReplyIs(mcRemoteCapsReply)) {
      fDecodeSessionParams(fax, c->Response);
      const bool wide = (PageFlags() & pfWideLine) != 0;
      if ((wide && c->SessionWid == 0) || (c->ResChar == '1' && c->SessionRes == 0))
        return Fail(ecFaxBadMachine);
      d->FaxProgress = fpSessionParams;
      c->ForceStatus = true;
    } else if (ReplyIs(mcCSIReply)) {
      std::string id = c->Response;
      const std::size_t colon = id.find(':');
      id = Trim(colon == std::string::npos ? std::string() : id.substr(colon + 1));
      if (!id.empty() && id[0] == '"') id[0] = ' ';
      while (!id.empty() && !std::isalnum(static_cast<unsigned char>(id.back()))) id.pop_back();
      afSetRemoteID(fax, id.substr(0, MaxStationIDLen));
      d->FaxProgress = fpGotRemoteID;
      c->ForceStatus = true;
    } else if (ReplyIs(mcSessionReply)) {
      fDecodeSessionParams(fax, c->Response);
      d->FaxProgress = fpSessionParams;
      c->ForceStatus = true;
    } else if (Has("CONNECT")) {
      if (Class20()) {
        ArmOutFree();
        ArmTimeout(c->DataWait);
        fax->State = tfWaitFreeHeader;
      } else {
        ArmTimeout(18);
        fax->State = tfWaitXon;
      }
    } else if (Has("OK")) {
      Command("AT+FDT");
      ArmTimeout(546);
      NewTimer(c->ReplyTimer, 546);
    }
  }

  void WaitXon(int event) {
    bool go = event == d->TimeoutTrigger;
    if (event == 0) {
      std::uint8_t ch;
      while (!go && port->CharReady() && port->GetChar(ch) == 0)
        if (ch == 0x11) go = true;
    }
    if (!go) return;
    ArmOutFree();
    ArmTimeout(c->DataWait);
    fax->State = tfWaitFreeHeader;
  }

  void SendPageHeader() {
    if (int r = LoadFont(true); r < 0) return Fail(r);
    for (int i = 0; i < 8; ++i) {
      if (int r = fPutDLEData(fax, kWhiteLine, sizeof kWhiteLine); r < 0) return Fail(r);
      if (c->MinBytes >= 7) {
        std::uint8_t zeros[256] = {};
        if (int r = fPutRaw(fax, zeros, static_cast<std::size_t>(c->MinBytes - 5)); r < 0) return Fail(r);
      }
    }
    if (!fax->HeaderText.empty()) {
      const std::string text = afConvertHeaderString(fax, fax->HeaderText);
      if (int r = PadToBufferMinimum(); r < 0) return Fail(r);
      if (int r = SendTextRows(text); r < 0) return Fail(r);
    }
    if (int r = PadToBufferMinimum(); r < 0) return Fail(r);
    fax->State = d->CoverFileName.empty() ? tfPrepPage : tfOpenCover;
  }

  void OpenCover() {
    d->DataCount = 0;
    if (c->CoverIsFXF) {
      int r = OpenFaxFile(d->CoverFileName);
      if (r == 0) r = SeekPage(1);
      if (r < 0) return Fail(r);
      fax->State = tfPrepPage;
      return;
    }
    auto stream = std::make_unique<std::ifstream>(d->CoverFileName, std::ios::binary);
    if (!stream->is_open()) return Fail(fxfFileError(errno != 0 ? errno : ENOENT));
    FreeCover();
    fax->CoverReader = new TLineReader(std::move(stream));
    fax->CoverOpen = true;
    if (int r = LoadFont(false); r < 0) return Fail(r);
    ArmTimeout(c->DataWait);
    ArmOutFree();
    d->FaxProgress = fpSendPage;
    fax->State = tfSendCover;
  }

  void SendCover() {
    TLineReader* reader = fax->CoverReader;
    bool atEnd = reader == nullptr;
    while (!atEnd && port->OutBuffFree() > 4096) {
      const std::string line = reader->NextLine();
      atEnd = reader->Eof();
      if (atEnd && line.empty()) break;
      if (int r = SendTextRows(afConvertHeaderString(fax, line)); r < 0) return Fail(r);
    }
    if (!atEnd) {
      ArmTimeout(c->DataWait);
      ArmOutFree();
      return;
    }
    std::uint8_t eop[32];
    int len = 0;
    acMakeEndOfPage(fax->Converter, eop, len);
    if (int r = fPutDLEData(fax, eop, static_cast<std::size_t>(len)); r < 0) return Fail(r);
    if (int r = PadLine(len); r < 0) return Fail(r);
    if (d->ClassInUse == ctClass1) {
      const std::uint8_t end[2] = {0x10, 0x03};
      if (int r = fPutRaw(fax, end, 2); r < 0) return Fail(r);
      d->FaxProgress = fpSendPage;
    }
    ArmTimeout(c->DataWait);
    ArmOutEmpty();
    fax->State = tfDrainPage;
  }

  void PrepPage() {
    d->DataCount = 0;
    d->PageSize = static_cast<std::int32_t>(c->FaxFile.PageHeader().ImageLength);
    c->ForceStatus = true;
    ArmTimeout(c->DataWait);
    ArmOutFree();
    fax->State = tfSendPage;
  }

  void SendPageBlocks() {
    EventTimer local;
    NewTimer(local, Secs2Ticks(3 * d->StatusInterval));
    std::uint8_t* buf = c->DataBuffer.get();
    bool done = d->DataCount >= d->PageSize;
    for (int i = 0; i < fax->MaxSendCount && !done; ++i) {
      if (port->OutBuffUsed() > fax->BufferMinimum || port->OutBuffFree() < 4096) break;
      if (TimerExpired(local)) {
        afFaxStatus(fax, false, false);
        ArmStatus();
        NewTimer(local, Secs2Ticks(2 * d->StatusInterval));
      }
      int len = 0;
      if (c->UseLengthWords) {
        const int r = c->FaxFile.ReadLineRecord(buf, len);
        if (r < 0) return Fail(r);
        if (r == 1) {
          done = true;
          break;
        }
        if (int e = fPutDLEData(fax, buf, static_cast<std::size_t>(len)); e < 0) return Fail(e);
        if (int e = PadLine(len); e < 0) return Fail(e);
        d->DataCount += len + 2;
      } else {
        const int r = c->FaxFile.ReadPageData(buf, static_cast<int>(DataBufferSize), len);
        if (r < 0) return Fail(r);
        if (len == 0) {
          done = true;
          break;
        }
        if (int e = fPutDLEData(fax, buf, static_cast<std::size_t>(len)); e < 0) return Fail(e);
        d->DataCount += len;
      }
      done = d->DataCount >= d->PageSize;
    }
    ArmTimeout(c->DataWait);
    if (done && d->ClassInUse == ctClass1) {
      const std::uint8_t end[2] = {0x10, 0x03};
      if (int e = fPutRaw(fax, end, 2); e < 0) return Fail(e);
      d->FaxProgress = fpSendPage;
    }
    if (done) {
      fax->State = tfDrainPage;
      ArmOutEmpty();
    } else {
      ArmOutFree();
    }
  }

  void DrainPage() {
    if (d->FaxOptions & afSoftwareFlow) port->SWFlowDisable();
    c->SentPage = d->CurrentPage;
    c->SentCover = d->SendingCover;
    c->SentCoverName = d->CoverFileName;
    const bool more = MorePages();
    if (more) {
      if (int r = NextPage(); r < 0) return Fail(r);
    }
    c->ForceStatus = true;
    d->FaxProgress = fpSendPage;
    if (d->ClassInUse == ctClass1) {
      fax->State = tf1PageEnd;
      return;
    }
    std::uint8_t end[2] = {0x10, 0x03};
    if (Class20()) end[1] = !more ? '.' : ResolutionChanges() ? ';' : ',';
    if (int r = fPutRaw(fax, end, 2); r < 0) return Fail(r);
    fax->State = tf2SendEOP;
  }

  void AfterPageOK() {
    if (ResolutionChanges())
      fax->State = tf2SendNewParams;
    else
      fax->State = tf2NextPage;
  }

  void WaitFPTS() {
    if (!Has("OK")) return Fail(ecFaxSessionError);
    if (c->MorePages)
      Command(std::string("AT+FET=") + (ResolutionChanges() ? '1' : '0'));
    else
      Command("AT+FET=2");
    ArmTimeout(c->DataWait);
    fax->State = tf2WaitFET;
  }

  void PageStatus() {
    const std::size_t colon = c->Response.find(':');
    std::size_t p = colon == std::string::npos ? c->Response.size() : colon + 1;
    while (p < c->Response.size() && c->Response[p] == ' ') ++p;
    const char v = p < c->Response.size() ? c->Response[p] : '\0';
    if (v == '1' || v == '3') {
      c->LastPageOk = true;
      d->FaxProgress = fpPageOK;
      c->ForceStatus = true;
    } else if (v == '2') {
      c->LastPageOk = false;
      d->FaxProgress = fpPageError;
      c->ForceStatus = true;
      fax->State = tf2WaitPageOK;
    } else if (v == '4' || v == '5') {
      c->LastPageOk = false;
      Fail(ecCancelRequested);
    } else {
      c->LastPageOk = false;
      Fail(ecFaxPageError);
    }
  }

  void WaitFET() {
    if (ReplyIs(mcPageStatusReply)) return PageStatus();
    if (Has(c->ModCodes.Hangup)) {
      c->HangupCode = ReplyNumber(c->Response);
      return;
    }
    if (Has("OK")) return AfterPageOK();
    Fail(ecFaxPageError);
  }

  void WaitPageOK() {
    if (!Has("OK")) return Fail(ecFaxSessionError);
    if (++fax->RetryCount > fax->MaxRetries) {
      port->PutString("AT+FKS\r");
      return Fail(ecFaxSessionError);
    }
    Command("AT+FDT");
    // The rejected page goes again.
    if (int r = RewindToSentPage(); r < 0) return Fail(r);
    fax->State = tf2GetParams;
  }

  void CheckPage20() {
    if (Has(c->ModCodes.Hangup)) {
      c->HangupCode = ReplyNumber(c->Response);
      return;
    }
    if (Has("ERROR")) {
      Command("AT+FPS?");
      d->FaxProgress = fpPageError;
      c->ForceStatus = true;
      fax->State = tf2WaitPageOK;
      return;
    }
    if (Has("OK")) {
      c->LastPageOk = true;
      d->FaxProgress = fpPageOK;
      c->ForceStatus = true;
      return AfterPageOK();
    }
    Fail(ecFaxPageError);
  }

  void Close() {
    FreeCover();
    CloseFaxFile();
    fax->RetryCount = 0;
    d->SendingCover = false;
    // The finish is shown before the next entry is asked for (a status display stops its clock).
    d->FaxProgress = fpFinished;
    c->ForceStatus = true;
    afLogFax(fax, lfaxTransmitOk);
    fSwitchToInitBaud(fax);
    fax->State = tfGetEntry;
  }

  void Abort(bool cancelled) {
    CloseFaxFile();
    FreeCover();
    afLogFax(fax, lfaxTransmitFail);
    fHangup(fax);
    if ((d->FaxOptions & (afExitOnError | afAbortNoConnect)) != 0 || cancelled) {
      d->FaxProgress = fpCancel;
      afFaxStatus(fax, false, true);
      afSignalFinish(fax);
      c->InitSent = false;
      fax->State = tfDone;
    } else {
      fax->State = tfGetEntry;
    }
    fSwitchToInitBaud(fax);
  }

  // Runs the reply reader; true when a reply line is in Response (or the state became tfAbort).
  bool ReadReply() {
    for (;;) {
      if (c->InFrame) {
        // Raw frame bytes up to DLE ETX, DLE pairs undone.
        std::uint8_t ch = 0;
        bool ended = false;
        while (!ended && port->CharReady() && port->GetChar(ch) == 0) {
          if (c->FrameDLE) {
            c->FrameDLE = false;
            if (ch == 0x03)
              ended = true;
            else if (ch == 0x10 && c->RxFrame.size() < 256)
              c->RxFrame.push_back(0x10);
          } else if (ch == 0x10) {
            c->FrameDLE = true;
          } else if (c->RxFrame.size() < 256) {
            c->RxFrame.push_back(ch);
          }
        }
        if (!ended) return false;
        c->InFrame = false;
        c->Response.clear();
        c->LineReady = false;
        continue;
      }
      if (!fReadReplyLine(fax)) return false;
      c->Response = Trim(c->Response);
      if (c->Response.empty()) continue;
      if (!c->RxFrame.empty()) {
        // The modem's line after a frame tells whether its check was good: only then is it the
        // remote's frame (after ERROR it was noise).
        const bool ended = Has("OK") && DecodeFrame();
        c->RxFrame.clear();
        if (ended) return true;
      }
      const std::uint8_t s = fax->State;
      if (Has("ERROR") && !Listens() && s != tf1SendEOP && s != tf1WaitEOP && s != tf1WaitMCF &&
          s != tf20CheckPage) {
        Fail(ecFaxBadModemResult);
        return true;
      }
      if (!c->ModCodes.Hangup.empty() && Has(c->ModCodes.Hangup) && s != tf2WaitFET && s != tf20CheckPage) {
        c->HangupCode = ReplyNumber(c->Response);
        Fail(ecFaxBadModemResult);
        return true;
      }
      if (d->ClassInUse == ctClass1 && FrameState() && Has("CONNECT")) {
        // An HDLC frame follows the CONNECT.
        c->InFrame = true;
        c->FrameDLE = false;
        c->RxFrame.clear();
      }
      return true;
    }
  }

  // Runs the current state for the event; returns false when the handler is to be left.
  void RunState(int event, bool cancelled) {
    switch (fax->State) {
      case tfGetEntry:
        GetEntry();
        break;
      case tfInit:
        Init();
        break;
      case tf2Init1:
        if (NeedOK()) {
          Command(Code(mcLocalID) + "=\"" + d->StationID + "\"");
          fax->State = Class20() ? tf2Init1A : tf2Init2;
        }
        break;
      case tf2Init1A:
        if (NeedOK()) {
          Command("AT+FLO=2");
          fax->State = tf2Init1B;
        }
        break;
      case tf2Init1B:
        if (NeedOK()) {
          Command("AT+FNR=1,1,1,0");
          fax->State = tf2Init2;
        }
        break;
      case tf2Init2:
        if (NeedOK()) {
          std::string cmd = Code(mcSessionParams) + "=" + c->ResChar + "," + fRateCode(c->DesiredBPS) + "," +
                            ((PageFlags() & pfWideLine) ? '1' : '0') + ",2,0," + c->ECMChar + ",0,0";
          Command(cmd);
          fax->State = tf2Init3;
        }
        break;
      case tf2Init3:
        if (NeedOK()) fax->State = tfDial;
        break;
      case tf1Init1:
        if (Has("OK"))
          fax->State = tfDial;
        else
          Fail(ecFaxInitError);
        break;
      case tf1Connect:
        Connect1();
        break;
      case tf1SendTSI:
        if (Has("CONNECT")) SendFrameThen(TSIFrame(), tf1TSIResponse);
        break;
      case tf1TSIResponse:
        if (Has("CONNECT")) SendFrameThen(DCSFrame(), tf1DCSResponse);
        break;
      case tf1DCSResponse:
        if (Has("OK")) {
          Command("AT+FTM=" + c->TrainCode);
          fax->State = tf1TrainStart;
        }
        break;
      case tf1TrainStart:
        if (Has("CONNECT")) SendTCF();
        break;
      case tf1TrainFinish:
        if (Has("OK")) {
          if (d->FaxOptions & afSoftwareFlow) port->SWFlowDisable();
          DelayMS(200);
          c->ReceivedCFR = false;
          fax->State = tf1WaitCFR;
          BeginListening(c->ReplyWait);
          ListenAgain();
        }
        break;
      case tf1WaitCFR:
        WaitCFR();
        break;
      case tf1WaitPageConnect:
        if (Has("CONNECT")) {
          ArmTimeout(18);
          fax->State = tfWaitXon;
        }
        break;
      case tf1PageEnd:
        if (Has("OK")) {
          c->EOPCount = 0;
          d->FaxProgress = fpSendPageStatus;
          c->ForceStatus = true;
          fax->State = tf1PrepareEOP;
        }
        break;
      case tf1PrepareEOP:
        if (++c->EOPCount < 4) {
          DelayMS(500);
          Command("AT+FTH=3");
          fax->State = tf1SendEOP;
        } else {
          Fail(ecTimeout);
        }
        break;
      case tf1SendEOP:
        if (Has("CONNECT")) {
          const std::uint8_t control = !c->MorePages ? 0x2F : NextPageFollowsMPS() ? 0x4F : 0x8F;
          SendFrameThen({0xFF, 0x13, control}, tf1WaitMPS);
        }
        break;
      case tf1WaitMPS:
      case tf1WaitEOP:
        if (Has("OK")) {
          DelayMS(200);
          Command("AT+FRH=3");
          if (fax->State == tf1WaitMPS)
            ArmTimeout(54);
          else
            NewTimer(c->ReplyTimer, 54);
          fax->FrameConnect = false;
          fax->State = tf1WaitMCF;
        }
        break;
      case tf1WaitMCF:
        WaitMCF();
        break;
      case tf1SendDCN:
        if (Has("CONNECT")) SendFrameThen({0xFF, 0x13, 0xFB}, tf1Hangup);
        break;
      case tf1Hangup:
        if (Has("OK")) {
          Command("ATH");
          ArmTimeout(26);
          fax->State = tf1WaitHangup;
        }
        break;
      case tf1WaitHangup:
        if (Has("OK")) fax->State = tfClose;
        break;
      case tfDial:
        Dial();
        break;
      case tfRetryWait:
        // Only the end of the wait redials; stray characters do not.
        if (event == d->TimeoutTrigger) fax->State = tfDial;
        break;
      case tf2Connect:
        Connect2();
        break;
      case tf2GetParams:
        GetParams();
        break;
      case tfWaitXon:
        WaitXon(event);
        break;
      case tfWaitFreeHeader:
        if (event == d->OutFreeTrigger) {
          d->FaxProgress = fpSendPage;
          if (d->FaxOptions & afSoftwareFlow) port->SWFlowEnable(0, 0, sfTransmitFlow);
          fax->State = tfSendPageHeader;
        }
        break;
      case tfSendPageHeader:
        SendPageHeader();
        break;
      case tfOpenCover:
        OpenCover();
        break;
      case tfSendCover:
        if (event == d->OutFreeTrigger) SendCover();
        break;
      case tfPrepPage:
        PrepPage();
        break;
      case tfSendPage:
        if (event == d->OutFreeTrigger)
          SendPageBlocks();
        else if (event == 0)
          DropInput();
        break;
      case tfDrainPage:
        if (event == d->OutEmptyTrigger)
          DrainPage();
        else if (event == 0)
          DropInput();
        break;
      case tf2SendEOP:
        c->Response.clear();
        c->LineReady = false;
        ArmTimeout(c->DataWait);
        d->FaxProgress = fpSendPageStatus;
        fax->State = Class20() ? tf20CheckPage : tf2WaitFPTS;
        break;
      case tf2WaitFPTS:
        WaitFPTS();
        break;
      case tf2WaitFET:
        WaitFET();
        break;
      case tf2WaitPageOK:
        WaitPageOK();
        break;
      case tf2SendNewParams:
        if (c->MorePages) {
          Command(std::string(Class20() ? "AT+FIS=" : "AT+FDIS=") + c->ResChar);
          fax->State = tf2GetParams;
        } else {
          fax->State = tfClose;
        }
        break;
      case tf2NextPage:
        if (c->MorePages) {
          DelayMS(5 * MSecsPerTick);
          Command("AT+FDT");
          fax->State = tf2GetParams;
        } else {
          fax->State = tfClose;
        }
        break;
      case tf20CheckPage:
        CheckPage20();
        break;
      case tfClose:
        Close();
        break;
      case tfCompleteOK:
        afFaxStatus(fax, false, true);
        afSignalFinish(fax);
        c->InitSent = false;
        fax->State = tfDone;
        break;
      case tfAbort:
        Abort(cancelled);
        break;
      case tfDone:
        break;
      default:
        break;
    }
  }
};

}  // namespace

void fFaxTransmit(UINT msg, WPARAM wParam, LPARAM lParam) {
  TFaxCall call(lParam);
  if (!call) return;
  TFaxRec* fax = call.Fax;
  Session s{fax, fax->PData, fax->CData, fax->PData->ComPort};
  if (s.port == nullptr) return;
  TFaxData* d = s.d;

  bool cancel = msg == apw_FaxCancel;
  int event = msg == SW_TRIGGERAVAIL ? 0 : static_cast<int>(wParam);
  if (!cancel && event != 0 && event != d->TimeoutTrigger && event != d->StatusTrigger &&
      event != d->OutFreeTrigger && event != d->OutEmptyTrigger)
    return;
  if (fax->State == tfAbort || fax->State == tfDone) return;
  if (!d->HandlerRegistered && !cancel && msg != 0) return;  // the session has ended
  bool cancelled = false;

  for (;;) {
    if (s.port->DispatchLogging())
      s.port->AddDispatchEntry(dtFax, static_cast<TDispatchSubType>(FaxSendSubTypeBase + fax->State),
                               s.port->OutBuffUsed());
    if (cancel) {
      cancel = false;
      cancelled = true;
      d->FaxProgress = fpCancel;
      d->FaxError = ecCancelRequested;
      fax->State = tfAbort;
      afFaxStatus(fax, false, false);
      event = -1;
    } else if (event == d->StatusTrigger || s.c->ForceStatus) {
      s.c->ForceStatus = false;
      afFaxStatus(fax, false, false);
      if (d->HandlerRegistered) s.ArmStatus();
      if (event == d->StatusTrigger) return;
    }

    if (fax->State == tfGetEntry && gGetEntryBusy) return;
    if (IsReplyState(fax->State)) {
      if (event == 0) {
        if (!s.ReadReply()) return;
      } else if (event == d->TimeoutTrigger) {
        switch (fax->State) {
          case tf1Connect:
          case tf1WaitCFR:
            s.ListenRanOut();
            break;
          case tf2Connect:
            s.Fail(ecFaxNoAnswer);
            break;
          case tf1WaitMCF:
            s.port->PutString(" ");
            s.c->InFrame = false;
            s.c->RxFrame.clear();
            fax->State = tf1PrepareEOP;
            break;
          case tf1WaitHangup:
            fHangup(fax);
            fax->State = tfClose;
            break;
          default:
            s.Fail(ecTimeout);
            break;
        }
      } else {
        return;
      }
    } else if (event == d->TimeoutTrigger && (fax->State == tfWaitFreeHeader || fax->State == tfSendCover ||
                                              fax->State == tfSendPage || fax->State == tfDrainPage)) {
      // The output has not moved for the whole data wait: the line is stuck.
      s.Fail(ecTimeout);
    }

    const std::uint8_t before = fax->State;
    s.RunState(event, cancelled);
    gGetEntryBusy = false;

    const std::uint8_t now = fax->State;
    if (now == tfDone) return;
    if (IsReplyState(before) && now == before) {
      if (!s.port->CharReady()) return;
    } else if (WaitsAfter(before) && now == before) {
      return;
    } else if (IsReplyState(now) && !s.port->CharReady() && before != tfAbort && !IsReplyState(before)) {
      // A command went out: its reply comes with a later event.
      return;
    }
    event = 0;
  }
}
