// Settings under "Software\Zelvanor": defaults, readers and writers, missing keys.
#include "app/Localregistry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/UiThread.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "platform/WavePlayer.h"
#include "tests/support/Settings.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using support::ReadFile;
using support::Setting;

class LocalRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetRegistryFile((dir_ / "registry.ini").string());
    MessageSink = [this](const std::string& text, TMsgKind) { messages_.push_back(text); };
  }
  void TearDown() override {
    MessageSink = nullptr;
    SetRegistryFile("");
  }

  support::TempDir tmp_{"localreg_"};
  const std::filesystem::path& dir_ = tmp_.path();
  std::vector<std::string> messages_;
};

TEST_F(LocalRegistryTest, DefaultsAreWrittenOnceWhenTheKeyIsMissingAndKeptAfterwards) {
  InitRegistryDefaults();
  for (const support::DefaultSetting& d : support::DefaultSettings())
    EXPECT_EQ(Setting(d.key, d.name), d.text) << d.key << "\\" << d.name;
  EXPECT_EQ(ReadInterval(), 15);
  EXPECT_TRUE(messages_.empty());

  // The user's settings survive every later start.
  WriteInterval(30);
  WriteGraphicSource(4, 0);
  WriteTapiDeviceName("Modem am COM3");
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("\\Software\\Zelvanor\\SoundDirectory", false));
  r.WriteString("Path", "/srv/klang");
  r.CloseKey();
  SetRegistryFile((dir_ / "registry.ini").string());  // read the file again, as a new start would
  InitRegistryDefaults();
  EXPECT_EQ(ReadInterval(), 30);
  EXPECT_EQ(ReadGraphicSourceName(0), "Sensor4");
  EXPECT_EQ(ReadGraphicSourceNumber(0), 4);
  EXPECT_EQ(ReadGraphicSourceNumber(1), 2);
  EXPECT_EQ(ReadTapiDeviceName(), "Modem am COM3");
  EXPECT_EQ(ReadSoundDirectory(), "/srv/klang");
}

TEST_F(LocalRegistryTest, EachMissingDefaultIsWrittenAndNoValueThatIsThereIsTouched) {
  EXPECT_EQ(ReadSoundDirectory(), "D:\\Entwicklung\\Projekte\\Zelvanor\\Sound");
  EXPECT_EQ(Setting("TapiDevice", "DeviceName"), "COM1");

  // The sound directory's key gone, the rest there: the reader brings its default back.
  TRegistry r;
  ASSERT_TRUE(r.DeleteKey("\\Software\\Zelvanor\\SoundDirectory"));
  EXPECT_EQ(ReadSoundDirectory(), "D:\\Entwicklung\\Projekte\\Zelvanor\\Sound");
  EXPECT_EQ(SoundDirectory(), InstalledSoundDirectory());

  // Values the user put in stay, even empty or of another type; only what is missing (here
  // a value inside a key that is there) is written.
  ASSERT_TRUE(r.OpenKey("\\Software\\Zelvanor\\DataCollectingIntervall", false));
  r.WriteString("Intervall", "zehn");
  ASSERT_TRUE(r.OpenKey("\\Software\\Zelvanor\\GraphicSource", false));
  r.WriteString("GraphicSourceLeft", "");
  ASSERT_TRUE(r.DeleteValue("GraphicSourceRight"));
  ASSERT_TRUE(r.OpenKey("\\Software\\Zelvanor\\SoundDirectory", false));
  ASSERT_TRUE(r.DeleteValue("Path"));
  r.CloseKey();
  EXPECT_EQ(ReadSoundDirectory(), "D:\\Entwicklung\\Projekte\\Zelvanor\\Sound");
  EXPECT_EQ(Setting("GraphicSource", "GraphicSourceLeft"), "");
  EXPECT_EQ(Setting("GraphicSource", "GraphicSourceRight"), "Sensor2");
  EXPECT_EQ(Setting("DataCollectingIntervall", "Intervall"), "zehn");
  InitRegistryDefaults();
  EXPECT_EQ(Setting("DataCollectingIntervall", "Intervall"), "zehn");
  EXPECT_TRUE(messages_.empty());
}

TEST_F(LocalRegistryTest, AFreshAccountPlaysTheSoundsThatComeWithTheProgram) {
  // The default path exists nowhere here: the sounds beside the program stand in for it.
  const std::string installed = InstalledSoundDirectory();
  EXPECT_EQ(SoundDirectory(), installed);
  for (const char* name : {"error.wav", "boing.wav"}) {
    const TWaveData wave = LoadWaveFile(fs::path(installed) / name);
    EXPECT_EQ(wave.BitsPerSample, 16u) << name;
    EXPECT_GT(wave.Seconds(), 0.2) << name;
    EXPECT_LT(wave.Seconds(), 1.5) << name;
  }
  // Two different sounds, so that a user hears which limit was crossed.
  EXPECT_NE(ReadFile(fs::path(installed) / "error.wav"), ReadFile(fs::path(installed) / "boing.wav"));

  // A folder the user chose is kept, also while it does not exist (the missing file is then
  // reported when an alarm plays), and so is the default path where it does exist.
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("\\Software\\Zelvanor\\SoundDirectory", false));
  r.WriteString("Path", "D:\\Klaenge");
  EXPECT_EQ(SoundDirectory(), "/Klaenge");
  r.WriteString("Path", (dir_ / "Sound").string());
  EXPECT_EQ(SoundDirectory(), (dir_ / "Sound").string());
}

TEST_F(LocalRegistryTest, MissingOrDamagedIntervalWarnsAndGivesFifteenMinutes) {
  EXPECT_EQ(ReadInterval(), 15);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "Warnung ! Lokale Registry Variable Interval konnte nicht gelesen werden !");
  EXPECT_EQ(Setting("DataCollectingIntervall", "Intervall"), "<no key>");  // reading creates nothing

  TRegistry r;
  ASSERT_TRUE(r.OpenKey("\\Software\\Zelvanor\\DataCollectingIntervall", true));
  r.WriteString("Intervall", "zehn");
  r.CloseKey();
  EXPECT_EQ(ReadInterval(), 15);
  EXPECT_EQ(messages_.size(), 2u);
}

TEST_F(LocalRegistryTest, GraphicSourcesWithoutANumberFailWithAConversionError) {
  InitRegistryDefaults();
  WriteGraphicSource(0, 8);
  EXPECT_EQ(ReadGraphicSourceName(0), "Sensor1");
  EXPECT_EQ(ReadGraphicSourceNumber(1), 8);
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("\\Software\\Zelvanor\\GraphicSource", false));
  r.WriteString("GraphicSourceLeft", "Sensor");
  r.WriteString("GraphicSourceRight", "SensorX");
  r.CloseKey();
  EXPECT_THROW(ReadGraphicSourceNumber(0), EConvertError);
  EXPECT_THROW(ReadGraphicSourceNumber(1), EConvertError);
}

TEST(LocalPath, WindowsPathsBecomePathsFromTheRoot) {
  EXPECT_EQ(LocalPath("D:\\Entwicklung\\Projekte\\Zelvanor\\Sound\\boing.wav"),
            "/Entwicklung/Projekte/Zelvanor/Sound/boing.wav");
  EXPECT_EQ(LocalPath("c:boing.wav"), "/boing.wav");
  EXPECT_EQ(LocalPath("/home/user/Sound\\error.wav"), "/home/user/Sound/error.wav");
  EXPECT_EQ(LocalPath("Sound\\error.wav"), "Sound/error.wav");
}

}  // namespace
