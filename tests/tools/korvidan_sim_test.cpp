// The controller simulator as the PC sees it: started as a child process, talked to through its
// pseudo-terminal, its replies checked byte for byte and decoded the way the PC decodes them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Child.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A running simulator with its port opened the way the PC opens it.
class Sim : public support::Simulator {
 public:
  explicit Sim(std::vector<std::string> args) : Simulator("korvidan-sim", std::move(args)) {
    port_ = open(Path().c_str(), O_RDWR | O_NOCTTY);
    if (port_ < 0) throw std::runtime_error("cannot open port " + Path());
    termios t{};
    tcgetattr(port_, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    tcsetattr(port_, TCSANOW, &t);
  }
  ~Sim() {
    if (port_ >= 0) close(port_);
  }

  // Exit status after the child ended within the time, else -1.
  int wait(int timeoutMs) { return Wait(timeoutMs) ? ExitCode() : -1; }
  void terminate() { Terminate(); }

  // A control command; returns its answer up to and including "ok" or the error line.
  std::string command(const std::string& line) {
    EXPECT_TRUE(Write(line + "\n"));
    std::string answer;
    for (;;) {
      const std::string l = ReadLine(3000);
      answer += l + "\n";
      if (l == "ok" || l.rfind("error", 0) == 0 || l.empty()) return answer;
    }
  }

  void send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(port_, bytes.data() + done, bytes.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<std::size_t>(n);
    }
  }
  // A request as the PC sends it: line feed, two letters, line feed, 65 ms between them.
  void request(const std::string& letters) {
    const std::string text = "\n" + letters + "\n";
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(65));
      send(text.substr(i, 1));
    }
  }

  // Reads until the marker has arrived; returns everything up to the end of the marker and keeps
  // the rest for the next call. Empty when the marker does not come in time.
  std::string until(const std::string& marker, int timeoutMs = 3000) {
    const auto start = Clock::now();
    for (;;) {
      const std::size_t at = pending_.find(marker);
      if (at != std::string::npos) {
        std::string head = pending_.substr(0, at + marker.size());
        pending_.erase(0, at + marker.size());
        return head;
      }
      const long long left = timeoutMs - msSince(start);
      if (left <= 0 || !fill(static_cast<int>(left))) return {};
    }
  }
  // Everything that arrives within the time (after what is already pending).
  std::string collect(int ms) {
    const auto start = Clock::now();
    long long left;
    while ((left = ms - msSince(start)) > 0) fill(static_cast<int>(left));
    std::string all;
    all.swap(pending_);
    return all;
  }
  // Discards what arrived so far and waits for the next complete value block.
  std::string nextBlock() {
    collect(0);
    until("\r\n");
    return until("\r\n");
  }
  const std::string& path() const { return Path(); }
  void closePortFor(int ms) {
    close(port_);
    pending_.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    port_ = open(Path().c_str(), O_RDWR | O_NOCTTY);
    if (port_ < 0) throw std::runtime_error("cannot reopen port " + Path());
  }

 private:
  bool fill(int timeoutMs) {
    pollfd p{port_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[4096];
    const ssize_t n = read(port_, buf, sizeof buf);
    if (n <= 0) return false;
    pending_.append(buf, static_cast<std::size_t>(n));
    return true;
  }
  int port_ = -1;
  std::string pending_;
};

// ---- the PC's side of the protocol, written out as the PC handles the texts ----

struct Reading {
  int sensor = -1;  // 0..7
  int type = 0;
  double value = 0;
};

std::vector<std::string> splitRecords(std::string text) {
  std::erase(text, '\r');
  std::erase(text, '\n');
  std::vector<std::string> records;
  for (;;) {
    const std::size_t e = text.find('E');
    if (e == std::string::npos) break;
    text.erase(e, 1);
    const std::size_t next = text.find('E', e);
    if (next == std::string::npos) {
      records.emplace_back();
      break;
    }
    std::string record = text.substr(e, next - e);
    if (!record.empty() && record.back() != '%') record.pop_back();
    records.push_back(record);
    text.erase(0, next);
  }
  return records;
}

std::vector<Reading> convertRecords(const std::vector<std::string>& records) {
  std::vector<Reading> out;
  for (const std::string& r : records) {
    if (r.empty() || r[0] < '1' || r[0] > '8') continue;
    const std::size_t open = r.find('('), close = r.find(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    const std::string code = r.substr(open + 1, close - open - 2);
    auto number = [&](std::size_t unit, bool stripZero, bool dropPoint) {
      std::string n = r.substr(close + 1, unit - 1 - (close + 1));
      if (stripZero && !n.empty() && n[0] == '0') n.erase(0, 1);
      if (const std::size_t p = n.find('.'); dropPoint && p != std::string::npos) n.erase(p, 1);
      char* end = nullptr;
      const double v = std::strtod(n.c_str(), &end);
      EXPECT_TRUE(!n.empty() && *end == '\0') << "number does not convert in " << r;
      return v;
    };
    Reading x;
    x.sensor = r[0] - '1';
    if (code == "pH")
      x.type = 1, x.value = number(r.rfind('p'), true, true) * 0.01;
    else if (code == "Te")
      x.type = 2, x.value = number(r.find('\xB0'), true, true) * 0.1;
    else if (code == "Rx")
      x.type = 3, x.value = number(r.rfind('m'), false, false);
    else if (code == "Le" && r.find('m') != std::string::npos)
      x.type = 4, x.value = number(r.rfind('m'), true, true) * 0.1;
    else if (code == "Le" && r.find('u') != std::string::npos)
      x.type = 5, x.value = number(r.rfind('u'), true, true);
    else if (code == "Ox") {
      const std::size_t g = r.rfind('g'), pc = r.rfind('%');
      const std::size_t unit = g == std::string::npos ? pc : pc == std::string::npos ? g : std::max(g, pc);
      x.type = 6, x.value = number(unit, false, true) * (pc != std::string::npos ? 0.1 : 0.01);
    } else if (code == "Pe") {
      x.type = 7;
      auto has = [&](const char* w) { return r.find(w) != std::string::npos; };
      x.value = has("Wasser") || has("Water") || has("Acqua") || has("eau") ? 1.0
                : has("Luft") || has("Air") || has("Aria") || has("air")    ? 0.0
                                                                            : 2.0;
    } else if (code == "Ld")
      x.type = 8, x.value = number(r.rfind('m'), true, false);
    else
      continue;
    out.push_back(x);
  }
  return out;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char pair[3];
  for (std::uint8_t b : bytes) std::snprintf(pair, sizeof pair, "%02X", b), text += pair;
  return text;
}

std::vector<std::uint8_t> unhex(const std::string& text, std::size_t start, std::size_t count) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < count; ++i)
    bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(start + 2 * i, 2), nullptr, 16)));
  return bytes;
}

struct Dump {
  std::vector<std::uint8_t> image, sockets;
};

// Checks the framing of a dump exactly, then decodes it the way the PC does: the last "D" with an
// "R" five places on starts the image text 11 places on, the last "S" with a "D" seven places on
// starts the socket text 13 places on.
Dump checkAndDecodeDump(const std::string& text) {
  const std::size_t kImageHex = 7156, kSocketHex = 238;
  const std::string a = "Data RAM:\r\n", b = "\r\nEnd RAM\r\nSocket Data\r\n", c = "\r\nSocket End\r\n";
  EXPECT_EQ(text.size(), a.size() + kImageHex + b.size() + kSocketHex + c.size());
  EXPECT_EQ(text.substr(0, a.size()), a);
  EXPECT_EQ(text.substr(a.size() + kImageHex, b.size()), b);
  EXPECT_EQ(text.substr(text.size() - c.size()), c);
  for (std::size_t i = 0; i < kImageHex; ++i)
    EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(text[a.size() + i])) &&
                !std::islower(static_cast<unsigned char>(text[a.size() + i])));

  std::size_t start = 0, socketStart = 0;
  for (std::size_t i = 0; i + 7 < text.size(); ++i) {
    if (text[i] == 'D' && text[i + 5] == 'R') start = i + 11;
    if (text[i] == 'S' && text[i + 7] == 'D') socketStart = i + 13;
  }
  EXPECT_EQ(text.substr(start + 7152, 4), "3039");
  return {unhex(text, start, 3578), unhex(text, socketStart, 119)};
}

std::string checksumPair(unsigned sum) {
  char pair[3];
  std::snprintf(pair, sizeof pair, "%02X", sum & 0xFF);
  return pair;
}

// What the PC sends in a write: image pairs, checksum pair, socket pairs, checksum pair over both.
std::string writeData(const Dump& d, unsigned& sum, bool spoilImageChecksum = false) {
  const std::string image = hex(d.image), sockets = hex(d.sockets);
  sum = 0;
  for (char c : image) sum += static_cast<unsigned char>(c);
  const std::string first = checksumPair(sum + (spoilImageChecksum ? 1 : 0));
  for (char c : sockets) sum += static_cast<unsigned char>(c);
  return image + first + sockets + checksumPair(sum);
}

// ---- tests ----

// Options for the request tests: the first value block comes right after the port is opened, the
// next one only after the test has ended.
std::vector<std::string> quiet(std::vector<std::string> more) {
  std::vector<std::string> args{"--period", "30", "--gap", "10"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

std::string readDump(Sim& sim) {
  const std::string head = sim.until("Data RAM:");
  EXPECT_EQ(head, "Data RAM:");  // nothing before the dump
  return head + sim.until("Socket End\r\n");
}

TEST(KorvidanSim, ValueOutputIsWhatThePcParses) {
  Sim sim({"--fixed", "--period", "0.1", "--sensor", "0:1:ph:7.05", "--sensor", "0:2:temp:5", "--sensor",
           "0:3:redox:-120", "--sensor", "0:4:cond-us:850", "--sensor", "0:5:o2-pct:95", "--sensor",
           "0:6:level:0", "--sensor", "0:7:pressure:995", "--sensor", "0:8:temp:-1.5"});
  const std::string block = sim.nextBlock();
  EXPECT_EQ(block,
            "E1(pH )07.05 pH E2(Te )05.0 \xB0"
            "C E3(Rx )-120 mV E4(Le )0850 uS E5(Ox )095.0 %"
            "E6(Pe )Luft E7(Ld )0995 mbar E8(Te )-1.5 \xB0"
            "C E\r\n");
  const std::vector<Reading> r = convertRecords(splitRecords(block));
  const std::vector<std::pair<int, double>> expected{{1, 7.05}, {2, 5.0}, {3, -120}, {5, 850},
                                                     {6, 95.0}, {7, 0.0}, {8, 995},  {2, -1.5}};
  ASSERT_EQ(r.size(), expected.size());
  for (std::size_t i = 0; i < r.size(); ++i) {
    EXPECT_EQ(r[i].sensor, static_cast<int>(i));
    EXPECT_EQ(r[i].type, expected[i].first) << "sensor " << i;
    EXPECT_NEAR(r[i].value, expected[i].second, 1e-9) << "sensor " << i;
  }

  // Values changed at run time, with the other units of conductivity and oxygen.
  for (const char* c : {"set 0:1:10.5", "set 0:4:cond-ms:52.3", "set 0:5:o2-mg:8.5", "set 0:6:1",
                        "set 0:2:temp:0.5", "remove 0:8"})
    ASSERT_EQ(sim.command(c), "ok\n") << c;
  EXPECT_EQ(sim.command("set 0:9:1"), "error: sensor number must be 1..8: 9\n");
  EXPECT_EQ(sim.command("set 0:8:1"), "error: sensor 8 does not exist; give its kind\n");
  const std::string changed = sim.nextBlock();
  EXPECT_EQ(changed,
            "E1(pH )10.50 pH E2(Te )00.5 \xB0"
            "C E3(Rx )-120 mV E4(Le )52.3 mS E5(Ox )08.50mg/l "
            "E6(Pe )Wasser E7(Ld )0995 mbar E\r\n");
  const std::vector<Reading> c = convertRecords(splitRecords(changed));
  ASSERT_EQ(c.size(), 7u);
  EXPECT_NEAR(c[0].value, 10.5, 1e-9);
  EXPECT_NEAR(c[1].value, 0.5, 1e-9);
  EXPECT_EQ(c[3].type, 4);
  EXPECT_NEAR(c[3].value, 52.3, 1e-9);
  EXPECT_EQ(c[4].type, 6);
  EXPECT_NEAR(c[4].value, 8.5, 1e-9);
  EXPECT_EQ(c[5].value, 1.0);
}

TEST(KorvidanSim, SeveralControllersShareTheBusBlockByBlock) {
  Sim sim({"--fixed", "--period", "0.1", "--controller", "addr=0", "--controller", "addr=1", "--sensor",
           "0:1:ph:7.05", "--sensor", "1:2:temp:25.3"});
  const std::string a = "E1(pH )07.05 pH E\r\n", b = "E2(Te )25.3 \xB0"
                                                     "C E\r\n";
  sim.until("\r\n");
  std::string text = sim.collect(600);
  text.erase(text.rfind("\r\n") + 2);
  int fromA = 0, fromB = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t end = text.find("\r\n", pos) + 2;
    const std::string line = text.substr(pos, end - pos);
    fromA += line == a;
    fromB += line == b;
    EXPECT_TRUE(line == a || line == b) << line;
    pos = end;
  }
  EXPECT_GE(fromA, 2);
  EXPECT_GE(fromB, 2);
}

TEST(KorvidanSim, DefaultControllerPrintsEveryTwoSeconds) {
  Sim sim({});
  ASSERT_FALSE(sim.until("E\r\n", 3000).empty());
  const auto start = Clock::now();
  const std::string second = sim.until("E\r\n", 3000);
  EXPECT_GE(msSince(start), 1500);  // the display interval of the built-in image
  EXPECT_EQ(convertRecords(splitRecords(second)).size(), 7u);
}

TEST(KorvidanSim, VersionReply) {
  Sim sim(quiet({"--controller", "addr=0,version=2.19"}));
  sim.until("E\r\n");
  sim.request("DV");
  const std::string text = sim.until("\r\n");
  ASSERT_EQ(text, "korvidan v2.19\r\n");
  // The PC keeps 16 characters from the marker and takes the 4 behind the first "v" after it.
  const std::string kept = text.substr(text.find("korvidan"), 16);
  EXPECT_EQ(kept.substr(kept.find('v', 8) + 1, 4), "2.19");

  ASSERT_EQ(sim.command("version 0 221"), "ok\n");
  sim.send("\nDV\n");
  EXPECT_EQ(sim.until("\r\n"), "korvidan v2.21\r\n");
}

TEST(KorvidanSim, DumpFramingAndByteOrder) {
  Sim sim(quiet({}));
  sim.until("E\r\n");
  sim.request("DR");
  const Dump d = checkAndDecodeDump(readDump(sim));
  EXPECT_EQ(d.image[3576], 0x30);
  EXPECT_EQ(d.image[3577], 0x39);
  // Trend period 86400.0 (0x47A8C000) at offset 34: reversed on the bus from firmware 217 on.
  EXPECT_EQ(hex({d.image.begin() + 34, d.image.begin() + 38}), "47A8C000");
  EXPECT_EQ(d.sockets[0], 0);
  EXPECT_NE(d.sockets[7], 0);
  // The controller's clock at the read: seconds of the day and the Modified Julian Day.
  auto busFloat = [&](std::size_t at) {
    const std::uint32_t bits = std::uint32_t{d.image[at]} << 24 | std::uint32_t{d.image[at + 1]} << 16 |
                               std::uint32_t{d.image[at + 2]} << 8 | d.image[at + 3];
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
  };
  EXPECT_GE(busFloat(1), 0.0f);
  EXPECT_LT(busFloat(1), 86400.0f);
  EXPECT_NEAR(busFloat(5), 40587.0 + static_cast<double>(std::time(nullptr)) / 86400.0, 1.5);

  ASSERT_EQ(sim.command("version 0 216"), "ok\n");
  sim.send("\nDR\n");
  const Dump e = checkAndDecodeDump(readDump(sim));
  EXPECT_EQ(hex({e.image.begin() + 34, e.image.begin() + 38}), "00C0A847");
  EXPECT_EQ(e.sockets, d.sockets);
}

TEST(KorvidanSim, WriteRepliesChecksumAndIsReadBack) {
  const std::string saved =
      std::string(KORVIDAN_BINARY_DIR) + "/korvidan_sim_test_" + std::to_string(getpid()) + ".prg";
  Sim sim(quiet({"--controller", "addr=0,clock=off,save=" + saved}));
  sim.until("E\r\n");
  sim.send("\nDR\n");
  Dump d = checkAndDecodeDump(readDump(sim));

  d.image[10] = 3;
  d.image[42] = 0xA5;  // a single-byte field: the same in both orders
  d.image[34] = 0x48, d.image[35] = 0x28, d.image[36] = 0xC0, d.image[37] = 0x00;  // 172800.0, bus order
  d.sockets[7 * 3 + 4] = 55;
  unsigned sum = 0;
  const std::string data = writeData(d, sum);

  sim.request("DG");
  EXPECT_EQ(sim.until("Receive Start\r\n"), "Receive Start\r\n");
  sim.send("\nDG\n");  // a retry that crossed the reply is not taken for data
  for (std::size_t i = 0; i < data.size(); i += 512) sim.send(data.substr(i, 512));
  EXPECT_EQ(sim.until("CheckSum\r\n"), checksumPair(sum) + "CheckSum\r\n");

  sim.send("\nDR\n");
  const Dump back = checkAndDecodeDump(readDump(sim));
  EXPECT_EQ(back.image, d.image);
  EXPECT_EQ(back.sockets, d.sockets);

  // The file holds the PC order: the trend period little-endian.
  std::ifstream in(saved, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(saved.c_str());
  ASSERT_EQ(file.size(), 3709u);
  EXPECT_EQ(file.substr(0, 12), "ovu ProgData");
  EXPECT_EQ(file.substr(12 + 34, 4), std::string("\x00\xC0\x28\x48", 4));
  EXPECT_EQ(static_cast<unsigned char>(file[12 + 42]), 0xA5);
  EXPECT_EQ(static_cast<unsigned char>(file[12 + 3578 + 7 * 3 + 4]), 55);
}

TEST(KorvidanSim, ImageFileIsLoadedAndBadWritesAreNotStored) {
  // A programming-data file in PC order, served in bus order.
  const std::string file =
      std::string(KORVIDAN_BINARY_DIR) + "/korvidan_sim_image_" + std::to_string(getpid()) + ".prg";
  {
    std::string content = "ovu ProgData" + std::string(3578 + 119, '\0');
    content[12 + 12] = 0x01, content[12 + 13] = 0x02, content[12 + 14] = 0x03, content[12 + 15] = 0x04;
    content[12 + 3576] = 0x30, content[12 + 3577] = 0x39;
    content[12 + 3578 + 7] = 2;
    std::ofstream(file, std::ios::binary) << content;
  }
  Sim sim(quiet({"--controller", "addr=0,version=219,clock=off,image=" + file}));
  std::remove(file.c_str());
  sim.until("E\r\n");
  sim.send("\nDR\n");
  const Dump original = checkAndDecodeDump(readDump(sim));
  EXPECT_EQ(hex({original.image.begin() + 12, original.image.begin() + 16}), "04030201");
  EXPECT_EQ(original.sockets[7], 2);

  Dump changed = original;
  changed.image[200] ^= 0xFF;
  unsigned sum = 0;
  const std::string data = writeData(changed, sum, true);
  sim.send("\nDG\n");
  sim.until("Receive Start\r\n");
  sim.send(data);
  EXPECT_EQ(sim.until("CheckSum\r\n"), checksumPair(sum) + "CheckSum\r\n");  // its own sum all the same
  sim.send("\nDR\n");
  EXPECT_EQ(checkAndDecodeDump(readDump(sim)).image, original.image);

  // A write that stops short gets no answer; a read request ends it.
  sim.send("\nDG\n");
  sim.until("Receive Start\r\n");
  sim.send(data.substr(0, 1000));
  EXPECT_EQ(sim.collect(300), "");
  sim.send("\nDV\n");
  EXPECT_EQ(sim.until("\r\n"), "korvidan v2.19\r\n");
}

TEST(KorvidanSim, StoredDataListing) {
  Sim sim(quiet({"--fixed", "--stored", "3", "--sensor", "0:1:ph:7.12", "--sensor", "0:2:temp:25.3"}));
  sim.until("E\r\n");
  sim.request("DS");
  const std::string listing = sim.until("END\r\n");
  const std::string separator = std::string(60, '-') + "\r\n";
  ASSERT_GE(listing.size(), 2 * separator.size() + 5);
  EXPECT_EQ(listing.substr(0, separator.size()), separator);
  EXPECT_EQ(listing.substr(listing.size() - separator.size() - 5), separator + "END\r\n");

  // The PC's cut (after the first "-", up to three characters before "END") and line filter.
  std::string text = listing.substr(listing.find('-') + 1);
  text.erase(text.find("END") - 3);
  std::vector<std::string> kept;
  int headers = 0, separators = 0, data = 0;
  for (std::size_t pos = 0; pos <= text.size();) {
    std::size_t nl = text.find("\r\n", pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 2;
    if (line.find("Datum") != std::string::npos) {
      if (++headers == 1) kept.push_back(line);
    } else if (line.size() > 2 && line[2] == '.') {
      ++data;
      for (char& c : line) c = c == '.' ? ',' : c;
      line[line.find(',')] = '.';
      line[line.find(',')] = '.';
      kept.push_back(line);
    } else if (line.find("-----------") != std::string::npos) {
      if (++separators <= 2) kept.push_back(line);
    }
  }
  EXPECT_EQ(headers, 1);
  EXPECT_EQ(separators, 3);  // rest of the first, the one under the header, the cut last one
  ASSERT_EQ(data, 3);
  ASSERT_EQ(kept.size(), 6u);
  const std::string& row = kept.back();
  ASSERT_EQ(row.size(), 19u + 2 * 11);
  EXPECT_EQ(std::string() + row[2] + row[5] + row[10] + row[13] + row[16], ".. ::");
  EXPECT_EQ(row.substr(19), "       7,12       25,3");
}

// The data rows of a stored-data listing: per row the values of its columns, as numbers.
std::vector<std::vector<double>> listingRows(const std::string& listing) {
  std::vector<std::vector<double>> rows;
  for (std::size_t pos = 0; pos < listing.size();) {
    std::size_t nl = listing.find("\r\n", pos);
    if (nl == std::string::npos) nl = listing.size();
    const std::string line = listing.substr(pos, nl - pos);
    pos = nl + 2;
    if (line.size() < 19 || line[2] != '.') continue;
    std::vector<double> values;
    for (std::size_t at = 19; at + 11 <= line.size(); at += 11)
      values.push_back(std::atof(line.substr(at, 11).c_str()));
    rows.push_back(values);
  }
  return rows;
}

TEST(KorvidanSim, ByDefaultValuesDriftWithinATanksBandsAndTheLevelStays) {
  // A day of stored rows, one every 15 minutes: the day's swing and the short waves.
  Sim sim(quiet({"--stored", "96", "--seed", "3"}));
  const std::vector<Reading> now = convertRecords(splitRecords(sim.until("E\r\n")));
  ASSERT_EQ(now.size(), 7u);
  EXPECT_GE(now[0].value, 7.9 - 1e-9);
  EXPECT_LE(now[0].value, 8.3 + 1e-9);
  EXPECT_GE(now[1].value, 24.5 - 1e-9);
  EXPECT_LE(now[1].value, 26.5 + 1e-9);
  EXPECT_EQ(now[5].value, 1.0);  // the level reads "Wasser"

  sim.request("DS");
  const auto rows = listingRows(sim.until("END\r\n"));
  ASSERT_EQ(rows.size(), 96u);
  const double bands[][2] = {{7.9, 8.3}, {24.5, 26.5}, {325, 375},  {51.5, 53.1},
                             {6.9, 8.1}, {1, 1},       {1007, 1019}};
  for (std::size_t c = 0; c < 7; ++c) {
    double lo = 1e9, hi = -1e9;
    for (const auto& row : rows) {
      ASSERT_EQ(row.size(), 7u);
      lo = std::min(lo, row[c]), hi = std::max(hi, row[c]);
    }
    // Over a day a drifting value uses most of its band; the level keeps its state (the
    // listing prints it as a word).
    if (c == 5) {
      EXPECT_EQ(hi, lo);
      continue;
    }
    EXPECT_GE(lo, bands[c][0] - 1e-9) << "column " << c;
    EXPECT_LE(hi, bands[c][1] + 1e-9) << "column " << c;
    EXPECT_GT(hi - lo, 0.5 * (bands[c][1] - bands[c][0])) << "column " << c;
  }
  // Slowly: from one quarter of an hour to the next the pH moves by a few hundredths.
  for (std::size_t r = 1; r < rows.size(); ++r) EXPECT_LT(std::fabs(rows[r][0] - rows[r - 1][0]), 0.1);
}

TEST(KorvidanSim, FixedValuesAreTheSteadyOnesAndStayPut) {
  Sim sim(quiet({"--fixed", "--stored", "8"}));
  const std::vector<Reading> now = convertRecords(splitRecords(sim.until("E\r\n")));
  ASSERT_EQ(now.size(), 7u);
  EXPECT_NEAR(now[0].value, 7.05, 1e-9);
  EXPECT_NEAR(now[1].value, 25.3, 1e-9);
  EXPECT_NEAR(now[4].value, 8.5, 1e-9);
  sim.request("DS");
  for (const auto& row : listingRows(sim.until("END\r\n"))) {
    ASSERT_EQ(row.size(), 7u);
    EXPECT_EQ(row[0], 7.05);
    EXPECT_EQ(row[1], 25.3);
  }
}

TEST(KorvidanSim, RenameByAddress) {
  Sim sim(quiet({"--controller", "addr=0,name=Korvidan1", "--controller", "addr=26,name=Korvidan2"}));
  sim.send(
      "$006Becken S\xFC"
      "d\r");  // Windows-1252 umlaut
  sim.send("$1A6Quarant\xE4ne\r");
  sim.send("$056Niemand\r");  // no controller at 5
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::string status = sim.command("status");
  EXPECT_NE(status.find("controller 0 version=219 period=30 name=Becken S\xFC"
                        "d\n"),
            std::string::npos)
      << status;
  EXPECT_NE(status.find("controller 26 version=219 period=30 name=Quarant\xE4ne\n"), std::string::npos)
      << status;
  EXPECT_EQ(status.find("Niemand"), std::string::npos);

  sim.send("$1A6" + std::string(30, 'x') + "\r");  // names hold 24 characters
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  status = sim.command("status");
  EXPECT_NE(status.find("name=" + std::string(24, 'x') + "\n"), std::string::npos) << status;
}

TEST(KorvidanSim, Disturbances) {
  Sim sim({"--fixed", "--period", "0.1", "--sensor", "0:1:ph:7.05", "--seed", "7"});
  const std::string clean = sim.nextBlock();
  ASSERT_EQ(clean, "E1(pH )07.05 pH E\r\n");

  ASSERT_EQ(sim.command("silent on"), "ok\n");
  sim.collect(150);
  sim.send("\nDV\n");
  EXPECT_EQ(sim.collect(500), "");
  ASSERT_EQ(sim.command("silent off"), "ok\n");
  EXPECT_EQ(sim.until("E\r\n", 2000), clean);

  // From here on only what the test puts on the bus.
  ASSERT_EQ(sim.command("period 100"), "ok\n");
  sim.collect(300);
  const std::string text = "0123456789ABCDEFGHIJKLMNOPQRST";  // 30 bytes

  ASSERT_EQ(sim.command("chunk 3 15"), "ok\n");
  auto start = Clock::now();
  ASSERT_EQ(sim.command("send " + text), "ok\n");
  EXPECT_EQ(sim.until("T", 3000), text);
  EXPECT_GE(msSince(start), 9 * 15);  // at least ten pieces with a pause between
  ASSERT_EQ(sim.command("chunk off"), "ok\n");

  ASSERT_EQ(sim.command("pace on"), "ok\n");
  start = Clock::now();
  ASSERT_EQ(sim.command("send " + text + text + text + text + text + text), "ok\n");
  for (int i = 0; i < 6; ++i) EXPECT_EQ(sim.until(text, 3000), text);
  EXPECT_GE(msSince(start), 180);  // 180 bytes at 9600 baud take 188 ms
  ASSERT_EQ(sim.command("pace off"), "ok\n");

  ASSERT_EQ(sim.command("garbage 100"), "ok\n");
  ASSERT_EQ(sim.command("send ABCD"), "ok\n");
  const std::string noisy = sim.collect(200);
  ASSERT_EQ(noisy.size(), 8u);
  EXPECT_EQ(std::string() + noisy[1] + noisy[3] + noisy[5] + noisy[7], "ABCD");
  ASSERT_EQ(sim.command("garbage 0"), "ok\n");

  ASSERT_EQ(sim.command("send E1(pH )\\x30"
                        "8.00 pH E\\r\\n"),
            "ok\n");
  EXPECT_EQ(sim.collect(200), "E1(pH )08.00 pH E\r\n");
  EXPECT_EQ(sim.command("frobnicate"), "error: unknown command: frobnicate\n");
}

TEST(KorvidanSim, ClosedPortGetsNoStaleOutput) {
  Sim sim({"--fixed", "--period", "0.05", "--sensor", "0:1:ph:7.05"});
  sim.nextBlock();
  sim.closePortFor(600);  // a dozen blocks fall due meanwhile
  const std::string after = sim.collect(130);
  std::size_t blocks = 0;
  for (std::size_t at = after.find("E\r\n"); at != std::string::npos; at = after.find("E\r\n", at + 1))
    ++blocks;
  EXPECT_LE(blocks, 4u);
  EXPECT_FALSE(sim.until("E\r\n", 1000).empty());  // and the output goes on
}

TEST(KorvidanSim, ControlFifoAndTermination) {
  const std::string fifo =
      std::string(KORVIDAN_BINARY_DIR) + "/korvidan_sim_fifo_" + std::to_string(getpid());
  Sim sim({"--fixed", "--period", "0.05", "--sensor", "0:1:ph:7.05", "--control", fifo});
  sim.nextBlock();
  struct stat st {};
  ASSERT_EQ(stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  const int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(w, 0);
  const std::string cmd = "set 0:1:6.5\n";
  EXPECT_EQ(write(w, cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
  close(w);
  EXPECT_FALSE(sim.until("E1(pH )06.50 pH E\r\n", 2000).empty());
  sim.terminate();
  EXPECT_EQ(sim.wait(2000), 0);
  unlink(fifo.c_str());
}

}  // namespace
