// The line wrappers without the telephony library or an entry point, the record readers, the
// result mapping, and the history log's file handling.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fax/Swtapi.h"
#include "fax/Swtapilog.h"
#include "fax/Swtapiut.h"
#include "platform/DateTime.h"
#include "serial/Sioexcept.h"
#include "tests/fax/TapiTestUtil.h"

namespace {

using tapitest::Rig;

// Every wrapper once, with harmless arguments.
std::vector<std::function<LONG()>> AllWrappers() {
  static HLINEAPP app;
  static HLINE line;
  static HCALL call;
  static std::uint32_t n, a, b;
  static LINEEXTENSIONID ext;
  static std::uint32_t buf[64];
  auto* vs = reinterpret_cast<VARSTRING*>(buf);
  return {
      [] { return tuLineGenerateTones(1, 0, 0, 0, nullptr); },
      [] { return tuLineMonitorTones(1, nullptr, 0); },
      [] { return tuLineSetCallParams(1, 0, 0, 0, nullptr); },
      [] { return tuLineHandoff(1, "", 0); },
      [] { return tuLineMonitorMedia(1, 0); },
      [] { return tuLineGenerateDigits(1, 0, "1", 0); },
      [] { return tuLineMonitorDigits(1, 0); },
      [] { return tuLineInitialize(&app, nullptr, nullptr, "", &n); },
      [] { return tuLineShutdown(1); },
      [] { return tuLineNegotiateApiVersion(1, 0, 0, 0, &a, &ext); },
      [vs] { return tuLineGetDevCaps(1, 0, 0, 0, reinterpret_cast<LINEDEVCAPS*>(vs)); },
      [] { return tuLineOpen(1, 0, &line, 0, 0, 0, 1, 0, nullptr); },
      [] { return tuLineMakeCall(1, &call, "1", 0, nullptr); },
      [] { return tuLineAccept(1, nullptr, 0); },
      [] { return tuLineAnswer(1, nullptr, 0); },
      [] { return tuLineDeallocateCall(1); },
      [] { return tuLineDrop(1, nullptr, 0); },
      [] { return tuLineClose(1); },
      [vs] { return tuLineGetCountry(0, 0, reinterpret_cast<LINECOUNTRYLIST*>(vs)); },
      [] { return tuLineConfigDialog(0, 0, "comm/datamodem"); },
      [vs] { return tuLineConfigDialogEdit(0, 0, "comm/datamodem", nullptr, 0, vs); },
      [vs] { return tuLineGetID(1, 0, 0, 1, vs, "comm/datamodem/portname"); },
      [] { return tuLineSetStatusMessages(1, 0, 0); },
      [] { return tuLineGetStatusMessages(1, &a, &b); },
      [vs] { return tuLineGetAddressStatus(1, 0, reinterpret_cast<LINEADDRESSSTATUS*>(vs)); },
      [vs] { return tuLineGetDevConfig(0, vs, "comm/datamodem"); },
      [] { return tuLineSetDevConfig(0, "", 0, "comm/datamodem"); },
      [vs] { return tuLineGetCallInfo(1, reinterpret_cast<LINECALLINFO*>(vs)); },
      [vs] { return tuLineGetCallStatus(1, reinterpret_cast<LINECALLSTATUS*>(vs)); },
      [] { return tuLineSetMediaMode(1, 0); },
      [] { return tuLineSetCurrentLocation(1, 0); },
      [] { return tuLineSetTollList(1, 0, "", 0); },
  };
}

class TapiLayer : public ::testing::Test {
 protected:
  void SetUp() override { tuUnloadLibrary(); }
  void TearDown() override {
    TelephonySetAvailable(true);
    TelephonyResetProcs();
    tuUnloadLibrary();
  }
};

TEST_F(TapiLayer, WithoutTheLibraryEveryCallTriesAgain) {
  TelephonySetAvailable(false);
  for (auto& call : AllWrappers()) EXPECT_EQ(call(), ecTapiLoadFail);
  EXPECT_EQ(tuLineTranslateDialog(1, 0, kTelephonyApiVersion, 0, "1"), ecTapiLoadFail);
  TTapiRecord<LINETRANSLATEOUTPUT> out;
  EXPECT_EQ(tuLineTranslateAddressDyn(1, 0, kTelephonyApiVersion, out, 0, 0, "1"), ecTapiLoadFail);
  EXPECT_FALSE(out);
  // The library arrives: the next call loads it.
  TelephonySetAvailable(true);
  for (auto& call : AllWrappers()) EXPECT_NE(call(), ecTapiLoadFail);
}

TEST_F(TapiLayer, MissingEntryPoints) {
  TelephonySetProc("lineAnswer", nullptr);
  TelephonySetProc("lineTranslateDialog", nullptr);
  TelephonySetProc("lineTranslateAddress", nullptr);
  EXPECT_EQ(tuLineAnswer(1, nullptr, 0), ecTapiGetAddrFail);
  EXPECT_EQ(tuLineTranslateDialog(1, 0, kTelephonyApiVersion, 0, "1"), -1);
  TTapiRecord<LINETRANSLATEOUTPUT> out;
  EXPECT_EQ(tuLineTranslateAddressDyn(1, 0, kTelephonyApiVersion, out, 0, 0, "1"), ecTapiGetAddrFail);
  EXPECT_EQ(tuLineDrop(1, nullptr, 0), LINEERR_INVALCALLHANDLE);  // the others are there
}

TEST_F(TapiLayer, ResultsMapToLibraryCodes) {
  EXPECT_EQ(TapiResultToCode(0), 0);
  EXPECT_EQ(TapiResultToCode(LineErr(0x48)), -13872);
  EXPECT_EQ(TapiResultToCode(LineErr(0x02)), ecTapiBadDeviceID);
  EXPECT_EQ(TapiResultToCode(LINEERR_REINIT), ecTapiReinit);
  EXPECT_EQ(TapiResultToCode(ecTapiLoadFail), ecTapiLoadFail);
  EXPECT_THROW(RaiseSioException(TapiResultToCode(LINEERR_REINIT)), ETapiReinit);
}

// ----- readers -----

std::vector<std::uint32_t> gSizes;
std::uint32_t gNeeded = 0;
LONG gFirstResult = 0;

LONG GrowingCallInfo(HCALL, LINECALLINFO* info) {
  gSizes.push_back(info->dwTotalSize);
  if (gSizes.size() == 1 && gFirstResult != 0) return gFirstResult;
  if (info->dwTotalSize < 400 && gNeeded == 1024) return LINEERR_STRUCTURETOOSMALL;
  info->dwNeededSize = gNeeded;
  info->dwUsedSize = std::min(info->dwTotalSize, gNeeded);
  if (info->dwTotalSize >= gNeeded) {
    const char name[] = "Fritz";
    info->dwCallerIDNameOffset = gNeeded - sizeof name;
    info->dwCallerIDNameSize = sizeof name;
    std::memcpy(reinterpret_cast<char*>(info) + info->dwCallerIDNameOffset, name, sizeof name);
  }
  return 0;
}

TEST_F(TapiLayer, RecordReadersGrowToTheNeededSize) {
  TelephonySetProc("lineGetCallInfo", reinterpret_cast<void*>(&GrowingCallInfo));
  TTapiRecord<LINECALLINFO> info;
  gSizes.clear();
  gNeeded = 600;
  ASSERT_EQ(tuLineGetCallInfoDyn(1, info), 0);
  EXPECT_EQ(gSizes, (std::vector<std::uint32_t>{296, 600}));
  ASSERT_TRUE(info);
  EXPECT_EQ(TapiRecordString(info.get(), info->dwCallerIDNameSize, info->dwCallerIDNameOffset), "Fritz");

  // "Too small" takes the 1024-byte record first.
  gSizes.clear();
  gNeeded = 1024;
  ASSERT_EQ(tuLineGetCallInfoDyn(1, info), 0);
  EXPECT_EQ(gSizes, (std::vector<std::uint32_t>{296, 1024}));

  // Another failure of the first call comes back with its record.
  gSizes.clear();
  gFirstResult = LINEERR_INVALCALLHANDLE;
  EXPECT_EQ(tuLineGetCallInfoDyn(1, info), LINEERR_INVALCALLHANDLE);
  EXPECT_TRUE(info);
  gFirstResult = 0;
}

TEST_F(TapiLayer, LongLineNamesAreReadWhole) {
  Rig rig;
  const std::string name(300, 'L');
  Rig::AddLine(name, 3);
  HLINEAPP app = 0;
  std::uint32_t count = 0, version = 0;
  LINEEXTENSIONID ext{};
  ASSERT_EQ(tuLineInitialize(&app, nullptr, nullptr, "test", &count), 0);
  ASSERT_EQ(count, 1u);
  ASSERT_EQ(tuLineNegotiateApiVersion(app, 0, kTelephonyApiVersion, kTelephonyApiVersion, &version, &ext), 0);
  TTapiRecord<LINEDEVCAPS> caps;
  ASSERT_EQ(tuLineGetDevCapsDyn(app, 0, version, 0, caps), 0);
  EXPECT_GT(caps->dwTotalSize, kDevCapsInitialSize);
  EXPECT_EQ(TapiRecordString(caps.get(), caps->dwLineNameSize, caps->dwLineNameOffset), name);
  EXPECT_EQ(tuLineShutdown(app), 0);
}

TEST_F(TapiLayer, RecordStringsStayInsideTheRecord) {
  std::uint32_t rec[16] = {};
  rec[0] = sizeof rec;
  std::memcpy(reinterpret_cast<char*>(rec) + 40, "COM7\0xyz", 8);
  EXPECT_EQ(TapiRecordString(rec, 5, 40), "COM7");  // the NUL is dropped
  EXPECT_EQ(TapiRecordString(rec, 4, 40), "COM7");  // also without one
  EXPECT_EQ(TapiRecordString(rec, 8, 40), "COM7");  // nothing after the NUL
  EXPECT_EQ(TapiRecordString(rec, 0, 40), "");      // size 0 is empty
  EXPECT_EQ(TapiRecordString(rec, 30, 40), "");     // past the end
  EXPECT_EQ(TapiRecordString(rec, 5, 0xFFFFFFF0u), "");
  EXPECT_EQ(TapiRecordString(rec, 0xFFFFFFFFu, 40), "");
  EXPECT_EQ(TapiRecordString(nullptr, 5, 40), "");
}

// ----- the history log -----

TEST(TapiHistory, AppendsAndNeverTruncates) {
  support::TempDir dir("tapihis");
  TSioComponentOwner owner;
  TSioTapiLog log(&owner);
  log.SetClock([] { return TDateTime(EncodeDate(2024, 3, 1) + EncodeTime(0, 0, 0, 0)); });

  log.SetTapiHistoryName("");
  log.UpdateLog(ltapiCallStart);  // no name: no file
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  const std::string his = dir / "SIOTAPI.HIS";
  log.SetTapiHistoryName(his);
  log.UpdateLog(ltapiNone);
  EXPECT_FALSE(std::filesystem::exists(his));
  log.UpdateLog(ltapiCallStart);
  EXPECT_EQ(support::ReadFile(his), "01.03.2024 : call started\r\n");

  // Another program holds the history open and writes to it.
  int other = ::open(his.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::write(other, "other\r\n", 7), 7);
  log.UpdateLog(ltapiCancel);
  log.UpdateLog(ltapiCallFinish);
  ::close(other);
  EXPECT_EQ(
      support::ReadFile(his),
      "01.03.2024 : call started\r\nother\r\n01.03.2024 :   cancelled\r\n01.03.2024 : call finished\r\n\r\n");

  log.SetTapiHistoryName((dir / "no such dir") + "/SIOTAPI.HIS");
  EXPECT_THROW(log.UpdateLog(ltapiDrop), EInOutError);
}

}  // namespace
