// Saving a programming-data file never costs the file that was there: the new content goes
// to a file beside it first and replaces the old one only when it was written completely.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "programming/Programmingdata.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;

struct Box {
  std::string text, caption;
};

class SaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkHooks().MessageBox = [this](const std::string& text, const std::string& caption, TBoxKind) {
      boxes_.push_back({text, caption});
    };
    data_.Hooks.SetCaption = [this](const std::string& caption) { caption_ = caption; };
    for (std::size_t i = 0; i < ProgrammingImage.Bytes.size(); ++i)
      ProgrammingImage.Bytes[i] = static_cast<std::uint8_t>(i * 3);
  }
  void TearDown() override { LinkHooks() = TLinkHooks{}; }

  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_.path())) names.push_back(e.path().filename().string());
    return names;
  }

  support::TempDir dir_{"korvidan-prgsave"};
  std::vector<Box> boxes_;
  std::string caption_;
  TProgData data_;
};

TEST_F(SaveTest, AFailedWriteKeepsTheOldFileWholeAndLeavesNothingBehind) {
  const std::string old(5000, 'o');
  const std::string path = dir_.Write("kept.prg", old);

  // The disk fills up after 1000 bytes of any file this process writes.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool ok = data_.SaveToFile(path);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, SIG_DFL);

  EXPECT_FALSE(ok);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Fehler beim Schreiben der Datei");
  EXPECT_EQ(boxes_[0].caption, "Datei Fehler");
  EXPECT_TRUE(caption_.empty());
  EXPECT_EQ(support::ReadFile(path), old);
  EXPECT_EQ(Entries(), std::vector<std::string>{"kept.prg"});

  // Room again: the same save replaces it.
  boxes_.clear();
  ASSERT_TRUE(data_.SaveToFile(path));
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(fs::file_size(path), 3709u);
  EXPECT_EQ(Entries(), std::vector<std::string>{"kept.prg"});
  EXPECT_EQ(caption_, "korvidan Programmierschnittstelle [" + path + "]");
}

TEST_F(SaveTest, ASavedFileKeepsTheModeOfTheOneItReplaces) {
  const std::string path = dir_.Write("mode.prg", "old");
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(data_.SaveToFile(path));
  EXPECT_EQ(fs::status(path).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  // A directory of that name is not replaced.
  const std::string folder = (dir_.path() / "folder.prg").string();
  fs::create_directory(folder);
  EXPECT_FALSE(data_.SaveToFile(folder));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Fehler beim Öffnen der Datei");
  EXPECT_TRUE(fs::is_directory(folder));
}

}  // namespace
