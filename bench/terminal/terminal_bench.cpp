// Benchmark of the terminal: 50 MB of mixed text and escape sequences (text lines, colours
// and attributes, cursor positioning, erasing, tabs, scrolling regions) through our ANSI
// emulator and screen buffer and, in the same run, through libvterm's parser and screen.
// Prints the time of each and the ratio.
//
//   terminal_bench [megabytes] [rounds]
#include <vterm.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "transfer/Swemu.h"
#include "transfer/Swtbuff.h"

namespace {

using Clock = std::chrono::steady_clock;

// The host's output: what a session of text with full-screen painting looks like.
std::string MakeStream(std::size_t bytes) {
  std::mt19937 gen(19);
  auto pick = [&](int n) { return static_cast<int>(gen() % static_cast<unsigned>(n)); };
  std::string s;
  s.reserve(bytes + 256);
  static const char words[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,;:-+*/()";
  int line = 0;
  while (s.size() < bytes) {
    ++line;
    const int kind = pick(100);
    if (kind < 12) {
      s += "\x1b[" + std::to_string(pick(2)) + ";" + std::to_string(30 + pick(8)) + ";" +
           std::to_string(40 + pick(8)) + "m";
    } else if (kind < 16) {
      s += "\x1b[0m";
    } else if (kind < 26) {
      s += "\x1b[" + std::to_string(1 + pick(25)) + ";" + std::to_string(1 + pick(80)) + "H";
    } else if (kind < 30) {
      s += "\x1b[K";
    } else if (kind < 33) {
      s += "\t" + std::string(1, words[pick(sizeof words - 1)]) + "\t";
    } else if (kind < 35) {
      s += "\x1b[" + std::to_string(2 + pick(5)) + ";" + std::to_string(15 + pick(10)) + "r";
    } else if (kind < 37) {
      s += "\x1b[r";
    } else if (kind < 39) {
      s += "\x1b[" + std::to_string(1 + pick(4)) + "A\x1b[" + std::to_string(1 + pick(9)) + "C";
    } else if (line % 3000 == 0) {
      s += "\x1b[2J\x1b[H";
    }
    const int len = 10 + pick(70);
    for (int i = 0; i < len; ++i) s += words[pick(sizeof words - 1)];
    s += "\r\n";
  }
  s.resize(bytes);
  return s;
}

// A buffer without a window: the emulator's commands on the planes only.
class BenchBuffer : public TBuffer {
 public:
  BenchBuffer() : TBuffer(0, 80, 200) {
    aeInitAnsiEmulator(emu);
    emu->emuType = etANSI;
    SetUserEmulator(emu, [](void* d, char c, TEmuCommandLo& cmd) {
      aeProcessAnsiChar(static_cast<TAnsiEmulator*>(d), c, cmd);
    });
  }
  ~BenchBuffer() override { aeDoneAnsiEmulator(emu); }
  TAnsiEmulator* emu = nullptr;

 protected:
  void bWriteReply(std::string_view) override {}
};

double Ours(const std::string& data, std::size_t& check) {
  BenchBuffer b;
  const auto t0 = Clock::now();
  for (char c : data) b.bProcessChar(c);
  b.bForcePaint();
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  check = static_cast<std::size_t>(b.CharPlane()[b.Cell(0, b.TopRow)]) + b.CurRow;
  return secs;
}

double LibVterm(const std::string& data, std::size_t& check) {
  VTerm* vt = vterm_new(25, 80);
  vterm_set_utf8(vt, 0);
  VTermScreen* screen = vterm_obtain_screen(vt);
  vterm_screen_reset(screen, 1);
  const auto t0 = Clock::now();
  const std::size_t chunk = 4096;
  for (std::size_t i = 0; i < data.size(); i += chunk)
    vterm_input_write(vt, data.data() + i, std::min(chunk, data.size() - i));
  vterm_screen_flush_damage(screen);
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  VTermScreenCell cell;
  vterm_screen_get_cell(screen, VTermPos{0, 0}, &cell);
  check = cell.chars[0];
  vterm_free(vt);
  return secs;
}

}  // namespace

int main(int argc, char** argv) {
  const double mb = argc > 1 ? std::atof(argv[1]) : 50.0;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
  const std::string data = MakeStream(static_cast<std::size_t>(mb * 1024 * 1024));
  std::printf("terminal: %.0f MB of text and escape sequences, 80 x 25 screen, %d round(s)\n", mb, rounds);
  double ours = 1e30, theirs = 1e30;
  std::size_t c1 = 0, c2 = 0;
  for (int r = 0; r < rounds; ++r) {
    ours = std::min(ours, Ours(data, c1));
    theirs = std::min(theirs, LibVterm(data, c2));
  }
  std::printf("  our emulator and buffer: %7.3f s  %7.1f MB/s\n", ours, mb / ours);
  std::printf("  libvterm parser, screen: %7.3f s  %7.1f MB/s\n", theirs, mb / theirs);
  std::printf("  ratio ours / libvterm:   %7.2f\n", ours / theirs);
  std::printf("  (checks %zu %zu)\n", c1, c2);
  return 0;
}
