// The platform message queue pumped from Qt's event loop.
#include "app/MessagePump.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/Messages.h"
#include "platform/Threads.h"
#include "serial/SioPort.h"

namespace {

constexpr UINT kPing = WM_USER + 1;
constexpr UINT kAsk = WM_USER + 2;
constexpr UINT kQuit = WM_USER + 3;
constexpr UINT kThrow = WM_USER + 4;

std::atomic<int> pings{0};
std::atomic<DWORD> handledOn{0};
QEventLoop* running = nullptr;

LRESULT TestProc(HWND, UINT msg, WPARAM w, LPARAM) {
  handledOn = GetCurrentThreadId();
  switch (msg) {
    case kPing:
      ++pings;
      if (running) running->quit();
      return 0;
    case kAsk:
      return static_cast<LRESULT>(w * 2);
    case kQuit:
      PostQuitMessage(7);
      return 0;
    case kThrow:
      throw std::runtime_error("handler failed");
    case WM_TIMER:
      ++pings;
      if (running) running->quit();
      return 0;
  }
  return 0;
}

class MessagePumpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    app_ = QCoreApplication::instance();
    RegisterClass("TMessagePumpTestWindow", TestProc);
  }
  void SetUp() override {
    pings = 0;
    wnd_ = CreateWindow("TMessagePumpTestWindow");
    ASSERT_NE(wnd_, 0u);
  }
  void TearDown() override { DestroyWindow(wnd_); }

  // Runs a nested Qt loop until the window procedure ends it, at most timeoutMs.
  bool RunLoop(int timeoutMs) {
    QEventLoop loop;
    running = &loop;
    QTimer::singleShot(timeoutMs, &loop, [&] { loop.exit(1); });
    int rc = loop.exec();
    running = nullptr;
    return rc == 0;
  }

  static QCoreApplication* app_;
  HWND wnd_ = 0;
};
QCoreApplication* MessagePumpTest::app_ = nullptr;

TEST_F(MessagePumpTest, MessagesFromOtherThreadsReachTheWindowWhileQtsLoopRuns) {
  TMessagePump pump;
  std::thread poster([this] {
    Sleep(20);
    PostMessage(wnd_, kPing, 0, 0);
  });
  EXPECT_TRUE(RunLoop(5000));
  poster.join();
  EXPECT_EQ(pings, 1);
  EXPECT_EQ(handledOn, GetCurrentThreadId());

  // A send from another thread is answered while Qt's loop (here a nested one) runs.
  LRESULT answer = 0;
  std::thread sender([&] {
    LRESULT r = 0;
    if (SendMessageTimeout(wnd_, kAsk, 21, 0, 3000, &r)) answer = r;
    PostMessage(wnd_, kPing, 0, 0);
  });
  EXPECT_TRUE(RunLoop(5000));
  sender.join();
  EXPECT_EQ(answer, 42);
}

TEST_F(MessagePumpTest, WindowTimersFireInQtsLoop) {
  TMessagePump pump;
  ASSERT_TRUE(SetTimer(wnd_, 1, 30));
  EXPECT_TRUE(RunLoop(5000));
  KillTimer(wnd_, 1);
  EXPECT_GE(pings, 1);
}

TEST_F(MessagePumpTest, WithoutThePumpNothingIsHandled) {
  PostMessage(wnd_, kPing, 0, 0);
  EXPECT_FALSE(RunLoop(100));
  EXPECT_EQ(pings, 0);
  TMessagePump pump;  // the message waiting is handled once a pump watches the queue
  EXPECT_TRUE(RunLoop(5000));
  EXPECT_EQ(pings, 1);
}

// A procedure that throws does not take Qt's loop with it: the application's handler gets
// the exception, and the message behind it is still handled.
TEST_F(MessagePumpTest, AThrowingProcedureIsReportedAndTheQueueGoesOn) {
  std::string reported;
  SetSioApplicationExceptionHandler([&](const std::exception& e) { reported = e.what(); });
  TMessagePump pump;
  PostMessage(wnd_, kThrow, 0, 0);
  PostMessage(wnd_, kPing, 0, 0);
  EXPECT_TRUE(RunLoop(5000));
  SetSioApplicationExceptionHandler(nullptr);
  EXPECT_EQ(reported, "handler failed");
  EXPECT_EQ(pings, 1);
}

TEST_F(MessagePumpTest, AQuitMessageEndsTheApplicationsLoop) {
  TMessagePump pump;
  std::thread poster([this] { PostMessage(wnd_, kQuit, 0, 0); });
  QTimer::singleShot(5000, app_, [] { QCoreApplication::exit(-1); });
  EXPECT_EQ(QCoreApplication::exec(), 7);
  poster.join();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
