// Registry store: persistence, types, keys, interrupted writes and damaged files.
#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using support::ReadFile;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = dir_ / "korvidan" / "registry.ini";  // the directory does not exist yet
    SetRegistryFile(file_.string());
  }
  void TearDown() override { SetRegistryFile(""); }
  // A new process start: the store is read from the file again.
  void Restart() { SetRegistryFile(file_.string()); }
  int CountFiles(const std::string& part) {
    int n = 0;
    for (auto& e : fs::directory_iterator(file_.parent_path()))
      if (e.path().filename().string().find(part) != std::string::npos) ++n;
    return n;
  }

  support::TempDir tmp_{"reg_"};
  const std::filesystem::path& dir_ = tmp_.path();
  fs::path file_;
};

TEST_F(RegistryTest, ValuesSurviveRestartAndIgnoreCase) {
  {
    TRegistry r;
    ASSERT_FALSE(r.OpenKey("Software\\Zelvanor", false));
    ASSERT_TRUE(r.OpenKey("Software\\Zelvanor\\DataCollectingIntervall", true));
    r.WriteInteger("Intervall", 15);
    r.CloseKey();
    ASSERT_TRUE(r.OpenKey("Software\\Zelvanor\\SoundDirectory", true));
    r.WriteString("Path", "D:\\Entwicklung\\Projekte\\Zelvanor\\Sound");
    const unsigned char blob[] = {0, 1, 0xFF, 0x80};
    r.WriteBinaryData("Blob", blob, sizeof blob);
    r.WriteInteger("Negative", -5);
  }
  EXPECT_NE(ReadFile(file_).find("\"Intervall\"=dword:15"), std::string::npos);
  Restart();
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("SOFTWARE\\zelvanor\\datacollectingintervall", false));
  EXPECT_EQ(r.CurrentPath(), "Software\\Zelvanor\\DataCollectingIntervall");  // spelling kept
  EXPECT_EQ(r.ReadInteger("INTERVALL"), 15);
  ASSERT_TRUE(r.OpenKey("\\Software\\Zelvanor\\SoundDirectory", false));
  EXPECT_EQ(r.ReadString("path"), "D:\\Entwicklung\\Projekte\\Zelvanor\\Sound");
  std::vector<std::uint8_t> expect{0, 1, 0xFF, 0x80};
  EXPECT_EQ(r.ReadBinaryData("Blob"), expect);
  EXPECT_EQ(r.GetDataSize("Blob"), 4);
  EXPECT_EQ(r.ReadInteger("Negative"), -5);
  EXPECT_EQ(RegistryStoreError(), "");
}

TEST_F(RegistryTest, MissingValuesAndWrongTypes) {
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("Software\\Zelvanor\\TapiDevice", true));
  EXPECT_EQ(r.ReadString("DeviceName"), "");  // a missing text reads as empty
  EXPECT_FALSE(r.ValueExists("DeviceName"));
  EXPECT_EQ(r.GetDataSize("DeviceName"), -1);
  EXPECT_THROW(r.ReadInteger("Intervall"), ERegistryException);
  r.WriteString("DeviceName", "COM1");
  r.WriteInteger("Count", 3);
  EXPECT_EQ(r.GetDataType("Count"), rdInteger);
  EXPECT_THROW(r.ReadInteger("DeviceName"), ERegistryException);
  EXPECT_THROW(r.ReadString("Count"), ERegistryException);
  unsigned char small[2];
  r.WriteBinaryData("Data", "abc", 3);
  EXPECT_THROW(r.ReadBinaryData("Data", small, sizeof small), ERegistryException);
  EXPECT_THROW(r.SetRootKey(HKEY_LOCAL_MACHINE), ERegistryException);
  try {
    r.ReadInteger("Nothing");
    FAIL();
  } catch (const ERegistryException& e) {
    EXPECT_NE(std::string(e.what()).find("Nothing"), std::string::npos);
  }
  TRegistry ro;
  ASSERT_TRUE(ro.OpenKeyReadOnly("Software\\Zelvanor\\TapiDevice"));
  EXPECT_EQ(ro.ReadString("DeviceName"), "COM1");
  EXPECT_THROW(ro.WriteString("DeviceName", "COM2"), ERegistryException);
}

TEST_F(RegistryTest, KeysAndValueNames) {
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("Software\\Zelvanor", true));
  for (const char* k : {"ProgramDirectory", "DataBaseDirectory", "GraphicSource"})
    EXPECT_TRUE(r.CreateKey(k));
  EXPECT_TRUE(r.KeyExists("graphicsource"));
  EXPECT_TRUE(r.KeyExists("\\Software"));
  EXPECT_TRUE(r.HasSubKeys());
  TStringList names;
  r.GetKeyNames(names);
  EXPECT_EQ(names.Count(), 3);
  EXPECT_GE(names.IndexOf("DataBaseDirectory"), 0);
  ASSERT_TRUE(r.OpenKey("GraphicSource", false));  // relative to the open key
  r.WriteString("GraphicSourceLeft", "Sensor1");
  r.WriteString("GraphicSourceRight", "Sensor2");
  r.GetValueNames(names);
  ASSERT_EQ(names.Count(), 2);
  EXPECT_EQ(names[0], "GraphicSourceLeft");
  EXPECT_TRUE(r.DeleteValue("graphicsourceleft"));
  EXPECT_FALSE(r.DeleteValue("graphicsourceleft"));
  r.CloseKey();
  EXPECT_TRUE(r.DeleteKey("Software\\Zelvanor"));  // with everything below it
  EXPECT_FALSE(r.KeyExists("Software\\Zelvanor\\GraphicSource"));
  EXPECT_TRUE(r.KeyExists("Software"));
  Restart();
  EXPECT_FALSE(r.KeyExists("Software\\Zelvanor"));
}

TEST_F(RegistryTest, TextsAreKeptByteForByte) {
  const std::string odd = std::string("Ölpumpe \"Süd\" \\ C:\\x\tEnde\n\x80\xFF") + '\0' + "z";
  {
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("Software\\Test", true));
    r.WriteString("Odd", odd);
    r.WriteString("Name = with [brackets]", "ok");
    r.WriteString("", "default value");
  }
  std::string text = ReadFile(file_);
  EXPECT_NE(text.find("Ölpumpe"), std::string::npos);  // readable UTF-8 in the file
  Restart();
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("Software\\Test", false));
  EXPECT_EQ(r.ReadString("Odd"), odd);
  EXPECT_EQ(r.ReadString("name = WITH [brackets]"), "ok");
  EXPECT_EQ(r.ReadString(""), "default value");
}

TEST_F(RegistryTest, WriteInterruptedBeforeRenameKeepsOldFile) {
  {
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("Software\\Zelvanor\\DataCollectingIntervall", true));
    r.WriteInteger("Intervall", 15);
  }
  std::string before = ReadFile(file_);
  RegistryFailNextWriteBeforeRename();
  {
    TRegistry r;
    ASSERT_TRUE(r.OpenKey("Software\\Zelvanor\\DataCollectingIntervall", false));
    EXPECT_THROW(r.WriteInteger("Intervall", 30), ERegistryException);
    EXPECT_EQ(r.ReadInteger("Intervall"), 15);  // the failed change is not kept
  }
  EXPECT_EQ(ReadFile(file_), before);
  EXPECT_EQ(CountFiles(".tmp-"), 1);  // what the "dead" writer left behind
  EXPECT_NE(RegistryStoreError(), "");
  Restart();
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("Software\\Zelvanor\\DataCollectingIntervall", false));
  EXPECT_EQ(r.ReadInteger("Intervall"), 15);
  r.WriteInteger("Intervall", 30);  // the next write goes through and replaces the leftover
  EXPECT_EQ(CountFiles(".tmp-"), 0);
  Restart();
  EXPECT_EQ(r.ReadInteger("Intervall"), 30);

  // A batch whose write is interrupted keeps none of its changes, nor does one left without
  // its commit.
  before = ReadFile(file_);
  {
    TRegistryBatch batch;
    TRegistry b;
    ASSERT_TRUE(b.OpenKey("\\Software\\Zelvanor\\SoundDirectory", true));
    b.WriteString("Path", "/Sound");
    b.WriteInteger("Intervall", 45);
    RegistryFailNextWriteBeforeRename();
    EXPECT_THROW(batch.Commit(), ERegistryException);
  }
  {
    TRegistryBatch batch;
    ASSERT_TRUE(r.OpenKey("\\Software\\Zelvanor\\GraphicSource", true));
    r.WriteString("GraphicSourceLeft", "Sensor3");
  }
  EXPECT_FALSE(r.KeyExists("\\Software\\Zelvanor\\SoundDirectory"));
  EXPECT_FALSE(r.KeyExists("\\Software\\Zelvanor\\GraphicSource"));
  EXPECT_EQ(ReadFile(file_), before);
}

TEST_F(RegistryTest, DamagedFileIsReportedSetAsideAndReplaced) {
  fs::create_directories(file_.parent_path());
  const std::string garbage = "[Software\\Zelvanor]\n\"Intervall\"=dword:fifteen\n";
  std::ofstream(file_, std::ios::binary) << garbage;
  Restart();
  ::testing::internal::CaptureStderr();
  TRegistry r;
  EXPECT_FALSE(r.KeyExists("Software\\Zelvanor"));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("registry"), std::string::npos);
  EXPECT_NE(err.find("line 2"), std::string::npos);
  EXPECT_NE(RegistryStoreError().find("damaged"), std::string::npos);
  ASSERT_EQ(CountFiles(".corrupt-"), 1);
  fs::path kept;
  for (auto& e : fs::directory_iterator(file_.parent_path()))
    if (e.path().filename().string().find(".corrupt-") != std::string::npos) kept = e.path();
  EXPECT_EQ(ReadFile(kept), garbage);
  // What was done is handed to the caller once: the file and the name of the copy kept.
  const std::vector<TRegistryDamage> damage = TakeRegistryDamage();
  ASSERT_EQ(damage.size(), 1u);
  EXPECT_EQ(damage[0].File, file_.string());
  EXPECT_EQ(damage[0].KeptAs, kept.string());
  EXPECT_TRUE(TakeRegistryDamage().empty());
  // The defaults can be written again and are read back after a restart.
  ASSERT_TRUE(r.OpenKey("Software\\Zelvanor\\DataCollectingIntervall", true));
  r.WriteInteger("Intervall", 15);
  Restart();
  EXPECT_EQ(r.ReadInteger("Intervall"), 15);
  EXPECT_EQ(RegistryStoreError(), "");
}

TEST_F(RegistryTest, OtherDamageKinds) {
  fs::create_directories(file_.parent_path());
  for (const char* bad : {"\"v\"=sz:\"x\"\n", "[K]\n\"v\"=sz:\"unterminated\n", "[K]\n\"v\"=hex:1,2\n",
                          "[K]\nv=sz:\"x\"\n", "[K]\n\"v\"=float:1.5\n", "[K\n"}) {
    std::ofstream(file_, std::ios::binary | std::ios::trunc) << bad;
    Restart();
    ::testing::internal::CaptureStderr();
    TRegistry r;
    EXPECT_FALSE(r.KeyExists("K")) << bad;
    ::testing::internal::GetCapturedStderr();
    EXPECT_NE(RegistryStoreError(), "") << bad;
  }
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  {
    TRegistry r;
    ASSERT_TRUE(r.CreateKey("Software\\Zelvanor"));
  }
  pid_t kids[2];
  for (int k = 0; k < 2; ++k) {
    kids[k] = fork();
    ASSERT_GE(kids[k], 0);
    if (kids[k] == 0) {
      TRegistry r;
      if (!r.OpenKey("Software\\Zelvanor", false)) _exit(1);
      for (int i = 0; i < 25; ++i) r.WriteInteger("P" + std::to_string(k) + "_" + std::to_string(i), i);
      _exit(0);
    }
  }
  for (pid_t p : kids) {
    int status = 0;
    waitpid(p, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Restart();
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("Software\\Zelvanor", false));
  TStringList names;
  r.GetValueNames(names);
  EXPECT_EQ(names.Count(), 50);
}

TEST_F(RegistryTest, FileLocationFromEnvironment) {
  SetRegistryFile("");
  setenv("KORVIDAN_REGISTRY_FILE", (dir_ / "env.ini").c_str(), 1);
  EXPECT_EQ(RegistryFile(), (dir_ / "env.ini").string());
  unsetenv("KORVIDAN_REGISTRY_FILE");
  setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  EXPECT_EQ(RegistryFile(), (dir_ / "korvidan" / "registry.ini").string());
}

}  // namespace
