// The telephony device on the modem simulator: redialing with its history, the pass-through
// call of the alarm fax, answering with caller id, and what it refuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fax/Swtapi.h"
#include "platform/DateTime.h"
#include "platform/Registry.h"
#include "serial/Sioexcept.h"
#include "tests/fax/TapiTestUtil.h"

namespace {

using tapitest::Pump;
using tapitest::PumpFor;
using tapitest::Rig;

const std::string kStamp = "01.03.2024 12:34:56 : ";

// A form with a port, a history log and the device, as the fax module holds them.
struct Form {
  explicit Form(Rig& rig, const std::string& line) {
    log.SetTapiHistoryName(rig.dir / "SIOTAPI.HIS");
    log.SetClock([] { return TDateTime(EncodeDate(2024, 3, 1) + EncodeTime(12, 34, 56, 0)); });
    device = std::make_unique<TSioTapiDevice>(&owner);
    device->SetSelectedDevice(line);
    device->SetOnTapiFail([this](TSioCustomTapiDevice*) { ++fails; });
    device->SetOnTapiPortOpen([this](TSioCustomTapiDevice*) { ++portOpens; });
    device->SetOnTapiPortClose([this](TSioCustomTapiDevice*) { ++portCloses; });
    device->SetOnTapiConnect([this](TSioCustomTapiDevice*) { ++connects; });
    device->SetOnTapiStatus([this](TSioCustomTapiDevice*, bool first, bool last, std::uint32_t,
                                   std::uint32_t msg, std::uint32_t p1, std::uint32_t p2, std::uint32_t p3) {
      statuses.push_back(
          {msg, p1, p2, p3, static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(last)});
    });
  }
  ~Form() { device.reset(); }
  std::string History() const { return support::ReadFile(log.GetTapiHistoryName()); }

  TSioComponentOwner owner;
  TSioComPort port{&owner};
  TSioTapiLog log{&owner};
  std::unique_ptr<TSioTapiDevice> device;
  int fails = 0, portOpens = 0, portCloses = 0, connects = 0;
  std::vector<std::vector<std::uint32_t>> statuses;
};

std::string Lines(std::initializer_list<const char*> texts) {
  std::string s;
  for (const char* t : texts) s += kStamp + t + "\r\n";
  return s;
}

TEST(TapiDevice, RedialsABusyNumberAndWritesItsHistory) {
  Rig rig;
  rig.StartModem(3, {"--dial", "busy", "--dial-delay", "100"});
  Rig::AddLine("Testmodem", 3);
  Form form(rig, "Testmodem");
  form.device->SetMaxAttempts(3);
  form.device->SetRetryWait(3);
  std::vector<TTapiLogCode> logged;
  form.device->SetOnTapiLog([&](TSioCustomTapiDevice*, TTapiLogCode c) { logged.push_back(c); });
  EXPECT_EQ(form.port.GetTapiMode(), tmOn);  // the device took the port over

  form.device->Dial("123");
  ASSERT_TRUE(Pump([&] { return form.fails > 0; }, 30000));
  PumpFor(500);  // nothing more comes
  EXPECT_EQ(form.fails, 1);

  std::vector<long> dials;
  for (auto& [ms, text] : rig.ModemLog())
    if (text == "ATD123") dials.push_back(ms);
  ASSERT_EQ(dials.size(), 3u);
  EXPECT_GE(dials[1] - dials[0], 3000);
  EXPECT_GE(dials[2] - dials[1], 3000);

  EXPECT_EQ(form.History(), Lines({"call started", "  dialing 123", "  busy", "  dropped", "  dialing 123",
                                   "  busy", "  dropped", "  dialing 123", "  busy", "  dropped",
                                   "call finished\r\n", "  dial failed"}));
  // The program hears what the history gets.
  std::vector<TTapiLogCode> expected{ltapiCallStart};
  for (int i = 0; i < 3; ++i) expected.insert(expected.end(), {ltapiDial, ltapiBusy, ltapiDrop});
  expected.insert(expected.end(), {ltapiCallFinish, ltapiDialFail});
  EXPECT_EQ(logged, expected);
  // The retry count-down reached the status event; the final update (all zero) did not.
  bool retryStatus = false;
  for (auto& s : form.statuses) {
    EXPECT_FALSE(s[0] == 0 && s[1] == 0 && s[2] == 0 && s[3] == 0);
    retryStatus = retryStatus || (s[0] == 32 && s[1] == 8);
  }
  EXPECT_TRUE(retryStatus);
  EXPECT_EQ(form.device->GetTapiState(), tsIdle);
}

TEST(TapiDevice, PassThroughCallHandsTheModemToThePort) {
  Rig rig;
  const std::string raw = rig.dir / "modem4.raw";
  rig.StartModem(4, {"--raw", raw});
  Rig::AddLine("Faxmodem", 4);
  Form form(rig, "Faxmodem");
  std::string reply;
  form.device->SetOnTapiPortOpen([&](TSioCustomTapiDevice*) {
    ++form.portOpens;
    form.port.PutString("ATI3\r");
  });

  form.device->ConfigAndOpen();
  ASSERT_TRUE(Pump([&] { return form.portOpens > 0; }));
  EXPECT_TRUE(form.port.GetOpen());
  EXPECT_NE(form.port.GetTapiCid(), 0);
  EXPECT_TRUE(form.port.WaitForString("modem-sim voice data modem", 91, true, false));
  EXPECT_TRUE(form.statuses.empty());  // a pass-through call is quiet

  // What the modem got: the line's set-up when it was opened as owner, then the caller's bytes.
  std::vector<std::string> commands = rig.ModemCommands();
  ASSERT_GE(commands.size(), 1u);
  EXPECT_EQ(commands.back(), "ATI3");
  std::string setUp;
  for (std::size_t i = 0; i + 1 < commands.size(); ++i) {
    EXPECT_TRUE(commands[i] == "ATE0V1Q0S12=5" || commands[i] == "AT+VCID=1") << commands[i];
    setUp += commands[i] + "\r";
  }
  // Byte for byte: after the set-up nothing reached the modem before the caller's own bytes.
  EXPECT_EQ(support::ReadFile(raw), setUp + "ATI3\r");

  form.device->CancelCall();
  EXPECT_FALSE(form.port.GetOpen());
  EXPECT_EQ(form.port.GetTapiCid(), 0);
  EXPECT_EQ(form.portCloses, 1);
  EXPECT_EQ(form.fails, 0);
  EXPECT_EQ(rig.ModemCommands().back(), "ATH");
  EXPECT_EQ(form.History(), Lines({"call started", "  dialing ", "  connected", "  cancelled", "  dropped"}));

  // The line can be used again at once.
  form.device->ConfigAndOpen();
  ASSERT_TRUE(Pump([&] { return form.portOpens > 1; }));
  form.device->CancelCall();
  EXPECT_EQ(form.portCloses, 2);
}

TEST(TapiDevice, AnswersAfterTheSecondRingWithCallerId) {
  Rig rig;
  auto& modem = rig.StartModem(5, {"--ring-interval", "1000"});
  Rig::AddLine("Modem", 5);
  Form form(rig, "Modem");
  std::string id, name;
  form.device->SetOnTapiCallerID([&](TSioCustomTapiDevice*, const std::string& i, const std::string& n) {
    id = i;
    name = n;
  });
  form.device->SetAnswerOnRing(2);
  form.device->AutoAnswer();
  ASSERT_TRUE(modem.Command("ring 4 0301234567 Fritz Mueller"));
  ASSERT_TRUE(Pump([&] { return form.connects > 0; }));
  EXPECT_EQ(form.device->GetTapiState(), tsConnected);
  EXPECT_EQ(id, "0301234567");
  EXPECT_EQ(name, "Fritz Mueller");
  EXPECT_EQ(form.device->GetCallerID(), "0301234567");
  EXPECT_EQ(form.device->GetBPSRate(), 33600u);

  long ring1 = -1, ring2 = -1, ring3 = -1, answer = -1;
  for (auto& [ms, text] : rig.ModemLog()) {
    if (text == "-> RING 1") ring1 = ms;
    if (text == "-> RING 2") ring2 = ms;
    if (text == "-> RING 3") ring3 = ms;
    if (text == "ATA") answer = ms;
  }
  ASSERT_GE(ring1, 0);
  ASSERT_GE(ring2, 0);
  EXPECT_GE(answer, ring2);
  EXPECT_EQ(ring3 >= 0 && ring3 < answer, false);

  // The answered call runs on the port: the far end echoes what it gets.
  ASSERT_TRUE(form.port.GetOpen());
  form.port.PutString("hello modem");
  EXPECT_TRUE(form.port.WaitForString("hello modem", 91, true, false));

  form.device->CancelCall();
  std::vector<std::string> commands = rig.ModemCommands();
  auto ata = std::find(commands.begin(), commands.end(), "ATA");
  EXPECT_NE(std::find(ata, commands.end(), "ATH"), commands.end());
  EXPECT_EQ(form.History(), Lines({"call started", "  accepting", "  answering", "  connected", "  cancelled",
                                   "  dropped", "call finished\r\n"}));
  EXPECT_EQ(form.fails, 0);
}

TEST(TapiDevice, RefusesWhatItCannotDo) {
  Rig rig;
  Rig::AddLine("Modem", 6);
  {
    TSioComponentOwner owner;
    TSioTapiDevice device(&owner);
    device.SetSelectedDevice("Modem");
    EXPECT_THROW(device.Dial("1"), EPortNotAssigned);
  }
  TSioComponentOwner owner;
  TSioComPort port(&owner);
  port.SetTapiMode(tmOff);
  TSioTapiDevice device(&owner);
  device.SetSelectedDevice("Modem");
  EXPECT_THROW(device.Dial("1"), ETapiNotSet);
  port.SetTapiMode(tmNone);
  EXPECT_THROW(device.ConfigAndOpen(), ETapiNotSet);
  device.SetShowTapiDevices(false);
  device.SetShowPorts(false);
  device.SetSelectedDevice("No such line");
  port.SetTapiMode(tmOn);
  EXPECT_THROW(device.ConfigAndOpen(), ETapiNoSelect);
}

TEST(TapiDevice, DialWhileWaitingForCallsIsBusy) {
  Rig rig;
  rig.StartModem(7);
  Rig::AddLine("Modem", 7);
  Form form(rig, "Modem");
  form.device->AutoAnswer();
  EXPECT_THROW(form.device->Dial("123"), ETapiBusy);
  for (auto& c : rig.ModemCommands()) EXPECT_NE(c.rfind("ATD", 0), 0u) << c;
  // Closing a line that never had a call is no failed call.
  form.device->SetOpen(false);
  EXPECT_FALSE(form.device->GetOpen());
  EXPECT_EQ(form.fails, 0);
  EXPECT_EQ(form.History(), Lines({"call started"}));
}

TEST(TapiDevice, PortNumberOfTheLine) {
  Rig rig;
  Rig::AddLine("Modem A", 3);
  Rig::AddLine("Modem B", 12);
  Form form(rig, "Modem B");
  EXPECT_EQ(form.device->GetComNumber(), 12);
  form.device->SetSelectedDevice("Modem A");
  EXPECT_EQ(form.device->GetComNumber(), 3);
  EXPECT_EQ(form.fails, 0);
  EXPECT_EQ(form.History(), "");  // looking at the line is no call
  ASSERT_EQ(form.device->GetTapiDevices().Count(), 2);
  EXPECT_EQ(form.device->GetTapiDevices()[0], "Modem A");
  EXPECT_EQ(form.device->GetTapiDevices()[1], "Modem B");
}

TEST(TapiDevice, DialOutcomesReachTheStatus) {
  Rig rig;
  rig.StartModem(8, {"--dial", "no-dialtone", "--dial-delay", "50"});
  Rig::AddLine("Modem", 8);
  Form form(rig, "Modem");
  form.device->SetMaxAttempts(1);
  form.device->Dial("555");
  ASSERT_TRUE(Pump([&] { return form.fails > 0; }));
  bool disconnected = false;
  for (auto& s : form.statuses)
    if (s[0] == LINE_CALLSTATE && s[1] == LINECALLSTATE_DISCONNECTED) {
      disconnected = true;
      EXPECT_EQ(form.device->TapiStatusMsg(s[0], s[1], s[2]), "Call disconnected (No dial tone)");
    }
  EXPECT_TRUE(disconnected);
  EXPECT_EQ(form.History(),
            Lines({"call started", "  dialing 555", "  dropped", "call finished\r\n", "  dial failed"}));

  // A modem that answers nothing: the line cannot be made ready, the dial fails.
  ASSERT_TRUE(rig.Modem().Command("mute on"));
  form.device->Dial("555");
  ASSERT_TRUE(Pump([&] { return form.fails > 1; }, 20000));

  // Cancelling when no call is left ends no call: no "call finished", no second failure.
  const std::string before = form.History();
  form.device->CancelCall();
  EXPECT_EQ(form.History(), before + kStamp + "  cancelled\r\n");
  EXPECT_EQ(form.fails, 2);
}

TEST(TapiDevice, StatusTexts) {
  Rig rig;
  Rig::AddLine("Modem", 3);
  Form form(rig, "Modem");
  TSioTapiDevice& d = *form.device;
  EXPECT_EQ(d.TapiStatusMsg(LINE_CALLSTATE, LINECALLSTATE_DIALING, 0), "Dialing");
  EXPECT_EQ(d.TapiStatusMsg(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_BUSY),
            "Call disconnected (Line was Busy)");
  EXPECT_EQ(d.TapiStatusMsg(LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 0), "Ringing");
  EXPECT_EQ(d.TapiStatusMsg(LINE_REPLY, 0, 0), "TAPI state change");
  EXPECT_EQ(d.TapiStatusMsg(32, 8, 0), "Waiting for retry in 0 seconds");
  EXPECT_EQ(TSioCustomTapiDevice::TapiLogToString(ltapiBusy), "Called number was busy");
}

TEST(TapiDevice, SessionIsListedWhileItRuns) {
  Rig rig;
  Rig::AddLine("Modem", 3);
  char name[16];
  std::snprintf(name, sizeof name, "$%08X", static_cast<unsigned>(getpid()));
  {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Nordhaven\\SIO\\TAPI", true));
    reg.WriteString("$0000FFFF", "7");  // a session of a program gone long ago
  }
  {
    TSioComponentOwner owner;
    TSioTapiDevice device(&owner);
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\SOFTWARE\\Nordhaven\\SIO\\TAPI"));
    EXPECT_FALSE(reg.ValueExists("$0000FFFF"));
    ASSERT_TRUE(reg.ValueExists(name));
    EXPECT_NE(std::stoul(reg.ReadString(name)), 0u);
  }
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKeyReadOnly("\\SOFTWARE\\Nordhaven\\SIO\\TAPI"));
  EXPECT_FALSE(reg.ValueExists(name));
}

TEST(TapiDevice, TranslatesAddressesByTheLocation) {
  Rig rig;
  Rig::AddLine("Modem", 3);
  TDialingLocation loc;
  loc.CountryCode = 49;
  loc.AreaCode = "30";
  loc.CancelCallWaiting = "*70,";
  WriteDialingLocation(loc);
  Form form(rig, "Modem");
  EXPECT_EQ(form.device->TranslateAddress("+49 (30) 1234567"), "*70,1234567");
  EXPECT_EQ(form.device->TranslateAddress("+49 (89) 7654321"), "*70,0897654321");
  std::string dialable, displayable;
  std::uint32_t current = 0, dest = 0, results = 0;
  EXPECT_EQ(
      form.device->TranslateAddressEx("+44 (20) 7946 0000", 0, dialable, displayable, current, dest, results),
      0);
  EXPECT_EQ(dialable,
            "0044207946"
            "0000");
  EXPECT_EQ(current, 49u);
  EXPECT_EQ(dest, 44u);
  EXPECT_TRUE(results & LINETRANSLATERESULT_INTERNATIONAL);
  EXPECT_NE(form.device->TranslateAddressEx("", 0, dialable, displayable, current, dest, results), 0);
  EXPECT_THROW(form.device->TranslateAddress("12\r3"), ETapiTranslateFail);
}

TEST(TapiDevice, WithoutTheServiceTheDeviceReports) {
  Rig rig;
  rig.CatchExceptions();
  Rig::AddLine("Modem", 3);
  tuUnloadLibrary();
  TelephonySetAvailable(false);
  {
    TSioComponentOwner owner;
    TSioComPort port(&owner);
    TSioTapiDevice device(&owner);  // created all the same
    ASSERT_EQ(rig.exceptions.size(), 1u);
    EXPECT_EQ(device.GetTapiDevices().Count(), 0);
    EXPECT_THROW(device.Dial("1"), ETapiLoadFail);
    TelephonySetAvailable(true);
    device.EnumLineDevices();  // the service is there now
    EXPECT_EQ(device.GetTapiDevices().Count(), 1);
  }
  TelephonySetAvailable(true);
}

// ----- the handle of the call -----

LONG (*gRealGetID)(HLINE, std::uint32_t, HCALL, std::uint32_t, VARSTRING*, const char*) = &lineGetID;
std::uint32_t gFakeHandle = 0;

LONG FakeGetID(HLINE line, std::uint32_t address, HCALL call, std::uint32_t select, VARSTRING* out,
               const char* cls) {
  LONG r = gRealGetID(line, address, call, select, out, cls);
  if (r != 0 || std::string(cls) != "comm/datamodem") return r;
  std::uint32_t real = 0;
  std::memcpy(&real, reinterpret_cast<char*>(out) + out->dwStringOffset, 4);
  ::close(static_cast<int>(real));
  if (gFakeHandle == 0) return LINEERR_OPERATIONFAILED;
  std::memcpy(reinterpret_cast<char*>(out) + out->dwStringOffset, &gFakeHandle, 4);
  return 0;
}

class TapiHandle : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(TapiHandle, UnusableHandleOpensNoPortAndHangsUp) {
  Rig rig;
  rig.StartModem(9);
  Rig::AddLine("Modem", 9);
  tuUnloadLibrary();
  gFakeHandle = GetParam();
  TelephonySetProc("lineGetID", reinterpret_cast<void*>(&FakeGetID));
  {
    Form form(rig, "Modem");
    form.device->ConfigAndOpen();
    ASSERT_TRUE(Pump([&] { return form.fails > 0; }));
    EXPECT_EQ(form.portOpens, 0);
    EXPECT_FALSE(form.port.GetOpen());
    EXPECT_EQ(form.port.GetTapiCid(), 0);
    EXPECT_EQ(form.device->GetTapiState(), tsIdle);
    EXPECT_EQ(rig.ModemCommands().back(), "ATH");
    EXPECT_EQ(form.fails, 1);
  }
  TelephonyResetProcs();
  tuUnloadLibrary();
}

// A failed request and two handles that do not fit a port's 16 bits.
INSTANTIATE_TEST_SUITE_P(Handles, TapiHandle, ::testing::Values(0u, 0x10001u, 0x12345u));

// ----- lines that cannot be read -----

LONG (*gRealDevCaps)(HLINEAPP, std::uint32_t, std::uint32_t, std::uint32_t, LINEDEVCAPS*) = &lineGetDevCaps;

LONG BrokenFirstLine(HLINEAPP app, std::uint32_t id, std::uint32_t version, std::uint32_t ext,
                     LINEDEVCAPS* caps) {
  if (id == 0) return LINEERR_NODEVICE;
  LONG r = gRealDevCaps(app, id, version, ext, caps);
  if (r == 0 && id == 2) caps->dwLineNameSize = 0;              // a line without a name
  if (r == 0 && id == 3) caps->dwLineNameOffset = 0xFFFFFFF0u;  // a name outside the record
  return r;
}

TEST(TapiDevice, LinesThatCannotBeReadAreSkipped) {
  Rig rig;
  rig.StartModem(10);
  Rig::AddLine("Broken", 11);
  Rig::AddLine("Working", 10);
  Rig::AddLine("Nameless", 12);
  Rig::AddLine("Misplaced", 13);
  tuUnloadLibrary();
  TelephonySetProc("lineGetDevCaps", reinterpret_cast<void*>(&BrokenFirstLine));
  {
    Form form(rig, "Working");
    ASSERT_EQ(form.device->GetTapiDevices().Count(), 3);
    EXPECT_EQ(form.device->GetTapiDevices()[0], "Working");
    EXPECT_EQ(form.device->GetTapiDevices()[1], "");
    EXPECT_EQ(form.device->GetTapiDevices()[2], "");
    EXPECT_EQ(form.device->DeviceIDFromName("Working"), 1);
    EXPECT_EQ(form.device->DeviceIDFromName("Broken"), -1);
    form.device->ConfigAndOpen();
    ASSERT_TRUE(Pump([&] { return form.portOpens > 0; }));
    form.device->CancelCall();
  }
  TelephonyResetProcs();
  tuUnloadLibrary();
}

}  // namespace

namespace {

// ----- what kind of call is offered -----

LONG (*gRealCallInfo)(HCALL, LINECALLINFO*) = &lineGetCallInfo;

HCALL gVoiceCall = 0;

// The first call offered is a voice call, the ones after it data calls.
LONG FirstCallIsVoice(HCALL call, LINECALLINFO* info) {
  LONG r = gRealCallInfo(call, info);
  if (gVoiceCall == 0) gVoiceCall = call;
  if (r == 0 && call == gVoiceCall) info->dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
  return r;
}

TEST(TapiDevice, OfferedVoiceCallIsLeftAlone) {
  Rig rig;
  auto& modem = rig.StartModem(5, {"--ring-interval", "300"});
  TTelephonyLine line = Rig::Line("Modem", 5);
  line.RingTimeoutMs = 800;
  WriteTelephonyLine(line);
  tuUnloadLibrary();
  TelephonySetProc("lineGetCallInfo", reinterpret_cast<void*>(&FirstCallIsVoice));
  {
    Form form(rig, "Modem");
    form.device->SetAnswerOnRing(1);
    form.device->AutoAnswer();
    ASSERT_TRUE(modem.Command("ring 2"));
    PumpFor(2500);  // the rings, then the caller gives up
    for (auto& c : rig.ModemCommands()) EXPECT_NE(c, "ATA");
    EXPECT_EQ(form.connects, 0);
    EXPECT_EQ(form.History(), Lines({"call started"}));  // not accepted, not answered
    // The line still waits for calls: the next one, a data call, is answered.
    EXPECT_TRUE(form.device->GetOpen());
    ASSERT_TRUE(modem.Command("ring 2"));
    ASSERT_TRUE(Pump([&] { return form.connects > 0; }));
    form.device->CancelCall();
  }
  TelephonyResetProcs();
  tuUnloadLibrary();
}

TEST(TapiDevice, NewLinesAreListedWhileItRuns) {
  Rig rig;
  Rig::AddLine("First", 3);
  Form form(rig, "First");
  ASSERT_EQ(form.device->GetTapiDevices().Count(), 1);
  Rig::AddLine("Second", 4);
  ASSERT_TRUE(Pump([&] { return form.device->GetTapiDevices().Count() == 2; }));
  EXPECT_EQ(form.device->GetTapiDevices()[1], "Second");
  EXPECT_EQ(form.device->DeviceIDFromName("Second"), 1);
}

TEST(TapiDevice, DeviceConfigurationOfTheLine) {
  Rig rig;
  Rig::AddLine("Modem", 3);
  Form form(rig, "Modem");
  TTapiConfigRec config = form.device->GetDevConfig();
  std::string text(reinterpret_cast<const char*>(config.Data.data()), config.DataSize);
  EXPECT_NE(text.find("ComNumber=3\n"), std::string::npos);
  EXPECT_NE(text.find("Init=ATE0V1Q0S12=5\n"), std::string::npos);

  const std::string changed = "Init=AT&F|ATE0\nComNumber=5\n";
  std::memcpy(config.Data.data(), changed.data(), changed.size());
  config.DataSize = static_cast<std::uint32_t>(changed.size());
  form.device->SetDevConfig(config);
  ASSERT_EQ(ReadTelephonyLines().size(), 1u);
  EXPECT_EQ(ReadTelephonyLines()[0].Init, "AT&F|ATE0");
  EXPECT_EQ(ReadTelephonyLines()[0].ComNumber, 5);

  const std::string bad = "ComNumber=five\n";
  std::memcpy(config.Data.data(), bad.data(), bad.size());
  config.DataSize = static_cast<std::uint32_t>(bad.size());
  EXPECT_THROW(form.device->SetDevConfig(config), ETapiInvalParam);
  EXPECT_EQ(ReadTelephonyLines()[0].ComNumber, 5);
  config.DataSize = 5000;  // more than the record holds: cut to it, not read past it
  EXPECT_THROW(form.device->SetDevConfig(config), ETapiInvalParam);

  // Without the window layer the service has no dialogs.
  SetTelephonyDialogs({});
  EXPECT_THROW(form.device->ShowConfigDialog(), ETapiOperationUnavail);
  EXPECT_FALSE(form.device->TranslateDialog("123"));
}

TEST(TapiDevice, AssignCopiesTheSettings) {
  Rig rig;
  Rig::AddLine("Modem", 3);
  Form form(rig, "Modem");
  form.device->SetMaxAttempts(7);
  form.device->SetRetryWait(9);
  form.device->SetAnswerOnRing(4);
  TSioComponentOwner other;
  TSioTapiDevice copy(&other);
  copy.Assign(*form.device);
  EXPECT_EQ(copy.GetSelectedDevice(), "Modem");
  EXPECT_EQ(copy.GetMaxAttempts(), 7);
  EXPECT_EQ(copy.GetRetryWait(), 9);
  EXPECT_EQ(copy.GetAnswerOnRing(), 4);
  EXPECT_EQ(copy.GetComPort(), &form.port);
  EXPECT_EQ(copy.GetTapiLog(), &form.log);
  EXPECT_EQ(copy.GetTapiDevices().Count(), 0);
}

}  // namespace
