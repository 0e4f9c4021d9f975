// The Kermit packet layer, the setters, and our receiver against a scripted sender that puts
// chosen packets on the line: negotiation answers, the receive window with missing and
// oversized packets, file names from the peer, files that cannot be written, a sender that
// goes silent.
#include <sys/stat.h>

#include "kermit_harness.h"
#include "tests/support/Pty.h"

using namespace kermit;
namespace fs = std::filesystem;

namespace {

std::string Str(const std::uint8_t* p, std::uint32_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}
const std::uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

TKermitTail Tail(bool repeat, bool hibit, char hibitChar = '&') {
  TKermitTail T{};
  T.UsingRepeat = repeat;
  T.UsingHibit = hibit;
  T.HibitChar = hibitChar;
  return T;
}

std::string Encode(const TKermitTail& T, const std::string& in, std::uint32_t room = 4000) {
  std::uint8_t out[8192];
  std::uint32_t index = 0;
  std::uint32_t n = kpEncodeData(T, Bytes(in), static_cast<std::uint32_t>(in.size()), index, out, room);
  EXPECT_EQ(in.size(), index);
  return Str(out, n);
}

TEST(KermitPackets, LongPacketHeaderAndChecks) {
  TKermitTail T{};
  std::string data(300, 'a');
  std::uint8_t out[400];
  const std::uint32_t n = kpBuildPacket(T, 'D', 5, Bytes(data), 300, '3', out);
  ASSERT_EQ(1u + 6 + 300 + 3 + 1, n);
  EXPECT_EQ(1, out[0]);
  EXPECT_EQ(' ', out[1]);  // LEN blank: a long packet
  EXPECT_EQ(32 + 5, out[2]);
  EXPECT_EQ('D', out[3]);
  EXPECT_EQ(32 + 3, out[4]);  // 303 = 3 * 95 + 18
  EXPECT_EQ(32 + 18, out[5]);
  const unsigned s = (out[1] + out[2] + out[3] + out[4] + out[5]) & 0xFF;
  EXPECT_EQ(32 + ((s + (s >> 6)) & 63), out[6]);
  EXPECT_EQ(13, out[n - 1]);
  // A short packet: the one-character checksum of "#%Y" ("#" = LEN of 3, "%" = seq 5).
  const std::uint32_t m = kpBuildPacket(T, 'Y', 5, nullptr, 0, '1', out);
  ASSERT_EQ(6u, m);
  const unsigned t = '#' + '%' + 'Y';
  EXPECT_EQ(Str(out, 5), std::string("\x01#%Y") + static_cast<char>(32 + ((t + ((t >> 6) & 3)) & 63)));
  // The Kermit CRC of "123456789" is 0x2189: tochar of 2, 6, 9.
  const std::string digits = "123456789";
  std::uint8_t c3[3];
  kpBlockCheck('3', Bytes(digits), Bytes(digits) + 9, c3);
  EXPECT_EQ(std::string("\"&)"), Str(c3, 3));
}

TEST(KermitPackets, RepeatAndPrefixEncoding) {
  const TKermitTail rep = Tail(true, false);
  EXPECT_EQ("XXXX", Encode(rep, "XXXX"));
  EXPECT_EQ("~%X", Encode(rep, "XXXXX"));
  EXPECT_EQ("~~X~~X~,X", Encode(rep, std::string(200, 'X')));
  EXPECT_EQ("~%#@", Encode(rep, std::string(5, '\0')));
  EXPECT_EQ("#~#~", Encode(rep, "~~"));  // the repeat prefix itself is quoted
  const TKermitTail hi = Tail(false, true, '&');
  EXPECT_EQ("&#M", Encode(hi, "\x8D"));
  EXPECT_EQ("#&&#&", Encode(hi, "&\xA6"));
  EXPECT_EQ("#?&#?", Encode(hi, "\x7F\xFF"));
  // Without 8th-bit prefixing control characters with bit 7 are quoted as well.
  const TKermitTail plain = Tail(false, false);
  EXPECT_EQ("#\xCD#\xA3&~", Encode(plain, "\x8D\xA3&~"));
  // An encoding that does not fit the room waits for the next packet.
  std::uint8_t out[16];
  std::uint32_t index = 0;
  const std::string in = "ab\x8D";
  EXPECT_EQ(2u, kpEncodeData(plain, Bytes(in), 3, index, out, 3));
  EXPECT_EQ(2u, index);
}

TEST(KermitPackets, EveryByteSurvivesEveryPrefixing) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (int i = 0; i < 256; ++i) all.append(static_cast<std::size_t>(i % 7 + 1), static_cast<char>(255 - i));
  for (bool repeat : {false, true}) {
    for (bool hibit : {false, true}) {
      const TKermitTail T = Tail(repeat, hibit);
      // Cut into packets of a small room, as the sender does.
      std::string decoded;
      std::uint32_t index = 0;
      while (index < all.size()) {
        std::uint8_t out[64], back[2048];
        const std::uint32_t n =
            kpEncodeData(T, Bytes(all), static_cast<std::uint32_t>(all.size()), index, out, 20);
        ASSERT_LE(n, 20u);
        ASSERT_GT(n, 0u);
        for (std::uint32_t i = 0; i < n; ++i)
          ASSERT_TRUE((out[i] & 0x7F) >= 32 && (out[i] & 0x7F) != 127) << i;
        decoded += Str(back, kpDecodeData(T, out, n, back, sizeof back));
      }
      EXPECT_TRUE(decoded == all) << repeat << hibit;
    }
  }
}

// Unprefixed bytes are decoded a run at a time: runs between prefixes, runs longer than a
// packet, a short output that cuts a run, and a prefix at the very end with nothing behind.
TEST(KermitPackets, PlainRunsDecodeAroundPrefixes) {
  const TKermitTail rep = Tail(true, true, '&');
  std::uint8_t back[4096];
  const std::string mixed = "abc#Mdef~%XY&#Mgh&az";
  EXPECT_EQ(std::string("abc\rdefXXXXXY\x8Dgh\xE1z"),
            Str(back, kpDecodeData(rep, Bytes(mixed), 20, back, sizeof back)));
  const std::string longRun(3000, 'q');
  EXPECT_EQ(longRun, Str(back, kpDecodeData(rep, Bytes(longRun), 3000, back, sizeof back)));
  // The output holds what fits, the rest of the run is dropped.
  EXPECT_EQ("abcde", Str(back, kpDecodeData(rep, Bytes(std::string("abcdefgh")), 8, back, 5)));
  EXPECT_EQ("ab\r", Str(back, kpDecodeData(rep, Bytes(std::string("ab#Mcdef")), 8, back, 3)));
  EXPECT_EQ("xy", Str(back, kpDecodeData(rep, Bytes(std::string("xy#")), 3, back, sizeof back)));
  EXPECT_EQ("xy", Str(back, kpDecodeData(rep, Bytes(std::string("xy~")), 3, back, sizeof back)));
  // Prefix characters that are not in use are plain bytes.
  const TKermitTail none = Tail(false, false);
  EXPECT_EQ("a~&b\r", Str(back, kpDecodeData(none, Bytes(std::string("a~&b#M")), 6, back, sizeof back)));
}

TEST(KermitPackets, SettersCheckTheirRangeAndProtocol) {
  TProtocolData* P = nullptr;
  ASSERT_EQ(0, kpInit(P, nullptr, 0));
  EXPECT_EQ(ecBadArgument, kpSetMaxWindows(*P, 28));
  EXPECT_EQ(ecBadArgument, kpSetMaxLongPacketLen(*P, 1025));
  EXPECT_EQ(ecBadArgument, kpSetMaxPacketLen(*P, 95));
  EXPECT_EQ(0, kpSetMaxLongPacketLen(*P, 1024));
  EXPECT_EQ(1024u, P->BlockLength);
  EXPECT_EQ(bcmChecksum2, P->CheckType);  // long packets take the two-character checksum
  EXPECT_TRUE(P->Options & apKermitLongPackets);
  EXPECT_EQ(0, kpSetMaxWindows(*P, 27));
  EXPECT_EQ(27u, kpGetSWCSize(*P));
  EXPECT_EQ(ecBadArgument, kpSetKermitCheck(*P, bcmCrc32));
  EXPECT_EQ(bcmChecksum, P->CheckType);
  EXPECT_EQ(0, kpSetKermitCheck(*P, bcmCrcK));
  EXPECT_EQ(bcmCrcK, P->CheckType);
  EXPECT_EQ(0, kpSetMaxLongPacketLen(*P, 0));
  EXPECT_FALSE(P->Options & apKermitLongPackets);
  kpDone(P);
  // Another protocol's record.
  ASSERT_EQ(0, xpInit(P, nullptr, true, false, false, 0));
  EXPECT_EQ(ecBadProtocolFunction, kpSetMaxWindows(*P, 4));
  EXPECT_EQ(ecBadProtocolFunction, kpSetTerminator(*P, 13));
  EXPECT_EQ(0u, kpGetSWCSize(*P));
  xpDone(P);
}

// ---------------------------------------------------------------------------------------
// A scripted sender on the far end of a pty
// ---------------------------------------------------------------------------------------
struct Packet {
  char type = 0;
  int seq = -1;
  std::string data;
};

class Script {
 public:
  explicit Script(const support::PtyPair& pty) : pty_(pty) {}
  char check = '1';
  // Puts a packet on the line; `dataLen` > data.size() fakes a longer LENX than sent.
  void Send(char type, int seq, const std::string& data) {
    TKermitTail T{};
    std::uint8_t out[4096];
    const char c = type == 'S' ? '1' : check;
    const std::uint32_t n = kpBuildPacket(T, type, static_cast<std::uint8_t>(seq), Bytes(data),
                                          static_cast<std::uint32_t>(data.size()), c, out);
    pty_.Write(Str(out, n));
  }
  // The next packet from our side (short packets only), or type 0 after the time.
  Packet Read(int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      std::size_t soh = buf_.find('\x01');
      if (soh != std::string::npos && buf_.size() > soh + 1) {
        const std::size_t len = static_cast<unsigned char>(buf_[soh + 1]) - 32;
        if (buf_.size() >= soh + 2 + len) {
          Packet p;
          p.seq = static_cast<unsigned char>(buf_[soh + 2]) - 32;
          p.type = buf_[soh + 3];
          const std::size_t cl = (p.type == 'Y' && p.seq == 0) || check == '1' ? 1 : check == '2' ? 2 : 3;
          p.data = buf_.substr(soh + 4, len - 2 - cl);
          buf_.erase(0, soh + 2 + len);
          return p;
        }
      }
      const int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
              .count());
      if (left <= 0) return {};
      // The engine's notices are answered on this thread meanwhile.
      const int fd = pty_.master();
      PumpUntil(
          [fd] {
            pollfd p{fd, POLLIN, 0};
            return ::poll(&p, 1, 0) > 0;
          },
          static_cast<DWORD>(std::min(left, 50)));
      buf_ += pty_.Read(1, 0);
    }
  }
  // Packets until one of the given type, all of them.
  std::vector<Packet> ReadUntil(char type, int ms = 5000) {
    std::vector<Packet> got;
    for (;;) {
      Packet p = Read(ms);
      if (!p.type) return got;
      got.push_back(p);
      if (p.type == type) return got;
    }
  }

 private:
  const support::PtyPair& pty_;
  std::string buf_;
};

// Send-Init fields: MAXL 94, TIME 1, no padding, CR, "#", QBIN, CHKT, "~", capabilities,
// windows, long length.
std::string InitFields(char qbin, char check, int caps = 0, int windows = 0, int longLen = 0) {
  std::string s = {static_cast<char>(32 + 94),
                   static_cast<char>(32 + 1),
                   ' ',
                   '@',
                   static_cast<char>(32 + 13),
                   '#',
                   qbin,
                   check,
                   '~',
                   static_cast<char>(32 + caps),
                   static_cast<char>(32 + windows),
                   static_cast<char>(32 + longLen / 95),
                   static_cast<char>(32 + longLen % 95)};
  return s;
}

class KermitScript : public ::testing::Test {
 protected:
  support::PtyPair pty;
  support::TempDir dir{"kermit_script"};
  Driver drv{130, pty.path()};
  Script peer{pty};

  void SetUp() override {
    drv.P->UpcaseFileNames = false;
    // The script answers within the wait however busy the machine is; only a test of silence
    // makes it short.
    drv.Quick(182, 1);
    apSetDestinationDirectory(*drv.P, dir.str().c_str());
  }
  // Starts our receiver and does the Send-Init exchange; gives our answer.
  Packet Start(const std::string& init) {
    drv.StartReceive();
    peer.Send('S', 0, init);
    Packet ack = peer.Read();
    EXPECT_EQ('Y', ack.type);
    EXPECT_EQ(0, ack.seq);
    return ack;
  }
  bool Finish() { return drv.WaitFinish(15000); }
};

TEST_F(KermitScript, EighthBitPrefixIsAgreedOrDeclined) {
  Packet ack = Start(InitFields('Y', '1'));
  ASSERT_GE(ack.data.size(), 13u);
  EXPECT_EQ('Y', ack.data[6]);  // both only willing: no prefixing
  EXPECT_FALSE(xfer::Locked(*drv.P, [](TProtocolData& p) { return kpTail(p)->UsingHibit; }));
  EXPECT_TRUE(xfer::Locked(*drv.P, [](TProtocolData& p) { return kpTail(p)->UsingRepeat; }));
  peer.Send('S', 0, InitFields('&', '3'));  // the sender asks for "&" (a resent Send-Init)
  ack = peer.Read();
  EXPECT_EQ('Y', ack.data[6]);
  EXPECT_EQ('3', ack.data[7]);  // and our answer names the check that will be used
  EXPECT_TRUE(xfer::Locked(*drv.P, [](TProtocolData& p) { return kpTail(p)->UsingHibit; }));
  EXPECT_EQ(bcmCrcK, xfer::Locked(*drv.P, [](TProtocolData& p) { return p.CheckType; }));
  peer.check = '3';
  peer.Send('B', 1, "");
  EXPECT_EQ('Y', peer.Read().type);
  ASSERT_TRUE(Finish());
  EXPECT_EQ(0, drv.finishCode);
}

// The receive window never passes a slot whose packet has not come: a packet beyond the
// window is left for later and the missing one asked for again.
TEST_F(KermitScript, WindowWaitsForAMissingPacket) {
  drv.Long(0, 4);
  Start(InitFields('Y', '1', kpCapSlidingWindows, 4));
  peer.Send('F', 1, "w.bin");
  EXPECT_EQ('Y', peer.Read().type);
  peer.Send('D', 3, "three|");  // 2 is missing
  std::vector<Packet> r = {peer.Read(), peer.Read()};
  EXPECT_EQ('N', r[0].type);
  EXPECT_EQ(2, r[0].seq);
  EXPECT_EQ('Y', r[1].type);
  EXPECT_EQ(3, r[1].seq);
  peer.Send('D', 4, "four|");
  peer.Send('D', 5, "five|");
  EXPECT_EQ(4, peer.Read().seq);
  EXPECT_EQ(5, peer.Read().seq);
  peer.Send('D', 6, "six|");  // would pass slot 2: not taken, 2 asked for again
  Packet p = peer.Read();
  EXPECT_EQ('N', p.type);
  EXPECT_EQ(2, p.seq);
  peer.Send('D', 2, "two|");
  p = peer.Read();
  EXPECT_EQ('Y', p.type);
  EXPECT_EQ(2, p.seq);
  peer.Send('D', 6, "six|");
  EXPECT_EQ(6, peer.Read().seq);
  peer.Send('D', 4, "FOUR|");  // a resent packet already written is acknowledged only
  EXPECT_EQ(4, peer.Read().seq);
  peer.Send('Z', 7, "");
  EXPECT_EQ('Y', peer.Read().type);
  peer.Send('B', 8, "");
  EXPECT_EQ('Y', peer.Read().type);
  ASSERT_TRUE(Finish());
  EXPECT_EQ(0, drv.finishCode);
  EXPECT_EQ("two|three|four|five|six|", dir.Read("w.bin"));
}

// An end of file while a window slot still waits fails the file instead of leaving a hole.
TEST_F(KermitScript, EndOfFileWithAHoleFails) {
  drv.Long(0, 4);
  Start(InitFields('Y', '1', kpCapSlidingWindows, 4));
  peer.Send('F', 1, "hole.bin");
  EXPECT_EQ('Y', peer.Read().type);
  peer.Send('D', 3, "three");
  peer.ReadUntil('Y');
  peer.Send('Z', 4, "");
  ASSERT_TRUE(Finish());
  EXPECT_EQ(ecTableFull, drv.finishCode);
  EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveFail}), drv.logCodes);
}

// A data field longer than a slot is a bad packet: it is asked for again, nothing of it stored.
TEST_F(KermitScript, PacketLongerThanASlotIsRefused) {
  drv.Long(1024, 0);
  Start(InitFields('Y', '1', kpCapLongPackets, 0, 1024));
  peer.Send('F', 1, "big.bin");
  EXPECT_EQ('Y', peer.Read().type);
  peer.Send('D', 2, std::string(1100, 'x'));
  Packet p = peer.Read();
  EXPECT_EQ('N', p.type);
  EXPECT_EQ(2, p.seq);
  peer.Send('D', 2, std::string(1000, 'y'));
  EXPECT_EQ('Y', peer.Read().type);
  peer.Send('Z', 3, "");
  peer.Read();
  peer.Send('B', 4, "");
  peer.Read();
  ASSERT_TRUE(Finish());
  EXPECT_EQ(0, drv.finishCode);
  EXPECT_EQ(std::string(1000, 'y'), dir.Read("big.bin"));
}

// With directories kept, only relative ones without ".." stay, under the destination.
TEST_F(KermitScript, KeptDirectoriesStayUnderTheDestination) {
  apOptionsOn(*drv.P, apHonorDirectory);
  fs::create_directories(dir.path() / "sub");
  Start(InitFields('Y', '1'));
  int seq = 1;
  for (const std::string name : {"sub/ok.txt", "../escape.txt", "sub/../../up.txt", "/tmp/abs.txt"}) {
    peer.Send('F', seq, name);
    EXPECT_EQ('Y', peer.Read().type) << name;
    peer.Send('D', seq + 1, name);
    peer.Read();
    peer.Send('Z', seq + 2, "");
    peer.Read();
    seq += 3;
  }
  peer.Send('B', seq, "");
  peer.Read();
  ASSERT_TRUE(Finish());
  EXPECT_EQ("sub/ok.txt", dir.Read("sub/ok.txt"));
  EXPECT_EQ("../escape.txt", dir.Read("escape.txt"));
  EXPECT_EQ("sub/../../up.txt", dir.Read("up.txt"));
  EXPECT_EQ("/tmp/abs.txt", dir.Read("abs.txt"));
  EXPECT_FALSE(fs::exists(dir.path().parent_path() / "escape.txt"));
}

// A file that may not be written is never touched: the sender gets an error packet, and the
// file is logged as skipped (never as failed, which would have it deleted).
TEST_F(KermitScript, ExistingFilesThatMayNotBeWrittenStayUntouched) {
  const std::string kept = dir.Write("kept.txt", "the user's own file");
  apSetOverwriteOption(*drv.P, wfWriteFail);
  Start(InitFields('Y', '1'));
  peer.Send('F', 1, "kept.txt");
  Packet p = peer.Read();
  EXPECT_EQ('E', p.type);
  EXPECT_EQ("Error opening or writing file", p.data);
  ASSERT_TRUE(Finish());
  EXPECT_EQ(ecCantWriteFile, drv.finishCode);
  EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveSkip}), drv.logCodes);
  EXPECT_EQ("the user's own file", dir.Read("kept.txt"));
}

TEST_F(KermitScript, WriteProtectedFileStaysUntouched) {
  const std::string kept = dir.Write("ro.txt", "protected");
  ::chmod(kept.c_str(), 0444);
  apSetOverwriteOption(*drv.P, wfWriteAnyway);
  Start(InitFields('Y', '1'));
  peer.Send('F', 1, "ro.txt");
  EXPECT_EQ('E', peer.Read().type);
  ASSERT_TRUE(Finish());
  EXPECT_EQ(ecCantWriteFile, drv.finishCode);
  // A file that cannot be made has failed, not been skipped (a failure with -6012 deletes
  // nothing).
  EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveFail}), drv.logCodes);
  EXPECT_EQ("protected", dir.Read("ro.txt"));
}

// A sender that goes silent after a complete file: the run fails, the complete file stays
// logged as received and is not reported as failed.
TEST_F(KermitScript, SilenceAfterACompleteFileFailsOnlyTheRun) {
  drv.Quick(9, 1);
  apSetHandshakeWait(*drv.P, 0, 3);
  Start(InitFields('Y', '1'));
  peer.Send('F', 1, "done.txt");
  peer.Read();
  peer.Send('D', 2, "complete");
  peer.Read();
  peer.Send('Z', 3, "");
  peer.Read();
  ASSERT_TRUE(Finish());
  EXPECT_NE(0, drv.finishCode);
  EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveOk}), drv.logCodes);
  EXPECT_EQ("complete", dir.Read("done.txt"));
}

// The sender gives a file up ("Z" with "D"): what came of it is deleted, the batch goes on.
TEST_F(KermitScript, DiscardedFileIsDeletedAndTheBatchGoesOn) {
  Start(InitFields('Y', '1'));
  peer.Send('F', 1, "gone.txt");
  peer.Read();
  peer.Send('D', 2, "half");
  peer.Read();
  peer.Send('Z', 3, "D");
  EXPECT_EQ('Y', peer.Read().type);
  peer.Send('F', 4, "next.txt");
  peer.Read();
  peer.Send('D', 5, "next");
  peer.Read();
  peer.Send('Z', 6, "");
  peer.Read();
  peer.Send('B', 7, "");
  peer.Read();
  ASSERT_TRUE(Finish());
  EXPECT_EQ(0, drv.finishCode);
  EXPECT_FALSE(fs::exists(dir.path() / "gone.txt"));
  EXPECT_EQ("next", dir.Read("next.txt"));
  EXPECT_EQ((std::vector<unsigned>{lfReceiveStart, lfReceiveSkip, lfReceiveStart, lfReceiveOk}),
            drv.logCodes);
}

}  // namespace
