#include "app/FaxModule.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/ErrorText.h"
#include "app/Localregistry.h"
#include "app/SharedState.h"
#include "app/UiThread.h"
#include "fax/SioFax.h"
#include "fax/SioFaxCvt.h"
#include "fax/Swfaxcvt.h"
#include "fax/Swfaxfmt.h"
#include "fax/Swtapi.h"
#include "fax/Swtapilog.h"
#include "fax/ui/SioFStat.h"
#include "fax/ui/Swtapidsp.h"
#include "platform/Messages.h"
#include "platform/Text.h"
#include "serial/Sioexcept.h"

TDataModule3* DataModule3 = nullptr;

namespace {

constexpr const char* kCoverFile = "Cover.txt";
constexpr const char* kFaxText = "Fax.txt";
constexpr const char* kFaxFile = "korvidan.fxf";

namespace fs = std::filesystem;

// A file the alarm fax sends: the one in the working directory; while that holds none, the
// one that comes with the program, when it does.
std::string FaxInput(const char* name) {
  std::error_code ec;
  if (fs::exists(name, ec)) return name;
  const fs::path installed = fs::path(InstalledDataDirectory("Fax")) / name;
  return fs::exists(installed, ec) ? installed.string() : std::string(name);
}

std::string Quoted(const std::string& file) { return "Die Datei \"" + file + "\" "; }

// The whole cover text; EInOutError naming the file when it is missing or cannot be read.
std::string ReadCover(const std::string& file) {
  std::error_code ec;
  std::ifstream in(file, std::ios::binary);
  if (!in || !fs::is_regular_file(file, ec))
    throw EInOutError(Quoted(file) + "kann nicht geöffnet werden", fs::exists(file, ec) ? 5 : 2);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw EInOutError(Quoted(file) + "kann nicht gelesen werden", 30);
  return text.str();
}

// EInOutError naming the fax file when it is missing, cannot be read or is no fax file.
void CheckFaxFile(const std::string& file) {
  TFaxHeaderRec header;
  const int r = fxfReadFaxHeader(file, header);
  if (r == ecFaxBadFormat) throw EInOutError(Quoted(file) + "ist keine Faxdatei", -r);
  if (r < 0) throw EInOutError(Quoted(file) + "kann nicht geöffnet werden", -r);
}

// Line ends of a text as the fax's line reader takes them: every lone LF becomes CR LF.
std::string WithLineEnds(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

}  // namespace

std::string FaxViewErrorText(const std::string& file, int code) {
  std::string cause;
  switch (code) {
    case ecFileNotFound:
      cause = "Die Datei ist nicht vorhanden.";
      break;
    case ecFaxBadFormat:
    case ecDiskRead:
      cause = "Die Faxdatei ist beschädigt.";
      break;
    case ecOutOfMemory:
    case ecCantMakeBitmap:
      cause = "Für das Bild der Seite ist nicht genug Speicher frei.";
      break;
    default:
      cause = "Fehler " + std::to_string(code) + ".";
  }
  return Quoted(file) + "kann nicht angezeigt werden: " + cause;
}

TDataModule3::TDataModule3() {
  SioComPort1 = new TSioComPort(this);
  SioComPort1->SetComNumber(2);
  SioComPort1->SetInSize(8192);
  SioComPort1->SetOutSize(8192);
  SioComPort1->SetAutoOpen(false);
  SioComPort1->SetHWFlowOptions(HWFlowBit(hwfUseRTS) | HWFlowBit(hwfRequireCTS));
  SioComPort1->SetTraceName("SIO.TRC");
  SioComPort1->SetLogName("SIO.LOG");
  SioComPort1->SetTapiMode(tmOn);

  SioTapiStatus1 = new TSioTapiStatus(this);
  SioTapiStatus1->SetPosition(poDesigned);
  SioTapiStatus1->SetCtl3D(true);
  SioTapiStatus1->SetVisible(false);
  SioTapiStatus1->SetCaption("Call Progress");
  SioTapiLog1 = new TSioTapiLog(this);
  SioTapiLog1->SetTapiHistoryName("SIOTAPI.HIS");
  SioTapiDevice1 = new TSioTapiDevice(this);
  SioTapiDevice1->SetSelectedDevice("MicroLink 33.6TQV");
  SioTapiDevice1->SetComPort(SioComPort1);
  SioTapiDevice1->SetStatusDisplay(SioTapiStatus1);
  SioTapiDevice1->SetTapiLog(SioTapiLog1);
  SioTapiDevice1->SetShowTapiDevices(true);
  SioTapiDevice1->SetShowPorts(true);
  SioTapiDevice1->SetEnableVoice(false);
  SioTapiDevice1->SetOnTapiPortOpen([this](TSioCustomTapiDevice* s) { SioTapiDevice1TapiPortOpen(s); });
  SioTapiDevice1->SetOnTapiPortClose([this](TSioCustomTapiDevice* s) { SioTapiDevice1TapiPortClose(s); });

  SioSendFax1 = new TSioSendFax(this);
  SioFaxStatus1 = new TSioFaxStatus(this);
  SioFaxStatus1->SetPosition(poDesigned);
  SioFaxStatus1->SetCtl3D(true);
  SioFaxStatus1->SetVisible(false);
  SioFaxStatus1->SetCaption("Fax Status");
  SioFaxStatus1->SetFax(SioSendFax1);
  // The status windows come unasked, with a fax: they stand above the main window and leave the
  // keyboard where it is.
  StandAboveMainWindow(*SioTapiStatus1->Display(), TKeyboard::Leaves);
  StandAboveMainWindow(*SioFaxStatus1->Display(), TKeyboard::Leaves);
  SioFaxConverter1 = new TSioFaxConverter(this);
  SioFaxConverter1->SetOptions(coCenterImage | coYield);
  SioFaxConverter1->SetResolution(frHigh);
  SioFaxConverter1->SetEnhFont(TFaxTextFont{"MS Sans Serif", -11});
  SioFaxConverter1->SetFontFile("SWFAX.FNT");
  SioFaxConverter1->SetFontType(ffStandard);
  SioFaxLog1 = new TSioFaxLog(this);
  SioFaxLog1->SetFaxHistoryName("SIOFAX.HIS");
  SioFaxLog1->SetFax(SioSendFax1);

  SioSendFax1->ReadFakeProperty(1);
  SioSendFax1->SetFaxClass(fcUnknown);
  SioSendFax1->SetComPort(SioComPort1);
  SioSendFax1->SetStatusDisplay(SioFaxStatus1);
  SioSendFax1->SetFaxLog(SioFaxLog1);
  SioSendFax1->SetFaxFile(kFaxFile);
  SioSendFax1->SetFaxFileExt("FXF");
  SioSendFax1->SetEnhTextEnabled(true);
  SioSendFax1->SetEnhHeaderFont(TFaxTextFont{"MS Sans Serif", -11});
  SioSendFax1->SetEnhFont(TFaxTextFont{"Times New Roman", -19});
  SioSendFax1->SetFaxFileList({kFaxFile});
  SioSendFax1->SetBlindDial(true);
  SioSendFax1->SetHeaderLine("\"ovu zelvanor v1.0\"");
  SioSendFax1->SetCoverFile(kFaxText);
  SioSendFax1->SetPhoneNumber("48");
  SioSendFax1->SetHeaderSender("\"ovu zelvanor SendFax\"");
  SioSendFax1->SetHeaderRecipient("\"Test Recipient\"");
  SioSendFax1->SetHeaderTitle("\"HeadaerTitle\"");
  SioSendFax1->SetOnFaxError([this](TSioCustomAbstractFax* cp, int code) { SioSendFax1FaxError(cp, code); });
  SioSendFax1->SetOnFaxFinish(
      [this](TSioCustomAbstractFax* cp, int code) { SioSendFax1FaxFinish(cp, code); });
  SioSendFax1->Loaded();
  if (!DataModule3) DataModule3 = this;
}

TDataModule3::~TDataModule3() {
  if (DataModule3 == this) DataModule3 = nullptr;
  // The call first, then the components that take part in it.
  if (Sending()) {
    try {
      SioSendFax1->CancelFax();
      SioTapiDevice1->CancelCall();
    } catch (const std::exception&) {
      // going away: nothing to report to
    }
  }
  delete SioTapiDevice1;
  delete SioSendFax1;
  delete SioFaxStatus1;
  delete SioFaxLog1;
  delete SioFaxConverter1;
  delete SioTapiStatus1;
  delete SioTapiLog1;
  delete SioComPort1;
}

bool TDataModule3::Sending() const {
  std::lock_guard<std::mutex> g(lock_);
  return sending_;
}

void TDataModule3::SendAlarmFax(const std::string& text) {
  std::unique_lock<std::mutex> g(lock_);
  // While an alarm fax is under way its cover text stays as it is.
  if (sending_) return;
  const std::string cover = ReadCover(FaxInput(kCoverFile));
  std::ofstream fax(kFaxText, std::ios::binary | std::ios::trunc);
  if (!fax) throw EInOutError(Quoted(kFaxText) + "kann nicht angelegt werden", 5);
  if (MainFlags.FFaxSent) return;  // once a run; "Fax.txt" stays empty
  // A fax file that cannot be sent leaves the gate open for the next alarm.
  const std::string faxFile = FaxInput(kFaxFile);
  CheckFaxFile(faxFile);
  MainFlags.FFaxSent = true;
  // The cover text, a line end, the alarm text; closed before the line is opened.
  fax << cover << "\r\n" << Utf8ToCp1252(WithLineEnds(text));
  fax.close();
  if (!fax) throw EInOutError(Quoted(kFaxText) + "kann nicht geschrieben werden", 29);
  sending_ = true;
  g.unlock();
  RunOnWindowThread([this, text, faxFile] { OpenLine(text, faxFile); });
}

void TDataModule3::OpenLine(const std::string& text, const std::string& faxFile) {
  ShowMessage("SendFax: " + text);
  try {
    SioSendFax1->SetFaxFile(faxFile);
    SioSendFax1->SetFaxFileList({faxFile});
    SioTapiDevice1->SetSelectedDevice(ReadTapiDeviceName());
    // The fax dials its number itself on the line: the call's history and window name it.
    SioTapiDevice1->SetNumber(SioSendFax1->GetPhoneNumber());
    SioTapiDevice1->ConfigAndOpen();
  } catch (const std::exception& e) {
    {
      std::lock_guard<std::mutex> g(lock_);
      sending_ = false;
    }
    MainFlags.FFaxError = true;
    ShowMessage("Alarmfax konnte nicht gesendet werden: " + ErrorText(e), TMsgKind::Error);
  }
}

void TDataModule3::SendTestFax() {
  MainFlags.FFaxSent = false;
  SendAlarmFax("TestFax");
}

void TDataModule3::SelectFaxModem() {
  SioTapiDevice1->SelectDevice();
  WriteTapiDeviceName(SioTapiDevice1->GetSelectedDevice());
}

void TDataModule3::SioTapiDevice1TapiPortOpen(TSioCustomTapiDevice*) {
  SioTapiStatus1->SetVisible(true);
  try {
    SioSendFax1->StartTransmit();
  } catch (const std::exception& e) {
    MainFlags.FFaxError = true;
    // The call ends once the telephony device is out of its event.
    QueueOnMainThread([this] { EndCall(true); });
    ShowMessage("Alarmfax konnte nicht gesendet werden: " + ErrorText(e), TMsgKind::Error);
  }
}

void TDataModule3::SioTapiDevice1TapiPortClose(TSioCustomTapiDevice*) { SioTapiStatus1->SetVisible(false); }

void TDataModule3::SioSendFax1FaxError(TSioCustomAbstractFax*, int) {
  // The call ends with the finish that follows, outside the running fax.
  MainFlags.FFaxError = true;
}

void TDataModule3::SioSendFax1FaxFinish(TSioCustomAbstractFax*, int ErrorCode) {
  MainFlags.FFaxError = ErrorCode != 0;
  EndCall(ErrorCode != 0);
}

void TDataModule3::EndCall(bool failed) {
  try {
    // A fax that went out ends its call as done, not as cancelled.
    if (failed)
      SioTapiDevice1->CancelCall();
    else
      SioTapiDevice1->HangupCall(true);
  } catch (const std::exception& e) {
    SioHandleException(e);
  }
  std::lock_guard<std::mutex> g(lock_);
  sending_ = false;
}
