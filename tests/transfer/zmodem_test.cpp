// ZModem through the protocol component against lrzsz's sz and rz (and against itself),
// through the relay of two pseudo-terminals: the awkward sizes and bytes, batches, crash
// recovery both ways, file management, a noisy line, cancels and 8K subpackets.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <utime.h>

#include "transfer/Swzmodem.h"
#include "xfer_harness.h"

using namespace xfer;

namespace {

class ZmodemTest : public XferTest {
 protected:
  // The files of the must-have set: empty, one byte, around a subpacket multiple, and 1 MiB
  // of random bytes with every byte ZModem escapes, and "@" CR, spread through it.
  std::vector<std::pair<std::string, std::string>> AwkwardFiles() {
    std::string big = RandomData(1 << 20, 77);
    const std::string special = std::string("\x18\x11\x13\x90\x91\x93\x10@\r@\x8d\xc0\r\x7f\xff", 15);
    for (std::size_t i = 0; i + special.size() < big.size(); i += 4099)
      big.replace(i, special.size(), special);
    return {{"empty.bin", ""},
            {"one.bin", "\x18"},
            {"s8191.bin", RandomData(8191, 1)},
            {"s8192.bin", RandomData(8192, 2)},
            {"s8193.bin", RandomData(8193, 3)},
            {"mixed.bin", big}};
  }
  static int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t i = 0; (i = text.find(what, i)) != std::string::npos; i += what.size()) ++n;
    return n;
  }
};

TEST_F(ZmodemTest, SendsAwkwardFilesAsABatchToRz) {
  Relay relay;
  const fs::path history = dir / "SIO.HIS";
  Form f(121, relay.nearEnd.path(), history);
  std::vector<std::string> names;
  const auto files = AwkwardFiles();
  for (const auto& [name, data] : files) {
    WriteFile(dir / "near" / name, data);
    names.push_back((dir / "near" / name).string());
  }
  f.protocol->SetProtocolType(ptZmodem);
  f.SendList(names);
  f.protocol->StartTransmit();
  Peer peer(relay, dir / "far", {"rz", "-vv"});
  ASSERT_TRUE(f.WaitFinish(60000)) << peer.Log();
  EXPECT_EQ(0, f.finishCode);
  EXPECT_EQ(0, peer.Wait(10000)) << peer.Log();
  for (const auto& [name, data] : files) EXPECT_TRUE(data == ReadFile(dir / "far" / name)) << name;
  std::vector<std::uint16_t> expected;
  for (std::size_t i = 0; i < files.size(); ++i)
    expected.insert(expected.end(), {lfTransmitStart, lfTransmitOk});
  EXPECT_EQ(expected, f.logs);
  const std::string his = ReadFile(history);
  EXPECT_EQ(6, Count(his, "Zmodem transmit started on  ")) << his;
  EXPECT_EQ(6, Count(his, "Zmodem transmit finished OK ")) << his;
  EXPECT_EQ(1, Count(his, "   Size: 1048576\r\n")) << his;
  EXPECT_EQ(bcmCrc32, f.protocol->GetBlockCheckMethod());
}

TEST_F(ZmodemTest, ReceivesAwkwardFilesAsABatchFromSz) {
  Relay relay;
  const fs::path history = dir / "SIO.HIS";
  Form f(122, relay.nearEnd.path(), history);
  const auto files = AwkwardFiles();
  std::vector<std::string> args = {"sz", "-vv"};
  for (const auto& [name, data] : files) {
    WriteFile(dir / "far" / name, data);
    args.push_back(name);
  }
  ::utime((dir / "far" / "s8192.bin").c_str(), nullptr);
  utimbuf when{1600000000, 1600000000};
  ::utime((dir / "far" / "s8193.bin").c_str(), &when);
  f.protocol->SetProtocolType(ptZmodem);
  f.protocol->SetUpcaseFileNames(false);
  f.protocol->SetDestinationDirectory((dir / "near").string());
  f.protocol->StartReceive();
  Peer peer(relay, dir / "far", args);
  ASSERT_TRUE(f.WaitFinish(60000)) << peer.Log();
  EXPECT_EQ(0, f.finishCode);
  EXPECT_EQ(0, peer.Wait(10000)) << peer.Log();
  for (const auto& [name, data] : files) EXPECT_TRUE(data == ReadFile(dir / "near" / name)) << name;
  struct stat st {};
  ASSERT_EQ(0, ::stat((dir / "near" / "s8193.bin").c_str(), &st));
  EXPECT_EQ(1600000000, st.st_mtime);  // the file keeps the sender's date
  std::vector<std::uint16_t> expected;
  for (std::size_t i = 0; i < files.size(); ++i)
    expected.insert(expected.end(), {lfReceiveStart, lfReceiveOk});
  EXPECT_EQ(expected, f.logs);
  const std::string his = ReadFile(history);
  EXPECT_EQ(6, Count(his, "Zmodem receive started on  ")) << his;
  EXPECT_EQ(6, Count(his, "Zmodem receive finished OK ")) << his;
  EXPECT_EQ(1, Count(his, (dir / "near" / "mixed.bin").string() + "\r\n   Elapsed time: ")) << his;
}

// 8K subpackets, CRC-16 and every control character escaped, between two of our engines.
TEST_F(ZmodemTest, EightKSubpacketsCrc16AndEscapedControlsBetweenTwoEngines) {
  Relay relay(false);
  Form tx(123, relay.nearEnd.path(), dir / "tx.his", 32768);
  Form rx(124, relay.farEnd.path(), dir / "rx.his", 32768);
  const std::string a = RandomData(300 * 1024 + 7, 5), b = RandomData(20000, 6);
  WriteFile(dir / "near" / "a.bin", a);
  WriteFile(dir / "near" / "b.bin", b);
  for (Form* f : {&tx, &rx}) {
    f->protocol->SetProtocolType(ptZmodem);
    f->protocol->SetZmodem8K(true);
    EXPECT_EQ(8192, f->protocol->GetBlockLength());
  }
  rx.protocol->SetUpcaseFileNames(false);
  rx.protocol->SetDestinationDirectory((dir / "far").string());
  rx.protocol->Data().CanCrc32 = false;
  tx.SendList({(dir / "near" / "a.bin").string(), (dir / "near" / "b.bin").string()});
  rx.protocol->StartReceive();
  tx.protocol->StartTransmit();
  ASSERT_TRUE(PumpUntil([&] { return tx.finished && rx.finished; }, 30000));
  EXPECT_EQ(0, tx.finishCode);
  EXPECT_EQ(0, rx.finishCode);
  EXPECT_TRUE(a == ReadFile(dir / "far" / "a.bin"));
  EXPECT_TRUE(b == ReadFile(dir / "far" / "b.bin"));
}

TEST_F(ZmodemTest, Crc16AndEscapeAllWithLrzsz) {
  for (bool send : {true, false}) {
    SCOPED_TRACE(send ? "send to rz -e" : "receive from sz -o -e");
    Relay relay;
    Form f(125 + send, relay.nearEnd.path(), dir / "SIO.HIS");
    const std::string data = RandomData(100 * 1024, 8);
    const std::string name = send ? "c_out.bin" : "c_in.bin";
    f.protocol->SetProtocolType(ptZmodem);
    if (send) {
      WriteFile(dir / "near" / name, data);
      f.SendList({(dir / "near" / name).string()});
      f.protocol->StartTransmit();
    } else {
      WriteFile(dir / "far" / name, data);
      f.protocol->SetUpcaseFileNames(false);
      f.protocol->SetDestinationDirectory((dir / "near").string());
      f.protocol->StartReceive();
    }
    Peer peer(relay, dir / "far",
              send ? std::vector<std::string>{"rz", "-q", "-e"}
                   : std::vector<std::string>{"sz", "-q", "-o", "-e", name});
    ASSERT_TRUE(f.WaitFinish(30000)) << peer.Log();
    EXPECT_EQ(0, f.finishCode);
    EXPECT_EQ(0, peer.Wait(10000)) << peer.Log();
    EXPECT_TRUE(data == ReadFile(dir / (send ? "far" : "near") / name));
    const std::uint16_t start = send ? lfTransmitStart : lfReceiveStart,
                        ok = send ? lfTransmitOk : lfReceiveOk;
    EXPECT_EQ((std::vector<std::uint16_t>{start, ok}), f.logs);
    if (send) {
      EXPECT_TRUE(f.protocol->Data().EscapeAll);
    } else {
      EXPECT_FALSE(f.protocol->Data().UseCrc32);
    }
  }
}

// Bytes flipped and dropped in both directions: the receiver asks for the data again from
// the last good position and the files arrive whole, both ways.
TEST_F(ZmodemTest, NoisyLineRepositionsBothWays) {
  for (bool send : {true, false}) {
    SCOPED_TRACE(send ? "send" : "receive");
    Relay relay;
    Form f(127 + send, relay.nearEnd.path(), dir / "SIO.HIS");
    const std::string data = RandomData(200 * 1024, 9);
    const std::string name = send ? "n_out.bin" : "n_in.bin";
    Faults& in = send ? relay.toFar : relay.toNear;
    in.skipFirst = 5000;
    in.flipEvery = 20011;
    in.dropEvery = 45007;
    f.protocol->SetProtocolType(ptZmodem);
    f.protocol->SetHandshakeWait(36);
    if (send) {
      WriteFile(dir / "near" / name, data);
      f.SendList({(dir / "near" / name).string()});
      f.protocol->StartTransmit();
    } else {
      WriteFile(dir / "far" / name, data);
      f.protocol->SetUpcaseFileNames(false);
      f.protocol->SetDestinationDirectory((dir / "near").string());
      f.protocol->StartReceive();
    }
    Peer peer(relay, dir / "far",
              send ? std::vector<std::string>{"rz", "-q"} : std::vector<std::string>{"sz", "-q", name});
    ASSERT_TRUE(f.WaitFinish(60000)) << peer.Log();
    EXPECT_EQ(0, f.finishCode);
    EXPECT_EQ(0, peer.Wait(10000)) << peer.Log();
    EXPECT_GT(in.flipped + in.dropped, 3u);
    EXPECT_TRUE(data == ReadFile(dir / (send ? "far" : "near") / name));
    EXPECT_EQ(2u, f.logs.size());
    EXPECT_GT(f.protocol->GetTotalErrors(), 0);
  }
}

// ---------------------------------------------------------------------------------------
// Crash recovery
// ---------------------------------------------------------------------------------------

TEST_F(ZmodemTest, ResumesFromSzAfterACrash) {
  const std::string data = RandomData(1000000, 10);
  WriteFile(dir / "far" / "r.bin", data);
  const fs::path target = dir / "near" / "r.bin";
  std::uint64_t firstRun = 0;
  {
    Relay relay;
    Form f(129, relay.nearEnd.path(), dir / "SIO.HIS");
    f.protocol->SetProtocolType(ptZmodem);
    f.protocol->SetUpcaseFileNames(false);
    f.protocol->SetDestinationDirectory((dir / "near").string());
    f.protocol->SetHandshakeWait(18);
    f.protocol->SetHandshakeRetry(2);
    relay.toNear.bytesPerSec = 1000000;  // slow enough to be cut at about 40 %
    f.protocol->SetStatusInterval(1);    // and looked at often enough
    f.protocol->StartReceive();
    Peer peer(relay, dir / "far", {"sz", "-q", "r.bin"});
    ASSERT_TRUE(PumpUntil([&] { return f.protocol->GetBytesTransferred() > 400000; }, 20000));
    relay.toNear.cut = true;
    peer.Kill();
    ASSERT_TRUE(f.WaitFinish(20000));
    ASSERT_NE(0, f.finishCode);
    ASSERT_FALSE(f.logs.empty());
    EXPECT_EQ(lfReceiveFail, f.logs.back());
    firstRun = relay.toNear.passed;
  }
  // ZModem can resume: the failed receive keeps its partial file.
  ASSERT_TRUE(fs::exists(target));
  const std::uint64_t partial = fs::file_size(target);
  EXPECT_GT(partial, 300000u);
  EXPECT_LT(partial, 600000u);
  EXPECT_TRUE(data.substr(0, partial) == ReadFile(target));

  Relay relay;
  Form f(130, relay.nearEnd.path(), dir / "SIO.HIS");
  f.protocol->SetProtocolType(ptZmodem);
  f.protocol->SetUpcaseFileNames(false);
  f.protocol->SetDestinationDirectory((dir / "near").string());
  f.protocol->StartReceive();
  Peer peer(relay, dir / "far", {"sz", "-q", "-r", "r.bin"});
  ASSERT_TRUE(f.WaitFinish(30000)) << peer.Log();
  EXPECT_EQ(0, f.finishCode);
  EXPECT_EQ(0, peer.Wait(10000)) << peer.Log();
  EXPECT_TRUE(data == ReadFile(target));
  EXPECT_EQ(static_cast<std::int32_t>(partial), f.protocol->GetInitialPosition());
  // Only the rest came over the line (with escaping and framing: at most 5 % more).
  EXPECT_LT(relay.toNear.passed.load(), (data.size() - partial) * 105 / 100) << "first run " << firstRun;
}

TEST_F(ZmodemTest, ResumesToRzWithItsPartialFile) {
  const std::string data = RandomData(1000000, 11);
  WriteFile(dir / "near" / "q.bin", data);
  const std::size_t partial = 400000;
  WriteFile(dir / "far" / "q.bin", data.substr(0, partial));
  Relay relay;
  Form f(131, relay.nearEnd.path(), dir / "SIO.HIS");
  f.protocol->SetProtocolType(ptZmodem);
  f.protocol->SetZmodemRecover(true);
  f.SendList({(dir / "near" / "q.bin").string()});
  f.protocol->StartTransmit();
  Peer peer(relay, dir / "far", {"rz", "-q", "-r"});
  ASSERT_TRUE(f.WaitFinish(30000)) << peer.Log();
  EXPECT_EQ(0, f.finishCode);
  EXPECT_EQ(0, peer.Wait(10000)) << peer.Log();
  EXPECT_TRUE(data == ReadFile(dir / "far" / "q.bin"));
  // rz resumes at the last full kilobyte it holds.
  EXPECT_LE(f.protocol->GetInitialPosition(), static_cast<std::int32_t>(partial));
  EXPECT_GT(f.protocol->GetInitialPosition(), static_cast<std::int32_t>(partial) - 2048);
  EXPECT_LT(relay.toFar.passed.load(), (data.size() - partial) * 105 / 100);
}

// With the Recover option a local partial file is resumed at its length (ZRPOS 5000 for a
// partial 5000 bytes of 9000), whatever the sender asks for.
TEST_F(ZmodemTest, RecoverOptionResumesAtTheLocalLength) {
  const std::string data = RandomData(9000, 12);
  WriteFile(dir / "far" / "p.bin", data);
  WriteFile(dir / "near" / "p.bin", data.substr(0, 5000));
  Relay relay;
  Form f(132, relay.nearEnd.path(), dir / "SIO.HIS");
  f.protocol->SetProtocolType(ptZmodem);
  f.protocol->SetZmodemRecover(true);
  f.protocol->SetUpcaseFileNames(false);
  f.protocol->SetDestinationDirectory((dir / "near").string());
  f.protocol->StartReceive();
  Peer peer(relay, dir / "far", {"sz", "-q", "p.bin"});
  ASSERT_TRUE(f.WaitFinish(30000)) << peer.Log();
  EXPECT_EQ(0, f.finishCode);
  EXPECT_TRUE(data == ReadFile(dir / "near" / "p.bin"));
  EXPECT_EQ(5000, f.protocol->GetInitialPosition());
  peer.Wait(5000);
}

// ---------------------------------------------------------------------------------------
// File management
// ---------------------------------------------------------------------------------------

// A protected existing file is skipped and never touched; the next file is asked for and
// arrives. Protection from the sender (sz -p), from our own option, and a read-only file
// that the sender asks us to overwrite (sz -y).
TEST_F(ZmodemTest, ProtectedFilesAreNeverTouched) {
  for (int how : {0, 1, 2}) {
    SCOPED_TRACE(how == 0 ? "sz -p" : how == 1 ? "own option" : "read-only file, sz -y");
    Relay relay;
    Form f(141 + how, relay.nearEnd.path(), dir / "SIO.HIS");
    WriteFile(dir / "far" / "keep.txt", "new text");
    WriteFile(dir / "far" / "fresh.txt", "fresh");
    WriteFile(dir / "near" / "keep.txt", "the user's text");
    fs::remove(dir / "near" / "fresh.txt");
    if (how == 2) fs::permissions(dir / "near" / "keep.txt", fs::perms::owner_read | fs::perms::group_read);
    f.protocol->SetProtocolType(ptZmodem);
    if (how == 1) {
      f.protocol->SetZmodemOptionOverride(true);
      f.protocol->SetZmodemFileOption(zfoWriteProtect);
    } else {
      f.protocol->SetZmodemFileOption(zfoWriteClobber);  // only the sender's option or the mode protects
    }
    f.protocol->SetUpcaseFileNames(false);
    f.protocol->SetDestinationDirectory((dir / "near").string());
    f.protocol->StartReceive();
    std::vector<std::string> args = {"sz", "-q"};
    if (how == 0) args.push_back("-p");
    if (how == 2) args.push_back("-y");
    args.insert(args.end(), {"keep.txt", "fresh.txt"});
    Peer peer(relay, dir / "far", args);
    ASSERT_TRUE(f.WaitFinish(30000)) << peer.Log();
    EXPECT_EQ(0, f.finishCode);
    EXPECT_EQ("the user's text", ReadFile(dir / "near" / "keep.txt"));
    EXPECT_EQ("fresh", ReadFile(dir / "near" / "fresh.txt"));
    EXPECT_EQ((std::vector<std::uint16_t>{lfReceiveStart, lfReceiveSkip, lfReceiveStart, lfReceiveOk}),
              f.logs);
    peer.Wait(5000);
    fs::permissions(dir / "near" / "keep.txt", fs::perms::owner_read | fs::perms::owner_write);
  }
}

// An existing file is replaced only as the management option says, by the dates and lengths
// of the two files: sz's "newer" and "newer or longer", and our own "different" in place of
// the sender's.
TEST_F(ZmodemTest, ExistingFilesAreReplacedOnlyAsTheOptionSays) {
  const std::string local = "local text 12345";
  const std::string sameLength = "remote text 6789";
  const std::string longer = "remote text, longer than the local one";
  struct Case {
    const char* what;
    const char* szOption;  // nullptr: our own option
    int remoteAge;         // seconds the remote file is older than the local one (negative: newer)
    bool remoteLonger;
    bool replaced;
  };
  const Case cases[] = {
      {"sz -n, older", "-n", 1000, true, false},
      {"sz -n, newer", "-n", -1000, false, true},
      {"sz -N, older and longer", "-N", 1000, true, true},
      {"sz -N, older, same length", "-N", 1000, false, false},
      {"different, same date and length", nullptr, 0, false, false},
      {"different, same date, longer", nullptr, 0, true, true},
      {"different, older, same length", nullptr, 1000, false, true},
  };
  const std::time_t base = std::time(nullptr) - 100000;
  auto setTime = [](const fs::path& file, std::time_t t) {
    const utimbuf times{t, t};
    ASSERT_EQ(0, ::utime(file.c_str(), &times));
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Relay relay;
    Form f(147, relay.nearEnd.path(), dir / "SIO.HIS");
    const std::string remote = c.remoteLonger ? longer : sameLength;
    WriteFile(dir / "far" / "data.txt", remote);
    WriteFile(dir / "near" / "data.txt", local);
    setTime(dir / "far" / "data.txt", base - c.remoteAge);
    setTime(dir / "near" / "data.txt", base);
    f.protocol->SetProtocolType(ptZmodem);
    if (!c.szOption) {
      f.protocol->SetZmodemOptionOverride(true);
      f.protocol->SetZmodemFileOption(zfoWriteDifferent);
    }
    f.protocol->SetUpcaseFileNames(false);
    f.protocol->SetDestinationDirectory((dir / "near").string());
    f.protocol->StartReceive();
    std::vector<std::string> args = {"sz", "-q"};
    if (c.szOption) args.push_back(c.szOption);
    args.push_back("data.txt");
    Peer peer(relay, dir / "far", args);
    ASSERT_TRUE(f.WaitFinish(30000)) << peer.Log();
    EXPECT_EQ(0, f.finishCode);
    EXPECT_EQ(c.replaced ? remote : local, ReadFile(dir / "near" / "data.txt"));
    const std::uint16_t last = c.replaced ? lfReceiveOk : lfReceiveSkip;
    EXPECT_EQ((std::vector<std::uint16_t>{lfReceiveStart, last}), f.logs);
    peer.Wait(5000);
  }
}

// Appending puts the sender's data behind the bytes the file holds.
TEST_F(ZmodemTest, AppendWritesBehindTheExistingBytes) {
  Relay relay;
  Form f(135, relay.nearEnd.path(), dir / "SIO.HIS");
  const std::string tail = RandomData(20000, 13);
  WriteFile(dir / "far" / "log.txt", tail);
  WriteFile(dir / "near" / "log.txt", "old part|");
  f.protocol->SetProtocolType(ptZmodem);
  f.protocol->SetUpcaseFileNames(false);
  f.protocol->SetDestinationDirectory((dir / "near").string());
  f.protocol->StartReceive();
  Peer peer(relay, dir / "far", {"sz", "-q", "-+", "log.txt"});
  ASSERT_TRUE(f.WaitFinish(30000)) << peer.Log();
  EXPECT_EQ(0, f.finishCode);
  EXPECT_TRUE("old part|" + tail == ReadFile(dir / "near" / "log.txt"));
  // The appended file is the user's: a failure would not delete it.
  EXPECT_FALSE(f.protocol->Data().FileCreated);
  peer.Wait(5000);
}

// A name from the sender never leads outside the destination directory.
TEST_F(ZmodemTest, SenderPathsStayInTheDestination) {
  Relay relay(false);
  Form tx(136, relay.nearEnd.path(), dir / "tx.his");
  Form rx(137, relay.farEnd.path(), dir / "rx.his");
  fs::create_directories(dir / "near" / "sub");
  WriteFile(dir / "near" / "sub" / "in.txt", "inside");
  tx.protocol->SetProtocolType(ptZmodem);
  tx.protocol->SetIncludeDirectory(true);  // the full path goes out
  rx.protocol->SetProtocolType(ptZmodem);
  rx.protocol->SetHonorDirectory(true);
  rx.protocol->SetUpcaseFileNames(false);
  rx.protocol->SetDestinationDirectory((dir / "far").string());
  tx.SendList({(dir / "near" / "sub" / "in.txt").string()});
  rx.protocol->StartReceive();
  tx.protocol->StartTransmit();
  ASSERT_TRUE(PumpUntil([&] { return tx.finished && rx.finished; }, 20000));
  ASSERT_EQ(0, tx.finishCode);
  ASSERT_EQ(0, rx.finishCode);
  // The absolute name is reduced to its name part.
  EXPECT_EQ("inside", ReadFile(dir / "far" / "in.txt"));
  ASSERT_FALSE(rx.logNames.empty());
  EXPECT_EQ((dir / "far" / "in.txt").string(), rx.logNames.back());
}

// ---------------------------------------------------------------------------------------
// Endings
// ---------------------------------------------------------------------------------------
TEST_F(ZmodemTest, CancelEndsBothSides) {
  for (bool send : {true, false}) {
    SCOPED_TRACE(send ? "send" : "receive");
    Relay relay;
    Form f(138 + send, relay.nearEnd.path(), dir / "SIO.HIS");
    const std::string data = RandomData(4 << 20, 14);
    f.protocol->SetProtocolType(ptZmodem);
    relay.toFar.bytesPerSec = send ? 200000 : 0;
    relay.toNear.bytesPerSec = send ? 0 : 200000;
    if (send) {
      WriteFile(dir / "near" / "big.bin", data);
      f.SendList({(dir / "near" / "big.bin").string()});
      f.protocol->StartTransmit();
    } else {
      WriteFile(dir / "far" / "big.bin", data);
      f.protocol->SetDestinationDirectory((dir / "near").string());
      f.protocol->StartReceive();
    }
    Peer peer(relay, dir / "far",
              send ? std::vector<std::string>{"rz", "-q"} : std::vector<std::string>{"sz", "-q", "big.bin"});
    ASSERT_TRUE(PumpUntil([&] { return f.protocol->GetBytesTransferred() > 50000; }, 20000));
    f.protocol->CancelProtocol();
    ASSERT_TRUE(f.WaitFinish(10000));
    ASSERT_EQ(ecCancelRequested, f.finishCode);
    ASSERT_FALSE(f.logs.empty());
    EXPECT_EQ(send ? lfTransmitFail : lfReceiveFail, f.logs.back());
    EXPECT_NE(0, peer.Wait(15000)) << peer.Log();
  }
}

TEST_F(ZmodemTest, SilentPeerEndsWithTooManyErrors) {
  Relay relay;
  Form f(140, relay.nearEnd.path(), dir / "SIO.HIS");
  f.protocol->SetProtocolType(ptZmodem);
  f.protocol->SetHandshakeWait(5);
  f.protocol->SetHandshakeRetry(2);
  f.protocol->SetDestinationDirectory((dir / "near").string());
  f.protocol->StartReceive();
  ASSERT_TRUE(f.WaitFinish(10000));
  EXPECT_EQ(ecTooManyErrors, f.finishCode);
  EXPECT_TRUE(f.logs.empty());
}

// A scripted peer on a pseudo-terminal, for the frames lrzsz does not send: hex headers are
// written and read by hand while our side's notices are answered on this thread.
class ZScript {
 public:
  explicit ZScript(const support::PtyPair& pty) : pty_(pty) {}
  void Send(std::uint8_t type, std::uint32_t pos) {
    static const char hex[] = "0123456789abcdef";
    const std::uint8_t bytes[5] = {type, static_cast<std::uint8_t>(pos), static_cast<std::uint8_t>(pos >> 8),
                                   static_cast<std::uint8_t>(pos >> 16),
                                   static_cast<std::uint8_t>(pos >> 24)};
    std::string h =
        "**\x18"
        "B";
    std::uint16_t crc = 0;
    auto put = [&](std::uint8_t b) {
      h += hex[b >> 4];
      h += hex[b & 15];
    };
    for (std::uint8_t b : bytes) {
      put(b);
      crc ^= static_cast<std::uint16_t>(b << 8);
      for (int i = 0; i < 8; ++i)
        crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    put(static_cast<std::uint8_t>(crc >> 8));
    put(static_cast<std::uint8_t>(crc));
    h += "\r\x8a\x11";
    pty_.Write(h);
  }
  void SendRaw(const std::string& bytes) { pty_.Write(bytes); }
  // The next hex header from our side: its type and position; type 0xFF after the time.
  std::pair<int, std::uint32_t> Read(int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const std::size_t at = buf_.find(
          "\x18"
          "B");
      if (at != std::string::npos && buf_.size() >= at + 16) {
        const std::string digits = buf_.substr(at + 2, 10);
        buf_.erase(0, at + 16);
        const int type = std::stoi(digits.substr(0, 2), nullptr, 16);
        std::uint32_t pos = 0;
        for (int i = 3; i >= 0; --i) pos = pos << 8 | std::stoul(digits.substr(2 + 2 * i, 2), nullptr, 16);
        return {type, pos};
      }
      if (Wait(end)) return {0xFF, 0};
    }
  }
  // Waits for the given bytes; false after the time.
  bool Expect(const std::string& bytes, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (buf_.find(bytes) == std::string::npos)
      if (Wait(end)) return false;
    buf_.erase(0, buf_.find(bytes) + bytes.size());
    return true;
  }

 private:
  // Pumps the messages until bytes come; true when the time is up.
  bool Wait(std::chrono::steady_clock::time_point end) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return true;
    const int fd = pty_.master();
    PumpUntil(
        [fd] {
          pollfd p{fd, POLLIN, 0};
          return ::poll(&p, 1, 0) > 0;
        },
        static_cast<DWORD>(std::min<long long>(left, 50)));
    buf_ += pty_.Read(65536, 0);
    return false;
  }
  const support::PtyPair& pty_;
  std::string buf_;
};

// Our receiver answers a free-space query with the room of its destination, a command with
// ZNAK, and ends a batch without files with ZFIN; our sender answers a challenge with its
// four bytes and a CRC request with the file's CRC-32, sends its file header again only when a
// ZRINIT is all that came back (also while more keep coming), and takes ZSKIP as a skipped file.
TEST_F(ZmodemTest, AnswersChallengeCrcFreeSpaceAndCommand) {
  {
    support::PtyPair pty;
    Form f(145, pty.path(), dir / "rx.his");
    ZScript peer(pty);
    f.protocol->SetProtocolType(ptZmodem);
    f.protocol->SetDestinationDirectory((dir / "near").string());
    f.protocol->StartReceive();
    auto h = peer.Read();
    EXPECT_EQ(ZRINIT, h.first);
    EXPECT_EQ(0x27u, h.second >> 24);  // ZF0: full duplex, overlapped I/O, break, CRC-32
    peer.Send(ZFREECNT, 0);
    h = peer.Read();
    EXPECT_EQ(ZACK, h.first);
    struct statvfs room {};
    ASSERT_EQ(0, ::statvfs((dir / "near").c_str(), &room));
    const double free = static_cast<double>(room.f_bavail) * room.f_frsize;
    if (free < 0xFFFFFFFFu) {
      EXPECT_NEAR(free, h.second, free / 10 + 1e6);
    } else {
      EXPECT_EQ(0xFFFFFFFFu, h.second);
    }
    peer.Send(ZCOMMAND, 0);
    EXPECT_EQ(ZNAK, peer.Read().first);
    peer.Send(ZFIN, 0);
    EXPECT_EQ(ZFIN, peer.Read().first);
    peer.SendRaw("OO");
    ASSERT_TRUE(f.WaitFinish(10000));
    EXPECT_EQ(0, f.finishCode);
    EXPECT_TRUE(f.logs.empty());
  }
  support::PtyPair pty;
  Form f(146, pty.path(), dir / "tx.his");
  ZScript peer(pty);
  const std::string data = RandomData(30000, 15);
  WriteFile(dir / "near" / "c.bin", data);
  std::uint32_t crc = 0xFFFFFFFFu;  // the reflected CRC-32 register over the file
  for (unsigned char c : data) {
    crc ^= c;
    for (int i = 0; i < 8; ++i) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  f.protocol->SetProtocolType(ptZmodem);
  f.SendList({(dir / "near" / "c.bin").string()});
  f.protocol->StartTransmit();
  ASSERT_TRUE(peer.Expect("rz\r"));
  EXPECT_EQ(ZRQINIT, peer.Read().first);
  peer.Send(ZCHALLENGE, 0x78563412);
  auto h = peer.Read();
  EXPECT_EQ(ZACK, h.first);
  EXPECT_EQ(0x78563412u, h.second);
  peer.Send(ZRINIT, 0);               // no CRC-32, no buffer limit
  ASSERT_TRUE(peer.Expect("\x18k"));  // the file information subpacket ends
  // A second ZRINIT, as when the answer to the ZRQINIT crosses the file header: the header is
  // not sent again at once (the peer would answer it twice and the data would start over).
  const std::string fileHeader = "\x18"
                                 "A\x04";
  peer.Send(ZRINIT, 0);
  EXPECT_FALSE(peer.Expect(fileHeader, 500));
  peer.Send(ZCRC, 0);
  h = peer.Read();
  EXPECT_EQ(ZCRC, h.first);
  EXPECT_EQ(crc, h.second);
  // A ZRINIT with nothing behind it: the header was lost, and goes again after a short wait.
  peer.Send(ZRINIT, 0);
  EXPECT_FALSE(peer.Expect(fileHeader, 1000));
  EXPECT_TRUE(peer.Expect(fileHeader, 3000));
  ASSERT_TRUE(peer.Expect("\x18k"));
  // ZRINITs that keep coming do not put the header off for ever: it goes again after the wait
  // that the first of them started.
  bool again = false;
  for (int i = 0; i < 6 && !again; ++i) {
    peer.Send(ZRINIT, 0);
    again = peer.Expect(fileHeader, 500);
  }
  EXPECT_TRUE(again);
  ASSERT_TRUE(peer.Expect("\x18k"));
  peer.Send(ZSKIP, 0);
  EXPECT_EQ(ZFIN, peer.Read().first);
  peer.Send(ZFIN, 0);
  EXPECT_TRUE(peer.Expect("OO"));
  ASSERT_TRUE(f.WaitFinish(10000));
  EXPECT_EQ(0, f.finishCode);
  EXPECT_EQ((std::vector<std::uint16_t>{lfTransmitStart, lfTransmitSkip}), f.logs);
}

// Unit-level rules of the sender's subpackets.
TEST(ZmodemFrames, EscapingAndSizes) {
  std::uint8_t out[64];
  std::uint8_t last = 0;
  const std::uint8_t data[] = {0x18, 'A', '@', 0x0D, 0x91, 0x01, 0x7F};
  std::uint32_t n = zpEscape(data, sizeof data, out, last, false);
  EXPECT_EQ(std::string("\x18\x58"
                        "A@\x18\x4D\x18\xD1\x01\x7F",
                        10),
            std::string(reinterpret_cast<char*>(out), n));
  last = 0;
  n = zpEscape(data, sizeof data, out, last, true);
  EXPECT_EQ(std::string("\x18\x58"
                        "A@\x18\x4D\x18\xD1\x18\x41\x7F",
                        11),
            std::string(reinterpret_cast<char*>(out), n));

  TProtocolData* P = nullptr;
  ASSERT_EQ(0, zpInit(P, nullptr, 0));
  EXPECT_EQ(1024u, P->BlockLength);
  EXPECT_EQ(bcmCrc32, P->CheckType);
  EXPECT_EQ(0, zpSetBigSubpacketOption(*P, true));
  EXPECT_EQ(8192u, P->BlockLength);
  EXPECT_TRUE(apOptionsAreOn(*P, apZmodem8K));
  apOptionsOff(*P, apZmodem8K);  // owned by the engine
  EXPECT_TRUE(apOptionsAreOn(*P, apZmodem8K));
  EXPECT_EQ(0, zpSetFileMgmtOptions(*P, true, true, zfoWriteProtect));
  EXPECT_EQ(0x87, P->FileOption);
  zpDone(P);
  ASSERT_EQ(0, xpInit(P, nullptr, true, false, false, 0));
  EXPECT_EQ(ecBadProtocolFunction, zpSetRecoverOption(*P, true));
  xpDone(P);
}

}  // namespace
