// vttest on a pseudo-terminal drives the VT100 parser and the screen buffer; the screens it
// draws are checked cell by cell.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>

#include "transfer/Swtbuff.h"

namespace {

constexpr const char* VttestPath = "/usr/bin/vttest";

// A buffer whose replies go back to the pseudo-terminal.
class PtyBuffer : public TBuffer {
 public:
  PtyBuffer() : TBuffer(0, 80, 200) {
    bNewBuffer(200, 80, 24);
    bSetClientSize(80, 24);
    aeInitAnsiEmulator(emu);
    emu->emuType = etVT100;
    SetUserEmulator(emu, [](void* d, char c, TEmuCommandLo& cmd) {
      aeProcessAnsiChar(static_cast<TAnsiEmulator*>(d), c, cmd);
    });
  }
  ~PtyBuffer() override { aeDoneAnsiEmulator(emu); }
  std::string Screen() const {
    std::string s;
    for (int r = 1; r <= PageHeight; ++r) s += ScreenLine(r) + "\n";
    return s;
  }
  int fd = -1;
  TAnsiEmulator* emu = nullptr;

 protected:
  void bWriteReply(std::string_view text) override {
    if (fd >= 0 && ::write(fd, text.data(), text.size()) < 0) ADD_FAILURE() << "reply not written";
  }
};

class VttestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(VttestPath, X_OK) != 0) GTEST_SKIP() << "vttest is not installed";
    winsize ws{};
    ws.ws_row = 24;
    ws.ws_col = 80;
    pid = ::forkpty(&buf.fd, nullptr, nullptr, &ws);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::setenv("TERM", "vt100", 1);
      ::execl(VttestPath, "vttest", "24x80", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  void TearDown() override {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    if (buf.fd >= 0) ::close(buf.fd);
  }
  // Feeds what vttest writes into the buffer until the screen shows the text (or time runs out).
  bool RunUntil(const std::string& text, int ms = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      if (buf.Screen().find(text) != std::string::npos) return true;
      pollfd p{buf.fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char chunk[512];
      ssize_t n = ::read(buf.fd, chunk, sizeof chunk);
      if (n <= 0) return false;
      for (ssize_t i = 0; i < n; ++i) buf.bProcessChar(chunk[i]);
    }
    return buf.Screen().find(text) != std::string::npos;
  }
  void Send(const std::string& s) {
    ASSERT_EQ(::write(buf.fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }

  PtyBuffer buf;
  pid_t pid = -1;
};

TEST_F(VttestTest, MenuAndCursorMovementScreen) {
  // vttest asks for the device attributes first; the buffer answers by itself
  ASSERT_TRUE(RunUntil("Enter choice number")) << buf.Screen();
  EXPECT_EQ(buf.ScreenLine(3).substr(9, 18), "VT100 test program");
  EXPECT_EQ(buf.ScreenLine(8).substr(10, 27), "1. Test of cursor movements");

  Send("1\r");
  ASSERT_TRUE(RunUntil("Push <RETURN>")) << buf.Screen();
  EXPECT_EQ(buf.ScreenLine(11).substr(12, 56), "The screen should be cleared,  and have an unbroken bor-")
      << buf.Screen();
  EXPECT_EQ(buf.ScreenLine(12).substr(12, 56), "der of *'s and +'s around the edge,   and exactly in the");
  EXPECT_EQ(buf.ScreenLine(13).substr(12, 56), "middle  there should be a frame of E's around this  text");
  EXPECT_EQ(buf.ScreenLine(14).substr(12, 42), "with  one (1) free position around it.    ");
  // the borders drawn with cursor movements, index and backspaces: '*' in the first and
  // last column, '+' inside the left one, blank cells between border and text
  for (int r = 3; r <= 21; ++r) {
    std::string line = buf.ScreenLine(r);
    EXPECT_EQ(line.substr(0, 2), "*+") << "row " << r << "\n" << buf.Screen();
    EXPECT_EQ(line[79], '*') << "row " << r;
    if (r < 11 || r > 14) {
      EXPECT_EQ(line.substr(2, 76).find_first_not_of(' '), std::string::npos) << "row " << r;
    }
  }
}

}  // namespace
