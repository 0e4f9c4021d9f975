// Reads settings files grown by hand to 5 MB and 50 MB, of two shapes: many values under one
// key, and many keys with a value each. Prints, for each, the seconds of the first reading,
// the heap the store holds afterwards (and the process's resident size), and the seconds of
// one change written to the file.
//
// Usage: registry_bench [MB ...]   (default: 5 50)
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Bytes of the heap in use.
double HeapMB() { return static_cast<double>(mallinfo2().uordblks) / 1e6; }

// The resident size of the process (VmRSS).
double ResidentMB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1e3;
  return 0;
}

// A settings file of about `bytes`: the application's keys, then either values of notes
// under one key or one key per tank with a value.
std::size_t WriteFile(const std::string& file, bool manyKeys, std::size_t bytes) {
  std::ofstream out(file, std::ios::binary);
  std::string text =
      "[Software\\Zelvanor\\DataCollectingIntervall]\n\"Intervall\"=dword:15\n"
      "[Software\\Zelvanor\\SoundDirectory]\n\"Path\"=sz:\"D:"
      "\\\\Entwicklung\\\\Projekte\\\\Zelvanor\\\\Sound\"\n";
  std::size_t count = 0;
  if (!manyKeys) text += "[Software\\Zelvanor\\Notizen]\n";
  while (text.size() < bytes) {
    const std::string n = std::to_string(count++);
    if (manyKeys)
      text += "\n[Software\\Zelvanor\\Becken\\Becken" + n + "]\n\"Liter\"=dword:" + n + "\n";
    else
      text += "\"Notiz" + n + "\"=sz:\"Wasserwechsel erledigt, Filter " + n + " gereinigt\"\n";
  }
  out << text;
  return count;
}

void RunCase(const std::string& dir, bool manyKeys, std::size_t megabytes) {
  const std::string file = dir + "/registry.ini";
  const std::size_t count = WriteFile(file, manyKeys, megabytes * 1000000);
  const double heapBefore = HeapMB(), rssBefore = ResidentMB();
  SetRegistryFile(file);
  auto start = Clock::now();
  TRegistry reg;
  if (!reg.OpenKey("\\Software\\Zelvanor\\DataCollectingIntervall", false) ||
      reg.ReadInteger("Intervall") != 15) {
    std::fprintf(stderr, "the file was not read\n");
    std::exit(1);
  }
  const double read = Since(start);
  const double heap = HeapMB() - heapBefore, rss = ResidentMB() - rssBefore;
  start = Clock::now();
  reg.WriteInteger("Intervall", 30);
  const double write = Since(start);
  std::printf(
      "%3zu MB, %-22s %8zu: read %7.2f s, heap held %7.1f MB, resident %7.1f MB, one change %6.2f s\n",
      megabytes, manyKeys ? "keys with a value:" : "values under one key:", count, read, heap, rss, write);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(static_cast<std::size_t>(std::atol(argv[i])));
  if (sizes.empty()) sizes = {5, 50};
  const support::TempDir tmp("korvidan-registry-bench-");
  for (std::size_t mb : sizes)
    for (bool manyKeys : {true, false}) {
      // Each case in a process of its own, so that one leaves no heap to the next.
      const pid_t pid = fork();
      if (pid == 0) {
        RunCase(tmp.path().string(), manyKeys, mb);
        std::_Exit(0);
      }
      int status = 0;
      waitpid(pid, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    }
  return 0;
}
