// Implements the receive state machine declared in fax/Swfax.h: the modem is set up for
// answering, rings are counted, the call is answered and negotiated with a Class 1, Class 2 or
// Class 2.0 modem, and the pages are written into fax files named through the component, one
// call after the other.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "fax/Swfax.h"
#include "platform/Text.h"
#include "serial/SioMisc.h"
#include "serial/Sioexcept.h"

namespace {

bool Contains(std::string_view s, std::string_view what) { return s.find(what) != std::string_view::npos; }

bool IsReplyState(std::uint8_t s) {
  return (s >= rf1Init1 && s <= rfWaiting) || s == rf1SendCSI || s == rf1SendDIS || s == rf1CollectFrames ||
         s == rf1StartTrain || (s >= rf1Retrain && s <= rf2GetConnect) || s == rf1FinishPage ||
         s == rf1WaitEOP || (s >= rf1SendMCF && s <= rf2GetFHNG);
}

// States after which the handler runs the next state at once.
bool GoesOnAfter(std::uint8_t s) {
  return s == rfInit || s == rfAnswer || s == rfStartPage || s == rf1WritePage || s == rfComplete ||
         s == rfAbort;
}

// States that need no input to run.
bool RunsAtOnce(std::uint8_t s) {
  return s == rfInit || s == rfAnswer || s == rfStartPage || s == rf1WritePage || s == rfComplete ||
         s == rfAbort || s == rf1CollectRetry1;
}

// Class 1 states that receive HDLC frames after their CONNECT.
bool FrameState(std::uint8_t s) { return s == rf1CollectFrames || s == rf1WaitEOP || s == rf1WaitDCN; }

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

// The first character of a reply's value (behind its ":"), or 0.
char ReplyValue(std::string_view reply) {
  std::size_t p = reply.find(':');
  p = p == std::string_view::npos ? reply.size() : p + 1;
  while (p < reply.size() && reply[p] == ' ') ++p;
  return p < reply.size() ? reply[p] : '\0';
}

std::uint8_t ReverseBits(std::uint8_t b) {
  b = static_cast<std::uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
  b = static_cast<std::uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
  b = static_cast<std::uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
  return b;
}

constexpr const char* kTrainCodes[6] = {"24", "48", "72", "96", "121", "145"};
constexpr const char* kPageCodes[6] = {"24", "48", "72", "96", "122", "146"};

struct Session {
  TFaxRec* fax;
  TFaxData* d;
  TC12AbsData* c;
  TSioBaseDispatcher* port;
  bool cancelled = false;

  bool Class1() const { return d->ClassInUse == ctClass1; }
  bool Class20() const { return d->ClassInUse == ctClass2_0; }
  bool Class2x() const { return d->ClassInUse == ctClass2 || d->ClassInUse == ctClass2_0; }
  const std::string& Code(int entry) const { return c->ModCodes.Codes[static_cast<std::size_t>(entry)]; }
  bool ReplyIs(int entry) const { return Class2x() && c->Response.starts_with(Code(entry)); }
  bool Has(std::string_view word) const { return Contains(c->Response, word); }
  bool HasHangup() const { return Class2x() && !c->ModCodes.Hangup.empty() && Has(c->ModCodes.Hangup); }

  void Fail(int code) {
    afReportError(fax, code);
    fax->State = rfAbort;
  }
  void Command(std::string_view text) { fPutModemCommand(fax, text); }
  void ArmTimeout(std::int32_t ticks) {
    port->SetTimerTrigger(static_cast<std::uint32_t>(d->TimeoutTrigger), ticks, true);
  }
  void DisarmTimeout() { port->SetTimerTrigger(static_cast<std::uint32_t>(d->TimeoutTrigger), 0, false); }
  void ArmStatus() {
    port->SetTimerTrigger(static_cast<std::uint32_t>(d->StatusTrigger), Secs2Ticks(d->StatusInterval), true);
  }
  void Progress(std::int16_t code) {
    d->FaxProgress = code;
    c->ForceStatus = true;
  }
  void StartingStatus() {
    if (c->StartSent) return;
    c->StartSent = true;
    afFaxStatus(fax, true, false);
  }
  void XonXoff(bool on) {
    if (!(d->FaxOptions & afSoftwareFlow)) return;
    if (on)
      port->SWFlowEnable(6144, 2048, sfReceiveFlow);
    else
      port->SWFlowDisable();
  }
  // "AT+FRM=" with a modulation code: data follow the CONNECT.
  void Listen(const std::string& code) {
    c->ListenCode = code;
    c->CarrierRetries = 0;
    Command("AT+FRM=" + code);
  }
  void FrameRead() {
    Command("AT+FRH=3");
    c->FrameSeen = false;
  }

  // ----- frames

  int SendFrame(const std::vector<std::uint8_t>& frame) {
    DelayMS(20);
    if (int r = fPutDLEData(fax, frame.data(), frame.size()); r < 0) return r;
    const std::uint8_t end[2] = {0x10, 0x03};
    return fPutRaw(fax, end, 2);
  }

  std::vector<std::uint8_t> IDFrame(std::uint8_t control) const {
    std::vector<std::uint8_t> f{0xFF, 0x03, control};
    const std::string& id = d->StationID;
    for (std::size_t i = id.size(); i < 20; ++i) f.push_back(' ');
    for (auto it = id.rbegin(); it != id.rend(); ++it) f.push_back(static_cast<std::uint8_t>(*it));
    return f;
  }

  std::vector<std::uint8_t> DISFrame() const {
    // The data signalling rates of T.30: V.27ter (4800), V.29 (7200, 9600), V.17 (up to 14400).
    static const std::uint8_t kRateBits[7] = {0x0C, 0x00, 0x08, 0x0C, 0x0C, 0x2C, 0x2C};
    const std::uint8_t rate =
        static_cast<std::uint8_t>(0x42 | (c->RateIndex <= 6 ? kRateBits[c->RateIndex] : 0x0C));
    return {0xFF, 0x13, 0x80, 0x00, rate, 0xF9, 0x00};
  }

  // The sender's choice (DCS): rate, modulation, resolution, width and scan time.
  void DecodeDCS(const std::vector<std::uint8_t>& f, std::size_t ff) {
    const std::uint8_t b1 = ff + 4 < f.size() ? f[ff + 4] : 0;
    const std::uint8_t b2 = ff + 5 < f.size() ? f[ff + 5] : 0;
    int index = 4;
    const char* train = nullptr;
    const char* page = nullptr;
    switch (b1 & 0x3C) {
      case 0x00:
        index = 1;
        break;
      case 0x08:
        index = 2;
        break;
      case 0x0C:
        index = 3;
        break;
      case 0x04:
        index = 4;
        break;
      case 0x28:
        index = 5;
        break;
      case 0x20:
        index = 6;
        break;
      case 0x24:  // V.17 at 9600
        index = 4;
        train = "97";
        page = "98";
        break;
      case 0x2C:  // V.17 at 7200
        index = 3;
        train = "73";
        page = "74";
        break;
      default:
        break;
    }
    c->RateIndex = static_cast<std::uint16_t>(index);
    c->SessionBPS = fClass1Rate(index);
    c->TrainCode = train ? train : kTrainCodes[index - 1];
    c->PageCode = page ? page : kPageCodes[index - 1];
    c->PageTrainCode = c->PageCode;
    c->SessionRes = (b1 & 0x40) ? 1 : 0;
    c->SessionWid = (b2 & 0x03) == 1 ? 1 : 0;
    c->SessionECM = 0;
    static const std::uint8_t kScanCode[8] = {5, 1, 3, 4, 7, 6, 2, 0};
    c->ScanTimeCode = kScanCode[(b2 & 0x70) >> 4];
    c->MinBytes = fMinBytes(c->ScanTimeCode, c->SessionRes != 0, c->SessionBPS);
    Progress(fpSessionParams);
  }

  // Decodes a received frame; true when it ended the wait (an error or a retrain request).
  bool DecodeFrame() {
    const std::vector<std::uint8_t>& f = c->RxFrame;
    std::size_t ff = 0;
    while (ff < f.size() && f[ff] != 0xFF) ++ff;
    if (ff + 2 >= f.size()) return false;
    c->FrameSeen = true;
    c->FinalFrame = (f[ff + 1] & 0x10) != 0;
    c->LastFrame = f[ff + 2];
    switch (c->LastFrame & 0xFE) {
      case 0x40:
      case 0x42: {  // CSI, TSI
        std::string id;
        for (std::size_t i = 0; i < 20 && ff + 3 + i < f.size(); ++i)
          id.insert(id.begin(), static_cast<char>(f[ff + 3 + i]));
        afSetRemoteID(fax, id);
        Progress(fpGotRemoteID);
        c->GotRemoteID = true;
        return false;
      }
      case 0x82:  // DCS
        DecodeDCS(f, ff);
        return false;
      case 0x44:
      case 0x4C:  // FTT, RTN
        DelayMS(200);
        FrameRead();
        fax->State = rf1CollectFrames;
        return true;
      case 0xFA:  // DCN
        if (fax->State == rf1WaitDCN) {
          d->FaxError = 0;
          return false;
        }
        Fail(ecFaxSessionError);  // the remote hangs up before the end of the fax
        return true;
      default:
        return false;
    }
  }

  // Runs the reply reader; true when a reply line is in Response (or a frame ended the wait).
  bool ReadReply() {
    for (;;) {
      if (c->InFrame) {
        std::uint8_t ch = 0;
        bool ended = false;
        while (!ended && c->InFrame && port->CharReady() && port->GetChar(ch) == 0) {
          if (!c->FrameDLE && ch >= 32 && ch < 127 &&
              std::ranges::find(c->RxFrame, 0xFF) == c->RxFrame.end()) {
            // Text before the frame's address byte: no frame came, the modem's result follows
            // its CONNECT (NO CARRIER when the carrier ended without one).
            c->InFrame = false;
            c->Response.assign(1, static_cast<char>(ch));
            c->LineReady = false;
          } else if (c->FrameDLE) {
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
        if (!c->InFrame) continue;
        if (!ended) return false;
        c->InFrame = false;
        c->Response.clear();
        c->LineReady = false;
        if (DecodeFrame()) return true;
        continue;
      }
      if (!fReadReplyLine(fax)) return false;
      c->Response = Trim(c->Response);
      if (c->Response.empty()) continue;
      const std::uint8_t s = fax->State;
      if ((Has("+FCERROR") || Has("OK")) && s == rf1StartTrain && c->CarrierRetries < 5) {
        // The sender's frames were still on the line, or the modem's reception of them ended
        // only now (OK) and took the listen along: listen for the training once more.
        ++c->CarrierRetries;
        Command("AT+FRM=" + c->ListenCode);
        continue;
      }
      if (Has("+FCERROR") && s == rf1WaitPageConnect) {
        // The page's carrier was missed and the sender is at its post-page command already:
        // that command is taken and answered with RTN, so that the page comes again.
        c->PageMissed = true;
        FrameRead();
        ArmTimeout(c->ReplyWait);
        fax->State = rf1WaitEOP;
        continue;
      }
      if (Has("ERROR") && s != rf2GetPageResult) {
        Fail(ecFaxBadModemResult);
        return true;
      }
      if (HasHangup() && s != rf2GetFHNG) {
        c->HangupCode = ReplyNumber(c->Response);
        Fail(ecFaxSessionError);
        return true;
      }
      if (Class1() && FrameState(s) && Has("CONNECT")) {
        c->InFrame = true;
        c->FrameDLE = false;
        c->RxFrame.clear();
      }
      return true;
    }
  }

  // ----- the received file

  int OpenReceivedFile() {
    d->CurrentPage = 1;
    afFaxName(fax);
    const int r = c->RxFile.Create(d->FaxFileName, d->StationID);
    if (r < 0) return r;
    d->PageCount = 0;
    afLogFax(fax, lfaxReceiveStart);
    return 0;
  }

  int WritePageHeader() {
    std::uint16_t flags = 0;
    if (c->SessionRes) flags |= pfHighResolution;
    if (c->SessionWid) flags |= pfWideLine;
    return c->RxFile.StartPage(flags);
  }

  int FlushBuffer() {
    if (c->BufferFill == 0) return 0;
    const int r = c->RxFile.Write(c->DataBuffer.get(), static_cast<std::size_t>(c->BufferFill));
    c->BufferFill = 0;
    return r;
  }

  int FinishPage() {
    if (!c->RxFile.PageOpen()) return 0;
    if (int r = FlushBuffer(); r < 0) return r;
    const int r = c->RxFile.FinishPage(d->RemoteID);
    if (r == 0) d->PageCount = c->RxFile.Header().PageCount;
    return r;
  }

  void CloseFile() {
    c->BufferFill = 0;
    c->RxFile.Close();
  }

  // Asks the component whether to take the call; false (and the state rfAbort) when refused.
  bool Accept() {
    c->AcceptAsked = true;
    if (afAcceptFax(fax, d->RemoteID)) return true;
    if (Class2x()) port->PutString("AT+FKS\r");
    afReportError(fax, ecFileRejected);
    Hangup();
    afLogFax(fax, lfaxReceiveSkip);
    fax->State = rfAbort;
    return false;
  }

  bool hungUp = false;  // this pass hung up already
  void Hangup() {
    fLineReset(fax);
    DelayMS(1000);
    port->PutString("+++");
    DelayMS(1000);
    Command("ATH");
    DelayMS(1000);
    port->FlushInBuffer();
    hungUp = true;
  }

  void EndingStatus() {
    if ((c->StartSent && !fax->ConstantStatus) || cancelled) {
      afFaxStatus(fax, false, true);
      c->StartSent = false;
    }
  }

  // ----- the states

  void Init() {
    c->Response.clear();
    c->LineReady = false;
    c->InFrame = false;
    c->RingCount = 0;
    d->DataCount = 0;
    d->CurrentPage = 0;
    afSetRemoteID(fax, "");
    d->PhoneNum.clear();
    d->FaxFileName.clear();
    c->EOMSeen = false;
    c->PageMissed = false;
    c->RetryCount = 0;
    c->AcceptAsked = false;
    fax->LastChar = 255;
    fax->FileState = fsNewFile;
    if (fax->ConstantStatus) StartingStatus();
    XonXoff(false);
    port->SetModem(true, true);
    Command(Class1() ? std::string("AT+FCLASS=1") : Code(mcSelectClass));
    ArmTimeout(c->ReplyWait);
    fax->State = Class1() ? rf1Init1 : rf2Init1;
  }

  void Waiting() {
    if (Has("RING")) {
      ++c->RingCount;
      if (c->RingCount < c->AnswerOnRing) return;
      fax->FileState = fsNewFile;
      StartingStatus();
      ArmTimeout(c->ReplyWait);
      fax->State = rfAnswer;
    } else if (Has("NO C")) {
      Progress(fpNoConnect);
    } else if (Has("CONNECT")) {
      Fail(ecFaxDataCall);
    } else if (Has("VOICE") || Has("VCON")) {
      Fail(ecFaxVoiceCall);
    }
  }

  void Answer() {
    StartingStatus();
    // Each call starts with its own retries and its own question to the component.
    c->RetryCount = 0;
    c->AcceptAsked = false;
    Command("ATA");
    ArmTimeout(c->DialWait);
    NewTimer(c->ReplyTimer, c->DialWait);
    Progress(fpAnswer);
    fax->State = Class1() ? rf1SendCSI : rf2ValidConnect;
  }

  void CollectFrames() {
    if (Has("CONNECT")) return;  // the frame follows
    if (!Has("OK")) return;
    if (c->FrameSeen && c->FinalFrame) {
      XonXoff(true);
      Listen(c->TrainCode);
      NewTimer(c->ReplyTimer, c->ReplyWait);
      fax->State = rf1StartTrain;
    } else {
      FrameRead();
    }
  }

  // The training check: the share of bytes that are not zero decides.
  void CollectTrain() {
    std::uint8_t ch = 0;
    bool ended = false;
    while (!ended && port->CharReady() && !TimerExpired(c->ReplyTimer) && port->GetChar(ch) == 0) {
      ++d->DataCount;
      if (ch != 0) ++c->NonZeroCount;
      if (ch == 0x10) {
        DelayMS(10);
        std::uint8_t next = 0;
        if (port->GetChar(next) == 0 && next == 0x03) ended = true;
      }
    }
    if (TimerExpired(c->ReplyTimer)) {
      fax->State = rfAbort;  // no error: the sender gives up or tries again
      return;
    }
    if (!ended) return;
    const int share = d->DataCount > 0 ? c->NonZeroCount * 100 / d->DataCount : 100;
    if (share < 10) {
      fax->State = rf1FinishTrain;
    } else {
      Command("AT+FTH=3");
      fax->State = rf1Retrain;
    }
  }

  void SendCFR() {
    if (Has("CONNECT")) {
      XonXoff(true);
      if (int r = SendFrame({0xFF, 0x13, 0x84}); r < 0) Fail(r);
      return;
    }
    if (!Has("OK")) return;
    Listen(c->PageCode);
    if (!Accept()) return;
    if (fax->FileState == fsNewFile) {
      if (int r = OpenReceivedFile(); r < 0) return Fail(r);
      fax->FileState = fsNextPage;
      d->CurrentPage = 0;
    }
    fax->State = rf1WaitPageConnect;
  }

  void StartPage() {
    ++d->CurrentPage;
    int r = 0;
    if (fax->FileState == fsNewFile || !c->RxFile.IsOpen()) {
      CloseFile();
      r = OpenReceivedFile();
      if (r == 0) d->CurrentPage = 1;
      fax->FileState = fsNextPage;
    }
    if (r == 0) r = WritePageHeader();
    if (r < 0) return Fail(r);
    c->BufferFill = 0;
    fax->LastChar = 255;
    c->SkipLineFeed = true;
    ArmTimeout(c->ReplyWait);
    d->DataCount = 0;
    if (Class2x()) port->PutChar(0x12);
    Progress(fpGetPage);
    fax->State = rfGetPageData;
  }

  void GetPageData() {
    std::uint8_t ch = 0;
    int taken = 0;
    bool ended = false;
    std::uint8_t* buf = c->DataBuffer.get();
    const bool reverse = d->ClassInUse == ctClass2;
    while (!ended && taken < 10000 && port->CharReady() && port->GetChar(ch) == 0) {
      ++taken;
      if (c->SkipLineFeed) {
        // The line feed that ends the modem's CONNECT is no page data.
        c->SkipLineFeed = false;
        if (ch == '\n') continue;
      }
      if (fax->LastChar == 0x10) {
        fax->LastChar = 255;
        if (ch == 0x03) {
          ended = true;
          break;
        }
        if (ch != 0x10) continue;  // other pairs carry no data
      } else if (ch == 0x10) {
        fax->LastChar = 0x10;
        continue;
      }
      buf[c->BufferFill++] = reverse ? ReverseBits(ch) : ch;
      ++d->DataCount;
      if (c->BufferFill >= static_cast<std::int32_t>(DataBufferSize)) {
        if (int r = FlushBuffer(); r < 0) return Fail(r);
      }
    }
    if (taken > 0) ArmTimeout(c->ReplyWait);
    if (!ended) return;
    if (int r = FlushBuffer(); r < 0) return Fail(r);
    fax->LastChar = 255;
    Progress(fpGetPage);
    XonXoff(false);
    fax->State = Class1() ? rf1FinishPage : rf2GetPageResult;
  }

  void WaitEOP() {
    if (Has("CONNECT")) return;
    // The listen heard no frame (it began in the middle of one): the sender repeats its command.
    if (Has("RRIER")) return FrameRead();
    if (!Has("OK")) return;
    if (!(c->FrameSeen && c->FinalFrame)) return FrameRead();
    c->FinalFrame = false;
    const std::uint8_t control = c->LastFrame & 0xFE;
    c->MorePages = control == 0x4E || control == 0x8E;
    c->EOMSeen = control == 0x8E;
    c->LastPageOk = !c->PageMissed;
    Progress(fpGetPageResult);
    fax->State = rf1WritePage;
  }

  void SendMCF() {
    if (Has("CONNECT")) {
      // MCF is a response of its own, final also after EOM: the identification and the
      // capabilities for the next document follow in a transmission of their own. A page
      // that did not come is answered with RTN instead.
      const std::uint8_t control = c->LastPageOk ? 0x8C : 0x4C;
      if (int r = SendFrame({0xFF, 0x13, control}); r < 0) Fail(r);
      return;
    }
    if (!Has("OK")) return;
    c->PageMissed = false;
    if (c->MorePages && c->EOMSeen) {
      // The next document starts with our identification, after RTN as well.
      DelayMS(200);
      Command("AT+FTH=3");
      fax->State = rf1SendCSI;
    } else if (!c->LastPageOk) {
      // After RTN the sender trains again (DCS and training check) and sends the page again,
      // or it hangs up.
      FrameRead();
      ArmTimeout(c->ReplyWait);
      fax->State = rf1CollectFrames;
    } else if (c->MorePages) {
      // The next page follows without new training: its data come after the CONNECT.
      Listen(c->PageTrainCode);
      fax->FileState = fsNextPage;
      fax->State = rf1WaitPageConnect;
    } else {
      DelayMS(200);
      FrameRead();
      CloseFile();
      afLogFax(fax, lfaxReceiveOk);
      d->FaxFileName.clear();
      Progress(fpGetHangup);
      fax->State = rf1WaitDCN;
    }
  }

  void GetSenderID() {
    if (ReplyIs(mcTSIReply)) {
      ArmTimeout(c->ReplyWait);
      std::string id = c->Response.substr(Code(mcTSIReply).size());
      const std::size_t colon = id.find(':');
      id = Trim(colon == std::string::npos ? id : id.substr(colon + 1));
      if (!id.empty() && id[0] == '"') id[0] = ' ';
      while (!id.empty() && !std::isalnum(static_cast<unsigned char>(id.back()))) id.pop_back();
      afSetRemoteID(fax, id.substr(0, MaxStationIDLen));
      if (!Accept()) return;
      Progress(fpGotRemoteID);
      if (fax->FileState == fsNewFile) {
        if (int r = OpenReceivedFile(); r < 0) return Fail(r);
        fax->FileState = fsNextPage;
        d->CurrentPage = 0;
      }
    } else if (ReplyIs(mcSessionReply)) {
      ArmTimeout(c->ReplyWait);
      fDecodeSessionParams(fax, c->Response);
      Progress(fpSessionParams);
    } else if (Has("OK")) {
      // The sender's ID is optional: without one the call is asked about all the same.
      if (!c->AcceptAsked) {
        if (!Accept()) return;
        if (fax->FileState == fsNewFile) {
          if (int r = OpenReceivedFile(); r < 0) return Fail(r);
          fax->FileState = fsNextPage;
          d->CurrentPage = 0;
        }
      }
      Command("AT+FDR");
      ArmTimeout(c->ReplyWait);
      fax->State = rf2GetConnect;
    }
  }

  void GetPageResult() {
    if (ReplyIs(mcPageStatusReply)) {
      Progress(fpGetPageResult);
      const char v = ReplyValue(c->Response);
      if (v == '1' || v == '3' || v == '5') {
        c->LastPageOk = true;
        if (int r = FinishPage(); r < 0) return Fail(r);
      } else {
        c->LastPageOk = false;
        c->BufferFill = 0;
        if (int r = c->RxFile.DropPage(); r < 0) return Fail(r);
      }
    } else if (Has("+FET")) {
      Progress(fpCheckMorePages);
      // 3, 4 and 5 are the same messages with a procedure interrupt asked for.
      switch (ReplyValue(c->Response)) {
        case '0':
        case '3':
          fax->FileState = fsNextPage;
          break;
        case '1':
        case '4':
          fax->FileState = fsNewFile;
          break;
        case '2':
        case '5':
          fax->FileState = fsDocEnd;
          break;
        default:
          fax->FileState = fsNextPage;
          break;
      }
    } else if (Has("ERROR")) {
      c->LastPageOk = false;
      c->BufferFill = 0;
      if (int r = c->RxFile.DropPage(); r < 0) return Fail(r);
      Command("AT+FDR");
      fax->State = rf2GetConnect;
    } else if (Has("OK")) {
      Command("AT+FDR");
      if (fax->FileState == fsDocEnd) {
        CloseFile();
        afLogFax(fax, lfaxReceiveOk);
        d->FaxFileName.clear();
        Progress(fpGetHangup);
        fax->State = rf2GetFHNG;
      } else {
        fax->State = rf2GetConnect;
      }
    }
  }

  void Complete() {
    fSwitchToInitBaud(fax);
    if (fax->OneFax) {
      EndingStatus();
      afSignalFinish(fax);
      c->InitSent = false;
      fax->State = rfDone;
      return;
    }
    if (!fax->ConstantStatus) EndingStatus();
    fax->State = rfInit;
  }

  void Abort() {
    if (c->RxFile.IsOpen()) {
      FinishPage();  // what came of the open page is kept; its result does not matter now
      CloseFile();
      afLogFax(fax, lfaxReceiveFail);
    }
    if (!hungUp) Hangup();
    EndingStatus();
    if ((d->FaxOptions & afExitOnError) || cancelled) {
      afSignalFinish(fax);
      c->InitSent = false;
      fax->State = rfDone;
    } else {
      fax->State = rfInit;
    }
  }

  void Timeout() {
    switch (fax->State) {
      case rfWaiting:
        break;  // no call yet: nothing is late
      case rf1SendCSI:
        if (c->RetryCount > 0)
          fax->State = rf1CollectRetry1;
        else
          Fail(ecTimeout);
        break;
      case rf1CollectFrames:
        c->InFrame = false;
        fax->State = rf1CollectRetry1;
        break;
      case rf1WaitDCN:
        fax->State = rfComplete;  // the sender hung up without DCN
        break;
      default:
        Fail(ecTimeout);
        break;
    }
  }

  void RunState(int event) {
    // A call that rings while the modem is being set up is taken once it is ready.
    if (fax->State >= rf1Init1 && fax->State <= rf2Init3 && c->LineReady && Has("RING")) return;
    switch (fax->State) {
      case rfInit:
        Init();
        break;
      case rf1Init1:
        if (Has("OK")) {
          fSwitchToNormalBaud(fax);
          DisarmTimeout();
          Progress(fpWaiting);
          fax->State = rfWaiting;
        } else {
          Fail(ecFaxInitError);
        }
        break;
      case rf2Init1:
        if (!Has("OK")) return Fail(ecFaxInitError);
        fSwitchToNormalBaud(fax);
        Command(Code(mcCapabilities) + "=1," + fRateCode(c->DesiredBPS) + ",0,2,0," + c->ECMChar + ",0,0");
        fax->State = Class20() ? rf2Init1A : rf2Init3;
        break;
      case rf2Init1A:
        if (!Has("OK")) return Fail(ecFaxInitError);
        Command("AT+FLO=2");
        fax->State = rf2Init1B;
        break;
      case rf2Init1B:
        if (!Has("OK")) return Fail(ecFaxInitError);
        Command("AT+FNR=1,1,1,0");
        fax->State = rf2Init3;
        break;
      case rf2Init3:
        if (!Has("OK")) return Fail(ecFaxInitError);
        DisarmTimeout();
        Progress(fpWaiting);
        fax->State = rfWaiting;
        break;
      case rfWaiting:
        Waiting();
        break;
      case rfAnswer:
        Answer();
        break;
      case rf1SendCSI:
        if (Has("CONNECT")) {
          if (int r = SendFrame(IDFrame(0x40)); r < 0) return Fail(r);
          fax->State = rf1SendDIS;
        }
        break;
      case rf1SendDIS:
        if (Has("CONNECT")) {
          if (int r = SendFrame(DISFrame()); r < 0) Fail(r);
        } else if (Has("OK")) {
          DelayMS(400);
          FrameRead();
          ArmTimeout(54);
          fax->State = rf1CollectFrames;
        }
        break;
      case rf1CollectFrames:
        CollectFrames();
        break;
      case rf1CollectRetry1:
        if (++c->RetryCount > 3) return Fail(ecTimeout);
        Command("AT\r");
        fax->State = rf1CollectRetry2;
        break;
      case rf1CollectRetry2:
        Command("AT+FTH=3");
        fax->State = rf1SendCSI;
        break;
      case rf1StartTrain:
        if (Has("CONNECT")) {
          d->DataCount = 0;
          c->NonZeroCount = 0;
          NewTimer(c->ReplyTimer, c->ReplyWait);
          fax->State = rf1CollectTrain;
        }
        break;
      case rf1CollectTrain:
        if (TimerExpired(c->ReplyTimer)) {
          fax->State = rfAbort;
          break;
        }
        if (event == 0) CollectTrain();
        break;
      case rf1Retrain:
        if (Has("CONNECT")) {
          if (int r = SendFrame({0xFF, 0x13, 0x44}); r < 0) return Fail(r);
          if (c->TrainCode == "24") return Fail(ecFaxTrainError);
        } else if (Has("OK")) {
          FrameRead();
          fax->State = rf1CollectFrames;
        }
        break;
      case rf1FinishTrain:
        if (Has("RRIER")) {
          XonXoff(false);
          DelayMS(20);
          Command("AT+FTH=3");
          fax->State = rf1SendCFR;
        }
        break;
      case rf1SendCFR:
        SendCFR();
        break;
      case rf1WaitPageConnect:
        if (Has("CONNECT")) {
          Progress(fpSessionParams);
          fax->State = rfStartPage;
        }
        break;
      case rf2ValidConnect:
        if (ReplyIs(mcConnectReply)) {
          ArmTimeout(c->ReplyWait);
          Progress(fpIncoming);
          fax->State = rf2GetSenderID;
        }
        break;
      case rf2GetSenderID:
        GetSenderID();
        break;
      case rf2GetConnect:
        if (ReplyIs(mcSessionReply)) {
          ArmTimeout(c->ReplyWait);
          fDecodeSessionParams(fax, c->Response);
          Progress(fpSessionParams);
        } else if (Has("CONNECT")) {
          XonXoff(true);
          fax->State = rfStartPage;
        }
        break;
      case rfStartPage:
        StartPage();
        break;
      case rfGetPageData:
        if (event == d->TimeoutTrigger) return Fail(ecTimeout);
        if (event == 0) GetPageData();
        break;
      case rf1FinishPage:
        if (Has("RRIER")) {
          FrameRead();
          fax->State = rf1WaitEOP;
        }
        break;
      case rf1WaitEOP:
        WaitEOP();
        break;
      case rf1WritePage:
        if (int r = FinishPage(); r < 0) return Fail(r);
        Command("AT+FTH=3");
        c->LastPageOk = !c->PageMissed;
        Progress(fpCheckMorePages);
        fax->State = rf1SendMCF;
        break;
      case rf1SendMCF:
        SendMCF();
        break;
      case rf1WaitDCN:
        if (Has("CONNECT")) break;
        if (Has("OK")) {
          if (c->FrameSeen && c->FinalFrame) {
            Command("ATH");
            fax->State = rf1WaitHangup;
          } else {
            FrameRead();
          }
        }
        break;
      case rf1WaitHangup:
        if (Has("OK")) {
          Progress(fpGotHangup);
          fax->State = rfComplete;
        }
        break;
      case rf2GetPageResult:
        GetPageResult();
        break;
      case rf2GetFHNG:
        if (HasHangup()) {
          c->HangupCode = ReplyNumber(c->Response);
          Progress(fpGotHangup);
          c->Response.clear();
        } else if (Has("+FET")) {
          Progress(fpGetHangup);
          c->Response.clear();
        } else if (Has("OK")) {
          fax->State = rfComplete;
        }
        break;
      case rfComplete:
        Complete();
        break;
      case rfAbort:
        Abort();
        break;
      default:
        break;
    }
  }
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Records and parameters

int fInitC12ReceiveFax(TFaxRec*& fax, std::string_view stationID, TSioBaseDispatcher* comPort, HWND window) {
  const int r = fInitC12SendFax(fax, stationID, comPort, window);
  if (r != 0) return r;
  fax->State = rfInit;
  fax->StartState = rfInit;
  fax->LastChar = 255;
  fax->PData->CurrentPage = 1;
  return 0;
}

void fDoneC12ReceiveFax(TFaxRec*& fax) {
  // The received file is closed with the record (a call under way may still write to it).
  fDoneC12SendFax(fax);
}

void fSetAnswerOnRing(TFaxRec* fax, std::uint16_t rings) { fax->CData->AnswerOnRing = rings; }
void fSetFaxAndData(TFaxRec* fax, bool on) { fax->CData->FaxAndData = on ? '1' : '0'; }
void fSetOneFax(TFaxRec* fax, bool on) { fax->OneFax = on; }
void fSetConstantStatus(TFaxRec* fax, bool on) { fax->ConstantStatus = on; }

// ---------------------------------------------------------------------------------------
// Preparation

namespace {

// The modem commands that select the class and set it up for answering; false when one
// of them is refused.
bool SelectClassForReceive(TFaxRec* fax, bool blockingInit) {
  TFaxData* d = fax->PData;
  TC12AbsData* c = fax->CData;
  if (d->ClassInUse == ctClass1) {
    if (!fBlockingCommand(fax, "AT+FCLASS=1")) return false;
    fSwitchToNormalBaud(fax);
    return true;
  }
  const auto& m = c->ModCodes.Codes;
  if (!fBlockingCommand(fax, m[mcSelectClass])) return false;
  fSwitchToNormalBaud(fax);
  if (blockingInit && d->ClassInUse == ctClass2 && !fBlockingCommand(fax, "AT+FCLASS=0")) return false;
  if (!fBlockingCommand(fax, "AT+FCR=1")) return false;
  if (!fBlockingCommand(fax, m[mcLocalID] + "=\"" + d->StationID + "\"")) return false;
  if (!fBlockingCommand(fax, std::string("AT+FAA=") + c->FaxAndData)) return false;
  if (blockingInit &&
      !fBlockingCommand(fax, m[mcCapabilities] + "=1," + fRateCode(c->DesiredBPS) + ",0,2,0,0,0,0"))
    return false;
  return true;
}

// Class 1: the rates the modem receives with; the highest not above DesiredBPS is offered.
void ChooseReceiveRate(TFaxRec* fax) {
  TC12AbsData* c = fax->CData;
  c->Class1Rates = {true, true, false, false, false, false};
  const std::uint16_t wait = c->ReplyWait;
  c->ReplyWait = static_cast<std::uint16_t>(wait + 36);
  const bool ok = fBlockingCommand(fax, "AT+FRM=?");
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
    if (c->Class1Rates[static_cast<std::size_t>(i - 1)] && fClass1Rate(i) <= c->DesiredBPS) {
      c->RateIndex = static_cast<std::uint16_t>(i);
      break;
    }
  c->SessionBPS = fClass1Rate(c->RateIndex);
  c->TrainCode = kTrainCodes[c->RateIndex - 1];
  c->PageCode = kPageCodes[c->RateIndex - 1];
  c->PageTrainCode = c->PageCode;
}

bool DetectAndInit(TFaxRec* fax) {
  TFaxData* d = fax->PData;
  TC12AbsData* c = fax->CData;
  if ((d->ClassInUse == ctUnknown || d->ClassInUse == ctDetect) && !fSetClassType(fax, ctDetect))
    return false;
  if (d->ClassInUse == ctClass2 || d->ClassInUse == ctClass2_0) fBuildModCodes(fax);
  if (!c->InitSent) {
    if (!c->ModemInit.empty() && !fBlockingCommand(fax, c->ModemInit)) return false;
    if (!fBlockingCommand(fax, c->DefInit)) return false;
    c->InitSent = true;
  }
  return true;
}

}  // namespace

void fPrepareFaxReceive(TFaxRec* fax) {
  TFaxData* d = fax->PData;
  TC12AbsData* c = fax->CData;
  fax->State = fax->StartState;
  d->FaxError = 0;
  d->FaxProgress = 0;
  c->StartSent = false;
  d->ComPort->ChangeBaud(19200);
  d->ComPort->SetModem(true, true);
  if (!DetectAndInit(fax)) {
    afReportError(fax, ecFaxBadModemResult);
    return;
  }
  if (fax->StartState != rf2GetSenderID && !SelectClassForReceive(fax, false)) {
    afReportError(fax, ecFaxInitError);
    return;
  }
  if (d->ClassInUse == ctClass1) ChooseReceiveRate(fax);
  d->InProgress = true;
}

int fInitModemForFaxReceive(TFaxRec* fax) {
  TFaxData* d = fax->PData;
  if (d->ComPort == nullptr) return ecPortNotAssigned;
  d->ComPort->ChangeBaud(19200);
  fLineReset(fax);
  fax->CData->InitSent = false;
  if (!DetectAndInit(fax)) return ecFaxBadModemResult;
  if (d->ClassInUse != ctClass1 && d->ClassInUse != ctClass2 && d->ClassInUse != ctClass2_0)
    return ecFaxInitError;
  if (!SelectClassForReceive(fax, true)) return ecFaxInitError;
  return 0;
}

void fSetConnectState(TFaxRec* fax) {
  TFaxData* d = fax->PData;
  TC12AbsData* c = fax->CData;
  fax->StartState = rf2GetSenderID;
  fax->State = rf2GetSenderID;
  fax->FileState = fsNewFile;
  c->Response.clear();
  c->LineReady = false;
  c->AcceptAsked = false;
  d->FaxError = 0;
  d->PhoneNum.clear();
  d->FaxFileName.clear();
  afSetRemoteID(fax, "");
  d->CurrentPage = 1;
  c->StartSent = true;
  afFaxStatus(fax, true, false);
  if (d->ComPort != nullptr && d->TimeoutTrigger > 0)
    d->ComPort->SetTimerTrigger(static_cast<std::uint32_t>(d->TimeoutTrigger), c->ReplyWait, true);
}

void fSetManualReceive(TFaxRec* fax, bool answerNow) {
  TFaxData* d = fax->PData;
  TC12AbsData* c = fax->CData;
  fax->FileState = fsNewFile;
  c->Response.clear();
  c->LineReady = false;
  c->RingCount = 0;
  c->RetryCount = 0;
  c->AcceptAsked = false;
  d->DataCount = 0;
  d->PhoneNum.clear();
  d->FaxFileName.clear();
  afSetRemoteID(fax, "");
  // A Class 1 modem is told to answer in every case; a Class 2 modem that has already
  // answered reports its connection next.
  fax->StartState = (answerNow || d->ClassInUse == ctClass1) ? rfAnswer : rf2ValidConnect;
}

// ---------------------------------------------------------------------------------------
// The handler

void fFaxReceive(UINT msg, WPARAM wParam, LPARAM lParam) {
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
  if (fax->State == rfAbort || fax->State == rfDone) return;
  if (!d->HandlerRegistered && !cancel && msg != 0) return;  // the session has ended

  for (;;) {
    if (s.port->DispatchLogging())
      s.port->AddDispatchEntry(dtFax, fReceiveSubType(fax->State), s.port->OutBuffUsed());
    if (cancel) {
      cancel = false;
      s.cancelled = true;
      d->FaxProgress = fpCancel;
      d->FaxError = ecCancelRequested;
      afFaxStatus(fax, false, false);
      fax->State = rfAbort;
      event = -1;
    } else if (event == d->StatusTrigger || s.c->ForceStatus) {
      s.c->ForceStatus = false;
      afFaxStatus(fax, false, false);
      if (d->HandlerRegistered) s.ArmStatus();
      if (event == d->StatusTrigger) return;
    }

    if (IsReplyState(fax->State)) {
      if (event == 0) {
        if (!s.ReadReply()) return;
      } else if (event > 0) {
        s.Timeout();
        if (fax->State == rfWaiting) return;
      }
    }

    const std::uint8_t before = fax->State;
    s.RunState(event);
    if (fax->State == rfDone) return;
    // The retries wait for the modem's answer; the other states go on while there is input.
    // A state that needs no input (an abort above all) runs in this pass.
    const bool atOnce = fax->State != before && RunsAtOnce(fax->State);
    if ((before == rf1CollectRetry1 || before == rf1CollectRetry2) && !atOnce) return;
    if (!GoesOnAfter(before) && !atOnce && !s.port->CharReady()) return;
    event = 0;
  }
}
