// The protocol component as a form uses it: a port, the component, a status display and a
// history log on one owner; transfers against lrzsz through the relay; the history file; the
// component's settings and stored copies; and its lifetime while a run is under way.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <new>
#include <set>
#include <sstream>

#include "kermit_harness.h"
#include "transfer/SioProtocol.h"
#include "transfer/Swkermit.h"
#include "xfer_harness.h"

using namespace xfer;

// While set, every array that the program asks for without exceptions is refused: the way an
// engine's part fails to come into being. The ThreadSanitizer runtime defines the allocation
// functions itself and lets no program replace them: there the test is left out.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NO_ALLOCATION_HOOK 1
#endif
#endif
#ifndef NO_ALLOCATION_HOOK
static thread_local bool failNothrowArrays = false;
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (failNothrowArrays) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}
#endif

namespace {

// A status display without a window: it counts what it is shown.
class CountingStatus : public TSioAbstractStatus {
 public:
  explicit CountingStatus(TSioComponentOwner* owner) : TSioAbstractStatus(owner) { InitDisplay(); }
  void CreateDisplay() override { created = true; }
  void DestroyDisplay() override {}
  void UpdateDisplay(bool f, bool l) override {
    first += f;
    last += l;
    ++updates;
  }
  bool ReadDisplay(TPosition& p, bool& c, bool& v, std::string& cap) override {
    p = poScreenCenter;
    c = true;
    v = false;
    cap = "form";
    return true;
  }
  bool created = false;
  int first = 0, last = 0, updates = 0;
};

// A form with a status display besides the port, the component and the log.
struct StatusForm : Form {
  StatusForm(int com, const std::string& device, const fs::path& history) : Form(com, device, history) {
    status = new CountingStatus(this);
    status->SetProtocol(protocol);
  }
  ~StatusForm() override { delete status; }
  CountingStatus* status;
};

class ProtocolComponentTest : public XferTest {};

// ---------------------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------------------
TEST(ProtocolComponentHelpers, NamesAndMinutes) {
  EXPECT_EQ("  1:05", FormatMinSec(65));
  EXPECT_EQ("  0:00", FormatMinSec(0));
  EXPECT_EQ("100:00", FormatMinSec(6000));
  EXPECT_EQ("Xmodem1KG", ProtocolName(ptXmodem1KG));
  EXPECT_EQ("B+", ProtocolName(ptBPlus));
  EXPECT_EQ("None", ProtocolName(static_cast<TProtocolType>(11)));
  EXPECT_EQ("CrcKermit", CheckNameString(bcmCrcK));
  EXPECT_EQ("No check", CheckNameString(static_cast<TBlockCheckMethod>(9)));
  EXPECT_EQ("", TSioCustomProtocol::StatusMsg(4724));
  EXPECT_EQ("Cancel requested", TSioCustomProtocol::StatusMsg(psCancelRequested));
}

TEST(ProtocolComponentSettings, DefaultsStoredCopiesAndBlockChecks) {
  TSioProtocol p;
  EXPECT_EQ(ptNoProtocol, p.GetProtocolType());
  EXPECT_EQ(182u, p.GetHandshakeWait());
  EXPECT_EQ(10u, p.GetHandshakeRetry());
  EXPECT_EQ(1092u, p.GetTransmitTimeout());
  EXPECT_EQ(18u, p.GetStatusInterval());
  EXPECT_EQ("*.*", p.GetFileMask());
  EXPECT_TRUE(p.GetUpcaseFileNames());
  EXPECT_EQ(wfWriteRename, p.GetWriteFailAction());
  EXPECT_NE(0u, p.Window());

  // A stored value reaches the engine of its protocol, and is read back from it.
  p.SetXYmodemBlockWait(40);
  EXPECT_EQ(40u, p.GetXYmodemBlockWait());
  p.SetProtocolType(ptXmodem1K);
  EXPECT_EQ(40u, p.Data().BlockWait);
  p.Data().BlockWait = 33;
  EXPECT_EQ(33u, p.GetXYmodemBlockWait());
  EXPECT_EQ(1024u, p.Data().BlockLength);

  // Block checks switch between checksum and CRC XModem; other cases are ignored.
  p.SetProtocolType(ptXmodem);
  p.SetBlockCheckMethod(bcmCrc16);
  EXPECT_EQ(ptXmodemCRC, p.GetProtocolType());
  p.SetBlockCheckMethod(bcmChecksum);
  EXPECT_EQ(ptXmodem, p.GetProtocolType());
  p.SetBlockCheckMethod(bcmCrc32);
  EXPECT_EQ(ptXmodem, p.GetProtocolType());
  EXPECT_EQ(bcmChecksum, p.GetBlockCheckMethod());

  // Stored copies of other protocols: ZModem's CRC option is refused, Kermit's lengths and
  // windows are clamped without an error.
  p.SetZmodemFileOption(zfoWriteProtect);
  p.SetZmodemFileOption(zfoWriteCrc);
  EXPECT_EQ(zfoWriteProtect, p.GetZmodemFileOption());
  p.SetKermitMaxLen(2000);
  EXPECT_EQ(1024u, p.GetKermitMaxLen());
  p.SetKermitMaxLen(90);
  EXPECT_EQ(90u, p.GetKermitMaxLen());
  p.SetKermitMaxWindows(1);
  EXPECT_EQ(0u, p.GetKermitMaxWindows());
  p.SetKermitMaxWindows(40);
  EXPECT_EQ(27u, p.GetKermitMaxWindows());

  // ASCII values go to the engine when it is selected.
  p.SetAsciiEOFTimeout(100);
  p.SetAsciiLFTranslation(aetAddCRBefore);
  p.SetProtocolType(ptAscii);
  EXPECT_EQ(100u, p.Data().EOFTimeout);
  ASSERT_NE(nullptr, spTail(p.Data()));
  EXPECT_EQ(aetAddCRBefore, spTail(p.Data())->LFTranslation);

  // Options, names.
  p.SetHonorDirectory(true);
  p.SetAbortNoCarrier(true);
  EXPECT_EQ(apHonorDirectory | apAbortNoCarrier, p.Data().Options);
  p.SetDestinationDirectory(std::string(300, 'd'));
  EXPECT_EQ(255u, p.GetDestinationDirectory().size());
}

// Kermit's stored values reach its engine when it is selected and afterwards, clamped
// without an error.
TEST(ProtocolComponentSettings, KermitValuesReachTheEngine) {
  TSioProtocol p;
  p.SetKermitMaxLen(2000);
  p.SetKermitMaxWindows(40);
  p.SetKermitRepeatPrefix('&');
  p.SetProtocolType(ptKermit);
  TKermitTail* T = kpTail(p.Data());
  ASSERT_NE(nullptr, T);
  EXPECT_EQ(1024u, T->Options.MaxLongPacketLen);
  EXPECT_EQ(27u, T->Options.WindowSize);
  EXPECT_EQ('&', T->Options.RepeatPrefix);
  EXPECT_NO_THROW(p.SetKermitMaxLen(2000));
  EXPECT_EQ(1024u, p.GetKermitMaxLen());
  p.SetKermitMaxLen(90);
  EXPECT_EQ(90u, T->Options.MaxPacketLen);
  EXPECT_EQ(0u, T->Options.MaxLongPacketLen);
  EXPECT_EQ(27u, p.GetKermitWindowsTotal());
  p.SetBlockCheckMethod(bcmCrcK);
  EXPECT_EQ('3', T->Options.Check);
  p.SetBlockCheckMethod(bcmCrc32);  // not a Kermit check: ignored
  EXPECT_EQ(bcmCrcK, p.GetBlockCheckMethod());
  p.SetKermitTimeoutSecs(9);
  EXPECT_EQ(9u, T->Options.MaxTimeout);
  // Leaving Kermit releases its part; coming back pushes the stored values again.
  p.SetProtocolType(ptZmodem);
  EXPECT_EQ(nullptr, kpTail(p.Data()));
  p.SetProtocolType(ptKermit);
  T = kpTail(p.Data());
  ASSERT_NE(nullptr, T);
  EXPECT_EQ(90u, T->Options.MaxPacketLen);
  EXPECT_EQ(9u, T->Options.MaxTimeout);
}

// The B+ hooks of a terminal need the port; with one they make the protocol B+.
TEST(ProtocolComponentSettings, BPlusHooksNeedThePort) {
  TSioProtocol p;
  p.SetProtocolType(ptZmodem);
  int code = 0;
  try {
    p.ProcessENQ();
  } catch (const ESIOException& e) {
    code = e.ErrorCode;
  }
  EXPECT_EQ(code, ecPortNotAssigned);
  EXPECT_EQ(p.GetProtocolType(), ptZmodem);
}

// A type whose engine can't be set up leaves the component without a protocol, never with
// the old type on a released engine.
TEST(ProtocolComponentSettings, FailingTypeFallsBackToNoProtocol) {
#ifdef NO_ALLOCATION_HOOK
  GTEST_SKIP() << "no allocation hook under ThreadSanitizer";
#else
  TSioProtocol p;
  p.SetProtocolType(ptYmodem);
  ASSERT_NE(nullptr, p.Data().HeaderBlock);
  // The engine's part can't be had: the old one is gone already, so the component raises
  // the error and goes on without a protocol.
  failNothrowArrays = true;
  bool raised = false;
  try {
    p.SetProtocolType(ptBPlus);
  } catch (const EOutOfMemory&) {
    raised = true;
  }
  failNothrowArrays = false;
  EXPECT_TRUE(raised);
  EXPECT_EQ(ptNoProtocol, p.GetProtocolType());
  EXPECT_EQ(ptNoProtocol, p.Data().ProtocolType);
  EXPECT_EQ(nullptr, p.Data().HeaderBlock);
  p.SetProtocolType(ptYmodemG);
  EXPECT_EQ(ptYmodemG, p.Data().ProtocolType);
#endif
}

// Assign takes the settings and stored values, never the window or the run.
TEST(ProtocolComponentSettings, AssignCopiesSettingsOnly) {
  TSioProtocol a, b;
  a.SetProtocolType(ptYmodem);
  a.SetHandshakeWait(50);
  a.SetDestinationDirectory("/tmp/x");
  a.SetXYmodemBlockWait(17);
  a.SetKermitMaxLen(500);
  b.Assign(a);
  EXPECT_EQ(ptYmodem, b.GetProtocolType());
  EXPECT_EQ(50u, b.GetHandshakeWait());
  EXPECT_EQ("/tmp/x", b.GetDestinationDirectory());
  EXPECT_EQ(17u, b.Data().BlockWait);
  EXPECT_EQ(500u, b.GetKermitMaxLen());
  EXPECT_NE(a.Window(), b.Window());
  EXPECT_EQ(b.Window(), b.Data().NotifyWindow);
  EXPECT_NE(a.Data().HeaderBlock, b.Data().HeaderBlock);
  EXPECT_NE(a.Data().Lock, b.Data().Lock);
}

// The companions are found among the owner's components and let go when removed.
TEST(ProtocolComponentSettings, FindsAndReleasesCompanions) {
  TSioComponentOwner form;
  TSioComPort port(&form);
  TSioProtocolLog log(&form);
  auto* status = new CountingStatus(&form);
  TSioProtocol first(&form), second(&form);
  EXPECT_EQ(&port, first.GetComPort());
  EXPECT_EQ(&log, first.GetProtocolLog());
  EXPECT_EQ(status, first.GetStatusDisplay());
  EXPECT_EQ(&first, status->GetProtocol());
  EXPECT_EQ("Protocol Status", status->GetCaption());
  EXPECT_TRUE(status->created);
  // A companion already in use is not taken by a second protocol.
  EXPECT_EQ(nullptr, second.GetStatusDisplay());
  EXPECT_EQ(nullptr, second.GetProtocolLog());
  delete status;  // a destroyed display unlinks itself
  EXPECT_EQ(nullptr, first.GetStatusDisplay());
  first.Notification(&log, opRemove);
  EXPECT_EQ(nullptr, first.GetProtocolLog());
  EXPECT_EQ(nullptr, log.GetProtocol());
  second.Notification(&log, opInsert);
  EXPECT_EQ(&second, log.GetProtocol());
  first.Notification(&port, opRemove);
  EXPECT_EQ(nullptr, first.GetComPort());
  first.SetProtocolType(ptXmodem);
  EXPECT_THROW(first.StartTransmit(), EPortNotAssigned);
}

// ---------------------------------------------------------------------------------------
// Transfers through the component
// ---------------------------------------------------------------------------------------

// A batch send without a next-file handler walks FileMask; the history has a start and a
// finished line for each file.
TEST_F(ProtocolComponentTest, BatchSendWalksTheMaskAndWritesHistory) {
  Relay relay;
  const fs::path history = dir / "SIO.HIS";
  StatusForm f(101, relay.nearEnd.path(), history);
  WriteFile(dir / "near" / "a.dat", RandomData(3000, 1));
  WriteFile(dir / "near" / "b.dat", RandomData(70000, 2));
  f.protocol->SetProtocolType(ptYmodem);
  f.protocol->SetFileMask((dir / "near" / "*.dat").string());
  f.protocol->SetFinishWait(364);
  f.protocol->StartTransmit();
  Peer peer(relay, dir / "far", {"rb", "-q"});
  ASSERT_TRUE(f.WaitFinish(30000)) << peer.Log();
  EXPECT_EQ(0, f.finishCode);
  EXPECT_EQ(0, peer.Wait(5000)) << peer.Log();
  EXPECT_EQ(ReadFile(dir / "near" / "a.dat"), ReadFile(dir / "far" / "a.dat"));
  EXPECT_EQ(ReadFile(dir / "near" / "b.dat"), ReadFile(dir / "far" / "b.dat"));
  EXPECT_EQ((std::vector<std::uint16_t>{4, 5, 4, 5}), f.logs);
  EXPECT_EQ(1, f.status->first);
  EXPECT_EQ(1, f.status->last);

  const std::string his = ReadFile(history);
  const std::string a = (dir / "near" / "a.dat").string(), b = (dir / "near" / "b.dat").string();
  EXPECT_NE(std::string::npos, his.find("Ymodem transmit started on  ")) << his;
  EXPECT_NE(std::string::npos, his.find(" : " + a + "\r\n")) << his;
  EXPECT_NE(std::string::npos, his.find("Ymodem transmit finished OK ")) << his;
  EXPECT_NE(std::string::npos, his.find("   Size: 70000\r\n\r\n")) << his;
  EXPECT_NE(std::string::npos, his.find(" : " + b + "\r\n   Elapsed time: ")) << his;
  std::size_t lines = 0;
  for (std::size_t i = 0; (i = his.find("\r\n", i)) != std::string::npos; i += 2) ++lines;
  EXPECT_EQ(8u, lines) << his;  // start, finished, elapsed line, empty line for each file
}

// A receive that fails part way: XModem's partial file is deleted (it can't be resumed);
// a file that was there before and was not touched is never deleted.
TEST_F(ProtocolComponentTest, FailedReceiveDeletesOnlyItsOwnPartialFile) {
  Relay relay;
  Form f(102, relay.nearEnd.path(), dir / "SIO.HIS");
  WriteFile(dir / "far" / "big.bin", RandomData(300 * 1024, 9));
  Peer peer(relay, dir / "far", {"sx", "-q", "big.bin"});
  f.protocol->SetProtocolType(ptXmodemCRC);
  f.protocol->SetUpcaseFileNames(false);
  const std::string target = (dir / "near" / "part.bin").string();
  f.protocol->SetFileName(target);
  f.protocol->StartReceive();
  ASSERT_TRUE(PumpUntil([&] { return f.protocol->GetBytesTransferred() > 8192; }, 10000));
  EXPECT_TRUE(fs::exists(target));
  // Only the broken line is waited for a fifth of a second a block: on a loaded machine such
  // waits from the start let blocks time out half-read, and the run failed before its first.
  Locked(f.protocol->Data(), [](TProtocolData& p) { p.BlockWait = p.HandshakeWait = 4; });
  relay.toNear.cut = true;
  peer.Kill();
  ASSERT_TRUE(f.WaitFinish(20000));
  ASSERT_EQ(ecTooManyErrors, f.finishCode);
  ASSERT_FALSE(f.logs.empty());
  EXPECT_EQ(lfReceiveFail, f.logs.back());
  EXPECT_FALSE(fs::exists(target));
  EXPECT_NE(std::string::npos, ReadFile(dir / "SIO.HIS").find("XmodemCRC receive failed " + target + " "))
      << ReadFile(dir / "SIO.HIS");
}

// A Kermit receive from C-Kermit that breaks off: Kermit can't resume, so its partial file is
// deleted (ZModem's is kept, see the ZModem tests).
TEST_F(ProtocolComponentTest, FailedKermitReceiveDeletesItsPartialFile) {
  Relay relay(false);
  Form f(106, relay.nearEnd.path(), dir / "SIO.HIS", 16384);
  WriteFile(dir / "far" / "big.bin", RandomData(3 << 20, 3));
  f.protocol->SetProtocolType(ptKermit);
  f.protocol->SetStatusInterval(1);
  f.protocol->SetDestinationDirectory((dir / "near").string());
  f.protocol->StartReceive();
  kermit::CKermit peer(relay.farEnd.path(), (dir / "far").string(), "", {"-s", "big.bin"});
  ASSERT_TRUE(PumpUntil([&] { return f.protocol->GetBytesTransferred() > 20000; }, 20000));
  // C-Kermit has come up (which may take a while on a busy machine): from now on the silence
  // after the break is soon taken as the end.
  Locked(f.protocol->Data(), [](TProtocolData& p) {
    apSetHandshakeWait(p, 18, 3);
    return 0;
  });
  const std::string partial = f.protocol->GetFileName();
  EXPECT_TRUE(fs::exists(partial));
  relay.toNear.cut = true;
  relay.toFar.cut = true;
  peer.Kill();
  ASSERT_TRUE(f.WaitFinish(30000));
  ASSERT_NE(0, f.finishCode);
  ASSERT_FALSE(f.logs.empty());
  EXPECT_EQ(lfReceiveFail, f.logs.back());
  EXPECT_FALSE(fs::exists(partial)) << partial;
  EXPECT_TRUE(fs::is_empty(dir / "near"));
}

// While it lives, no file of this process grows beyond `bytes`: a write past it fails as on a
// full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved_;
    small.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, handler_);
  }

 private:
  rlimit saved_{};
  void (*handler_)(int) = nullptr;
};

class FullDiskTest : public ProtocolComponentTest, public ::testing::WithParamInterface<TProtocolType> {};

// The disk fills up while a file comes from sb, sz or C-Kermit: the run ends with -101, and
// the history's failure line names it.
TEST_P(FullDiskTest, ReceiveFailsWithItsErrorInTheHistory) {
  const TProtocolType type = GetParam();
  Relay relay(type != ptKermit);
  const fs::path history = dir / "SIO.HIS";
  Form f(150 + type, relay.nearEnd.path(), history, 16384);
  WriteFile(dir / "far" / "big.bin", RandomData(300 * 1024, 50));
  f.protocol->SetProtocolType(type);
  f.protocol->SetUpcaseFileNames(false);
  f.protocol->SetDestinationDirectory((dir / "near").string());
  std::unique_ptr<Peer> lrzsz;
  std::unique_ptr<kermit::CKermit> ckermit;
  if (type == ptKermit)
    ckermit = std::make_unique<kermit::CKermit>(relay.farEnd.path(), (dir / "far").string(), "",
                                                std::vector<std::string>{"-s", "big.bin"});
  else
    lrzsz = std::make_unique<Peer>(relay, dir / "far",
                                   std::vector<std::string>{type == ptZmodem ? "sz" : "sb", "-q", "big.bin"});
  {
    FileSizeLimit limit(20000);
    f.protocol->StartReceive();
    ASSERT_TRUE(f.WaitFinish(30000));
  }
  ASSERT_EQ(ecDiskFull, f.finishCode);
  ASSERT_FALSE(f.logs.empty());
  EXPECT_EQ(lfReceiveFail, f.logs.back());
  const std::string his = ReadFile(history);
  EXPECT_NE(std::string::npos,
            his.find(ProtocolName(type) + " receive failed " + f.logNames.back() + " Disk is full\r\n\r\n"))
      << his;
}

INSTANTIATE_TEST_SUITE_P(Engines, FullDiskTest, ::testing::Values(ptYmodem, ptZmodem, ptKermit),
                         [](const auto& info) { return ProtocolName(info.param); });

class PathLimitTest : public ProtocolComponentTest, public ::testing::WithParamInterface<TProtocolType> {};

// A destination folder at the path limit, from sx, sb, sz or C-Kermit: the file lands inside
// the folder under its name shortened, the extension kept, or, when not one character of its
// name fits, it is refused: the run fails with its error in the history, and the sender is let
// go.
TEST_P(PathLimitTest, ReceivedFileStaysInsideItsFolder) {
  const TProtocolType type = GetParam();
  const std::string data = RandomData(20480, 60);  // whole blocks: XModem pads the last one
  WriteFile(dir / "far" / "data.bin", data);
  const fs::path history = dir / "SIO.HIS";
  // C-Kermit sends its names in upper case.
  const std::string sent = type == ptKermit ? "DATA.BIN" : "data.bin";
  const char* sender = type == ptZmodem ? "sz" : type == ptYmodem ? "sb" : "sx";
  for (std::size_t length : {249u, 255u}) {
    SCOPED_TRACE(length);
    const fs::path folder = dir / (std::string(length - dir.string().size() - 5, 'x') + "near");
    ASSERT_EQ(length, folder.string().size());
    fs::create_directory(folder);
    fs::remove(history);
    Relay relay(type != ptKermit);
    Form f(170 + type, relay.nearEnd.path(), history, 16384);
    f.protocol->SetProtocolType(type);
    f.protocol->SetUpcaseFileNames(false);
    f.protocol->SetDestinationDirectory(folder.string());
    if (type == ptXmodemCRC) f.protocol->SetFileName(sent);  // XModem names no file itself
    std::unique_ptr<Peer> lrzsz;
    std::unique_ptr<kermit::CKermit> ckermit;
    f.protocol->StartReceive();
    if (type == ptKermit)
      ckermit = std::make_unique<kermit::CKermit>(relay.farEnd.path(), (dir / "far").string(), "",
                                                  std::vector<std::string>{"-s", "data.bin"});
    else
      lrzsz = std::make_unique<Peer>(relay, dir / "far", std::vector<std::string>{sender, "-q", "data.bin"});
    ASSERT_TRUE(f.WaitFinish(30000));
    EXPECT_NE(-1, ckermit ? ckermit->Wait(10000) : lrzsz->Wait(10000)) << "the sender still waits";
    const std::string his = ReadFile(history);
    if (length == 249) {
      // Five characters are left for the name.
      EXPECT_EQ(0, f.finishCode);
      EXPECT_TRUE(data == ReadFile(folder / (sent.substr(0, 1) + sent.substr(4))));
      EXPECT_EQ((std::vector<std::uint16_t>{lfReceiveStart, lfReceiveOk}), f.logs);
    } else {
      EXPECT_EQ(type == ptKermit ? ecCantWriteFile : ecPathNotFound, f.finishCode);
      EXPECT_TRUE(fs::is_empty(folder));
      EXPECT_EQ((std::vector<std::uint16_t>{lfReceiveStart, lfReceiveFail}), f.logs);
      EXPECT_NE(std::string::npos, his.find(ProtocolName(type) + " receive failed " + sent + " " +
                                            (type == ptKermit ? "Cant write file" : "Path not found") +
                                            "\r\n\r\n"))
          << his;
      EXPECT_EQ(std::string::npos, his.find("OK")) << his;
    }
    // Nothing landed beside the folder.
    for (const auto& e : fs::directory_iterator(dir)) {
      if (e.is_regular_file()) {
        EXPECT_EQ(history, e.path());
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, PathLimitTest, ::testing::Values(ptXmodemCRC, ptYmodem, ptZmodem, ptKermit),
                         [](const auto& info) { return ProtocolName(info.param); });

// Everything below a folder: each file's path with its length and a hash of its bytes, each
// link's path with its target.
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
  std::map<std::string, std::string> all;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    const std::string bytes = e.is_regular_file() && !e.is_symlink() ? ReadFile(e.path()) : "";
    all[e.path().string()] = e.is_symlink()        ? "-> " + fs::read_symlink(e.path()).string()
                             : e.is_regular_file() ? std::to_string(bytes.size()) + " bytes, hash " +
                                                         std::to_string(std::hash<std::string>{}(bytes))
                                                   : "folder";
  }
  return all;
}

// The terminal's side of a B+ host's start, through the component's hooks: ENQ, ESC I and the
// DLE packets until the host's transfer request is read. True when the download may start.
bool BPlusStart(Form& f) {
  TSioBaseDispatcher* D = f.port->Dispatcher();
  bool inDle = false, esc = false, start = false, upload = false, error = false;
  PumpUntil(
      [&] {
        try {
          if (inDle) {
            f.protocol->ProcessDLE(false, start, upload, error);
            return start || error;
          }
          for (std::uint8_t c = 0; D->GetChar(c) == 0; esc = c == 0x1B) {
            if (c == 0x05) f.protocol->ProcessENQ();
            if (esc && c == 'I') f.protocol->ProcessESCI(25, 80);
            if (c == 0x10) {
              f.protocol->PrepareProcessDLE();
              inDle = true;
              return false;
            }
          }
        } catch (const std::exception&) {
          error = true;
        }
        return error;
      },
      20000);
  return start && !upload;
}

class LinkInFolderTest : public ProtocolComponentTest, public ::testing::WithParamInterface<TProtocolType> {};

// A link in the destination folder, named like the incoming file or like a folder of it, is
// never followed, whatever the sender asks (sz -y) or the user allows ("write anyway"): nothing
// outside the folder is made or changed, and the history names what became of the file. The
// destination folder itself may be a link. A pipe in the file's place is no file to write
// either, and doesn't hold the run.
TEST_P(LinkInFolderTest, NothingOutsideTheFolderIsWritten) {
  const TProtocolType type = GetParam();
  const std::string data = RandomData(3000, 70);
  const fs::path near = dir / "near", outside = dir / "outside", dest = dir / "dest";
  fs::create_directory_symlink(near, dest);
  WriteFile(dir / "far" / "LINK.BIN", data);
  fs::create_directory(dir / "far" / "SUB");
  WriteFile(dir / "far" / "SUB" / "LINK.BIN", data);
  enum Case { Dangling, OutsideFile, FolderStep, Pipe };
  for (Case c : {Dangling, OutsideFile, FolderStep, Pipe}) {
    // B+ hosts send names without folders, XModem none at all.
    if (c == FolderStep && (type == ptXmodemCRC || type == ptBPlus)) continue;
    SCOPED_TRACE(c);
    fs::remove_all(near);
    fs::remove_all(outside);
    fs::create_directory(near);
    fs::create_directory(outside);
    WriteFile(outside / "TARGET.BIN", "a file outside the folder");
    const std::string name = c == FolderStep ? "SUB/LINK.BIN" : "LINK.BIN";
    if (c == FolderStep)
      fs::create_directory_symlink(outside, near / "SUB");
    else if (c == Pipe)
      ASSERT_EQ(0, ::mkfifo((near / "LINK.BIN").c_str(), 0644));
    else
      fs::create_symlink(outside / (c == Dangling ? "MADE.BIN" : "TARGET.BIN"), near / "LINK.BIN");
    const auto outsideBefore = Snapshot(outside);
    const auto linksBefore = Snapshot(near);
    const fs::path history = dir / "SIO.HIS";
    fs::remove(history);

    std::unique_ptr<support::Simulator> host;
    if (type == ptBPlus)
      host = std::make_unique<support::Simulator>("bplus-host", std::vector<std::string>{});
    Relay relay(type != ptKermit);
    Form f(190 + type, host ? host->Path() : relay.nearEnd.path(), history, 16384);
    f.protocol->SetProtocolType(type);
    f.protocol->SetUpcaseFileNames(false);
    f.protocol->SetDestinationDirectory(dest.string());
    f.protocol->SetHonorDirectory(c == FolderStep);
    // The sender's choice for sz, the user's for the others.
    const bool overwrite = c == OutsideFile || c == Pipe;
    if (overwrite) f.protocol->SetWriteFailAction(wfWriteAnyway);
    if (type == ptXmodemCRC) f.protocol->SetFileName(name);
    std::unique_ptr<Peer> lrzsz;
    std::unique_ptr<kermit::CKermit> ckermit;
    bool started = true;
    if (type == ptKermit) {
      f.protocol->StartReceive();
      ckermit = std::make_unique<kermit::CKermit>(relay.farEnd.path(), (dir / "far").string(),
                                                  c == FolderStep ? "set send pathnames relative" : "",
                                                  std::vector<std::string>{"-s", name});
    } else if (type == ptBPlus) {
      ASSERT_TRUE(host->Command("download " + (dir / "far" / name).string()));
      // A file that is refused at the host's request ends the session before the run.
      started = BPlusStart(f);
      if (started) f.protocol->StartReceive();
    } else {
      std::vector<std::string> args{type == ptZmodem ? "sz" : type == ptYmodem ? "sb" : "sx", "-q"};
      if (c == FolderStep) args.push_back("-f");
      if (overwrite && type == ptZmodem) args.push_back("-y");
      args.push_back(name);
      lrzsz = std::make_unique<Peer>(relay, dir / "far", args);
      f.protocol->StartReceive();
    }
    if (started) {
      ASSERT_TRUE(f.WaitFinish(30000));
    }
    const bool senderDone = lrzsz     ? lrzsz->Wait(10000) != -1
                            : ckermit ? ckermit->Wait(10000) != -1
                                      : host->ReadLine(10000).rfind("done ", 0) == 0;
    EXPECT_TRUE(senderDone) << "the sender still waits";

    EXPECT_EQ(outsideBefore, Snapshot(outside));
    // The links stay as they were; at most a "$" file came beside them.
    auto nearAfter = Snapshot(near);
    const std::string renamed = (near / "$INK.BIN").string();
    const bool wasRenamed = nearAfter.erase(renamed) == 1;
    EXPECT_EQ(linksBefore, nearAfter);
    // The history never says that the file named by the link arrived.
    const std::string his = ReadFile(history);
    const std::string asked = (dest / name).string();
    const auto arrived = [&his](const std::string& path) {
      for (std::size_t at = 0; (at = his.find(" : " + path + "\r\n", at)) != std::string::npos; ++at) {
        const std::size_t line = his.rfind('\n', at) == std::string::npos ? 0 : his.rfind('\n', at) + 1;
        if (his.substr(line, at - line).find(" finished OK ") != std::string::npos) return true;
      }
      return false;
    };
    EXPECT_FALSE(arrived(asked)) << his;
    if (c == Dangling && type != ptZmodem) {
      // Renamed beside the link, as any file that is there (XModem pads the last block).
      EXPECT_TRUE(wasRenamed);
      EXPECT_EQ(0u, ReadFile(renamed).rfind(data, 0));
      EXPECT_TRUE(arrived((dest / "$INK.BIN").string())) << his;
    } else {
      // Skipped (ZModem, as a write-protected file), or failed.
      EXPECT_FALSE(wasRenamed);
      EXPECT_EQ(std::string::npos, his.find(" finished OK ")) << his;
      const bool named = his.find(" receive failed " + asked + " ") != std::string::npos ||
                         his.find(" receive skipped " + asked + " ") != std::string::npos;
      EXPECT_TRUE(named) << his;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, LinkInFolderTest,
                         ::testing::Values(ptXmodemCRC, ptYmodem, ptZmodem, ptKermit, ptBPlus),
                         [](const auto& info) {
                           return info.param == ptBPlus ? "BPlus" : ProtocolName(info.param);
                         });

// The window thread is busy for 3.5 s from the moment our side has spoken first: the header
// of a file from sb, sz or C-Kermit (or, sending with ZModem, rz's answer) arrives meanwhile,
// and its notices wait for the window thread instead of reading its silence as "no". The file
// goes as the handlers say, and the history has both of its lines.
struct BusyCase {
  TProtocolType type;
  bool send;
};

class BusyWindowTest : public ProtocolComponentTest, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(BusyWindowTest, FileAndHistoryWaitForTheWindowThread) {
  const auto [type, send] = GetParam();
  const std::string data = RandomData(20000, 70);
  WriteFile(dir / (send ? "near" : "far") / "busy.bin", data);
  const fs::path history = dir / "SIO.HIS";
  Relay relay(type != ptKermit);
  Form f(190 + type + send, relay.nearEnd.path(), history, 16384);
  f.protocol->SetProtocolType(type);
  f.protocol->SetUpcaseFileNames(false);
  f.protocol->SetDestinationDirectory((dir / "near").string());
  std::unique_ptr<Peer> lrzsz;
  std::unique_ptr<kermit::CKermit> ckermit;
  if (send) {
    f.SendList({(dir / "near" / "busy.bin").string()});
    f.protocol->StartTransmit();
    lrzsz = std::make_unique<Peer>(relay, dir / "far", std::vector<std::string>{"rz", "-q"});
  } else {
    f.protocol->StartReceive();
    if (type == ptKermit)
      ckermit = std::make_unique<kermit::CKermit>(relay.farEnd.path(), (dir / "far").string(), "",
                                                  std::vector<std::string>{"-s", "busy.bin"});
    else
      lrzsz = std::make_unique<Peer>(
          relay, dir / "far", std::vector<std::string>{type == ptZmodem ? "sz" : "sb", "-q", "busy.bin"});
  }
  ASSERT_TRUE(PumpUntil([&] { return relay.toFar.passed > 0; }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  ASSERT_TRUE(f.WaitFinish(30000));
  EXPECT_EQ(0, f.finishCode);
  // C-Kermit sends its names in upper case.
  EXPECT_TRUE(data == ReadFile(dir / (send ? "far" : "near") / (type == ptKermit ? "BUSY.BIN" : "busy.bin")));
  const std::uint16_t start = send ? lfTransmitStart : lfReceiveStart;
  EXPECT_EQ((std::vector<std::uint16_t>{start, static_cast<std::uint16_t>(start + 1)}), f.logs);
  const std::string his = ReadFile(history);
  const std::string d = send ? " transmit " : " receive ";
  EXPECT_NE(std::string::npos, his.find(ProtocolName(type) + d + "started on  ")) << his;
  EXPECT_NE(std::string::npos, his.find(ProtocolName(type) + d + "finished OK ")) << his;
}

INSTANTIATE_TEST_SUITE_P(Engines, BusyWindowTest,
                         ::testing::Values(BusyCase{ptZmodem, false}, BusyCase{ptYmodem, false},
                                           BusyCase{ptKermit, false}, BusyCase{ptZmodem, true}),
                         [](const auto& info) {
                           return ProtocolName(info.param.type) + (info.param.send ? "Send" : "Receive");
                         });

// The engines the other tests drive by hand, set up and started through the component: an
// XModem-1K send to rx, and an ASCII send with its line-end translation and line pacing.
// Both keep the default UpcaseFileNames and send files with lower-case names.
TEST_F(ProtocolComponentTest, XmodemAndAsciiSendsThroughTheComponent) {
  {
    Relay relay;
    Form f(114, relay.nearEnd.path(), dir / "x.his");
    const std::string data = RandomData(20 * 1024, 60);
    WriteFile(dir / "near" / "x.bin", data);
    f.protocol->SetProtocolType(ptXmodem1K);
    f.SendList({(dir / "near" / "x.bin").string()});
    f.protocol->StartTransmit();
    Peer peer(relay, dir / "far", {"rx", "-q", "-c", "x.bin"});
    ASSERT_TRUE(f.WaitFinish(20000)) << peer.Log();
    EXPECT_EQ(0, f.finishCode);
    EXPECT_EQ(0, peer.Wait(5000)) << peer.Log();
    EXPECT_TRUE(data == ReadFile(dir / "far" / "x.bin"));
    EXPECT_NE(std::string::npos, ReadFile(dir / "x.his").find("Xmodem1K transmit finished OK "))
        << ReadFile(dir / "x.his");
  }
  Relay relay(false);
  Form f(115, relay.nearEnd.path(), dir / "a.his");
  WriteFile(dir / "near" / "t.txt", "one\ntwo\n");
  f.protocol->SetProtocolType(ptAscii);
  f.protocol->SetAsciiLFTranslation(aetAddCRBefore);
  f.protocol->SetAsciiLineDelay(2);
  f.protocol->SetAsciiEOFTimeout(18);
  f.SendList({(dir / "near" / "t.txt").string()});
  f.protocol->StartTransmit();
  std::string got;
  ASSERT_TRUE(PumpUntil(
      [&] {
        pollfd p{relay.farEnd.slave(), POLLIN, 0};
        char buf[64];
        ssize_t n = ::poll(&p, 1, 0) > 0 ? ::read(relay.farEnd.slave(), buf, sizeof buf) : 0;
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        return f.finished && got.size() >= 10;
      },
      10000))
      << got;
  EXPECT_EQ(0, f.finishCode);
  EXPECT_EQ("one\r\ntwo\r\n", got);
  EXPECT_EQ((std::vector<std::uint16_t>{lfTransmitStart, lfTransmitOk}), f.logs);
}

// A YModem batch that ends between two files, cancelled or with the sender gone silent: the
// completely received first file is neither logged as failed nor deleted.
TEST_F(ProtocolComponentTest, YmodemBatchEndingBetweenFilesKeepsTheCompleteFile) {
  for (bool cancel : {true, false}) {
    SCOPED_TRACE(cancel ? "cancelled" : "sender silent");
    Relay relay;
    const fs::path history = dir / (cancel ? "c.his" : "s.his");
    Form f(110 + cancel, relay.nearEnd.path(), history);
    f.log->SetDeleteFailed(dfAlways);
    const std::string first = RandomData(5000, 40);
    WriteFile(dir / "far" / "first.bin", first);
    WriteFile(dir / "far" / "second.bin", RandomData(300 * 1024, 41));
    f.protocol->SetProtocolType(ptYmodem);
    f.protocol->SetUpcaseFileNames(false);
    f.protocol->SetHandshakeWait(9);
    f.protocol->SetHandshakeRetry(3);
    f.protocol->SetXYmodemBlockWait(9);
    f.protocol->SetDestinationDirectory((dir / "near").string());
    bool firstDone = false;
    f.protocol->SetOnProtocolLog([&](TSioCustomProtocol*, std::uint16_t code) {
      f.logs.push_back(code);
      if (code == lfReceiveOk && !firstDone) {
        firstDone = true;
        relay.toNear.cut = true;  // nothing of the next file arrives
      }
    });
    f.protocol->StartReceive();
    Peer peer(relay, dir / "far", {"sb", "-q", "first.bin", "second.bin"});
    ASSERT_TRUE(PumpUntil([&] { return firstDone || f.finished; }, 20000)) << peer.Log();
    if (cancel) f.protocol->CancelProtocol();
    ASSERT_TRUE(f.WaitFinish(20000));
    EXPECT_NE(0, f.finishCode);
    EXPECT_EQ((std::vector<std::uint16_t>{lfReceiveStart, lfReceiveOk}), f.logs);
    EXPECT_TRUE(first == ReadFile(dir / "near" / "first.bin"));
    EXPECT_EQ(std::string::npos, ReadFile(history).find("receive failed")) << ReadFile(history);
    peer.Kill();
  }
}

// Kermit set up and started only through the component's properties, as a form does: long
// packets of 1024, 8 window slots and the CRC check against C-Kermit, both ways, with the
// history lines of each file.
TEST_F(ProtocolComponentTest, KermitWithCKermitBothWaysThroughTheComponent) {
  for (bool send : {true, false}) {
    SCOPED_TRACE(send ? "send to C-Kermit" : "receive from C-Kermit");
    Relay relay(false);
    const fs::path history = dir / (send ? "tx.his" : "rx.his");
    Form f(107 + send, relay.nearEnd.path(), history, 16384);
    const std::string data = kermit::MixedData(150000, 30 + send);
    f.protocol->SetProtocolType(ptKermit);
    f.protocol->SetKermitMaxLen(1024);
    f.protocol->SetKermitMaxWindows(8);
    f.protocol->SetBlockCheckMethod(bcmCrcK);
    f.protocol->SetUpcaseFileNames(false);
    const char* settings = "set block-check 3,set receive packet-length 1025,set window 8";
    std::unique_ptr<kermit::CKermit> peer;
    if (send) {
      WriteFile(dir / "near" / "k.bin", data);
      f.SendList({(dir / "near" / "k.bin").string()});
      peer = std::make_unique<kermit::CKermit>(relay.farEnd.path(), (dir / "far").string(), settings,
                                               std::vector<std::string>{"-r"});
      f.protocol->StartTransmit();
    } else {
      WriteFile(dir / "far" / "k.bin", data);
      f.protocol->SetDestinationDirectory((dir / "near").string());
      f.protocol->StartReceive();
      peer = std::make_unique<kermit::CKermit>(relay.farEnd.path(), (dir / "far").string(), settings,
                                               std::vector<std::string>{"-s", "k.bin"});
    }
    ASSERT_TRUE(f.WaitFinish(60000));
    EXPECT_EQ(0, f.finishCode);
    EXPECT_EQ(0, peer->Wait(10000));
    // C-Kermit sends its names in upper case.
    EXPECT_TRUE(data == ReadFile(send ? dir / "far" / "k.bin" : dir / "near" / "K.BIN"));
    const std::uint16_t start = send ? lfTransmitStart : lfReceiveStart,
                        ok = send ? lfTransmitOk : lfReceiveOk;
    EXPECT_EQ((std::vector<std::uint16_t>{start, ok}), f.logs);
    EXPECT_TRUE(f.protocol->GetKermitLongBlocks());
    EXPECT_EQ(8u, f.protocol->GetKermitWindowsTotal());
    EXPECT_EQ(1024u, f.protocol->GetKermitMaxLen());
    const std::string his = ReadFile(history);
    EXPECT_NE(std::string::npos,
              his.find(send ? "Kermit transmit finished OK " : "Kermit receive finished OK "))
        << his;
    EXPECT_NE(std::string::npos, his.find("   Size: " + std::to_string(data.size()) + "\r\n")) << his;
  }
}

// ZModem and Kermit between two components, with the dispatch log of both ports on: every
// state of either machine is logged under its own kind with its own label.
TEST_F(ProtocolComponentTest, DispatchLogLabelsZmodemAndKermitStates) {
  struct Case {
    TProtocolType type;
    const char* kind;
    const char* tx;
    const char* rx;
    std::vector<const char*> want;
  };
  const Case cases[] = {
      {ptZmodem,
       "ZModem",
       "tz",
       "rz",
       {"tzInitial", "tzSendData", "tzCheckFinish", "rzWaitFile", "rzCollectData"}},
      {ptKermit, "Kermit", "tk", "rk", {"tkInit", "tkSendData", "tkComplete", "rkGetInit", "rkCollectData"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    const fs::path txLog = dir / (std::string(c.kind) + ".tx.log"),
                   rxLog = dir / (std::string(c.kind) + ".rx.log");
    const std::string data = RandomData(20000, 50);
    WriteFile(dir / "near" / "l.bin", data);
    {
      Relay relay(false);
      Form tx(112, relay.nearEnd.path(), dir / "tx.his", 16384);
      Form rx(113, relay.farEnd.path(), dir / "rx.his", 16384);
      for (auto [f, log] : {std::pair{&tx, txLog}, std::pair{&rx, rxLog}}) {
        f->port->SetLogName(log.string());
        f->port->SetLogSize(1000000);
        f->port->SetLogging(tlOn);
        f->protocol->SetProtocolType(c.type);
      }
      rx.protocol->SetUpcaseFileNames(false);
      rx.protocol->SetDestinationDirectory((dir / "far").string());
      tx.SendList({(dir / "near" / "l.bin").string()});
      rx.protocol->StartReceive();
      tx.protocol->StartTransmit();
      ASSERT_TRUE(PumpUntil([&] { return tx.finished && rx.finished; }, 20000));
      EXPECT_EQ(0, tx.finishCode);
      EXPECT_EQ(0, rx.finishCode);
      for (Form* f : {&tx, &rx}) f->port->SetLogging(tlDump);
    }
    EXPECT_TRUE(data == ReadFile(dir / "far" / "l.bin"));
    std::set<std::string> labels;
    for (const fs::path& log : {txLog, rxLog}) {
      std::istringstream in(ReadFile(log));
      std::string line;
      int lines = 0;
      while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string time, kind, sub;
        words >> time >> kind >> sub;
        if (kind != c.kind) continue;
        ++lines;
        labels.insert(sub);
        const std::string prefix = sub.substr(0, 2);
        EXPECT_TRUE(prefix == (log == txLog ? c.tx : c.rx) || sub == "Status") << line;
      }
      EXPECT_GT(lines, 5) << log;
    }
    for (const char* want : c.want) EXPECT_EQ(1u, labels.count(want)) << want;
  }
}

// The deletion rule of the log: code 2 deletes only a file that this run created, and keeps
// what ZModem can resume from.
TEST_F(ProtocolComponentTest, LogDeletesByDeleteFailedAndOwnership) {
  TSioComponentOwner form;
  TSioProtocolLog log(&form);
  log.SetHistoryName((dir / "SIO.HIS").string());
  TSioProtocol p(&form);
  const std::string file = (dir / "near" / "f.bin").string();
  auto failWith = [&](TProtocolType type, bool created, TDeleteFailed rule) {
    WriteFile(file, "user's data");
    p.SetProtocolType(type);
    p.SetFileName(file);
    log.SetDeleteFailed(rule);
    p.Data().FileCreated = created;
    p.apwProtocolLog(lfReceiveFail);
    return fs::exists(file);
  };
  EXPECT_TRUE(failWith(ptXmodem, false, dfAlways));  // skipped or someone else's: kept
  EXPECT_FALSE(failWith(ptXmodem, true, dfNonRecoverable));
  EXPECT_TRUE(failWith(ptZmodem, true, dfNonRecoverable));  // it can be resumed
  EXPECT_FALSE(failWith(ptZmodem, true, dfAlways));
  EXPECT_TRUE(failWith(ptXmodem, true, dfNever));
  p.Data().ProtocolError = ecCantWriteFile;
  EXPECT_TRUE(failWith(ptXmodem, true, dfAlways));
  const std::string his = ReadFile(dir / "SIO.HIS");
  EXPECT_NE(std::string::npos, his.find("Xmodem receive failed " + file + " OK\r\n\r\n")) << his;
  EXPECT_NE(std::string::npos, his.find("Zmodem receive failed " + file + " OK\r\n\r\n")) << his;
}

// Destroying the component from inside one of its handlers while a run is under way: the
// engine neither runs on nor frees freed memory (the sanitizer build checks it), and the
// port stays usable for the next run.
TEST_F(ProtocolComponentTest, DestroyedInsideAHandlerDuringARun) {
  for (bool inFinish : {false, true}) {
    SCOPED_TRACE(inFinish ? "finish" : "status");
    Relay relay;
    Form f(103 + inFinish, relay.nearEnd.path(), dir / "SIO.HIS");
    WriteFile(dir / "far" / "big.bin", RandomData(200 * 1024, 4));
    Peer peer(relay, dir / "far", {"sx", "-q", "big.bin"});
    f.protocol->SetProtocolType(ptXmodemCRC);
    f.protocol->SetStatusInterval(1);
    f.protocol->SetFileName((dir / "near" / "d.bin").string());
    bool gone = false;
    auto kill = [&](TSioCustomProtocol*) {
      if (gone) return;
      gone = true;
      delete f.protocol;
      f.protocol = nullptr;
    };
    if (inFinish) {
      f.protocol->SetOnProtocolFinish([&](TSioCustomProtocol* cp, int) { kill(cp); });
      f.protocol->SetOnProtocolStatus([&](TSioCustomProtocol* cp, std::uint16_t) {
        if (cp->GetBytesTransferred() > 4096) cp->CancelProtocol();
      });
    } else {
      f.protocol->SetOnProtocolStatus([&](TSioCustomProtocol* cp, std::uint16_t) {
        if (cp->GetBytesTransferred() > 4096) kill(cp);
      });
    }
    f.protocol->StartReceive();
    ASSERT_TRUE(PumpUntil([&] { return gone; }, 15000));
    PumpUntil([] { return false; }, 300);
    f.protocol = new TSioProtocol(&f);
    EXPECT_EQ(f.port, f.protocol->GetComPort());
    peer.Kill();
  }
}

// A getter of the component while a call of the engine holds the record on another thread
// (the dispatcher's): it waits for the call, and meanwhile this thread handles the engine's own
// notices and nothing else (not a function queued for it). So it is also when the getter runs
// inside a window handler that the engine's thread sent to and left running: that is not the
// handling of one of the engine's notices.
TEST_F(ProtocolComponentTest, GetterWaitsForTheEngineHandlingOnlyItsNotices) {
  support::PtyPair pty;
  Form f(109, pty.path(), dir / "SIO.HIS");
  TProtocolData& P = f.protocol->Data();
  TSioBaseDispatcher* d = f.port->Dispatcher();
  d->SetDataPointer(&P, 1);
  const LPARAM call = static_cast<LPARAM>(d->Handle()) * 65536;
  int heard = 0;
  f.protocol->SetOnProtocolStatus([&](TSioCustomProtocol*, std::uint16_t) { ++heard; });
  static std::atomic<bool> ranQueued;
  // One call of the engine: the status it shows while the call runs, then the one it leaves.
  auto engineCall = [&](const std::function<void()>& whileHeld) {
    TProtocolCall c(call);
    P.ProtocolStatus = 4701;
    whileHeld();
    apMsgStatus(P, 0);
    P.ProtocolStatus = 4702;
  };

  for (bool inLateHandler : {false, true}) {
    SCOPED_TRACE(inLateHandler ? "in a handler left running" : "on its own");
    ranQueued = false;
    heard = 0;
    std::atomic<bool> held{false};
    static std::atomic<bool> left;
    left = false;
    static std::function<void()> inHandler;
    std::int32_t seen = 0;
    bool queuedMeanwhile = true;
    int heardMeanwhile = 0;
    auto getter = [&] {
      seen = f.protocol->GetProtocolStatus();
      queuedMeanwhile = ranQueued;
      heardMeanwhile = heard;
    };
    inHandler = [&] {
      while (!left) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      getter();
    };
    RegisterClass("testEngineThreadsWindow", [](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
      inHandler();
      return 0;
    });
    const HWND w = CreateWindow("testEngineThreadsWindow");
    std::thread engine([&] {
      engineCall([&] {
        if (!inLateHandler) {
          QueueOnMainThread([] { ranQueued = true; });
          held = true;
          return;
        }
        // Sent from this thread and left running: the procedure runs the getter.
        SendFinished running;
        while (!running) {
          LRESULT r;
          SendMessageTimeout(w, WM_USER, 0, 0, SMTO_BLOCK | SMTO_LEAVERUNNING, 200, &r, &running);
        }
        QueueOnMainThread([] { ranQueued = true; });
        left = true;
      });
    });
    if (inLateHandler) {
      ASSERT_TRUE(PumpUntil([&] { return heardMeanwhile != 0 || seen != 0; }, 10000));
    } else {
      while (!held) std::this_thread::yield();
      getter();
    }
    engine.join();
    EXPECT_EQ(seen, 4702);
    EXPECT_EQ(heardMeanwhile, 1);
    EXPECT_FALSE(queuedMeanwhile);
    EXPECT_TRUE(PumpUntil([] { return ranQueued.load(); }, 5000));
    DestroyWindow(w);
  }
  d->SetDataPointer(nullptr, 1);
}

// Changing the protocol type during a run stops the run first.
TEST_F(ProtocolComponentTest, TypeChangeStopsTheRun) {
  Relay relay;
  Form f(105, relay.nearEnd.path(), dir / "SIO.HIS");
  WriteFile(dir / "far" / "big.bin", RandomData(200 * 1024, 5));
  Peer peer(relay, dir / "far", {"sx", "-q", "big.bin"});
  f.protocol->SetProtocolType(ptXmodemCRC);
  f.protocol->SetFileName((dir / "near" / "t.bin").string());
  f.protocol->StartReceive();
  ASSERT_TRUE(PumpUntil([&] { return f.protocol->GetBytesTransferred() > 4096; }, 10000));
  f.protocol->SetProtocolType(ptYmodem);
  EXPECT_FALSE(f.protocol->GetInProgress());
  EXPECT_EQ(ptYmodem, f.protocol->Data().ProtocolType);
  ASSERT_TRUE(f.WaitFinish(5000));
  EXPECT_EQ(ecCancelRequested, f.finishCode);
  EXPECT_NE(0, peer.Wait(10000));
}

}  // namespace
