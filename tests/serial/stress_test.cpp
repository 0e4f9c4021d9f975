// A long mixed run over one pseudo-terminal pair: a numbered byte stream arrives while the
// port's events read what they are told, waits for text start in the middle of
// notifications and another thread flushes the input at random moments. Every byte that
// came must reach the application exactly once, in order, or have been discarded by a
// flush; no handler may find fewer bytes than it was told.
//
// KORVIDAN_STRESS_SECONDS sets the length of the run (60 by default).
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "serial/SioPort.h"
#include "serial/SioWin32.h"
#include "tests/support/Pty.h"

namespace {

using Clock = std::chrono::steady_clock;

// Byte i of the stream: its offset in a frame of four (top two bits) and six bits of the
// frame's 24-bit number, so that any four bytes in a row give their position back.
std::uint8_t StreamByte(std::uint64_t i) {
  const unsigned k = static_cast<unsigned>(i & 3);
  const std::uint64_t frame = i >> 2;
  return static_cast<std::uint8_t>((k << 6) | ((frame >> (6 * k)) & 63));
}

constexpr std::uint64_t kPeriod = std::uint64_t(1) << 26;  // positions before the numbers repeat
constexpr std::size_t kConfirm = 8;  // bytes in a row that place a run

// Position (modulo kPeriod) of four received bytes, when they follow each other.
bool Locate(const std::uint8_t* b, std::uint64_t& pos) {
  const unsigned t0 = b[0] >> 6;
  std::uint64_t high = 0, low = 0;
  for (unsigned m = 0; m < 4; ++m) {
    const unsigned tag = (t0 + m) & 3;
    if ((b[m] >> 6) != tag) return false;
    const std::uint64_t v = b[m] & 63;
    if (t0 + m < 4)
      high |= v << (6 * tag);  // the frame of b[0]
    else
      low |= v << (6 * tag);  // the frame after it
  }
  const std::uint64_t lowMask = (std::uint64_t(1) << (6 * t0)) - 1;
  const std::uint64_t frame = (high | ((low - 1) & lowMask)) & ((std::uint64_t(1) << 24) - 1);
  pos = (frame << 2) | t0;
  return true;
}

struct Check {
  std::uint64_t delivered = 0, gaps = 0, lost = 0, lostAtEnd = 0, doubled = 0, unplaced = 0;
};

// Walks what the application received (in the order it got it) against the stream.
// flushMarks: for every flush, how many bytes had been received when it was made. A flush
// discards one run of bytes, so no more runs may be missing than flushes were made.
Check Verify(const std::vector<std::uint8_t>& got, const std::vector<std::size_t>& flushMarks,
             std::uint64_t written) {
  Check c;
  c.delivered = got.size();
  std::int64_t p = -1;  // position of the last byte placed
  std::size_t marks = 0;
  for (std::size_t j = 0; j < got.size();) {
    if (got[j] == StreamByte(static_cast<std::uint64_t>(p + 1))) {
      ++p;
      ++j;
      continue;
    }
    std::uint64_t mod;
    if (j + 4 > got.size() || !Locate(&got[j], mod)) {
      ++c.unplaced;  // a run too short to tell where it belongs
      ++j;
      continue;
    }
    const std::uint64_t next = static_cast<std::uint64_t>(p + 1);
    std::int64_t diff = static_cast<std::int64_t>((mod - next) & (kPeriod - 1));
    if (diff >= static_cast<std::int64_t>(kPeriod / 2)) diff -= static_cast<std::int64_t>(kPeriod);
    const std::int64_t q = p + 1 + diff;
    // Four bytes may span two flushes (a run of one to three bytes between them), and their
    // tags then match by chance once in 64: a place counts only when the bytes after it follow
    // on as well.
    bool follows = true;
    for (std::size_t i = 4; i < kConfirm && j + i < got.size() && follows; ++i)
      follows = got[j + i] == StreamByte(static_cast<std::uint64_t>(q) + i);
    if (!follows) {
      ++c.unplaced;
      ++j;
      continue;
    }
    if (q <= p) {
      c.doubled += static_cast<std::uint64_t>(p - q + 1);
    } else {
      while (marks < flushMarks.size() && flushMarks[marks] <= j) ++marks;
      if (++c.gaps > marks) c.lost += static_cast<std::uint64_t>(q - p - 1);
    }
    p = q - 1;
  }
  if (p + 1 < static_cast<std::int64_t>(written)) c.lostAtEnd = written - static_cast<std::uint64_t>(p + 1);
  c.lost += c.lostAtEnd;
  return c;
}

int StressSeconds() {
  const char* s = std::getenv("KORVIDAN_STRESS_SECONDS");
  int n = s != nullptr ? std::atoi(s) : 0;
  return n > 0 ? n : 60;
}

// Counts the notifications on the dispatch thread, now and then taking its time, so that
// the window's events and the waits meet notifications at every stage.
struct Counter {
  std::atomic<std::uint64_t> n{0};
  void On(UINT, WPARAM, LPARAM) {
    if (++n % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
};

}  // namespace

// The check itself: a run delivered twice counts as doubled, and a run of two bytes between
// two flushes is left unplaced instead of being taken, with the run after it, for a place
// elsewhere in the stream.
TEST(DispatcherStress, CheckPlacesRunsOnlyWhereTheyFollowOn) {
  auto stream = [](std::vector<std::uint8_t>& into, std::uint64_t from, std::uint64_t to) {
    for (std::uint64_t i = from; i < to; ++i) into.push_back(StreamByte(i));
  };
  std::vector<std::uint8_t> got;
  stream(got, 0, 1000);
  stream(got, 900, 2000);
  Check c = Verify(got, {}, 2000);
  EXPECT_EQ(100u, c.doubled);
  EXPECT_EQ(0u, c.lost);

  // Two bytes between two flushes at the end of the numbers' period, and the run after the
  // second flush past its start: taken together, four of those bytes give a place far behind.
  got.clear();
  stream(got, 0, kPeriod - 1000);
  const std::size_t first = got.size();
  stream(got, kPeriod - 2, kPeriod);
  const std::size_t second = got.size();
  stream(got, kPeriod + 20, kPeriod + 4000);
  c = Verify(got, {first, second}, kPeriod + 4000);
  EXPECT_EQ(0u, c.doubled);
  EXPECT_EQ(0u, c.lost);
  EXPECT_EQ(2u, c.unplaced);
  EXPECT_LE(c.gaps, 2u);
}

TEST(DispatcherStress, EveryByteOnceOrFlushed) {
  support::PtyPair pty;
  pty.MapTo(76);
  TSioComPort port;
  port.SetComNumber(76);
  port.SetBaud(115200);
  port.SetOpen(true);
  ASSERT_TRUE(port.GetOpen());
  TSioBaseDispatcher* d = port.Dispatcher();

  std::mutex logLock;
  std::vector<std::uint8_t> got;
  std::vector<std::size_t> flushMarks;
  std::atomic<std::uint64_t> gotCount{0};
  std::uint64_t handlerErrors = 0, availEvents = 0, dataEvents = 0, waits = 0;
  auto keep = [&](const std::uint8_t* p, std::size_t n) {
    std::lock_guard<std::mutex> g(logLock);
    got.insert(got.end(), p, p + n);
    gotCount = got.size();
  };
  std::vector<std::uint8_t> buf(DispatchBufferSize);
  port.SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t count) {
    ++availEvents;
    try {
      if (cp->GetInBuffUsed() < count) ++handlerErrors;
      if (cp->GetBlock(buf.data(), count) != count) ++handlerErrors;
      keep(buf.data(), count);
    } catch (const std::exception&) {
      ++handlerErrors;
    }
  });
  port.SetOnTriggerData([&](TSioCustomComPort* cp, std::uint16_t) {
    ++dataEvents;
    try {
      const std::uint32_t n = cp->GetInBuffUsed();
      if (n > 0 && cp->GetBlock(buf.data(), static_cast<std::uint16_t>(n)) != static_cast<int>(n))
        ++handlerErrors;
      keep(buf.data(), n);
    } catch (const std::exception&) {
      ++handlerErrors;
    }
  });
  port.SetOnWaitChar([&](TSioCustomComPort*, char c) {
    const auto b = static_cast<std::uint8_t>(c);
    keep(&b, 1);
  });
  port.SetTriggerLength(1);
  port.AddDataTrigger(std::string(1, '\0'), false);  // once in 256 bytes
  Counter counter;
  d->RegisterEventTriggerHandler(TSioNotifyEvent::Of<&Counter::On>(&counter));

  std::atomic<bool> stopWriter{false}, stopFlusher{false};
  std::atomic<std::uint64_t> sent{0};
  std::thread writer([&] {
    std::mt19937 rng(1);
    std::vector<std::uint8_t> chunk(4096);
    std::uint64_t pos = 0;
    while (!stopWriter.load()) {
      const std::size_t n = 1 + rng() % chunk.size();
      for (std::size_t i = 0; i < n; ++i) chunk[i] = StreamByte(pos + i);
      for (std::size_t done = 0; done < n && !stopWriter.load();) {
        const ssize_t w = ::write(pty.master(), chunk.data() + done, n - done);
        if (w > 0) {
          done += static_cast<std::size_t>(w);
          pos += static_cast<std::uint64_t>(w);
          sent.store(pos);
        } else {
          pollfd pf{pty.master(), POLLOUT, 0};
          ::poll(&pf, 1, 50);
        }
      }
      if (rng() % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    }
  });
  std::uint64_t flushes = 0;
  std::thread flusher([&] {
    std::mt19937 rng(2);
    std::uint64_t last = 0;
    while (!stopFlusher.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2 + rng() % 24));
      // Enough between two flushes that every run of bytes between them can be placed.
      if (gotCount.load() < last + 64) continue;
      {
        std::lock_guard<std::mutex> g(logLock);
        flushMarks.push_back(got.size());
      }
      d->FlushInBuffer();
      ++flushes;
      last = gotCount.load();
    }
  });

  // The window's events run whenever this thread handles messages: between waits, and
  // inside the waits that handle messages.
  std::mt19937 rng(3);
  const auto end = Clock::now() + std::chrono::seconds(StressSeconds());
  while (Clock::now() < end) {
    switch (rng() % 4) {
      case 0:
      case 1:
        PumpUntil([] { return false; }, 1 + rng() % 15);
        break;
      case 2:
        ++waits;
        port.WaitForString("\xFF\xFF", 1 + static_cast<std::int32_t>(rng() % 2), true, false);
        break;
      default:
        ++waits;
        port.WaitForMultiString("\xFF\xFF|\x80\x80", 1, rng() % 2 == 0, false, '|');
        break;
    }
  }
  stopFlusher = true;
  flusher.join();
  // The run of bytes that the last flush discarded shows as a flush only when bytes come after
  // it; otherwise it would count as lost at the end.
  const std::uint64_t afterFlushes = sent.load() + 4096;
  PumpUntil([&] { return sent.load() >= afterFlushes; }, 10000);
  stopWriter = true;
  writer.join();
  const std::uint64_t written = sent.load();
  // Whatever is still on its way arrives. Bytes that an event did not take (its message
  // timed out on a busy machine) wait for the next bytes to be announced again; none come
  // now, so they are read here. The line is drained once several rounds bring nothing.
  const auto drainEnd = Clock::now() + std::chrono::seconds(30);
  std::uint32_t left = 0;
  for (int quiet = 0; quiet < 5 && Clock::now() < drainEnd;) {
    const std::uint64_t before = gotCount.load();
    PumpUntil([] { return false; }, 300);
    left = port.GetInBuffUsed();
    if (left > 0 && port.GetBlock(buf.data(), static_cast<std::uint16_t>(left)) == static_cast<int>(left))
      keep(buf.data(), left);
    quiet = gotCount.load() == before ? quiet + 1 : 0;
  }
  port.SetOpen(false);

  const Check c = Verify(got, flushMarks, written);
  std::printf(
      "stress: %llu bytes sent, %llu flushes, %llu waits, %llu notifications (%llu avail and %llu data "
      "events); %llu bytes received, %llu discarded by flushes, %llu lost (%llu at the end), %llu doubled, "
      "%llu not placed, %llu runs missing, %u left unannounced, %llu handler errors\n",
      static_cast<unsigned long long>(written), static_cast<unsigned long long>(flushes),
      static_cast<unsigned long long>(waits), static_cast<unsigned long long>(counter.n.load()),
      static_cast<unsigned long long>(availEvents), static_cast<unsigned long long>(dataEvents),
      static_cast<unsigned long long>(c.delivered),
      static_cast<unsigned long long>(written - c.delivered + c.doubled - c.lost),
      static_cast<unsigned long long>(c.lost), static_cast<unsigned long long>(c.lostAtEnd),
      static_cast<unsigned long long>(c.doubled), static_cast<unsigned long long>(c.unplaced),
      static_cast<unsigned long long>(c.gaps), left, static_cast<unsigned long long>(handlerErrors));
  EXPECT_GT(flushes, 0u);
  EXPECT_GT(availEvents, 0u);
  EXPECT_EQ(c.lost, 0u);
  EXPECT_EQ(c.doubled, 0u);
  EXPECT_EQ(handlerErrors, 0u);
  EXPECT_LE(c.gaps, flushes);
}
