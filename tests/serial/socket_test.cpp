// The socket layer against socat on the loopback: connecting, writing and reading the echo
// through the notices, refused connections, look-ups as the system answers them, select
// time-outs, a peer that goes away, a missing sockets library, and a serial port component
// that runs over a socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "serial/SioSocket.h"
#include "tests/support/Child.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

bool Pump(const std::function<bool()>& condition, DWORD ms = 10000) { return PumpUntil(condition, ms); }

// A loopback port nobody listens on (at the moment it is asked for).
int FreePort() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

bool Listening(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(s);
  return ok;
}

// socat running a program for every connection (fork) or only for the first one; with the
// default "cat" it echoes.
struct Echo {
  explicit Echo(bool fork = true, const std::string& program = "cat") {
    for (int attempt = 0; attempt < 5 && !ready; ++attempt) {
      port = FreePort();
      std::string listen = "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr";
      if (fork) listen += ",fork";
      socat = std::make_unique<support::ChildProcess>(
          "socat", std::vector<std::string>{listen, "EXEC:" + program}, true);
      for (int i = 0; i < 250 && !ready; ++i) {
        if (socat->Wait(0)) break;  // the port was taken meanwhile: another one
        // Without fork a probe would use up socat's only connection: look for it instead.
        ready = fork ? Listening(port) : InListenState(port);
        if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }
  // A socket of the machine listens on the loopback port (the kernel's table of sockets).
  static bool InListenState(int port) {
    char want[32];
    std::snprintf(want, sizeof want, "0100007F:%04X", port);
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    while (std::getline(tcp, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (local == want && state == "0A") return true;
    }
    return false;
  }
  ~Echo() {
    if (socat) socat->Stop();
  }
  int port = 0;
  bool ready = false;
  std::unique_ptr<support::ChildProcess> socat;
};

TWsSockAddrIn Loopback(int port) {
  TWsSockAddrIn a{};
  a.sin_family = WS_AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.S_addr = htonl(INADDR_LOOPBACK);
  return a;
}

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
  }
  return out;
}

// What the notices of one socket brought.
struct Notices {
  int connects = 0, writes = 0, reads = 0, closes = 0, accepts = 0;
  std::vector<int> errors;
  void Attach(TSioSocket& sock) {
    sock.SetOnWsConnect([this](TSioSocket*, int) { ++connects; });
    sock.SetOnWsWrite([this](TSioSocket*, int) { ++writes; });
    sock.SetOnWsRead([this](TSioSocket*, int) { ++reads; });
    sock.SetOnWsDisconnect([this](TSioSocket*, int) { ++closes; });
    sock.SetOnWsAccept([this](TSioSocket*, int) { ++accepts; });
    sock.SetOnWsError([this](TSioSocket*, int, int e) { errors.push_back(e); });
  }
};

constexpr long kAllNotices = WS_FD_READ | WS_FD_WRITE | WS_FD_CONNECT | WS_FD_CLOSE;

// ---------------------------------------------------------------------------------------

TEST(SocketLayer, ConnectsWritesAndReadsTheEchoThroughTheNotices) {
  Echo echo;
  ASSERT_TRUE(echo.ready) << "socat did not listen";
  TSioSocket sock;
  ASSERT_EQ(sock.StartupError(), 0);
  EXPECT_FALSE(sock.GetDescription().empty());
  EXPECT_EQ(sock.GetSystemStatus(), "Running");
  EXPECT_EQ(SendMessage(sock.GetHandle(), 17, 0, 0), 1);  // the end-of-session query
  Notices n;
  n.Attach(sock);

  const int s = sock.CreateSocket();
  ASSERT_GE(s, 0);
  ASSERT_EQ(sock.SetAsyncStyles(s, kAllNotices), 0);
  // Non-blocking: the connect "would block", which is no error; the notice follows.
  EXPECT_EQ(sock.ConnectSocket(s, Loopback(echo.port)), -1);
  EXPECT_EQ(sock.GetLastError(), WSAEWOULDBLOCK);
  ASSERT_TRUE(Pump([&] { return n.connects == 1 && n.writes == 1; }));
  EXPECT_TRUE(n.errors.empty());

  const std::string hello = "Hallo korvidan\r\n";
  EXPECT_EQ(sock.WriteSocket(s, hello.data(), static_cast<int>(hello.size()), 0),
            static_cast<int>(hello.size()));
  std::string got;
  auto readAll = [&] {
    char buf[65536];
    for (;;) {
      int r = sock.ReadSocket(s, buf, sizeof buf, 0);
      if (r <= 0) break;
      got.append(buf, static_cast<std::size_t>(r));
    }
  };
  sock.SetOnWsRead([&](TSioSocket*, int) {
    ++n.reads;
    readAll();
  });
  ASSERT_TRUE(Pump([&] { return got.size() >= hello.size(); }));
  EXPECT_EQ(got, hello);

  // More than the connection holds at once: written as the write notices allow, read as
  // the read notices come, every byte back in order.
  auto byteAt = [](std::size_t i) { return static_cast<char>((i * 2654435761u) >> 13); };
  std::size_t total = 64u << 20, sent = 0, wouldBlock = 0;
  std::size_t checked = 0, wrong = 0;
  got.clear();
  auto writeMore = [&] {
    char chunk[65536];
    while (sent < total) {
      const std::size_t n = std::min(sizeof chunk, total - sent);
      for (std::size_t i = 0; i < n; ++i) chunk[i] = byteAt(sent + i);
      int r = sock.WriteSocket(s, chunk, static_cast<int>(n), 0);
      if (r <= 0) {
        if (sock.GetLastError() == WSAEWOULDBLOCK) ++wouldBlock;
        break;
      }
      sent += static_cast<std::size_t>(r);
    }
  };
  sock.SetOnWsRead([&](TSioSocket*, int) {
    ++n.reads;
    char buf[65536];
    for (int r; (r = sock.ReadSocket(s, buf, sizeof buf, 0)) > 0;)
      for (int i = 0; i < r; ++i, ++checked) wrong += buf[i] != byteAt(checked);
  });
  sock.SetOnWsWrite([&](TSioSocket*, int) {
    ++n.writes;
    writeMore();
  });
  const int writesBefore = n.writes;
  writeMore();
  ASSERT_EQ(wouldBlock, 1u) << "the connection took " << sent << " bytes at once";
  total = sent + (1u << 20);  // a megabyte beyond the first "would block"
  ASSERT_TRUE(Pump([&] { return checked >= total; }, 30000)) << checked << " of " << total;
  EXPECT_EQ(checked, total);
  EXPECT_EQ(wrong, 0u);
  EXPECT_GT(n.writes, writesBefore);
  EXPECT_TRUE(n.errors.empty());
  EXPECT_EQ(sock.CloseSocket(s), 0);
}

TEST(SocketLayer, AClosedPortIsRefusedWith10061AndItsText) {
  const int port = FreePort();
  TSioSocket sock;
  ASSERT_EQ(sock.StartupError(), 0);

  // Blocking, without an error handler: the exception carries the number and its text.
  int s = sock.CreateSocket();
  try {
    sock.ConnectSocket(s, Loopback(port));
    ADD_FAILURE() << "connect to a closed port succeeded";
  } catch (const ESioSocketException& e) {
    EXPECT_EQ(e.ErrorCode, 10061);
    EXPECT_STREQ(e.what(), "The attempt to connect was forcibly refused");
  }
  sock.CloseSocket(s);

  // Non-blocking: the connect notice brings the error to the error event.
  Notices n;
  n.Attach(sock);
  s = sock.CreateSocket();
  sock.SetAsyncStyles(s, kAllNotices);
  EXPECT_EQ(sock.ConnectSocket(s, Loopback(port)), -1);
  ASSERT_TRUE(Pump([&] { return !n.errors.empty(); }));
  EXPECT_EQ(n.errors, std::vector<int>{10061});
  EXPECT_EQ(n.connects, 0);
  // A socket that never had a connection never closes one.
  Pump([] { return false; }, 100);
  EXPECT_EQ(n.closes, 0);
  sock.CloseSocket(s);

  // Without a handler the notice's error goes to the application's exception handler.
  std::vector<std::string> shown;
  SetSioApplicationExceptionHandler([&](const std::exception& e) { shown.emplace_back(e.what()); });
  sock.SetOnWsError(nullptr);
  s = sock.CreateSocket();
  sock.SetAsyncStyles(s, kAllNotices);
  sock.ConnectSocket(s, Loopback(port));
  ASSERT_TRUE(Pump([&] { return !shown.empty(); }));
  EXPECT_EQ(shown[0], "The attempt to connect was forcibly refused");
  SetSioApplicationExceptionHandler(nullptr);
  sock.CloseSocket(s);
}

TEST(SocketLayer, LookupsAnswerAsTheSystemDoes) {
  TSioSocket sock;
  // getent prints "smtp  25/tcp  mail".
  std::istringstream line(Shell("getent services smtp"));
  std::string name, portProto;
  line >> name >> portProto;
  ASSERT_FALSE(portProto.empty()) << "no smtp in the services database";
  const int smtp = std::stoi(portProto.substr(0, portProto.find('/')));
  EXPECT_EQ(sock.LookupService("smtp"), smtp);
  EXPECT_EQ(sock.LookupPort(static_cast<std::uint16_t>(smtp)), "smtp");
  EXPECT_EQ(sock.LookupService("no-such-service-here"), 0);

  const TWsInAddr local = sock.LookupName("localhost");
  EXPECT_EQ(sock.NetAddr2String(local), "127.0.0.1");
  EXPECT_EQ(sock.LookupName("no-such-host.invalid").S_addr, 0u);
  std::istringstream hosts(Shell("getent hosts 127.0.0.1"));
  std::string address, host;
  hosts >> address >> host;
  EXPECT_EQ(sock.LookupAddress(local), host);

  EXPECT_EQ(sock.String2NetAddr("10.1.2.3").S_addr, htonl(0x0A010203));
  EXPECT_EQ(sock.NetAddr2String(sock.String2NetAddr("192.168.100.100")), "192.168.100.100");
  // Over-long texts are no addresses, not the address their first 15 characters make.
  EXPECT_EQ(sock.String2NetAddr("192.168.100.1000").S_addr, WS_INADDR_NONE);
  EXPECT_EQ(sock.String2NetAddr("192.168.100.100 and more").S_addr, WS_INADDR_NONE);
  EXPECT_EQ(sock.String2NetAddr("not an address").S_addr, WS_INADDR_NONE);

  EXPECT_EQ((sock.htons)(0x1234), htons(0x1234));
  EXPECT_EQ((sock.ntohl)((sock.htonl)(0x01020304u)), 0x01020304u);
  char hostname[256] = {};
  ::gethostname(hostname, sizeof hostname - 1);
  EXPECT_EQ(sock.GetLocalHost(), hostname);
  EXPECT_FALSE(sock.GetLocalAddress().empty());
}

TEST(SocketLayer, AnIdleSocketIsNotReadableWithinItsTime) {
  Echo echo;
  ASSERT_TRUE(echo.ready);
  TSioSocket sock;
  const int s = sock.CreateSocket();
  ASSERT_EQ(sock.ConnectSocket(s, Loopback(echo.port)), 0);
  EXPECT_TRUE(sock.CanWriteSocket(s, 1000));
  // A busy machine can only make a wait longer, never shorter: the least of a few tries
  // is the wait itself, and another try is made only while every one so far came late.
  double least = 100;
  for (int i = 0; i < 5 && least > 1.6; ++i) {
    const auto t = Clock::now();
    EXPECT_FALSE(sock.CanReadSocket(s, 1500));
    least = std::min(least, SecondsSince(t));
  }
  EXPECT_GE(least, 1.49);
  EXPECT_LE(least, 1.6);
  // With the echo on its way it is readable well within the time.
  sock.WriteSocket(s, "x", 1, 0);
  const auto t = Clock::now();
  EXPECT_TRUE(sock.CanReadSocket(s, 5000));
  EXPECT_LT(SecondsSince(t), 1.0);
  sock.CloseSocket(s);
}

TEST(SocketLayer, WritingAfterThePeerClosedIsAnErrorNotTheEnd) {
  // The default action of SIGPIPE ends the process: it must never be raised.
  struct sigaction old {};
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &dfl, &old);

  // The peer answers four bytes and closes the connection.
  Echo echo(false, "head -c 4");
  ASSERT_TRUE(echo.ready);
  TSioSocket sock;
  Notices n;
  n.Attach(sock);
  const int s = sock.CreateSocket();
  sock.SetAsyncStyles(s, kAllNotices);
  sock.ConnectSocket(s, Loopback(echo.port));
  ASSERT_TRUE(Pump([&] { return n.connects == 1; }));
  EXPECT_EQ(sock.WriteSocket(s, "ping", 4, 0), 4);
  char buf[16];
  ASSERT_TRUE(Pump([&] { return n.reads > 0; }));
  EXPECT_EQ(sock.ReadSocket(s, buf, sizeof buf, 0), 4);

  ASSERT_TRUE(Pump([&] { return n.closes > 0; }));
  EXPECT_EQ(n.closes, 1);
  EXPECT_TRUE(n.errors.empty());
  int failed = 0;
  for (int i = 0; i < 200 && failed == 0; ++i) {
    if (sock.WriteSocket(s, "after", 5, 0) == -1) ++failed;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(failed, 1);
  ASSERT_FALSE(n.errors.empty());
  EXPECT_TRUE(n.errors.back() == WSAECONNRESET || n.errors.back() == WSAECONNABORTED) << n.errors.back();
  EXPECT_EQ(SioLoadStr(n.errors.back()), n.errors.back() == WSAECONNRESET
                                             ? "Connection reset by peer"
                                             : "Software caused connection abort");
  EXPECT_EQ(sock.CloseSocket(s), 0);
  ::sigaction(SIGPIPE, &old, nullptr);
}

TEST(SocketLayer, ListensAndAcceptsThroughTheAcceptNotice) {
  TSioSocket server;
  Notices n;
  n.Attach(server);
  const int l = server.CreateSocket();
  const int port = FreePort();
  ASSERT_EQ(server.BindSocket(l, Loopback(port)), 0);
  ASSERT_EQ(server.ListenSocket(l, 5), 0);
  server.SetAsyncStyles(l, WS_FD_ACCEPT | WS_FD_READ | WS_FD_CLOSE);
  // socat as the client: it sends a line and closes.
  support::ChildProcess client(
      "socat", {"-u", "SYSTEM:echo von socat", "TCP:127.0.0.1:" + std::to_string(port)}, true);
  ASSERT_TRUE(Pump([&] { return n.accepts == 1; }));
  TWsSockAddrIn peer{};
  const int c = server.AcceptSocket(l, peer);
  ASSERT_GE(c, 0);
  EXPECT_EQ(server.NetAddr2String(peer.sin_addr), "127.0.0.1");
  // The accepted socket sends its notices to the same component.
  std::string got;
  server.SetOnWsRead([&](TSioSocket* sender, int sock) {
    char buf[256];
    int r;
    while ((r = sender->ReadSocket(sock, buf, sizeof buf, 0)) > 0)
      got.append(buf, static_cast<std::size_t>(r));
  });
  ASSERT_TRUE(Pump([&] { return n.closes == 1; }));
  Pump([&] { return got == "von socat\n"; }, 2000);
  EXPECT_EQ(got, "von socat\n");
  // No connection waits: accept "would block", which is an error for accept.
  EXPECT_EQ(server.AcceptSocket(l, peer), -1);
  EXPECT_EQ(n.errors, std::vector<int>{WSAEWOULDBLOCK});
  server.CloseSocket(c);
  server.CloseSocket(l);
}

TEST(SocketLayer, WithoutTheLibraryEveryOperationSaysWhy) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // In a process of its own: the library stays loaded once a component has loaded it.
  EXPECT_EXIT(
      {
        SioSocketLibraryName = "NOSOCKETS";
        TSioSocket sock;
        int ok = sock.StartupError() == 9002 && sock.GetHandle() == 0;
        auto says = [&](const std::function<void()>& op) {
          try {
            op();
          } catch (const ESioSocketException& e) {
            return e.ErrorCode == 9002 &&
                   std::string(e.what()) == "Winsock not initialized - Error loading Winsock DLL";
          }
          return false;
        };
        ok &= says([&] { sock.CreateSocket(); });
        ok &= says([&] { sock.LookupService("smtp"); });
        ok &= says([&] { sock.CanReadSocket(0, 10); });
        ok &= says([&] { sock.GetLastError(); });
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------------------
// A serial port component over a socket
// ---------------------------------------------------------------------------------------

TEST(SocketPort, ExchangesAMegabyteEachWayWithSocatIntact) {
  Echo echo;
  ASSERT_TRUE(echo.ready);
  TSioSocket sock;
  const int s = sock.CreateSocket();
  ASSERT_EQ(sock.ConnectSocket(s, Loopback(echo.port)), 0);

  TSioSocketPort port;
  port.SetSocket(s);
  std::string got;
  int availEvents = 0;
  port.SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t count) {
    ++availEvents;
    std::string chunk(count, '\0');
    cp->GetBlock(chunk.data(), count);
    got += chunk;
  });
  port.SetOpen(true);  // no port number asked for
  ASSERT_EQ(port.GetPortState(), psOpen);

  std::string data(1 << 20, '\0');
  std::mt19937 rng(1);
  for (char& c : data) c = static_cast<char>(rng());
  std::size_t sent = 0;
  const auto t = Clock::now();
  ASSERT_TRUE(Pump(
      [&] {
        while (sent < data.size()) {
          const std::size_t room = port.GetOutBuffFree();
          if (room == 0) break;
          const std::size_t n = std::min(room, data.size() - sent);
          port.PutBlock(data.data() + sent, static_cast<std::uint32_t>(n));
          sent += n;
        }
        return got.size() >= data.size();
      },
      60000))
      << got.size() << " of " << data.size() << " back";
  EXPECT_TRUE(got == data);
  EXPECT_GT(availEvents, 1);
  std::printf("1 MB each way over the socket in %.2f s\n", SecondsSince(t));

  // The port closes the socket with itself, once its last event has been handled: on the
  // dispatcher's thread when that event was still under way, so the descriptor is looked at
  // only when the port says the close is done (its number may be another's by then).
  struct stat before {};
  ASSERT_EQ(::fstat(s, &before), 0);
  port.SetOpen(false);
  ASSERT_TRUE(Pump([&] { return port.GetPortState() == psClosed; }));
  struct stat after {};
  EXPECT_TRUE(::fstat(s, &after) != 0 || after.st_ino != before.st_ino);

  // Without a socket the open fails as a port without a device does.
  TSioSocketPort none;
  EXPECT_THROW(none.SetOpen(true), ECommNotOpen);
  EXPECT_EQ(none.GetPortState(), psClosed);
}

TEST(SocketPort, APeerThatGoesAwayShowsAsALineBreak) {
  Echo echo(false, "head -c 12");  // answers twelve bytes, then closes
  ASSERT_TRUE(echo.ready);
  TSioSocket sock;
  const int s = sock.CreateSocket();
  ASSERT_EQ(sock.ConnectSocket(s, Loopback(echo.port)), 0);
  TSioSocketPort port;
  port.SetSocket(s);
  std::string got;
  int breaks = 0;
  port.SetOnTriggerAvail([&](TSioCustomComPort* cp, std::uint16_t count) {
    std::string chunk(count, '\0');
    cp->GetBlock(chunk.data(), count);
    got += chunk;
  });
  port.SetOnTriggerLineError([&](TSioCustomComPort*, std::uint16_t, bool lineBreak) { breaks += lineBreak; });
  port.SetOpen(true);
  const std::uint16_t h = port.AddStatusTrigger(stLine);
  port.SetStatusTrigger(h, 8, true);  // a break of the line
  port.PutString("letzte Worte");
  ASSERT_TRUE(Pump([&] { return got == "letzte Worte"; }));
  ASSERT_TRUE(Pump([&] { return breaks > 0; }));
  // Writing on goes nowhere but does no harm.
  port.PutString("ins Leere");
  Pump([] { return false; }, 200);
  port.SetOpen(false);
}

}  // namespace
