// Triggers and notifications over an in-memory device.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "platform/Messages.h"
#include "platform/Threads.h"
#include "serial/Sioexcept.h"
#include "tests/serial/dispatcher_fake.h"

namespace {

// Counts the data notifications for one handle over some input, fed in pieces.
int Fires(const std::string& pattern, const std::vector<std::string>& pieces, bool ignoreCase = false) {
  TFakeDispatcher d;
  EXPECT_EQ(d.Open(), 0);
  TNotifyLog log;
  d.RegisterEventTriggerHandler(log.Handler());
  int h = d.AddDataTrigger(pattern, ignoreCase);
  EXPECT_GT(h, 0);
  for (auto& p : pieces) {
    d.Feed(p);
    d.Round();
  }
  return log.Count(SW_TRIGGERDATA);
}

}  // namespace

TEST(DataTrigger, MatchingRules) {
  EXPECT_EQ(Fires("ABC", {"xxABCxx"}), 1);
  EXPECT_EQ(Fires("ABC", {"xxABCxx", "ABC"}), 2);
  EXPECT_EQ(Fires("ABC", {"abc"}), 0);
  EXPECT_EQ(Fires("ABC", {"abc"}, true), 1);
  EXPECT_EQ(Fires("AAB", {"AAAB"}), 1);
  EXPECT_EQ(Fires("ABAB", {"ABABAB"}), 1);
  EXPECT_EQ(Fires("AA", {"AAA"}), 2);
  // A pattern split across two reads.
  EXPECT_EQ(Fires("Hallo Welt", {"..Hallo W", "elt.."}), 1);
  // Windows-1252 letters compare in upper case too.
  EXPECT_EQ(Fires("\xC4rger", {"\xE4RGER"}, true), 1);
}

// Long runs of bytes that start no pattern are passed over in blocks: a match is found at
// every place in a piece (inside a block, at its edges, in the short rest), with one start
// byte or several, case-folded ones and ones beyond ASCII among them.
TEST(DataTrigger, MatchAtEveryPlaceOfALongPiece) {
  struct Case {
    std::vector<std::pair<std::string, bool>> triggers;  // pattern, ignore case
    std::string text;                                    // the one that must match
  };
  const std::vector<Case> cases = {
      {{{"OK", false}}, "OK"},
      {{{"NO CARRIER", false}, {"+FHNG:", true}, {"\r\nOK\r\n", false}}, "\r\nOK\r\n"},
      {{{"NO CARRIER", false}, {"+FHNG:", true}, {"\r\nOK\r\n", false}}, "no carrier"},
      {{{"ring", true}}, "rInG"},
      {{{"\x9F!", true}}, "\xFF!"},  // the capital of y with diaeresis sits below 0xA0
      {{{"A1", false}, {"B2", false}, {"C3", false}, {"D4", false}, {"E5", false}}, "E5"},
  };
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    // "NO CARRIER" is matched case-sensitively: the third case finds nothing.
    const bool expectMatch = k != 2;
    for (std::size_t at = 0; at < 70; ++at) {
      SCOPED_TRACE(testing::Message() << "case " << k << ", pattern at " << at);
      TFakeDispatcher d;
      ASSERT_EQ(d.Open(), 0);
      TNotifyLog log;
      d.RegisterEventTriggerHandler(log.Handler());
      d.ChangeLengthTrigger(1);
      std::set<WPARAM> handles;
      for (auto& [pattern, ignoreCase] : c.triggers)
        handles.insert(static_cast<WPARAM>(d.AddDataTrigger(pattern, ignoreCase)));
      std::string piece(at, '.');
      piece += c.text;
      piece += std::string(77 - at, '.');
      d.Feed(piece);
      d.Round();
      if (!expectMatch) {
        EXPECT_EQ(log.Count(SW_TRIGGERDATA), 0);
        continue;
      }
      ASSERT_EQ(log.Count(SW_TRIGGERDATA), 1);
      // The avail notification before the match counts the bytes in front of it.
      if (at > 0) {
        ASSERT_GE(log.entries.size(), 2u);
        EXPECT_EQ(log.entries[0].msg, SW_TRIGGERAVAIL);
        EXPECT_EQ(log.entries[0].wParam, at);
      }
      for (auto& e : log.entries) {
        if (e.msg == SW_TRIGGERDATA) {
          EXPECT_TRUE(handles.count(e.wParam));
        }
      }
    }
  }
}

TEST(DataTrigger, PatternAcrossTheEndOfTheRing) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  TNotifyLog log;
  d.RegisterEventTriggerHandler(log.Handler());
  int h = d.AddDataTrigger("ABCD", false);
  std::string fill(DispatchBufferSize - 2, 'x');
  d.Feed(fill);
  d.Round();
  std::vector<char> sink(fill.size());
  ASSERT_EQ(d.GetBlock(sink.data(), static_cast<std::uint32_t>(sink.size())), static_cast<int>(sink.size()));
  d.Feed("ABCDxxABC");
  d.Round();
  ASSERT_EQ(log.Count(SW_TRIGGERDATA), 1);
  EXPECT_EQ(log.entries.back().wParam, static_cast<WPARAM>(h));
  d.Feed("D");
  d.Round();
  EXPECT_EQ(log.Count(SW_TRIGGERDATA), 2);
}

TEST(DataTrigger, TwoCompletedByOneByteLastAddedFirst) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  TNotifyLog log;
  d.RegisterEventTriggerHandler(log.Handler());
  int h1 = d.AddDataTrigger("OK", false);
  int h2 = d.AddDataTrigger("K", false);
  d.Feed("OK");
  d.Round();
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[0].wParam, static_cast<WPARAM>(h2));
  EXPECT_EQ(log.entries[1].wParam, static_cast<WPARAM>(h1));
  EXPECT_EQ(log.entries[1].lParam & 0xFFFF, 2);  // pattern length
  EXPECT_EQ(log.entries[1].lParam >> 16, d.Handle());
}

TEST(DataTrigger, AvailBeforeDataWithCountBeforeTheMatch) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  TNotifyLog log;
  d.RegisterEventTriggerHandler(log.Handler());
  d.ChangeLengthTrigger(1);
  d.AddDataTrigger("OK", false);
  d.Feed("12OK");
  d.Round();
  ASSERT_GE(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[0].msg, SW_TRIGGERAVAIL);
  EXPECT_EQ(log.entries[0].wParam, 2u);
  EXPECT_EQ(log.entries[1].msg, SW_TRIGGERDATA);
}

TEST(DataTrigger, TooLongAndBadHandles) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  EXPECT_EQ(d.AddDataTrigger(std::string(22, 'x'), false), ecTriggerTooLong);
  EXPECT_GT(d.AddDataTrigger(std::string(21, 'x'), false), 0);
  EXPECT_EQ(d.RemoveTrigger(4000), ecBadTriggerHandle);
  EXPECT_EQ(d.SetTimerTrigger(4000, 1, true), ecBadTriggerHandle);
  int st = d.AddStatusTrigger(stLine);
  EXPECT_EQ(d.SetTimerTrigger(st, 1, true), ecBadTriggerHandle);  // wrong kind
  EXPECT_EQ(d.AddStatusTrigger(6), ecBadArgument);
  EXPECT_EQ(TSioBaseDispatcher::ClassifyStatusTrigger(st), stLine);
  EXPECT_EQ(d.FindTriggerFromHandle(st, false), ttStatus);
  EXPECT_EQ(d.FindTriggerFromHandle(1, false), ttAvail);
}

TEST(DataTrigger, FlushedBytesNeverFireOrCount) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  TNotifyLog log;
  d.RegisterEventTriggerHandler(log.Handler());
  d.AddDataTrigger("END", false);
  d.Feed("xxEN");
  d.Round();
  d.FlushInBuffer();
  d.Feed("Dyy");  // would complete END with the flushed "EN"
  d.Round();
  EXPECT_EQ(log.Count(SW_TRIGGERDATA), 0);

  // Bytes the application took before they were scanned are not scanned either.
  d.ChangeLengthTrigger(100);  // no avail notification
  d.Feed("aEND");
  d.ExtractData();
  char buf[7];
  ASSERT_EQ(d.GetBlock(buf, 7), 7);  // "Dyy" and "aEND"
  d.Round();
  EXPECT_EQ(log.Count(SW_TRIGGERDATA), 0);
}

TEST(DataTrigger, FlushInsideAHandlerDropsPendingMatches) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  struct Flusher {
    TFakeDispatcher* d;
    int calls = 0;
    void On(UINT, WPARAM, LPARAM) {
      ++calls;
      d->FlushInBuffer();
    }
  } f{&d};
  d.RegisterEventTriggerHandler(TSioNotifyEvent::Of<&Flusher::On>(&f));
  d.AddDataTrigger("K", false);
  d.AddDataTrigger("OK", false);  // notified first; its handler discards everything
  d.Feed("OK and more OK");
  d.Round();
  EXPECT_EQ(f.calls, 1);
  EXPECT_EQ(d.InBuffUsed(), 0u);
}

TEST(Notification, HandlersReadRelativeAndTheTailMovesByTheLargest) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  struct Reader {
    TFakeDispatcher* d;
    std::uint32_t take;
    std::string got;
    void On(UINT msg, WPARAM w, LPARAM) {
      if (msg != SW_TRIGGERAVAIL) return;
      EXPECT_EQ(d->InBuffUsed(), w);
      std::vector<char> b(take);
      ASSERT_EQ(d->GetBlock(b.data(), take), static_cast<int>(take));
      got.assign(b.begin(), b.end());
    }
  };
  Reader a{&d, 2, {}}, b{&d, 4, {}};
  d.RegisterEventTriggerHandler(TSioNotifyEvent::Of<&Reader::On>(&a));
  d.RegisterEventTriggerHandler(TSioNotifyEvent::Of<&Reader::On>(&b));
  d.ChangeLengthTrigger(1);
  d.Feed("abcdef");
  d.Round();
  EXPECT_EQ(a.got, "ab");
  EXPECT_EQ(b.got, "abcd");  // both start from the same byte
  EXPECT_EQ(d.InBuffUsed(), 2u);
  std::uint8_t c;
  d.GetChar(c);
  EXPECT_EQ(c, 'e');
}

TEST(Notification, BytesFlushedByOneHandlerAreGoneForTheNext) {
  // A protocol that ends its run flushes what is left; a terminal that takes the line back in
  // the same notification must not show those bytes.
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  struct Flusher {
    TFakeDispatcher* d;
    bool ended = false;
    void On(UINT msg, WPARAM, LPARAM) {
      std::uint8_t c;
      if (msg != SW_TRIGGERAVAIL || ended || d->GetChar(c) != 0) return;
      d->FlushInBuffer();
      ended = true;
    }
  };
  struct Reader {
    TFakeDispatcher* d;
    std::string got;
    void On(UINT msg, WPARAM, LPARAM) {
      for (std::uint8_t c; msg == SW_TRIGGERAVAIL && d->GetChar(c) == 0;) got += static_cast<char>(c);
    }
  };
  Flusher f{&d, false};
  Reader r{&d, {}};
  d.RegisterEventTriggerHandler(TSioNotifyEvent::Of<&Flusher::On>(&f));
  d.RegisterEventTriggerHandler(TSioNotifyEvent::Of<&Reader::On>(&r));
  d.ChangeLengthTrigger(1);
  d.Feed("packet");
  d.Round();
  EXPECT_EQ(r.got, "");
  EXPECT_EQ(d.InBuffUsed(), 0u);
  d.Feed("text");
  d.Round();
  EXPECT_EQ(r.got, "text");
}

TEST(Notification, RemovingHandleOneStopsAvail) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  TNotifyLog log;
  d.RegisterEventTriggerHandler(log.Handler());
  d.ChangeLengthTrigger(3);
  d.Feed("ab");
  d.Round();
  EXPECT_EQ(log.Count(SW_TRIGGERAVAIL), 0);
  d.Feed("c");
  d.Round();
  EXPECT_EQ(log.Count(SW_TRIGGERAVAIL), 1);
  d.Round();  // no new bytes: no second notification for the same bytes
  EXPECT_EQ(log.Count(SW_TRIGGERAVAIL), 1);
  EXPECT_EQ(d.RemoveTrigger(LengthTriggerHandle), 0);
  d.Feed("defg");
  d.Round();
  EXPECT_EQ(log.Count(SW_TRIGGERAVAIL), 1);
}

TEST(Notification, DeregistrationDuringANotificationIsDeferred) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  struct Self {
    TFakeDispatcher* d;
    int calls = 0;
    void On(UINT, WPARAM, LPARAM) {
      ++calls;
      d->DeregisterEventTriggerHandler(TSioNotifyEvent::Of<&Self::On>(this));
    }
  } s{&d};
  TNotifyLog log;
  d.RegisterEventTriggerHandler(TSioNotifyEvent::Of<&Self::On>(&s));
  d.RegisterEventTriggerHandler(log.Handler());
  d.ChangeLengthTrigger(1);
  d.Feed("a");
  d.Round();
  d.Feed("b");
  d.Round();
  EXPECT_EQ(s.calls, 1);
  EXPECT_EQ(log.Count(SW_TRIGGERAVAIL), 2);
  d.DeregisterEventTriggerHandler(log.Handler());
  EXPECT_FALSE(d.HandlerServiceNeeded());
}

TEST(StatusTrigger, KindsFireOncePerArming) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(9600, 16), 0);
  TNotifyLog log;
  d.RegisterEventTriggerHandler(log.Handler());
  int modem = d.AddStatusTrigger(stModem);
  int line = d.AddStatusTrigger(stLine);
  int freeT = d.AddStatusTrigger(stOutBuffFree);
  int used = d.AddStatusTrigger(stOutBuffUsed);
  int sent = d.AddStatusTrigger(stOutSent);
  EXPECT_EQ(modem & 7, 1);
  EXPECT_EQ(sent & 7, 5);

  // Modem lines: DCD watched; CTS changes are ignored.
  ASSERT_EQ(d.SetStatusTrigger(modem, msDCD, true), 0);
  d.levels = msCTS;
  d.Round(evCTS);
  EXPECT_EQ(log.Count(SW_TRIGGERSTATUS), 0);
  d.levels = msCTS | msDCD;
  d.Round(evRLSD);
  ASSERT_EQ(log.Count(SW_TRIGGERSTATUS), 1);
  EXPECT_EQ(log.entries.back().wParam, static_cast<WPARAM>(modem));
  d.levels = 0;
  d.Round(evRLSD);  // not armed any more
  EXPECT_EQ(log.Count(SW_TRIGGERSTATUS), 1);

  // Line errors: the user's mask 2 is parity.
  ASSERT_EQ(d.SetStatusTrigger(line, 2, true), 0);
  d.errorBits = leFraming;
  d.Round(evErr);
  EXPECT_EQ(log.Count(SW_TRIGGERSTATUS), 1);
  d.errorBits = leParity;
  d.Round(evErr);
  EXPECT_EQ(log.Count(SW_TRIGGERSTATUS), 2);
  EXPECT_EQ(d.GetLineError(), 3);

  // Output ring thresholds, with the count as data.
  d.PutString("0123456789");
  ASSERT_EQ(d.SetStatusTrigger(freeT, 8, true), 0);
  ASSERT_EQ(d.SetStatusTrigger(used, 2, true), 0);
  d.CheckIdleTriggers();
  EXPECT_EQ(log.Count(SW_TRIGGERSTATUS), 2);
  d.DrainOutput();
  d.CheckIdleTriggers();
  ASSERT_EQ(log.Count(SW_TRIGGERSTATUS), 4);
  auto& e1 = log.entries[log.entries.size() - 2];
  auto& e2 = log.entries.back();
  EXPECT_EQ(e1.wParam, static_cast<WPARAM>(freeT));
  EXPECT_EQ(e1.lParam & 0xFFFF, 16);
  EXPECT_EQ(e2.wParam, static_cast<WPARAM>(used));
  EXPECT_EQ(e2.lParam & 0xFFFF, 0);

  // Output sent: the flag is taken when it fires.
  ASSERT_EQ(d.SetStatusTrigger(sent, 0, true), 0);
  d.CheckIdleTriggers();
  EXPECT_EQ(log.Count(SW_TRIGGERSTATUS), 5);
  ASSERT_EQ(d.SetStatusTrigger(sent, 0, true), 0);
  d.CheckIdleTriggers();
  EXPECT_EQ(log.Count(SW_TRIGGERSTATUS), 5);
}

TEST(TimerTrigger, ArmsExtendsAndReportsRemaining) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  TNotifyLog log;
  d.RegisterEventTriggerHandler(log.Handler());
  int t = d.AddTimerTrigger();
  ASSERT_EQ(d.SetTimerTrigger(t, 100, true), 0);
  std::int32_t left = -1;
  ASSERT_EQ(d.TimerTicksRemaining(t, left), 0);
  EXPECT_GE(left, 99);
  ASSERT_EQ(d.ExtendTimer(t, 50), 0);
  d.TimerTicksRemaining(t, left);
  EXPECT_GE(left, 149);
  EXPECT_LE(d.NextTimerWait(50), 50);
  ASSERT_EQ(d.SetTimerTrigger(t, 0, false), 0);
  EXPECT_EQ(d.NextTimerWait(50), 50);
  ASSERT_EQ(d.SetTimerTrigger(t, 1, true), 0);  // 1 tick
  for (int i = 0; i < 40 && log.Count(SW_TRIGGERTIMER) == 0; ++i) {
    Sleep(10);
    d.CheckIdleTriggers();
  }
  EXPECT_EQ(log.Count(SW_TRIGGERTIMER), 1);
  ASSERT_EQ(d.SetTimerTrigger(t, 0, true), 0);  // 0: the previous interval again
  d.TimerTicksRemaining(t, left);
  EXPECT_LE(left, 1);
}

TEST(SaveRestore, TriggersKeepTheirHandlesAndNewOnesGetOthers) {
  TTriggerSave save;
  int hData, hTimer, hStatus;
  {
    TFakeDispatcher d;
    ASSERT_EQ(d.Open(), 0);
    d.ChangeLengthTrigger(5);
    hTimer = d.AddTimerTrigger();
    hStatus = d.AddStatusTrigger(stOutSent);
    hData = d.AddDataTrigger("XY", false);
    d.SaveTriggers(save);
  }
  EXPECT_EQ(save.LengthTrigger, 5u);
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  d.RestoreTriggers(save);
  EXPECT_EQ(d.LengthTrigger(), 5u);
  EXPECT_EQ(d.FindTriggerFromHandle(hTimer, false), ttTimer);
  EXPECT_EQ(d.FindTriggerFromHandle(hStatus, false), ttStatus);
  EXPECT_EQ(d.FindTriggerFromHandle(hData, false), ttData);
  std::set<int> used = {hTimer & ~7, hStatus & ~7, hData & ~7};
  for (int i = 0; i < 5; ++i) {
    int h = d.AddTimerTrigger();
    EXPECT_EQ(used.count(h & ~7), 0u) << h;
    used.insert(h);
  }
  TNotifyLog log;
  d.RegisterEventTriggerHandler(log.Handler());
  d.Feed("..XY");
  d.Round();
  EXPECT_EQ(log.Count(SW_TRIGGERDATA), 1);
  d.RemoveAllTriggers();
  EXPECT_EQ(d.LengthTrigger(), 0u);
  EXPECT_EQ(d.AddTimerTrigger(), 8);  // counter back to 1
  TSioBaseDispatcher::ClearSaveBuffers(save);
  EXPECT_TRUE(save.Data.empty());
}

TEST(Notification, WindowHandlerGetsSentMessagesWithTheHandle) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  static std::vector<std::pair<UINT, LPARAM>> got;
  got.clear();
  RegisterClass("dispTestWnd", [](HWND, UINT m, WPARAM, LPARAM l) -> LRESULT {
    got.emplace_back(m, l);
    return 0;
  });
  HWND w = CreateWindow("dispTestWnd");
  ASSERT_NE(w, 0u);
  d.RegisterWndTriggerHandler(w);
  d.ChangeLengthTrigger(1);
  d.Feed("a");
  d.Round();
  EXPECT_TRUE(got.empty());  // one window alone only counts once the port handler is in
  d.UpdateHandlerFlags(fuEnablePort);
  d.Feed("b");
  // Run the round on another thread, as the dispatch thread does; pump meanwhile.
  std::thread t([&] { d.Round(); });
  PumpUntil([&] { return !got.empty(); }, 3000);
  t.join();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, SW_TRIGGERAVAIL);
  EXPECT_EQ(got[0].second >> 16, d.Handle());
  d.DeregisterWndTriggerHandler(w);
  DestroyWindow(w);
}
