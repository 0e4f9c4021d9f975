// Protocol base routines without a line: check values, numbers, the file hooks, file lists
// and masks, and the YModem header blocks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "serial/Sioexcept.h"
#include "tests/support/TempDir.h"
#include "transfer/Swabspcl.h"
#include "transfer/Swxmodem.h"
#include "transfer/Swymodem.h"

namespace fs = std::filesystem;

namespace {

using support::ReadFile;
using support::WriteFile;

class ProtocolBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, ypInit(P, nullptr, true, false, 0));
    P->NotifyWindow = 0;
  }
  void TearDown() override { ypDone(P); }
  support::TempDir tmp_{"xfer_base_"};
  const std::filesystem::path& dir = tmp_.path();
  TProtocolData* P = nullptr;
};

TEST(CheckValues, KnownVectors) {
  std::uint32_t crc32 = 0xFFFFFFFFu;
  for (char c : std::string("abc")) crc32 = apUpdateCrc32(static_cast<std::uint8_t>(c), crc32);
  EXPECT_EQ(0x352441C2u, ~crc32);

  // The augmented CRC-16 with two zero bytes behind the data is CRC-16/XMODEM.
  std::uint32_t crc = 0;
  for (char c : std::string("123456789")) crc = apUpdateCrc(static_cast<std::uint8_t>(c), crc);
  crc = apUpdateCrc(0, apUpdateCrc(0, crc));
  EXPECT_EQ(0x31C3u, crc);

  std::uint32_t k = 0;
  for (char c : std::string("123456789")) k = apUpdateCrcKermit(static_cast<std::uint8_t>(c), k);
  EXPECT_EQ(0x2189u, k);

  EXPECT_EQ(0x1FFu, apUpdateChecksum(0xFF, 0x100));
}

// The Kermit CRC goes a byte at a time through a table; it must give what the shift-by-bit
// form gives for every byte and every running value, and the block form the same again.
TEST(Numbers, KermitCrcTableMatchesBitwise) {
  auto bitwise = [](std::uint8_t c, std::uint32_t crc) {
    for (int i = 0; i < 8; ++i) {
      const bool bit = ((c ^ crc) & 1) != 0;
      crc >>= 1;
      if (bit) crc ^= 0x8408;
      c >>= 1;
    }
    return crc;
  };
  int wrong = 0;
  for (std::uint32_t crc = 0; crc < 0x10000; crc += 7)
    for (std::uint32_t c = 0; c < 256; ++c)
      if (apUpdateCrcKermit(static_cast<std::uint8_t>(c), crc) != bitwise(static_cast<std::uint8_t>(c), crc))
        ++wrong;
  // Running values wider than sixteen bits shift down the same way.
  for (std::uint32_t crc : {0x10000u, 0x12345678u, 0xFFFFFFFFu})
    for (std::uint32_t c = 0; c < 256; ++c)
      if (apUpdateCrcKermit(static_cast<std::uint8_t>(c), crc) != bitwise(static_cast<std::uint8_t>(c), crc))
        ++wrong;
  EXPECT_EQ(0, wrong);

  std::vector<std::uint8_t> data(3000);
  std::uint32_t seed = 1;
  for (auto& b : data) b = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  for (std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{9}, std::size_t{1024}, data.size()}) {
    std::uint32_t one = 0x1D0F;
    for (std::size_t i = 0; i < len; ++i) one = bitwise(data[i], one);
    EXPECT_EQ(one, apUpdateCrcKermitBlock(data.data(), data.data() + len, 0x1D0F)) << len;
  }
  const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(0x2189u, apUpdateCrcKermitBlock(digits, digits + 9, 0));
}

TEST(Numbers, OctalAndTrim) {
  EXPECT_EQ("000000000010", apOctalStr(8));
  EXPECT_EQ("37777777777", apOctalStr(0xFFFFFFFFu).substr(1));
  EXPECT_EQ(15u, apOctalStr2Long("  0017 "));
  EXPECT_EQ(0u, apOctalStr2Long("19"));
  EXPECT_EQ(0u, apOctalStr2Long("123456701234"));  // 12 digits: too long
  EXPECT_EQ("0", apTrimZeros("000"));
  EXPECT_EQ("", apTrimZeros(""));
}

TEST(Numbers, TimeStampsRoundTrip) {
  // 2 February 2020 10:20:30, packed as a DOS date.
  const std::uint32_t packed = (40u << 25) | (2u << 21) | (2u << 16) | (10u << 11) | (20u << 5) | 15u;
  const std::uint32_t stamp = apPackToYMTimeStamp(packed);
  EXPECT_EQ(1580638830u, stamp);
  EXPECT_EQ(packed, apYMTimeStampToPack(stamp));
  EXPECT_EQ(0u, apPackToYMTimeStamp(0));                                       // no valid date
  EXPECT_EQ(0u, apYMTimeStampToPack(0));                                       // 1970 has no packed form
  EXPECT_EQ(0u, apPackToYMTimeStamp((40u << 25) | (2u << 21) | (30u << 16)));  // 30 February
}

TEST(Status, MessagesOfTheStatusRange) {
  char buf[81];
  EXPECT_STREQ("", apStatusMsg(buf, 4699));
  EXPECT_STREQ("", apStatusMsg(buf, 4724));
  EXPECT_STREQ("OK", apStatusMsg(buf, 4700));
  EXPECT_STREQ("Block was out of sequence", apStatusMsg(buf, 4716));
}

TEST_F(ProtocolBaseTest, ReadHookEndsExactlyAndPadsTheShortBlock) {
  const fs::path f = dir / "r.bin";
  WriteFile(f, std::string(256, 'a'));
  std::strcpy(P->PathName, f.c_str());
  P->PrepareReading(*P);
  ASSERT_EQ(0, P->ProtocolError);
  EXPECT_EQ(256, P->FileLength);
  std::uint8_t block[1024];
  std::uint32_t size = 128;
  EXPECT_FALSE(P->ReadBlock(*P, block, size));
  P->FileOffset = 128;
  size = 128;
  EXPECT_TRUE(P->ReadBlock(*P, block, size));  // the last full block says so
  EXPECT_EQ(128u, size);
  P->FileOffset = 256;
  size = 128;
  EXPECT_TRUE(P->ReadBlock(*P, block, size));
  EXPECT_EQ(0u, size);
  P->FinishReading(*P);

  WriteFile(f, std::string(130, 'b'));
  P->PrepareReading(*P);
  P->FileOffset = 128;
  size = 128;
  EXPECT_TRUE(P->ReadBlock(*P, block, size));
  EXPECT_EQ(2u, size);
  EXPECT_EQ('b', block[1]);
  EXPECT_EQ(0x1A, block[2]);
  EXPECT_EQ(0x1A, block[127]);
  P->FinishReading(*P);
}

TEST_F(ProtocolBaseTest, StepBackIsServedFromTheBuffer) {
  const fs::path f = dir / "s.bin";
  std::string data;
  for (int i = 0; i < 20000; ++i) data += static_cast<char>(i * 7);
  WriteFile(f, data);
  std::strcpy(P->PathName, f.c_str());
  P->PrepareReading(*P);
  std::uint8_t block[1024];
  std::uint32_t size = 1024;
  P->FileOffset = 0;
  P->ReadBlock(*P, block, size);
  P->FileOffset = 1024;
  size = 1024;
  P->ReadBlock(*P, block, size);
  // The file changes under the engine; a resend of the first block still gives its bytes.
  WriteFile(f, std::string(20000, 'z'));
  P->FileOffset = 0;
  size = 1024;
  EXPECT_FALSE(P->ReadBlock(*P, block, size));
  EXPECT_EQ(data.substr(0, 1024), std::string(reinterpret_cast<char*>(block), 1024));
  P->FinishReading(*P);
}

// The last piece of a file that ends just inside the buffer window: a refill must not take
// the padding behind the end for data.
TEST_F(ProtocolBaseTest, RefillNearTheEndKeepsTheRealEnd) {
  const fs::path f = dir / "e.bin";
  WriteFile(f, std::string(8192 - 10, 'q'));
  std::strcpy(P->PathName, f.c_str());
  P->PrepareReading(*P);
  std::uint8_t block[1024];
  std::uint32_t size = 128;
  P->FileOffset = 0;
  P->ReadBlock(*P, block, size);
  P->FileOffset = 8192 - 15;
  size = 1024;
  EXPECT_TRUE(P->ReadBlock(*P, block, size));
  EXPECT_EQ(5u, size);
  P->FinishReading(*P);
}

TEST_F(ProtocolBaseTest, WriteHookRenamesOrRefusesAnExistingFile) {
  const fs::path f = dir / "have.txt";
  WriteFile(f, "old");
  std::strcpy(P->PathName, f.c_str());
  P->WriteFailAction = wfWriteRename;
  P->PrepareWriting(*P);
  ASSERT_TRUE(P->FileOpen);
  EXPECT_EQ((dir / "$ave.txt").string(), P->PathName);
  const std::uint8_t data[] = {'n', 'e', 'w'};
  P->FileOffset = 0;
  EXPECT_FALSE(P->WriteBlock(*P, data, 3));
  P->FinishWriting(*P);
  EXPECT_EQ("old", ReadFile(f));
  EXPECT_EQ("new", ReadFile(dir / "$ave.txt"));

  std::strcpy(P->PathName, f.c_str());
  P->WriteFailAction = wfWriteFail;
  P->PrepareWriting(*P);
  EXPECT_FALSE(P->FileOpen);
  EXPECT_EQ(psCantWriteFile, P->ProtocolStatus);
  EXPECT_EQ("old", ReadFile(f));

  // A write without an open file fails and says so.
  P->FileOffset = 0;
  EXPECT_TRUE(P->WriteBlock(*P, data, 3));
  EXPECT_EQ(-103, P->ProtocolError);
}

// The "$" takes the place of the name's first character, however many bytes it has, and a
// renamed file stays in its folder. When no name is free, PathName names the file that was
// asked for, not somebody else's "$" file.
TEST_F(ProtocolBaseTest, RenamedFileReplacesTheFirstCharacter) {
  P->WriteFailAction = wfWriteRename;
  auto receive = [&](const fs::path& f) {
    std::strcpy(P->PathName, f.c_str());
    P->PrepareWriting(*P);
    const bool open = P->FileOpen;
    if (open) P->FinishWriting(*P);
    return open;
  };
  WriteFile(dir / "\xC3\x84rger.txt", "old");
  ASSERT_TRUE(receive(dir / "\xC3\x84rger.txt"));
  EXPECT_EQ((dir / "$rger.txt").string(), P->PathName);
  ASSERT_TRUE(receive(dir / "\xC3\x84rger.txt"));
  EXPECT_EQ((dir / "$1rger.txt").string(), P->PathName);
  // A name of one character at the path limit has room for "$" alone.
  const fs::path deep = dir / std::string(apMaxPath - 4 - dir.string().size(), 'd');
  fs::create_directory(deep);
  WriteFile(deep / "a", "old");
  ASSERT_TRUE(receive(deep / "a"));
  EXPECT_EQ((deep / "$").string(), P->PathName);
  EXPECT_FALSE(receive(deep / "a"));
  EXPECT_EQ(ecFileAccessDenied, P->ProtocolError);
  EXPECT_EQ((deep / "a").string(), P->PathName);
  EXPECT_EQ(2, std::distance(fs::directory_iterator(deep), fs::directory_iterator()));
  EXPECT_EQ("old", ReadFile(deep / "a"));
}

TEST_F(ProtocolBaseTest, WriteHookWritesBlocksAcrossTheBufferAndResends) {
  const fs::path f = dir / "w.bin";
  std::strcpy(P->PathName, f.c_str());
  P->WriteFailAction = wfWriteAnyway;
  P->PrepareWriting(*P);
  ASSERT_TRUE(P->FileOpen);
  std::string expect;
  std::uint8_t block[1024];
  for (int n = 0; n < 20; ++n) {
    std::memset(block, 'A' + n, sizeof block);
    P->FileOffset = n * 1024;
    ASSERT_FALSE(P->WriteBlock(*P, block, 1024));
    if (n == 12) {  // the same block again (a step back to it)
      std::memset(block, 'a' + n, sizeof block);
      P->FileOffset = n * 1024;
      ASSERT_FALSE(P->WriteBlock(*P, block, 1024));
    }
    expect += std::string(1024, static_cast<char>(n == 12 ? 'a' + n : 'A' + n));
  }
  P->FileOffset = 20 * 1024;
  P->FinishWriting(*P);
  EXPECT_EQ(expect, ReadFile(f));
  EXPECT_EQ(20 * 1024, P->FileLength);
}

TEST_F(ProtocolBaseTest, FileListAndMask) {
  std::uint8_t* list = nullptr;
  ASSERT_EQ(0, apMakeFileList(*P, list, 40));
  EXPECT_EQ(0, apAddFileToList(*P, list, "one.txt"));
  EXPECT_EQ(0, apAddFileToList(*P, list, "two.txt"));
  EXPECT_EQ(ecOutOfMemory, apAddFileToList(*P, list, "a-name-that-does-not-fit-any-more.txt"));
  apSetFileList(*P, list);
  char name[apMaxPath];
  EXPECT_TRUE(apNextFileList(*P, name));
  EXPECT_STREQ("one.txt", name);
  EXPECT_TRUE(apNextFileList(*P, name));
  EXPECT_STREQ("two.txt", name);
  EXPECT_FALSE(apNextFileList(*P, name));
  apDisposeFileList(*P, list, 40);

  apSetFileMask(*P, (dir / "nowhere" / "*.*").c_str());
  P->FirstSearch = true;
  EXPECT_FALSE(apNextFileMask(*P, name));
  EXPECT_EQ(ecDirNotFound, P->ProtocolError);

  WriteFile(dir / "b.dat", "b");
  WriteFile(dir / "a.dat", "a");
  WriteFile(dir / "c.txt", "c");
  fs::create_directories(dir / "sub.dat");
  apSetFileMask(*P, (dir / "*.zip").c_str());
  P->FirstSearch = true;
  P->ProtocolError = 0;
  EXPECT_FALSE(apNextFileMask(*P, name));
  EXPECT_EQ(ecNoMatchingFiles, P->ProtocolError);

  apSetFileMask(*P, (dir / "*.dat").c_str());
  P->FirstSearch = true;
  P->ProtocolError = 0;
  ASSERT_TRUE(apNextFileMask(*P, name));
  EXPECT_EQ((dir / "a.dat").string(), name);
  ASSERT_TRUE(apNextFileMask(*P, name));
  EXPECT_EQ((dir / "b.dat").string(), name);
  EXPECT_FALSE(apNextFileMask(*P, name));  // directories never match
  EXPECT_EQ(0, P->ProtocolError);
}

TEST_F(ProtocolBaseTest, ReceiveNameAndOptions) {
  apSetDestinationDirectory(*P, "/tmp/in");
  apSetReceiveFilename(*P, "file.txt");
  EXPECT_STREQ("/tmp/in/file.txt", P->PathName);
  apSetReceiveFilename(*P, "/abs/x.txt");
  EXPECT_STREQ("/abs/x.txt", P->PathName);

  P->Options = 0;
  apOptionsOn(*P, apHonorDirectory | apZmodem8K);
  EXPECT_EQ(apHonorDirectory, P->Options);
  EXPECT_TRUE(apOptionsAreOn(*P, apHonorDirectory));
  apOptionsOff(*P, apHonorDirectory);
  EXPECT_EQ(0u, P->Options);

  // Names from a sender: with directories kept only relative ones without ".." stay (made
  // under the destination); everything else is reduced to its name.
  apSetDestinationDirectory(*P, dir.c_str());
  const std::string d = dir.string() + "/";
  for (bool honor : {false, true}) {
    if (honor) apOptionsOn(*P, apHonorDirectory);
    apSetReceivePath(*P, "sub\\deep/ok.txt");
    EXPECT_EQ(d + (honor ? "sub/deep/ok.txt" : "ok.txt"), P->PathName);
    EXPECT_EQ(honor, fs::is_directory(dir / "sub" / "deep"));
    for (const char* bad : {"../up.txt", "sub/../../up.txt", "/etc/up.txt", "\\up.txt", "c:\\x\\up.txt"}) {
      apSetReceivePath(*P, bad);
      EXPECT_EQ(d + "up.txt", P->PathName) << bad;
    }
  }
  EXPECT_FALSE(fs::exists(dir.parent_path() / "up.txt"));
  apOptionsOff(*P, apHonorDirectory);

  // At the path limit the name part is shortened, its extension kept while a character of
  // the stem stays, never inside a character; when nothing of it fits it is refused, and no
  // file is made of it.
  const std::string deep = d + std::string(apMaxPath - 9 - d.size(), 'd') + "/";
  const struct {
    const char* sent;
    const char* kept;
  } fits[] = {{"report.txt", "rep.txt"}, {"\xC3\xA4\xC3\xB6\xC3\xBC.txt", "\xC3\xA4.txt"},
              {"longname", "longnam"}, {"a.verylongext", "a.veryl"}};
  apSetDestinationDirectory(*P, deep.c_str());
  for (const auto& c : fits) {
    apSetReceivePath(*P, c.sent);
    EXPECT_EQ(deep + c.kept, P->PathName) << c.sent;
    EXPECT_FALSE(P->PathRefused);
  }
  fs::create_directory(deep);
  apSetDestinationDirectory(*P, (deep + std::string(6, 'e')).c_str());
  for (const char* name : {"x.txt", "..", ""}) {
    apSetReceivePath(*P, name);
    EXPECT_TRUE(P->PathRefused) << name;
    P->WriteFailAction = wfWriteRename;
    P->PrepareWriting(*P);
    EXPECT_EQ(ecPathNotFound, P->ProtocolError) << name;
    EXPECT_FALSE(P->FileOpen);
  }
  EXPECT_TRUE(fs::is_empty(deep));
  apSetDestinationDirectory(*P, dir.c_str());
  apSetReceiveFilename(*P, "fine.txt");
  EXPECT_FALSE(P->PathRefused);
  EXPECT_EQ(d + "fine.txt", P->PathName);

  P->ActualCPS = 1000;
  P->BlockLength = 1024;
  P->Overhead = 0;
  P->TurnDelay = 0;
  EXPECT_EQ(10, apEstimateTransferSecs(*P, 10000));
  EXPECT_EQ(0, apEstimateTransferSecs(*P, 0));
}

TEST_F(ProtocolBaseTest, HeaderBlockSizeNameAndDate) {
  std::strcpy(P->SavedPathName, "/data/Dir/Short.BIN");
  P->SavedFileLength = 1000;
  P->FileDate = (40u << 25) | (2u << 21) | (2u << 16) | (10u << 11) | (20u << 5) | 15u;
  EXPECT_EQ(128u, ypBuildHeader(*P));
  const std::string expect = std::string("short.bin") + '\0' + "1000 " + apOctalStr(1580638830u);
  EXPECT_EQ(expect, std::string(reinterpret_cast<char*>(P->HeaderBlock), expect.size()));
  EXPECT_EQ(0, P->HeaderBlock[expect.size()]);

  apOptionsOn(*P, apIncludeDirectory);
  ypBuildHeader(*P);
  EXPECT_STREQ("/data/dir/short.bin", reinterpret_cast<char*>(P->HeaderBlock));
  apOptionsOff(*P, apIncludeDirectory);

  std::string longName = "/x/" + std::string(200, 'n');
  std::strcpy(P->SavedPathName, longName.c_str());
  EXPECT_EQ(1024u, ypBuildHeader(*P));

  // A name that fills the 128 bytes with its NUL but leaves no room for the length.
  std::strcpy(P->SavedPathName, std::string(126, 'm').c_str());
  P->FileDate = 0;
  P->SavedFileLength = 12;
  EXPECT_EQ(1024u, ypBuildHeader(*P));
}

TEST_F(ProtocolBaseTest, HeaderIsReadSafely) {
  apSetDestinationDirectory(*P, dir.c_str());
  auto header = [](const std::string& text) {
    std::string b = text;
    b.resize(128, '\0');
    return b;
  };
  std::string h = header(std::string("sub/dir/file.txt") + '\0' + "1000 " + "17");
  ASSERT_TRUE(ypReadHeader(*P, reinterpret_cast<const std::uint8_t*>(h.data()), 128));
  EXPECT_EQ((dir / "FILE.TXT").string(), P->PathName);
  EXPECT_EQ(1000, P->FileLength);
  EXPECT_EQ(15u, P->HeaderDate);

  // No length, a date that is no octal number.
  P->ProtocolStatus = psOK;
  h = header(std::string("a") + '\0' + "" + '\0');
  ASSERT_TRUE(ypReadHeader(*P, reinterpret_cast<const std::uint8_t*>(h.data()), 128));
  EXPECT_EQ(0, P->FileLength);
  h = header(std::string("a") + '\0' + "5 9999");
  ASSERT_TRUE(ypReadHeader(*P, reinterpret_cast<const std::uint8_t*>(h.data()), 128));
  EXPECT_EQ(psInvalidDate, P->ProtocolStatus);
  EXPECT_EQ(0u, P->HeaderDate);

  // With the directory kept, a name from the peer never leaves the destination: relative
  // directories stay (and are made), anything absolute or with ".." keeps only its name.
  apOptionsOn(*P, apHonorDirectory);
  P->UpcaseFileNames = false;
  h = header(std::string("/etc/../../x/y") + '\0' + "1");
  ASSERT_TRUE(ypReadHeader(*P, reinterpret_cast<const std::uint8_t*>(h.data()), 128));
  EXPECT_EQ((dir / "y").string(), P->PathName);
  h = header(std::string("/etc/passwd") + '\0' + "1");
  ASSERT_TRUE(ypReadHeader(*P, reinterpret_cast<const std::uint8_t*>(h.data()), 128));
  EXPECT_EQ((dir / "passwd").string(), P->PathName);
  h = header(std::string("sub\\deep/f.txt") + '\0' + "1");
  ASSERT_TRUE(ypReadHeader(*P, reinterpret_cast<const std::uint8_t*>(h.data()), 128));
  EXPECT_EQ((dir / "sub" / "deep" / "f.txt").string(), P->PathName);
  EXPECT_TRUE(fs::is_directory(dir / "sub" / "deep"));

  // An empty header ends the batch.
  h = header("");
  EXPECT_FALSE(ypReadHeader(*P, reinterpret_cast<const std::uint8_t*>(h.data()), 128));
}

TEST(XmodemModes, TypesFollowTheModes) {
  TProtocolData* P = nullptr;
  ASSERT_EQ(0, xpInit(P, nullptr, false, false, false, 0));
  EXPECT_EQ(ptXmodem, P->ProtocolType);
  EXPECT_EQ(bcmChecksum, P->CheckType);
  xpSetCRCMode(*P, true);
  EXPECT_EQ(ptXmodemCRC, P->ProtocolType);
  xpSet1KMode(*P, true);
  EXPECT_EQ(ptXmodem1K, P->ProtocolType);
  EXPECT_EQ(1024u, P->BlockLength);
  xpSetGMode(*P, true);
  EXPECT_EQ(ptXmodem1KG, P->ProtocolType);
  EXPECT_EQ(0u, P->EotCheckCount);
  P->ProtocolType = ptZmodem;
  EXPECT_EQ(ecBadProtocolFunction, xpSetBlockWait(*P, 5));
  xpDone(P);
  EXPECT_EQ(nullptr, P);
}

}  // namespace
