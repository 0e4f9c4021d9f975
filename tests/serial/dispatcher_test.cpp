// Dispatcher core over an in-memory device: line settings, the two rings, reads during
// notifications, errors, flow control.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "serial/Sioexcept.h"
#include "tests/serial/dispatcher_fake.h"

TEST(DispatcherCore, RegistersInPortListAndFreesItsSlot) {
  int h1, h2;
  {
    TFakeDispatcher a;
    h1 = a.Handle();
    EXPECT_EQ(GetTComRecPtr(h1), &a);
    {
      TFakeDispatcher b;
      h2 = b.Handle();
      EXPECT_NE(h1, h2);
    }
    EXPECT_EQ(GetTComRecPtr(h2), nullptr);
    TFakeDispatcher c;  // takes the first empty slot again
    EXPECT_EQ(c.Handle(), h2);
  }
  EXPECT_EQ(GetTComRecPtr(h1), nullptr);
}

TEST(DispatcherCore, SetLineWritesOnlyChanges) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(9600), 0);
  int calls = d.setStateCalls;
  EXPECT_EQ(d.SetLine(9600, 0, 8, 1), 0);
  EXPECT_EQ(d.SetLine(0, 5, 9, 3), 0);
  EXPECT_EQ(d.setStateCalls, calls);

  EXPECT_EQ(d.SetLine(19200, 2, 7, 2), 0);
  EXPECT_EQ(d.setStateCalls, calls + 1);
  EXPECT_EQ(d.dev.BaudRate, 19200u);
  EXPECT_EQ(d.dev.Parity, 2);
  EXPECT_EQ(d.dev.ByteSize, 7);
  EXPECT_EQ(d.dev.StopBits, sbTwo);

  // Five data bits always give one and a half stop bits.
  EXPECT_EQ(d.SetLine(0, 5, 5, 1), 0);
  EXPECT_EQ(d.dev.StopBits, sbOneHalf);
  EXPECT_EQ(d.SetLine(0, 5, 5, 2), 0);
  EXPECT_EQ(d.dev.StopBits, sbOneHalf);
  // Stop bits above 2 count as 2, zero as 1.
  EXPECT_EQ(d.SetLine(0, 5, 8, 7), 0);
  EXPECT_EQ(d.dev.StopBits, sbTwo);
  EXPECT_EQ(d.SetLine(0, 5, 8, 0), 0);
  EXPECT_EQ(d.dev.StopBits, sbOne);
}

TEST(DispatcherCore, GetLineTranslatesOldBaudIndices) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  std::uint32_t b, p, db, sb;
  d.dev.BaudRate = 0xFF16;
  ASSERT_EQ(d.GetLine(b, p, db, sb), 0);
  EXPECT_EQ(b, 9600u);
  d.dev.BaudRate = 0xFEFF;
  d.GetLine(b, p, db, sb);
  EXPECT_EQ(b, 115200u);
  d.dev.BaudRate = 0xFF19;  // an index without an entry reads as it is
  d.GetLine(b, p, db, sb);
  EXPECT_EQ(b, 0xFF19u);
  d.dev.StopBits = sbOneHalf;
  d.GetLine(b, p, db, sb);
  EXPECT_EQ(sb, 2u);
}

TEST(DispatcherCore, DtrAndRtsFollowTheStateFields) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  d.escapes.clear();
  EXPECT_EQ(d.SetModem(false, true), 0);
  ASSERT_EQ(d.escapes.size(), 2u);
  EXPECT_EQ(d.escapes[0], efClrDTR);
  EXPECT_EQ(d.escapes[1], efSetRTS);
  // With the RTS handshake on, RTS belongs to the driver.
  ASSERT_EQ(d.HWFlowOptions(3000, 1000, hfUseRTS | hfRequireCTS), 0);
  EXPECT_EQ(d.SetRts(false), 1);
  EXPECT_EQ(d.dev.Flags & lfRtsControlMask, lfRtsHandshake);
  EXPECT_TRUE(d.dev.Flags & lfOutxCtsFlow);
  EXPECT_EQ(d.dev.Flags & lfDtrControlMask, lfDtrDisable);  // DTR was dropped above
  EXPECT_EQ(d.dev.XoffLim, 4096 - 3000);
  EXPECT_EQ(d.dev.XonLim, 1000);
  std::uint32_t hw, sw, bf = 7, br = 8;
  std::uint8_t xon, xoff;
  d.GetFlowOptions(hw, sw, bf, br, xon, xoff);
  EXPECT_EQ(hw, hfUseRTS | hfRequireCTS);
  EXPECT_EQ(sw, 0u);
  EXPECT_EQ(bf, 7u);
  EXPECT_EQ(d.HWFlowState(), 2);

  EXPECT_EQ(d.HWFlowOptions(5000, 10, 0), ecBadArgument);  // above the input queue
  EXPECT_EQ(d.HWFlowOptions(10, 20, 0), ecBadArgument);    // full below resume
}

TEST(DispatcherCore, SoftwareFlowSidesStayOnUntilDisabled) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  ASSERT_EQ(d.SWFlowEnable(3000, 1000, sfReceiveFlow), 0);
  ASSERT_EQ(d.SWFlowEnable(3000, 1000, sfTransmitFlow), 0);
  EXPECT_TRUE(d.dev.Flags & lfInX);
  EXPECT_TRUE(d.dev.Flags & lfOutX);
  EXPECT_EQ(d.dev.XonChar, 17);
  EXPECT_EQ(d.SWFlowState(), 2);
  ASSERT_EQ(d.SWFlowChars('A', 'B'), 0);
  EXPECT_EQ(d.dev.XonChar, 'A');
  ASSERT_EQ(d.SWFlowDisable(), 0);
  EXPECT_FALSE(d.dev.Flags & (lfInX | lfOutX));
  EXPECT_EQ(d.SWFlowState(), 1);
}

TEST(DispatcherCore, OutputRingIsAllOrNothing) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(9600, 16), 0);
  EXPECT_EQ(d.PutBlock("", 0), 0);
  EXPECT_EQ(d.PutString("0123456789"), 0);
  EXPECT_EQ(d.OutBuffUsed(), 10u);
  EXPECT_EQ(d.PutString("abcdefg"), ecOutputBufferTooSmall);
  EXPECT_EQ(d.OutBuffUsed(), 10u);
  EXPECT_EQ(d.PutString("abcdef"), 0);  // exactly the free room
  EXPECT_EQ(d.OutBuffFree(), 0u);
  EXPECT_EQ(d.PutChar('x'), ecOutputBufferTooSmall);
  d.DrainOutput();
  EXPECT_EQ(std::string(d.sent.begin(), d.sent.end()), "0123456789abcdef");
  EXPECT_EQ(d.OutBuffFree(), 16u);
}

TEST(DispatcherCore, ReadsAreAllOrNothing) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  d.Feed("HELLO");
  d.Round();
  char buf[16] = {};
  EXPECT_EQ(d.GetBlock(buf, 6), ecBufferIsEmpty);
  EXPECT_EQ(d.InBuffUsed(), 5u);
  std::uint8_t c;
  EXPECT_EQ(d.PeekChar(c, 5), 0);
  EXPECT_EQ(c, 'O');
  EXPECT_EQ(d.PeekChar(c, 6), ecBufferIsEmpty);
  EXPECT_EQ(d.PeekBlock(buf, 2), 2);
  EXPECT_EQ(d.GetChar(c), 0);
  EXPECT_EQ(c, 'H');
  EXPECT_EQ(d.GetBlock(buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "ELLO");
  EXPECT_FALSE(d.CharReady());
  EXPECT_EQ(d.GetChar(c), ecBufferIsEmpty);
  EXPECT_EQ(d.InBuffFree(), DispatchBufferSize);
}

TEST(DispatcherCore, DispatchBufferWrapsAndFills) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  std::string chunk(6000, 'a');
  d.Feed(chunk);
  d.Round();
  std::vector<char> sink(8192);
  ASSERT_EQ(d.GetBlock(sink.data(), 6000), 6000);
  std::string more;
  for (int i = 0; i < 9000; ++i) more += static_cast<char>('0' + i % 10);
  d.Feed(more);
  d.Round();
  EXPECT_EQ(d.InBuffUsed(), DispatchBufferSize);  // full; the rest waits in the device
  EXPECT_TRUE(d.DispatchBufferFull());
  EXPECT_EQ(d.input.size(), 9000u - DispatchBufferSize);
  d.Round();  // nothing happens while full
  EXPECT_EQ(d.input.size(), 9000u - DispatchBufferSize);
  ASSERT_EQ(d.GetBlock(sink.data(), DispatchBufferSize), static_cast<int>(DispatchBufferSize));
  EXPECT_EQ(std::string(sink.data(), 10), "0123456789");
  EXPECT_EQ(sink[8191], '0' + 8191 % 10);
  d.Round();
  EXPECT_EQ(d.InBuffUsed(), 9000u - DispatchBufferSize);
  std::uint8_t c;
  d.GetChar(c);
  EXPECT_EQ(c, '0' + 8192 % 10);
}

TEST(DispatcherCore, LineErrorsInOrderAndBreakUntilTaken) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  d.errorBits = leParity | leOverrun | leBreak;
  d.RefreshStatus();
  EXPECT_EQ(d.GetLineError(), 2);  // overrun before parity
  EXPECT_EQ(d.GetLineError(), 9);  // the four low bits went together; break stays
  EXPECT_TRUE(d.CheckLineBreak());
  EXPECT_FALSE(d.CheckLineBreak());
  EXPECT_EQ(d.GetLineError(), 0);
  d.errorBits = leFraming;
  d.RefreshStatus();
  EXPECT_EQ(d.GetLineError(), 4);
}

TEST(DispatcherCore, ModemStatusDeltasAndRing) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  d.levels = msCTS | msDCD;
  EXPECT_EQ(d.MapEventsToMS(), msDeltaCTS | msDeltaDCD);
  EXPECT_TRUE(d.CheckDeltaCTS());
  EXPECT_FALSE(d.CheckDeltaCTS());  // taken
  EXPECT_EQ(d.GetModemStatus(), msCTS | msDCD | msDeltaDCD);
  EXPECT_EQ(d.GetModemStatus(), msCTS | msDCD);  // deltas cleared by the read
  d.levels = msCTS;
  d.MapEventsToMS();
  EXPECT_FALSE(d.CheckDCD());  // and its delta goes with it
  EXPECT_FALSE(d.CheckDeltaDCD());
  d.levels = 0;
  d.MapEventsToMS();
  EXPECT_FALSE(d.CheckCTS());  // reading the level takes its delta too
  EXPECT_FALSE(d.CheckDeltaCTS());
}

TEST(DispatcherCore, DataPointersAndOptions) {
  TFakeDispatcher d;
  int x = 0;
  void* p = nullptr;
  EXPECT_EQ(d.SetDataPointer(&x, 0), ecBadArgument);
  EXPECT_EQ(d.SetDataPointer(&x, 4), ecBadArgument);
  EXPECT_EQ(d.SetDataPointer(&x, 3), 0);
  EXPECT_EQ(d.GetDataPointer(p, 3), 0);
  EXPECT_EQ(p, &x);
  d.OptionsOn(0x14);
  EXPECT_TRUE(d.OptionsAreOn(0x10));
  EXPECT_FALSE(d.OptionsAreOn(0x11));
  d.OptionsOff(0x10);
  EXPECT_FALSE(d.OptionsAreOn(0x10));
}

TEST(DispatcherCore, WaitTxSentTakesEighteenCharacterTimes) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(9600), 0);
  // 9600 baud, 10 bits: 1041 * 10 * 18 units = 18.7 ms.
  EXPECT_EQ(d.TxSentDelayMs(), 19u);
  auto t0 = std::chrono::steady_clock::now();
  d.WaitTxSent();
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(19));
  // Parity and a second stop bit: 11 bits.
  ASSERT_EQ(d.SetLine(9600, 2, 7, 2), 0);
  EXPECT_EQ(d.TxSentDelayMs(), 21u);
  // Below a millisecond the wait is doubled: 115200 baud, 86 * 10 * 18 units = 1.5 ms.
  ASSERT_EQ(d.SetLine(115200, 0, 8, 1), 0);
  EXPECT_EQ(d.TxSentDelayMs(), 2u);
  d.SetLastBaudRaw(460800);
  EXPECT_EQ(d.TxSentDelayMs(), 1u);
  // The rate of an older driver's index: 0xFF16 is 9600.
  d.SetLastBaudRaw(0xFF16);
  EXPECT_EQ(d.TxSentDelayMs(), 19u);
}

TEST(DispatcherCore, ReleasesBuffersOnceAndRefusesUseAfterClose) {
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  d.Feed("abc");
  d.Round();
  d.DonePort();
  EXPECT_EQ(d.DeviceHandle(), -1);
  std::uint8_t c;
  EXPECT_EQ(d.GetChar(c), ecCommNotOpen);
  EXPECT_EQ(d.PutChar('x'), ecCommNotOpen);
  EXPECT_EQ(d.InBuffUsed(), 0u);
  d.DonePort();  // a second close does nothing
}

TEST(DispatcherCore, TraceAndLogHooksSeeBytesAndTriggerChanges) {
  struct Recorder : TSioDispatchRecorder {
    std::string trace;
    std::vector<std::pair<int, int>> log;  // type, sub-type
    void TraceEntry(char kind, std::uint8_t c) override {
      trace += kind;
      trace += static_cast<char>(c);
    }
    void DispatchEntry(TDispatchType t, TDispatchSubType st, std::uint32_t, const void*,
                       std::uint32_t) override {
      log.emplace_back(t, st);
    }
  } rec;
  TFakeDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  d.SetRecorder(&rec);
  d.PutString("ab");  // not recorded while both are off
  d.SetTracing(true);
  d.SetDispatchLogging(true);
  d.PutString("xy");
  d.Feed("Q");
  d.Round();
  std::uint8_t c;
  d.GetChar(c);
  EXPECT_EQ(rec.trace, "TxTyRQ");
  int h = d.AddTimerTrigger();
  d.RemoveTrigger(h);
  auto has = [&](int t, int st) {
    for (auto& e : rec.log)
      if (e.first == t && e.second == st) return true;
    return false;
  };
  EXPECT_TRUE(has(dtDispatch, dstWriteCom));
  EXPECT_TRUE(has(dtDispatch, dstReadCom));
  EXPECT_TRUE(has(dtTriggerAlloc, dstTimerTrigger));
  EXPECT_TRUE(has(dtTriggerDispose, dstTimer));
  d.SetRecorder(nullptr);
}

// A state machine holds its lock during a call and sends the window thread a notice from
// inside it. The window thread, waiting for that lock to read the machine's record or to call
// the machine itself (a cancel), answers the notice meanwhile: the call ends at once, the
// notice is not lost to its time-out.
TEST(DispatcherCore, LockWaitAnswersTheNoticesOfTheCallHoldingIt) {
  static std::atomic<int> answered{0};
  RegisterClass("lockWaitNotice", [](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return ++answered; });
  const HWND window = CreateWindow("lockWaitNotice");
  ASSERT_NE(window, 0u);
  TSioLock lock;
  const int engine = 0;  // the record the machine's notices name
  for (bool reading : {true, false}) {
    SCOPED_TRACE(reading ? "reading" : "call");
    answered = 0;
    std::atomic<bool> holding{false}, noticed{false};
    std::thread call([&] {
      std::lock_guard<TSioLock> g(lock);
      holding = true;
      LRESULT r = 0;
      noticed = SendEngineNotice(&engine, window, WM_USER, 0, 0, TEngineNoticeWait::Timed, 5000, r) && r == 1;
    });
    while (!holding) std::this_thread::yield();
    if (reading) {
      TSioEngineReading<TSioLock> r(lock, &engine);
    } else {
      LockEngine(lock, &engine, window);
      lock.unlock();
    }
    call.join();
    EXPECT_TRUE(noticed);
    EXPECT_EQ(answered, 1);
  }
  DestroyWindow(window);
}
