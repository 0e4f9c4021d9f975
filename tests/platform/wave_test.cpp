#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>

#include "platform/WavePlayer.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

void Put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Put16(std::vector<std::uint8_t>& b, unsigned v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutId(std::vector<std::uint8_t>& b, const char* id) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(id[i]));
}

struct Spec {
  unsigned tag = 1, channels = 1, rate = 8000, bits = 16;
  int blockAlign = -1;  // -1: the right one
  std::size_t frames = 100;
  bool extensible = false;
  bool listChunk = false;  // an odd-sized chunk between fmt and data
};

std::vector<std::uint8_t> MakeWave(const Spec& s) {
  std::vector<std::uint8_t> b;
  PutId(b, "RIFF");
  Put32(b, 0);
  PutId(b, "WAVE");
  PutId(b, "fmt ");
  Put32(b, s.extensible ? 40 : 16);
  Put16(b, s.extensible ? 0xFFFE : s.tag);
  Put16(b, s.channels);
  Put32(b, s.rate);
  unsigned align = s.blockAlign >= 0 ? static_cast<unsigned>(s.blockAlign) : s.channels * s.bits / 8;
  Put32(b, s.rate * align);
  Put16(b, align);
  Put16(b, s.bits);
  if (s.extensible) {
    Put16(b, 22);
    Put16(b, s.bits);
    Put32(b, 0);
    Put16(b, s.tag);  // sub-format GUID, first two bytes
    b.insert(b.end(), 14, 0);
  }
  if (s.listChunk) {
    PutId(b, "LIST");
    Put32(b, 5);
    b.insert(b.end(), {'I', 'N', 'F', 'O', 'x', 0});  // 5 bytes and a pad byte
  }
  PutId(b, "data");
  std::size_t bytes = s.frames * s.channels * s.bits / 8;
  Put32(b, static_cast<std::uint32_t>(bytes));
  for (std::size_t i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(i * 7));
  std::uint32_t riff = static_cast<std::uint32_t>(b.size() - 8);
  std::memcpy(&b[4], &riff, 4);  // little-endian host
  return b;
}

void ExpectError(const std::vector<std::uint8_t>& bytes, const std::string& part) {
  try {
    ParseWave(bytes);
    ADD_FAILURE() << "accepted; expected an error with '" << part << "'";
  } catch (const EWaveError& e) {
    EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
  }
}

TEST(WaveReader, ReadsPcmFilesOfTheCommonKinds) {
  Spec mono8;
  mono8.bits = 8;
  mono8.frames = 441;
  TWaveData w = ParseWave(MakeWave(mono8));
  EXPECT_EQ(w.Channels, 1u);
  EXPECT_EQ(w.BitsPerSample, 8u);
  EXPECT_EQ(w.SampleRate, 8000u);
  EXPECT_EQ(w.Frames(), 441u);

  Spec stereo16;
  stereo16.channels = 2;
  stereo16.rate = 44100;
  stereo16.frames = 4410;
  stereo16.listChunk = true;
  auto bytes = MakeWave(stereo16);
  bytes.insert(bytes.end(), {'j', 'u', 'n', 'k'});  // after the RIFF form: ignored
  w = ParseWave(bytes);
  EXPECT_EQ(w.Channels, 2u);
  EXPECT_EQ(w.BlockAlign(), 4u);
  EXPECT_EQ(w.Frames(), 4410u);
  EXPECT_DOUBLE_EQ(w.Seconds(), 0.1);
  EXPECT_EQ(w.Samples[1], 7);

  Spec ext;
  ext.extensible = true;
  ext.rate = 22050;
  EXPECT_EQ(ParseWave(MakeWave(ext)).Frames(), 100u);

  Spec empty;
  empty.frames = 0;
  EXPECT_EQ(ParseWave(MakeWave(empty)).Frames(), 0u);
}

TEST(WaveReader, RejectsMalformedAndTruncatedFiles) {
  ExpectError({}, "too few");
  ExpectError({'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V'}, "too few");
  auto good = MakeWave(Spec{});
  auto b = good;
  b[0] = 'X';
  ExpectError(b, "no RIFF header");
  b = good;
  std::memcpy(&b[8], "AVI ", 4);
  ExpectError(b, "'AVI '");
  b = good;
  b.resize(b.size() - 10);
  ExpectError(b, "truncated");
  b = good;  // the data chunk claims more than the form holds
  b[40] = 0xFF;
  b[41] = 0xFF;
  ExpectError(b, "chunk 'data'");
  b = good;
  std::memcpy(&b[12], "junk", 4);
  ExpectError(b, "no fmt chunk");
  b = good;
  std::memcpy(&b[36], "dat_", 4);
  ExpectError(b, "no data chunk");
  b = good;
  b[16] = 8;  // fmt chunk of 8 bytes
  ExpectError(b, "fmt chunk has only 8");

  Spec s;
  s.tag = 3;
  s.bits = 32;
  ExpectError(MakeWave(s), "format 3");
  s = Spec{};
  s.extensible = true;
  s.tag = 3;
  ExpectError(MakeWave(s), "format 3");
  s = Spec{};
  s.channels = 3;
  ExpectError(MakeWave(s), "3 channels");
  s = Spec{};
  s.bits = 24;
  ExpectError(MakeWave(s), "24 bits");
  s = Spec{};
  s.rate = 0;
  ExpectError(MakeWave(s), "sample rate 0");
  s = Spec{};
  s.blockAlign = 3;
  ExpectError(MakeWave(s), "block size 3");
  b = MakeWave(Spec{});  // 201 data bytes: half a frame too many
  b[40] = 201;
  b.push_back(0);
  b.push_back(0);
  std::uint32_t riff = static_cast<std::uint32_t>(b.size() - 8);
  std::memcpy(&b[4], &riff, 4);
  ExpectError(b, "no whole number");
}

// Every prefix and many random damages of good files: either a consistent result or an
// EWaveError, never anything else (the sanitizer build watches the memory accesses).
TEST(WaveReader, SurvivesDamagedInput) {
  Spec s;
  s.channels = 2;
  s.frames = 20;
  s.listChunk = true;
  const auto good = MakeWave(s);
  auto check = [](const std::vector<std::uint8_t>& bytes) {
    try {
      TWaveData w = ParseWave(bytes);
      EXPECT_TRUE(w.Channels == 1 || w.Channels == 2);
      EXPECT_TRUE(w.BitsPerSample == 8 || w.BitsPerSample == 16);
      EXPECT_EQ(w.Samples.size() % w.BlockAlign(), 0u);
      EXPECT_LE(w.Samples.size(), bytes.size());
    } catch (const EWaveError&) {
    }
  };
  for (std::size_t n = 0; n < good.size(); ++n) {
    std::vector<std::uint8_t> prefix(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_THROW(ParseWave(prefix), EWaveError) << n;
  }
  std::mt19937 rng(3104);
  for (int i = 0; i < 20000; ++i) {
    auto b = good;
    int changes = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < changes; ++k) b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
    if (rng() % 4 == 0) b.resize(rng() % b.size());
    check(b);
  }
}

TEST(WaveReader, LoadsFilesAndNamesTheOneThatFails) {
  fs::path dir = fs::temp_directory_path();
  fs::path good = dir / ("korvidan-wave-" + std::to_string(getpid()) + ".wav");
  auto bytes = MakeWave(Spec{});
  std::ofstream(good, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  EXPECT_EQ(LoadWaveFile(good).Frames(), 100u);
  fs::remove(good);
  try {
    LoadWaveFile(good);
    FAIL();
  } catch (const EWaveError& e) {
    EXPECT_NE(std::string(e.what()).find(good.string()), std::string::npos) << e.what();
  }
}

class WavePlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Spec s;
    s.rate = 8000;
    s.frames = 16000;  // two seconds
    Write("boing.wav", MakeWave(s));
    Write("error.wav", {'n', 'o', 'p', 'e'});
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const std::string& name, const std::vector<std::uint8_t>& b) {
    std::ofstream(dir_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  std::string File(const std::string& name) { return (dir_ / name).string(); }
  support::TempDir tmp_{"korvidan-player-"};
  const std::filesystem::path& dir_ = tmp_.path();
};

TEST_F(WavePlayerTest, FailsCleanlyAndQuicklyWithoutASoundDevice) {
  TWavePlayer player;
  player.FileName = File("boing.wav");
  player.Open();
  EXPECT_TRUE(player.IsOpen());
  for (const char* device : {"hw:99", "kein-Geraet"}) {
    player.DeviceName = device;
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(player.Play(), EWaveError) << device;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(player.Error(), TWavePlayer::weDevice);
    EXPECT_NE(player.ErrorMessage().find(device), std::string::npos) << player.ErrorMessage();
    EXPECT_FALSE(player.Playing());
    EXPECT_TRUE(player.WaitForEnd(0));
  }
  // The value board's sequence goes on: close, the next file, open, play.
  player.Close();
  EXPECT_EQ(player.Error(), TWavePlayer::weNone);
  player.FileName = File("error.wav");
  EXPECT_THROW(player.Open(), EWaveError);
  EXPECT_EQ(player.Error(), TWavePlayer::weFormat);
  EXPECT_FALSE(player.IsOpen());
  EXPECT_THROW(player.Play(), EWaveError);
  EXPECT_EQ(player.Error(), TWavePlayer::weNotOpen);
  player.FileName = File("fehlt.wav");
  EXPECT_THROW(player.Open(), EWaveError);
  EXPECT_EQ(player.Error(), TWavePlayer::weFile);
  // The sound directory followed by "\boing.wav", as the value board builds the name.
  player.FileName = dir_.string() + "\\boing.wav";
  player.Open();
  EXPECT_TRUE(player.IsOpen());
}

// The ALSA "null" device takes samples without a sound card; where it exists the player's
// thread, Stop and Wait can be watched.
TEST_F(WavePlayerTest, PlaysWithoutBlockingAndStopsOnRequest) {
  TWavePlayer player;
  player.DeviceName = "null";
  player.FileName = File("boing.wav");
  player.Open();
  auto start = std::chrono::steady_clock::now();
  try {
    player.Play();
  } catch (const EWaveError& e) {
    GTEST_SKIP() << "no ALSA null device here: " << e.what();
  }
  // Well short of the sound's two seconds, with room for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1200));
  // A second Play ends the first sound and starts again; Stop ends it.
  player.Play();
  start = std::chrono::steady_clock::now();
  player.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1200));
  EXPECT_FALSE(player.Playing());
  EXPECT_EQ(player.Error(), TWavePlayer::weNone);

  player.Wait = true;
  player.Play();
  EXPECT_FALSE(player.Playing());
  EXPECT_EQ(player.Error(), TWavePlayer::weNone);
  player.Wait = false;
  player.Play();
  EXPECT_TRUE(player.WaitForEnd(5000));
  player.Play();
  // The destructor ends a running sound.
}

}  // namespace
