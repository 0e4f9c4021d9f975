// B+ engine: the frames on the line byte for byte (the test plays the host on a raw pseudo-
// terminal), and whole sessions against the B+ host simulator: 100 KB both ways with two
// packets outstanding, a resend after ENQ ENQ, a resumed download, and the host's file
// names kept inside this side's directory.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "serial/SioPort.h"
#include "serial/Sioexcept.h"
#include "tests/support/Child.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"
#include "transfer/Swbplus.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The 8-bit check and the CRC as the protocol defines them, written out here independently.
std::uint8_t Check8(const Bytes& covered) {
  unsigned v = 0;
  for (std::uint8_t c : covered) {
    v = ((v << 1) | (v >> 7)) & 0xFF;
    v += c;
    if (v > 0xFF) v = (v & 0xFF) + 1;
  }
  return static_cast<std::uint8_t>(v);
}
std::uint16_t Crc16(const Bytes& covered) {
  unsigned crc = 0xFFFF;
  for (std::uint8_t c : covered) {
    crc ^= static_cast<unsigned>(c) << 8;
    for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
  }
  return static_cast<std::uint16_t>(crc);
}
// DQDefault: ETX, ENQ, DLE, XON, XOFF and NAK go as DLE and the byte + 0x40.
Bytes Quoted(const Bytes& raw) {
  Bytes out;
  for (std::uint8_t c : raw) {
    if (c == 0x03 || c == 0x05 || c == 0x10 || c == 0x11 || c == 0x13 || c == 0x15) {
      out.push_back(0x10);
      out.push_back(static_cast<std::uint8_t>(c + 0x40));
    } else {
      out.push_back(c);
    }
  }
  return out;
}
// A whole packet with the 8-bit check (crc false) or the CRC.
Bytes Packet(char seq, char type, const Bytes& data, bool crc) {
  Bytes covered{static_cast<std::uint8_t>(seq), static_cast<std::uint8_t>(type)};
  covered.insert(covered.end(), data.begin(), data.end());
  covered.push_back(0x03);
  Bytes out{0x10, 'B', static_cast<std::uint8_t>(seq), static_cast<std::uint8_t>(type)};
  Bytes q = Quoted(data);
  out.insert(out.end(), q.begin(), q.end());
  out.push_back(0x03);
  Bytes check;
  if (crc) {
    std::uint16_t c = Crc16(covered);
    check = {static_cast<std::uint8_t>(c >> 8), static_cast<std::uint8_t>(c & 0xFF)};
  } else {
    check = {Check8(covered)};
  }
  Bytes qc = Quoted(check);
  out.insert(out.end(), qc.begin(), qc.end());
  return out;
}
Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string Hex(const Bytes& b) {
  std::string s;
  char buf[4];
  for (std::uint8_t c : b) {
    std::snprintf(buf, sizeof buf, "%02X ", c);
    s += buf;
  }
  return s;
}

// Our side: a port and the answers of the protocol component to the engine's notices; the
// test's own loop stands in for the terminal that meets ENQ, ESC I and DLE.
class BpDriver {
 public:
  BpDriver(int com, const std::string& path) {
    var_ = "SIO_COM" + std::to_string(com);
    ::setenv(var_.c_str(), path.c_str(), 1);
    port.SetComNumber(static_cast<std::uint16_t>(com));
    port.SetBaud(115200);
    port.SetInSize(16384);
    port.SetOutSize(16384);
    port.SetOpen(true);
    static bool registered =
        RegisterClass("swMsgHandlerBPlusTest", [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
          auto* self = static_cast<BpDriver*>(GetWindowUserData(h));
          return self ? self->Handle(m, w, l) : DefWindowProc(h, m, w, l);
        });
    (void)registered;
    window_ = CreateWindow("swMsgHandlerBPlusTest", this);
    EXPECT_EQ(0, bpInit(P, &port, 0));
    apSetProtocolWindow(*P, window_);
    P->StatusInterval = 5;
    // Three seconds: short enough for the tests that wait out a lost packet, long enough for
    // a busy machine.
    apSetHandshakeWait(*P, 54, 0);
    P->FinishWait = 54;
  }
  ~BpDriver() {
    if (P && P->InProgress && port.Dispatcher())
      (upload ? bpTransmit : bpReceive)(apw_ProtocolCancel, 0,
                                        static_cast<LPARAM>(port.Dispatcher()->Handle()) * 65536);
    bpDone(P);
    DestroyWindow(window_);
    port.SetOpen(false);
    ::unsetenv(var_.c_str());
  }

  // Answers the host's ENQ, ESC I and DLE packets until its transfer request is read.
  // True when a transfer may start; code holds a failure.
  bool Session(int ms = 20000) {
    TSioBaseDispatcher* D = port.Dispatcher();
    bool inDle = false, esc = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      ProcessMessages();
      if (inDle) {
        bool start = false, error = false;
        code = bpProcessDLE(*P, false, start, upload, error);
        if (start) return true;
        if (error) return false;
      } else {
        std::uint8_t c = 0;
        if (D->GetChar(c) == 0) {
          if (c == bpENQ) {
            EXPECT_EQ(0, bpProcessENQ(*P));
          } else if (c == bpESC) {
            esc = true;
            continue;
          } else if (esc && c == 'I') {
            EXPECT_EQ(0, bpProcessESCI(*P, 25, 80));
          } else if (c == bpDLE) {
            std::uint32_t h = 0;
            EXPECT_EQ(0, bpPrepareProcessDLE(*P, h));
            EXPECT_NE(h, 0u);
            inDle = true;
          }
          esc = false;
          continue;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    code = 1;
    return false;
  }
  void Start() {
    finished = false;
    if (upload)
      apStartProtocol(*P, ptBPlus, bpTransmit, bpPrepareTransmit);
    else
      apStartProtocol(*P, ptBPlus, bpReceive, bpPrepareReceive);
  }
  bool WaitFinish(int ms) {
    return PumpUntil([this] { return finished; }, static_cast<DWORD>(ms));
  }

  TSioComPort port;
  TProtocolData* P = nullptr;
  bool upload = false;
  int code = 0;
  bool finished = false;
  int finishCode = 1;
  bool refuse = false;
  std::uint32_t resumeAnswer = wfWriteResume;
  int resumeAsked = 0;
  std::vector<unsigned> logCodes;
  std::vector<std::string> logNames;
  std::vector<bool> logCreated;  // whether the file was this run's when each line was logged
  std::vector<int> errors;
  std::vector<int> statuses;

 private:
  LRESULT Handle(UINT m, WPARAM w, LPARAM l) {
    switch (m) {
      case apw_ProtocolStatus:
        statuses.push_back(P->ProtocolStatus);
        return 0;
      case apw_ProtocolLog:
        logCodes.push_back(static_cast<unsigned>(w));
        logNames.push_back(P->PathName);
        logCreated.push_back(P->FileCreated);
        return 0;
      case apw_ProtocolAcceptFile:
        return refuse ? 0 : 1;
      case apw_ProtocolResume:
        ++resumeAsked;
        return static_cast<LRESULT>(resumeAnswer);
      case apw_ProtocolFinish:
        finished = true;
        finishCode = static_cast<int>(static_cast<std::intptr_t>(w));
        return 0;
      case apw_ProtocolError:
        errors.push_back(static_cast<int>(static_cast<std::intptr_t>(w)));
        return 0;
      default:
        return DefWindowProc(window_, m, w, l);
    }
  }
  std::string var_;
  HWND window_ = 0;
};

// ---------------------------------------------------------------------------------------
// Frames
// ---------------------------------------------------------------------------------------
TEST(BPlusFrames, PacketsAndQuoting) {
  std::uint8_t table[256];
  bpBuildQuoteTable(table, DQDefault);
  // "N" with sequence 1 and the data "AB": the 8-bit check over "1NAB" and ETX is 0x12.
  EXPECT_EQ(Hex(bpBuildPacket(table, false, 1, 'N', reinterpret_cast<const std::uint8_t*>("AB"), 2)),
            "10 42 31 4E 41 42 03 12 ");
  EXPECT_EQ(Check8(B("1NAB\x03")), 0x12);
  // A DLE in the data goes as DLE 0x50; a check byte that must be quoted is quoted too.
  const std::uint8_t dle[1] = {0x10};
  Bytes frame = bpBuildPacket(table, false, 2, 'N', dle, 1);
  EXPECT_EQ(Hex(Bytes(frame.begin(), frame.begin() + 6)), "10 42 32 4E 10 50 ");
  EXPECT_EQ(Hex(frame), Hex(Packet('2', 'N', {0x10}, false)));
  // With the CRC the two check bytes follow, high first.
  const Bytes data = B("Hello\x13\x15\x80");
  EXPECT_EQ(Hex(bpBuildPacket(table, true, 7, 'N', data.data(), static_cast<std::uint32_t>(data.size()))),
            Hex(Packet('7', 'N', data, true)));
  // Only the listed characters are quoted by the default set; all 64 by the full one.
  EXPECT_EQ(table[0x03], 0x43);
  EXPECT_EQ(table[0x05], 0x45);
  EXPECT_EQ(table[0x11], 0x51);
  EXPECT_EQ(table[0x04], 0);
  EXPECT_EQ(table[0x81], 0);
  bpBuildQuoteTable(table, DQFull);
  EXPECT_EQ(table[0x00], 0x40);
  EXPECT_EQ(table[0x1F], 0x5F);
  EXPECT_EQ(table[0x80], 0x60);
  EXPECT_EQ(table[0x9F], 0x7F);
  EXPECT_EQ(table[0xA0], 0);
  // The checks: the CRC over a packet and its own two bytes leaves 0.
  std::uint16_t crc = 0xFFFF;
  for (char c : std::string("123456789")) crc = bpUpdateCrc(static_cast<std::uint8_t>(c), crc);
  EXPECT_EQ(crc, 0x29B1);  // CRC-16/CCITT-FALSE
  EXPECT_EQ(bpUpdateCrc(0xB1, bpUpdateCrc(0x29, crc)), 0);
  EXPECT_EQ(bpNamePart("../../etc/passwd"), "passwd");
  EXPECT_EQ(bpNamePart("C:\\DOS\\GAME.EXE"), "GAME.EXE");
  EXPECT_EQ(bpNamePart("dir/.."), "");
}

// The test is the host: every byte that our side puts on the line is checked. The host's
// script runs on a thread of its own while our side runs on the test's thread.
class BPlusLineTest : public ::testing::Test {
 protected:
  BPlusLineTest() : d(41, pty.path()) {}
  Bytes Read(std::size_t n) {
    std::string s = pty.Read(n, 3000);
    return Bytes(s.begin(), s.end());
  }
  void Host(const Bytes& b) { pty.Write(b.data(), b.size()); }
  support::PtyPair pty;
  BpDriver d;
};

TEST_F(BPlusLineTest, StartSequenceAndUploadFrames) {
  support::TempDir tmp("bplus_");
  d.P->UpcaseFileNames = false;
  apSetDestinationDirectory(*d.P, tmp.path().c_str());
  support::WriteFile(tmp.path() / "ab.txt", "AB");
  std::string id = "#IB1,SSo8,GF,PB,DT,+";
  unsigned sum = 0;
  for (char c : id) sum += static_cast<std::uint8_t>(c);
  id += std::to_string(sum & 0xFF) + "\r";
  const Bytes ours = {1, 2, 16, 1, 1, 0, 0x14, 0x00, 0xD4, 0x00, 0, 0, 0, 0, 1, 0, 1};
  const Bytes oursFrame = Packet('2', '+', ours, false);
  const Bytes n = Packet('4', 'N', B("AB"), false), c = Packet('5', 'T', B("C"), false);
  std::vector<std::string> seen;
  std::thread host([&] {
    // ENQ gives DLE "+" "+" DLE "0".
    Host({0x05});
    seen.push_back(Hex(Read(5)));
    // ESC I: "#IB1,SS", 80 + 31 and 25 + 31, the rest, ",+", the characters' sum and CR.
    Host({0x1B, 'I'});
    seen.push_back(Hex(Read(id.size())));
    // The host's "+" packet (send window 1, receive window 2, 512-byte blocks, no CRC): the
    // terminal acknowledges it and answers with its own 17 bytes.
    Host(Packet('1', '+', {1, 2, 4, 0, 1, 0, 0x14, 0x00, 0xD4, 0x00, 0, 0, 0, 0, 1, 0, 1}, false));
    seen.push_back(Hex(Read(2)));
    seen.push_back(Hex(Read(oursFrame.size())));
    Host({0x10, '2'});
    // The transfer request: upload "ab.txt", acknowledged with DLE "3".
    Host(Packet('3', 'T', B("UBab.txt"), false));
    seen.push_back(Hex(Read(2)));
    // "N" 4 "AB" with the 8-bit check; after its acknowledgement "T" 5 "C".
    seen.push_back(Hex(Read(n.size())));
    Host({0x10, '4'});
    seen.push_back(Hex(Read(c.size())));
    Host({0x10, '5'});
  });
  const bool started = d.Session(10000);
  if (started) {
    d.Start();
    d.WaitFinish(10000);
  }
  host.join();
  ASSERT_TRUE(started) << d.code;
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_EQ(seen[0], "10 2B 2B 10 30 ");
  EXPECT_EQ(seen[1], Hex(B(id)));
  EXPECT_EQ(seen[2], "10 31 ");
  // Send window 1, receive window 2, 16 units (the port runs at 115200 baud), CRC 1, quote
  // level 1, extension 0, the default quote set, download resume 1, upload resume 0, file
  // information 1; the 16 goes quoted as DLE 0x50.
  EXPECT_EQ(seen[3], Hex(oursFrame));
  EXPECT_NE(seen[3].find("10 50"), std::string::npos);
  EXPECT_EQ(seen[4], "10 33 ");
  EXPECT_EQ(seen[5], Hex(n));
  EXPECT_EQ(seen[6], Hex(c));
  EXPECT_TRUE(d.upload);
  EXPECT_EQ(d.P->BlockLength, 512u);
  EXPECT_EQ(d.finishCode, 0);
  EXPECT_EQ(d.logCodes, (std::vector<unsigned>{lfTransmitStart, lfTransmitOk}));
}

TEST_F(BPlusLineTest, OverlongPacketIsRefusedAndNakked) {
  support::TempDir tmp("bplus_");
  apSetDestinationDirectory(*d.P, tmp.path().c_str());
  std::vector<std::string> seen;
  std::thread host([&] {
    Host({0x05});
    seen.push_back(Hex(Read(5)));
    // A "+" packet far longer than any block: a bad packet, answered with NAK.
    Host(Packet('1', '+', Bytes(5000, 'x'), false));
    seen.push_back(Hex(Read(1)));
  });
  const bool started = d.Session(5000);
  host.join();
  EXPECT_FALSE(started);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], "15 ");
}

// ---------------------------------------------------------------------------------------
// Sessions against the host simulator
// ---------------------------------------------------------------------------------------
class BPlusHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir / "host");
    fs::create_directories(dir / "here");
  }
  std::unique_ptr<support::Simulator> Host(std::vector<std::string> args = {}) {
    args.push_back("--log");
    args.push_back((dir / "host.log").string());
    return std::make_unique<support::Simulator>("bplus-host", args);
  }
  std::unique_ptr<BpDriver> Terminal(const support::Simulator& host) {
    auto t = std::make_unique<BpDriver>(42, host.Path());
    t->P->UpcaseFileNames = false;
    apSetDestinationDirectory(*t->P, (dir / "here").c_str());
    return t;
  }
  // Runs the session and the transfer; the host's result line.
  std::string Transfer(support::Simulator& host, BpDriver& t, const std::string& command) {
    EXPECT_TRUE(host.Command(command));
    if (!t.Session()) return "session failed " + std::to_string(t.code) + ": " + host.ReadLine(5000);
    t.Start();
    EXPECT_TRUE(t.WaitFinish(60000));
    return host.ReadLine(10000);
  }
  support::TempDir tmp_{"bplus_"};
  const fs::path& dir = tmp_.path();
};

std::string Data(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  unsigned v = seed;
  for (auto& c : s) {
    v = v * 1103515245u + 12345u;
    c = static_cast<char>(v >> 16);
  }
  return s;
}

// Records how many packets were outstanding when each block was read.
int gMaxOutstandingAtRead = 0;
std::uint32_t gLargestBlock = 0;
bool RecordingRead(TProtocolData& P, std::uint8_t* block, std::uint32_t& size) {
  if (TBPlusTail* T = bpTail(P)) gMaxOutstandingAtRead = std::max(gMaxOutstandingAtRead, T->Outstanding);
  gLargestBlock = std::max(gLargestBlock, size);
  return aapReadProtocolBlock(P, block, size);
}

TEST_F(BPlusHostTest, HundredKilobytesUpAndDownWithTwoOutstanding) {
  const std::string file = Data(100 * 1024 + 77, 1);  // every byte value, DLE and ETX among them
  support::WriteFile(dir / "host" / "down.bin", file);
  support::WriteFile(dir / "here" / "up.bin", file);
  auto host = Host();
  {
    auto t = Terminal(*host);
    EXPECT_EQ(Transfer(*host, *t, "download " + (dir / "host" / "down.bin").string()),
              "done ok " + std::to_string(file.size()));
    EXPECT_EQ(t->finishCode, 0);
    EXPECT_EQ(support::ReadFile(dir / "here" / "down.bin"), file);
    EXPECT_EQ(t->P->BytesTransferred, static_cast<std::int32_t>(file.size()));
    EXPECT_EQ(t->logCodes, (std::vector<unsigned>{lfReceiveStart, lfReceiveOk}));
    EXPECT_EQ(t->P->CheckType, bcmCrc16);
  }
  {
    auto t = Terminal(*host);
    gMaxOutstandingAtRead = 0;
    gLargestBlock = 0;
    t->P->ReadBlock = RecordingRead;
    EXPECT_EQ(Transfer(*host, *t, "upload up.bin " + (dir / "host" / "up.bin").string()),
              "done ok " + std::to_string(file.size()));
    EXPECT_EQ(t->finishCode, 0);
    EXPECT_EQ(support::ReadFile(dir / "host" / "up.bin"), file);
    EXPECT_EQ(t->logCodes, (std::vector<unsigned>{lfTransmitStart, lfTransmitOk}));
    // A block was read while one packet was still outstanding: two were on the way.
    EXPECT_EQ(gMaxOutstandingAtRead, 1);
    EXPECT_EQ(t->P->BytesTransferred, static_cast<std::int32_t>(file.size()));
  }
}

TEST_F(BPlusHostTest, ResendAfterEnqEnqAndAfterABadPacket) {
  const std::string file = Data(20000, 2);
  support::WriteFile(dir / "here" / "up.bin", file);
  support::WriteFile(dir / "host" / "down.bin", file);
  auto host = Host();
  {
    // The host loses the third data packet: the terminal hears nothing, asks with ENQ ENQ,
    // learns the host's last packet and sends the outstanding ones again.
    auto t = Terminal(*host);
    ASSERT_TRUE(host->Command("ignore 3"));
    EXPECT_EQ(Transfer(*host, *t, "upload up.bin " + (dir / "host" / "up.bin").string()),
              "done ok " + std::to_string(file.size()));
    EXPECT_EQ(t->finishCode, 0);
    EXPECT_EQ(support::ReadFile(dir / "host" / "up.bin"), file);
    EXPECT_GE(t->P->TotalErrors, 1);
    EXPECT_NE(std::find(t->errors.begin(), t->errors.end(), ecTimeout), t->errors.end());
  }
  {
    // A damaged packet from the host: NAK, the host's ENQ ENQ, the terminal's last
    // acknowledgement twice, and the host sends again.
    auto t = Terminal(*host);
    ASSERT_TRUE(host->Command("corrupt 4"));
    EXPECT_EQ(Transfer(*host, *t, "download " + (dir / "host" / "down.bin").string()),
              "done ok " + std::to_string(file.size()));
    EXPECT_EQ(t->finishCode, 0);
    EXPECT_EQ(support::ReadFile(dir / "here" / "down.bin"), file);
    EXPECT_GE(t->P->TotalErrors, 1);
  }
  EXPECT_NE(support::ReadFile(dir / "host.log").find("resync"), std::string::npos);
}

TEST_F(BPlusHostTest, ResumedDownload) {
  const std::string file = Data(60000, 3);
  support::WriteFile(dir / "host" / "big.bin", file);
  auto host = Host();
  {
    // The first 40960 bytes are here already: the terminal sends their CRC and length and
    // the host goes on from there.
    support::WriteFile(dir / "here" / "big.bin", file.substr(0, 40960));
    auto t = Terminal(*host);
    EXPECT_EQ(Transfer(*host, *t, "download " + (dir / "host" / "big.bin").string()),
              "done ok " + std::to_string(file.size() - 40960));
    EXPECT_EQ(t->resumeAsked, 1);
    EXPECT_EQ(t->finishCode, 0);
    EXPECT_EQ(t->P->InitialPosition, 40960);
    EXPECT_EQ(t->logCreated, (std::vector<bool>{false, false}));  // the user's file, resumed
    EXPECT_EQ(support::ReadFile(dir / "here" / "big.bin"), file);
    EXPECT_NE(std::find(t->statuses.begin(), t->statuses.end(), psHostResume), t->statuses.end());
    EXPECT_NE(support::ReadFile(dir / "host.log").find("resuming at 40960"), std::string::npos);
  }
  {
    // A partial file that differs from the host's: the host refuses, the file starts anew.
    std::string wrong = file.substr(0, 1000);
    wrong[10] ^= 1;
    support::WriteFile(dir / "here" / "big.bin", wrong);
    auto t = Terminal(*host);
    EXPECT_EQ(Transfer(*host, *t, "download " + (dir / "host" / "big.bin").string()),
              "done ok " + std::to_string(file.size()));
    EXPECT_EQ(t->finishCode, 0);
    EXPECT_EQ(support::ReadFile(dir / "here" / "big.bin"), file);
    EXPECT_NE(support::ReadFile(dir / "host.log").find("resume refused"), std::string::npos);
  }
  {
    // Answered with "rename": the old file stays, the new one gets "$" as its first character,
    // and "$1" when a "$" file is there too, which stays as well.
    support::WriteFile(dir / "here" / "big.bin", "old");
    for (const char* name : {"$ig.bin", "$1ig.bin"}) {
      auto t = Terminal(*host);
      t->resumeAnswer = wfWriteRename;
      EXPECT_EQ(Transfer(*host, *t, "download " + (dir / "host" / "big.bin").string()),
                "done ok " + std::to_string(file.size()));
      EXPECT_TRUE(support::ReadFile(dir / "here" / name) == file) << name;
      support::WriteFile(dir / "here" / name, name);
    }
    EXPECT_EQ(support::ReadFile(dir / "here" / "big.bin"), "old");
    EXPECT_EQ(support::ReadFile(dir / "here" / "$ig.bin"), "$ig.bin");
  }
}

TEST_F(BPlusHostTest, HostNamesStayInsideTheDirectory) {
  const std::string file = Data(3000, 4);
  support::WriteFile(dir / "host" / "x.bin", file);
  support::WriteFile(dir / "secret.txt", "not for the host");
  auto host = Host();
  {
    // A download named with a path lands in this side's directory under its name part.
    auto t = Terminal(*host);
    EXPECT_EQ(Transfer(*host, *t, "download " + (dir / "host" / "x.bin").string() + " ../../evil.bin"),
              "done ok " + std::to_string(file.size()));
    EXPECT_EQ(support::ReadFile(dir / "here" / "evil.bin"), file);
    EXPECT_FALSE(fs::exists(dir.parent_path() / "evil.bin"));
  }
  // An upload request for a file outside the directory finds nothing there, neither by its
  // path nor through a link in the directory: "AFile Error".
  fs::create_symlink(dir / "secret.txt", dir / "here" / "link.txt");
  for (const char* name : {"../secret.txt", "link.txt"}) {
    auto t = Terminal(*host);
    ASSERT_TRUE(host->Command(std::string("upload ") + name + " " + (dir / "host" / "got.txt").string()));
    EXPECT_FALSE(t->Session());
    EXPECT_EQ(t->code, ecFileNotFound);
    EXPECT_EQ(host->ReadLine(10000), "done error terminal failed: AFile Error");
    EXPECT_EQ(t->logCodes, (std::vector<unsigned>{lfTransmitStart, lfTransmitFail}));
  }
  {
    // Refused by the accept handler: "AFile rejected", and no file.
    auto t = Terminal(*host);
    t->refuse = true;
    ASSERT_TRUE(host->Command("download " + (dir / "host" / "x.bin").string() + " refused.bin"));
    EXPECT_FALSE(t->Session());
    EXPECT_EQ(t->code, ecFileRejected);
    EXPECT_EQ(host->ReadLine(10000), "done error terminal failed: AFile rejected");
    EXPECT_FALSE(fs::exists(dir / "here" / "refused.bin"));
  }
  {
    // A name whose name part is nothing names no file: refused as well, and the history tells
    // what was asked for.
    auto t = Terminal(*host);
    ASSERT_TRUE(host->Command("download " + (dir / "host" / "x.bin").string() + " sub/.."));
    EXPECT_FALSE(t->Session());
    EXPECT_EQ(host->ReadLine(10000), "done error terminal failed: AFile rejected");
    EXPECT_EQ(t->logCodes, (std::vector<unsigned>{lfReceiveStart, lfReceiveSkip}));
    EXPECT_EQ(t->logNames, (std::vector<std::string>{"sub/..", "sub/.."}));
  }
}

TEST_F(BPlusHostTest, AgreedBlockLengthAndHostAbort) {
  const std::string file = Data(5000, 5);
  support::WriteFile(dir / "here" / "up.bin", file);
  support::WriteFile(dir / "host" / "down.bin", file);
  auto host = Host({"--block", "4", "--no-crc"});
  {
    // The host agreed on 512 bytes: no block is longer, and the 8-bit check is used.
    auto t = Terminal(*host);
    gLargestBlock = 0;
    t->P->ReadBlock = RecordingRead;
    EXPECT_EQ(Transfer(*host, *t, "upload up.bin " + (dir / "host" / "up.bin").string()),
              "done ok " + std::to_string(file.size()));
    EXPECT_EQ(gLargestBlock, 512u);
    EXPECT_EQ(t->P->CheckType, bcmChecksum);
    EXPECT_EQ(support::ReadFile(dir / "host" / "up.bin"), file);
  }
  {
    // The host's failure packet ends the download: logged as failed, finished with -6005.
    auto t = Terminal(*host);
    ASSERT_TRUE(host->Command("abort-after 3"));
    EXPECT_EQ(Transfer(*host, *t, "download " + (dir / "host" / "down.bin").string()), "done error aborted");
    EXPECT_EQ(t->finishCode, ecCancelRequested);
    EXPECT_EQ(t->logCodes, (std::vector<unsigned>{lfReceiveStart, lfReceiveFail}));
    // The part is this run's, so "delete failed files" may remove it.
    EXPECT_EQ(t->logCreated, (std::vector<bool>{false, true}));
  }
}

TEST_F(BPlusHostTest, CancelledDownloadIsLoggedAsFailed) {
  const std::string file = Data(400000, 6);
  support::WriteFile(dir / "host" / "big.bin", file);
  auto host = Host();
  auto t = Terminal(*host);
  ASSERT_TRUE(host->Command("download " + (dir / "host" / "big.bin").string()));
  ASSERT_TRUE(t->Session());
  t->Start();
  // The user cancels at once: the host hears "AAborted by user", the run ends with -6005.
  bpReceive(apw_ProtocolCancel, 0, static_cast<LPARAM>(t->port.Dispatcher()->Handle()) * 65536);
  EXPECT_TRUE(t->WaitFinish(10000));
  EXPECT_EQ(t->finishCode, ecCancelRequested);
  EXPECT_EQ(t->logCodes, (std::vector<unsigned>{lfReceiveStart, lfReceiveFail}));
  EXPECT_EQ(host->ReadLine(10000), "done error terminal failed: AAborted by user");
}

TEST(BPlusEngine, HooksNeedTheBPlusRecord) {
  TProtocolData* P = nullptr;
  ASSERT_EQ(0, apInitProtocolData(P, nullptr, 0));
  std::uint32_t h = 0;
  bool s, u, e;
  EXPECT_EQ(bpProcessENQ(*P), ecBadProtocolFunction);
  EXPECT_EQ(bpProcessESCI(*P, 24, 80), ecBadProtocolFunction);
  EXPECT_EQ(bpPrepareProcessDLE(*P, h), ecBadProtocolFunction);
  EXPECT_EQ(bpProcessDLE(*P, true, s, u, e), ecBadProtocolFunction);
  apDoneProtocol(P);
  ASSERT_EQ(0, bpInit(P, nullptr, 0));
  EXPECT_EQ(P->HandshakeWait, 546u);
  EXPECT_EQ(P->FinishWait, 273u);
  EXPECT_EQ(P->Overhead, 20);
  EXPECT_EQ(bpTail(*P)->OfferedBlockSize, 8u);  // speed unknown
  bpDone(P);
}

}  // namespace
