// The Windows Sockets 1.1 interface over Linux sockets (see Winsock.h).
#include "platform/Winsock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------
// Errors

thread_local int tLastError = 0;

int Fail(int wsaError) {
  tLastError = wsaError;
  return WsSocketError;
}

int WsaFromErrno(int e) {
  switch (e) {
    case EINTR:
      return WSAEINTR;
    case EBADF:
      return WSAENOTSOCK;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
    case EAGAIN:
    case EINPROGRESS:  // a non-blocking connect under way "would block"
      return WSAEWOULDBLOCK;
    case EALREADY:
      return WSAEALREADY;
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE:  // the peer has gone: what Windows Sockets reports as a reset
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
      return WSAESHUTDOWN;
    case ETOOMANYREFS:
      return WSAETOOMANYREFS;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case ELOOP:
      return WSAELOOP;
    case ENAMETOOLONG:
      return WSAENAMETOOLONG;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    case ENOTEMPTY:
      return WSAENOTEMPTY;
    case EUSERS:
      return WSAEUSERS;
    case EDQUOT:
      return WSAEDQUOT;
    case ESTALE:
      return WSAESTALE;
    case EREMOTE:
      return WSAEREMOTE;
    default:
      return WSAEINVAL;
  }
}

int FailErrno() { return Fail(WsaFromErrno(errno)); }

int WsaFromGai(int e) {
  switch (e) {
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_FAIL:
      return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return WSANO_DATA;
#endif
    case EAI_MEMORY:
      return WSAENOBUFS;
    case EAI_SYSTEM:
      return WsaFromErrno(errno);
    default:
      return WSAHOST_NOT_FOUND;
  }
}

// ---------------------------------------------------------------------------------------
// Start-up

std::mutex gStartLock;
int gStartups = 0;

bool Started() {
  std::lock_guard<std::mutex> g(gStartLock);
  return gStartups > 0;
}

// Every call but the start-up itself needs a started library.
#define WS_NEED_START(failValue) \
  do {                           \
    if (!Started()) {            \
      Fail(WSANOTINITIALISED);   \
      return failValue;          \
    }                            \
  } while (false)

// ---------------------------------------------------------------------------------------
// Sockets and their notices

struct SockState {
  std::uint64_t Gen = 0;
  HWND Window = 0;
  UINT Msg = 0;
  long Events = 0;
  bool NonBlocking = false;
  bool Connecting = false;  // a non-blocking connect is under way
  bool Connected = false;   // connected or accepted: only then are there reads, writes and a close
  bool Listening = false;
  bool ReadEnabled = true;
  bool WriteEnabled = false;
  bool AcceptEnabled = true;
  bool Closed = false;  // the close (or a failed connect) has been seen: no more notices
  bool ShutSend = false;
};

struct Post {
  HWND Window;
  UINT Msg;
  TSocket Socket;
  long Event;
  int Error;
};

LPARAM SelectReply(long event, int error) {
  return static_cast<LPARAM>((static_cast<std::uint32_t>(error & 0xFFFF) << 16) |
                             static_cast<std::uint32_t>(event & 0xFFFF));
}

void Deliver(const std::vector<Post>& posts) {
  for (const Post& p : posts)
    PostMessage(p.Window, p.Msg, static_cast<WPARAM>(p.Socket), SelectReply(p.Event, p.Error));
}

int PendingBytes(TSocket s) {
  int n = 0;
  if (::ioctl(s, FIONREAD, &n) != 0) return 0;
  return n;
}

int SocketError(TSocket s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

class Registry {
 public:
  static Registry& Get() {
    static Registry* r = new Registry;  // lives to the end: the watcher may still run then
    return *r;
  }

  void Add(TSocket s, const SockState* like = nullptr) {
    std::lock_guard<std::mutex> g(lock_);
    SockState st;
    if (like) {
      st.Window = like->Window;
      st.Msg = like->Msg;
      st.Events = like->Events;
      st.NonBlocking = like->NonBlocking;
    }
    st.Gen = ++gen_;
    st.Connected = like != nullptr;
    map_[s] = st;
    if (st.Window) {
      map_[s].WriteEnabled = true;  // an accepted socket can be written to at once
      StartWatcherLocked();
    }
    Wake();
  }

  void Remove(TSocket s) {
    std::lock_guard<std::mutex> g(lock_);
    map_.erase(s);
    Wake();
  }

  // Runs fn on the state of s under the lock (a socket this layer did not make gets one).
  template <class F>
  auto With(TSocket s, F&& fn) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = map_.find(s);
    if (it == map_.end()) {
      SockState st;
      st.Gen = ++gen_;
      it = map_.emplace(s, st).first;
    }
    return fn(it->second);
  }

  // After a call that consumes a notice or changes what is watched.
  void Changed(TSocket s) {
    std::vector<Post> posts;
    {
      std::lock_guard<std::mutex> g(lock_);
      auto it = map_.find(s);
      if (it == map_.end()) return;
      SockState& st = it->second;
      // Data that is still there after the close has been reported comes as read notices
      // from here, since the watcher no longer looks at the socket.
      if (st.Closed && st.Window && (st.Events & WS_FD_READ) && st.ReadEnabled && PendingBytes(s) > 0) {
        st.ReadEnabled = false;
        posts.push_back({st.Window, st.Msg, s, WS_FD_READ, 0});
      }
      if (st.Window) StartWatcherLocked();
      Wake();
    }
    Deliver(posts);
  }

  int AsyncSelect(TSocket s, HWND hwnd, UINT msg, long events) {
    int fl = ::fcntl(s, F_GETFL);
    if (fl < 0) return FailErrno();
    if (events != 0 && !(fl & O_NONBLOCK) && ::fcntl(s, F_SETFL, fl | O_NONBLOCK) != 0) return FailErrno();
    int type = 0;
    socklen_t len = sizeof type;
    int accepting = 0;
    socklen_t alen = sizeof accepting;
    ::getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &alen);
    bool connected = false;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) == 0) {
      sockaddr_storage peer;
      socklen_t plen = sizeof peer;
      connected = ::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &plen) == 0;
    }
    std::lock_guard<std::mutex> g(lock_);
    SockState& st = map_[s];
    if (st.Gen == 0) st.Gen = ++gen_;
    st.Window = events != 0 ? hwnd : 0;
    st.Msg = msg;
    st.Events = events;
    if (events != 0) st.NonBlocking = true;
    st.Listening = accepting != 0;
    if (connected) st.Connected = true;
    st.ReadEnabled = true;
    st.AcceptEnabled = true;
    st.WriteEnabled = connected && !st.Connecting;
    if (st.Window) StartWatcherLocked();
    Wake();
    return 0;
  }

 private:
  Registry() { wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

  void Wake() {
    if (wake_ < 0) return;
    std::uint64_t one = 1;
    ssize_t r = ::write(wake_, &one, sizeof one);
    (void)r;
  }

  void StartWatcherLocked() {
    if (watching_) return;
    watching_ = true;
    std::thread([this] { Watch(); }).detach();
  }

  // Which conditions of a socket the watcher looks for; 0: none.
  static short Interest(const SockState& st) {
    if (!st.Window || st.Closed) return 0;
    if (st.Connecting) return POLLOUT;
    if (st.Listening) return (st.Events & WS_FD_ACCEPT) && st.AcceptEnabled ? POLLIN : 0;
    // A socket without a connection reads as hung up: nothing to watch on it yet.
    if (!st.Connected) return 0;
    short ev = 0;
    if ((st.Events & WS_FD_READ) && st.ReadEnabled) ev |= POLLIN;
    if (st.Events & (WS_FD_CLOSE | WS_FD_READ)) ev |= POLLRDHUP;
    if ((st.Events & WS_FD_WRITE) && st.WriteEnabled) ev |= POLLOUT;
    return ev;
  }

  void Watch() {
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> gens;
    for (;;) {
      fds.clear();
      gens.clear();
      fds.push_back({wake_, POLLIN, 0});
      gens.push_back(0);
      {
        std::lock_guard<std::mutex> g(lock_);
        for (const auto& [s, st] : map_) {
          short ev = Interest(st);
          if (ev == 0) continue;
          fds.push_back({s, ev, 0});
          gens.push_back(st.Gen);
        }
      }
      int r = ::poll(fds.data(), fds.size(), -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      if (fds[0].revents & POLLIN) {
        std::uint64_t v;
        ssize_t n = ::read(wake_, &v, sizeof v);
        (void)n;
      }
      std::vector<Post> posts;
      {
        std::lock_guard<std::mutex> g(lock_);
        for (std::size_t i = 1; i < fds.size(); ++i) {
          if (fds[i].revents == 0) continue;
          auto it = map_.find(fds[i].fd);
          if (it == map_.end() || it->second.Gen != gens[i]) continue;  // closed meanwhile
          Evaluate(fds[i].fd, it->second, fds[i].revents, posts);
        }
      }
      Deliver(posts);
    }
  }

  static void Evaluate(TSocket s, SockState& st, short rev, std::vector<Post>& posts) {
    if (!st.Window || st.Closed) return;
    if (rev & POLLNVAL) {  // no longer a descriptor of ours
      st.Closed = true;
      return;
    }
    auto post = [&](long event, int error) {
      if (st.Events & event) posts.push_back({st.Window, st.Msg, s, event, error});
    };
    if (st.Connecting) {
      if (!(rev & (POLLOUT | POLLERR | POLLHUP))) return;
      st.Connecting = false;
      int err = SocketError(s);
      if (err != 0) {
        st.Closed = true;
        post(WS_FD_CONNECT, WsaFromErrno(err));
        return;
      }
      st.Connected = true;
      post(WS_FD_CONNECT, 0);
      if (st.Events & WS_FD_WRITE) {
        post(WS_FD_WRITE, 0);
      } else {
        st.WriteEnabled = true;
      }
      return;
    }
    if (st.Listening) {
      if (rev & POLLIN) {
        st.AcceptEnabled = false;
        post(WS_FD_ACCEPT, 0);
      } else if (rev & (POLLERR | POLLHUP)) {
        st.Closed = true;  // shut down: nothing more to accept
      }
      return;
    }
    const int pending = (rev & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) ? PendingBytes(s) : 0;
    if ((rev & POLLIN) && st.ReadEnabled && pending > 0) {
      st.ReadEnabled = false;
      post(WS_FD_READ, 0);
    }
    if ((rev & POLLOUT) && st.WriteEnabled && !(rev & (POLLERR | POLLHUP))) {
      st.WriteEnabled = false;
      post(WS_FD_WRITE, 0);
    }
    // Readable without bytes is the peer's end only when a look at the socket says so now:
    // the reader may have taken every byte since the poll answered.
    bool drained = false;
    if ((rev & POLLIN) && pending == 0 && !(rev & (POLLRDHUP | POLLHUP | POLLERR))) {
      char c;
      drained = ::recv(s, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    }
    const bool ended = (rev & (POLLRDHUP | POLLHUP | POLLERR)) || drained;
    if (ended) {
      st.Closed = true;
      int err = (rev & POLLERR) ? SocketError(s) : 0;
      if (st.Events & WS_FD_CLOSE) {
        post(WS_FD_CLOSE, err != 0 ? WsaFromErrno(err) : 0);
      } else if (st.ReadEnabled && pending == 0) {
        // Without a close notice the end shows as a last read notice (recv then gives 0).
        st.ReadEnabled = false;
        post(WS_FD_READ, 0);
      }
    }
  }

  std::mutex lock_;
  std::unordered_map<TSocket, SockState> map_;
  std::uint64_t gen_ = 0;
  int wake_ = -1;
  bool watching_ = false;
};

Registry& Sockets() { return Registry::Get(); }

// ---------------------------------------------------------------------------------------
// Addresses

bool ToSockaddr(const TWsSockAddr* name, int namelen, sockaddr_in& out) {
  if (name == nullptr || namelen < static_cast<int>(sizeof(TWsSockAddrIn))) return false;
  TWsSockAddrIn in;
  std::memcpy(&in, name, sizeof in);
  if (in.sin_family != WS_AF_INET) return false;
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.S_addr;
  return true;
}

// Writes an internet address into the caller's record; WSAEFAULT when it is too small.
int FromSockaddr(const sockaddr_storage& ss, TWsSockAddr* name, int* namelen) {
  if (name == nullptr || namelen == nullptr) return 0;
  if (*namelen < static_cast<int>(sizeof(TWsSockAddrIn))) return Fail(WSAEFAULT);
  TWsSockAddrIn in{};
  if (ss.ss_family == AF_INET) {
    const auto& sin = reinterpret_cast<const sockaddr_in&>(ss);
    in.sin_family = WS_AF_INET;
    in.sin_port = sin.sin_port;
    in.sin_addr.S_addr = sin.sin_addr.s_addr;
  } else {
    in.sin_family = static_cast<std::int16_t>(ss.ss_family);
  }
  std::memcpy(name, &in, sizeof in);
  *namelen = sizeof in;
  return 0;
}

// Socket options: the interface's numbers to the system's.
bool MapOption(int level, int optname, int& sysLevel, int& sysName) {
  if (level == WS_SOL_SOCKET) {
    sysLevel = SOL_SOCKET;
    switch (optname) {
      case WS_SO_DEBUG:
        sysName = SO_DEBUG;
        return true;
      case WS_SO_ACCEPTCONN:
        sysName = SO_ACCEPTCONN;
        return true;
      case WS_SO_REUSEADDR:
        sysName = SO_REUSEADDR;
        return true;
      case WS_SO_KEEPALIVE:
        sysName = SO_KEEPALIVE;
        return true;
      case WS_SO_DONTROUTE:
        sysName = SO_DONTROUTE;
        return true;
      case WS_SO_BROADCAST:
        sysName = SO_BROADCAST;
        return true;
      case WS_SO_LINGER:
        sysName = SO_LINGER;
        return true;
      case WS_SO_OOBINLINE:
        sysName = SO_OOBINLINE;
        return true;
      case WS_SO_SNDBUF:
        sysName = SO_SNDBUF;
        return true;
      case WS_SO_RCVBUF:
        sysName = SO_RCVBUF;
        return true;
      case WS_SO_ERROR:
        sysName = SO_ERROR;
        return true;
      case WS_SO_TYPE:
        sysName = SO_TYPE;
        return true;
      default:
        return false;
    }
  }
  if (level == WS_IPPROTO_TCP && optname == WS_TCP_NODELAY) {
    sysLevel = IPPROTO_TCP;
    sysName = TCP_NODELAY;
    return true;
  }
  return false;
}

int SysFlags(int flags) {
  int f = 0;
  if (flags & WS_MSG_OOB) f |= MSG_OOB;
  if (flags & WS_MSG_PEEK) f |= MSG_PEEK;
  if (flags & WS_MSG_DONTROUTE) f |= MSG_DONTROUTE;
  return f;
}

// ---------------------------------------------------------------------------------------
// Look-up records, one set per thread

struct HostRecord {
  TWsHostEnt ent{};
  std::string name;
  std::vector<std::string> aliases;
  std::vector<std::array<char, 4>> addrs;
  std::vector<char*> aliasPtrs, addrPtrs;
  TWsHostEnt* Fill() {
    aliasPtrs.clear();
    addrPtrs.clear();
    for (auto& a : aliases) aliasPtrs.push_back(a.data());
    aliasPtrs.push_back(nullptr);
    for (auto& a : addrs) addrPtrs.push_back(a.data());
    addrPtrs.push_back(nullptr);
    ent.h_name = name.data();
    ent.h_aliases = aliasPtrs.data();
    ent.h_addrtype = WS_AF_INET;
    ent.h_length = 4;
    ent.h_addr_list = addrPtrs.data();
    return &ent;
  }
};

struct ServRecord {
  TWsServEnt ent{};
  std::string name, proto;
  std::vector<std::string> aliases;
  std::vector<char*> aliasPtrs;
  TWsServEnt* Fill(const servent& s) {
    name = s.s_name ? s.s_name : "";
    proto = s.s_proto ? s.s_proto : "";
    aliases.clear();
    for (char** a = s.s_aliases; a && *a; ++a) aliases.emplace_back(*a);
    aliasPtrs.clear();
    for (auto& a : aliases) aliasPtrs.push_back(a.data());
    aliasPtrs.push_back(nullptr);
    ent.s_name = name.data();
    ent.s_aliases = aliasPtrs.data();
    ent.s_port = static_cast<std::int16_t>(s.s_port);  // both in network byte order
    ent.s_proto = proto.data();
    return &ent;
  }
};

struct ProtoRecord {
  TWsProtoEnt ent{};
  std::string name;
  std::vector<std::string> aliases;
  std::vector<char*> aliasPtrs;
  TWsProtoEnt* Fill(const protoent& p) {
    name = p.p_name ? p.p_name : "";
    aliases.clear();
    for (char** a = p.p_aliases; a && *a; ++a) aliases.emplace_back(*a);
    aliasPtrs.clear();
    for (auto& a : aliases) aliasPtrs.push_back(a.data());
    aliasPtrs.push_back(nullptr);
    ent.p_name = name.data();
    ent.p_aliases = aliasPtrs.data();
    ent.p_proto = static_cast<std::int16_t>(p.p_proto);
    return &ent;
  }
};

thread_local HostRecord tHost;
thread_local ServRecord tServ;
thread_local ProtoRecord tProto;
thread_local char tNtoa[INET_ADDRSTRLEN];

// ---------------------------------------------------------------------------------------
// The library

struct Export {
  const char* Name;
  void* Proc;
};

template <class F>
void* Proc(F* f) {
  return reinterpret_cast<void*>(f);
}

const Export kExports[] = {
    {"accept", Proc(&Wsaccept)},
    {"bind", Proc(&Wsbind)},
    {"closesocket", Proc(&Wsclosesocket)},
    {"connect", Proc(&Wsconnect)},
    {"getpeername", Proc(&Wsgetpeername)},
    {"getsockname", Proc(&Wsgetsockname)},
    {"getsockopt", Proc(&Wsgetsockopt)},
    {"htonl", Proc(&Wshtonl)},
    {"htons", Proc(&Wshtons)},
    {"inet_addr", Proc(&Wsinet_addr)},
    {"inet_ntoa", Proc(&Wsinet_ntoa)},
    {"ioctlsocket", Proc(&Wsioctlsocket)},
    {"listen", Proc(&Wslisten)},
    {"ntohl", Proc(&Wsntohl)},
    {"ntohs", Proc(&Wsntohs)},
    {"recv", Proc(&Wsrecv)},
    {"recvfrom", Proc(&Wsrecvfrom)},
    {"select", Proc(&Wsselect)},
    {"send", Proc(&Wssend)},
    {"sendto", Proc(&Wssendto)},
    {"setsockopt", Proc(&Wssetsockopt)},
    {"shutdown", Proc(&Wsshutdown)},
    {"socket", Proc(&Wssocket)},
    {"gethostbyaddr", Proc(&Wsgethostbyaddr)},
    {"gethostbyname", Proc(&Wsgethostbyname)},
    {"gethostname", Proc(&Wsgethostname)},
    {"getservbyport", Proc(&Wsgetservbyport)},
    {"getservbyname", Proc(&Wsgetservbyname)},
    {"getprotobynumber", Proc(&Wsgetprotobynumber)},
    {"getprotobyname", Proc(&Wsgetprotobyname)},
    {"WSAStartup", Proc(&WsWSAStartup)},
    {"WSACleanup", Proc(&WsWSACleanup)},
    {"WSASetLastError", Proc(&WsWSASetLastError)},
    {"WSAGetLastError", Proc(&WsWSAGetLastError)},
    {"WSAIsBlocking", Proc(&WsWSAIsBlocking)},
    {"WSAUnhookBlockingHook", Proc(&WsWSAUnhookBlockingHook)},
    {"WSASetBlockingHook", Proc(&WsWSASetBlockingHook)},
    {"WSACancelBlockingCall", Proc(&WsWSACancelBlockingCall)},
    {"WSAAsyncGetServByName", Proc(&WsWSAAsyncGetServByName)},
    {"WSAAsyncGetServByPort", Proc(&WsWSAAsyncGetServByPort)},
    {"WSAAsyncGetProtoByName", Proc(&WsWSAAsyncGetProtoByName)},
    {"WSAAsyncGetProtoByNumber", Proc(&WsWSAAsyncGetProtoByNumber)},
    {"WSAAsyncGetHostByName", Proc(&WsWSAAsyncGetHostByName)},
    {"WSAAsyncGetHostByAddr", Proc(&WsWSAAsyncGetHostByAddr)},
    {"WSACancelAsyncRequest", Proc(&WsWSACancelAsyncRequest)},
    {"WSAAsyncSelect", Proc(&WsWSAAsyncSelect)},
};

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

}  // namespace

struct TWsLibrary {
  std::atomic<int> Users{0};
};

TWsLibrary* WsLoadLibrary(std::string_view name) {
  static TWsLibrary library;
  if (!SameText(name, "WSOCK32") && !SameText(name, "WSOCK32.DLL")) return nullptr;
  ++library.Users;
  return &library;
}

void* WsGetProcAddress(TWsLibrary* library, std::string_view name) {
  if (library == nullptr) return nullptr;
  for (const Export& e : kExports)
    if (name == e.Name) return e.Proc;
  return nullptr;
}

void WsFreeLibrary(TWsLibrary* library) {
  if (library != nullptr) --library->Users;
}

// ---------------------------------------------------------------------------------------
// Start-up and errors

int WsWSAStartup(std::uint16_t versionRequested, TWsData* data) {
  const int major = versionRequested & 0xFF, minor = versionRequested >> 8;
  if (major < 1) return WSAVERNOTSUPPORTED;
  if (data == nullptr) return WSAEFAULT;
  std::memset(data, 0, sizeof *data);
  // 1.1 is the highest version offered; a request for a later one gets 1.1.
  data->wVersion = (major > 1 || minor >= 1) ? 0x0101 : versionRequested;
  data->wHighVersion = 0x0101;
  std::snprintf(data->szDescription, sizeof data->szDescription, "Windows Sockets 1.1 over Linux sockets");
  std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
  data->iMaxSockets = 32767;
  data->iMaxUdpDg = 65467;
  std::lock_guard<std::mutex> g(gStartLock);
  ++gStartups;
  return 0;
}

int WsWSACleanup() {
  std::lock_guard<std::mutex> g(gStartLock);
  if (gStartups == 0) return Fail(WSANOTINITIALISED);
  --gStartups;
  return 0;
}

void WsWSASetLastError(int error) { tLastError = error; }
int WsWSAGetLastError() { return tLastError; }

int WsWSAIsBlocking() { return 0; }
int WsWSAUnhookBlockingHook() {
  WS_NEED_START(WsSocketError);
  return 0;
}
TWsBlockingHook WsWSASetBlockingHook(TWsBlockingHook) {
  WS_NEED_START(nullptr);
  return nullptr;
}
int WsWSACancelBlockingCall() {
  WS_NEED_START(WsSocketError);
  return Fail(WSAEINVAL);  // no blocking call is in progress
}

TWsHandle WsWSAAsyncGetServByName(HWND, UINT, const char*, const char*, char*, int) {
  Fail(WSAEOPNOTSUPP);
  return 0;
}
TWsHandle WsWSAAsyncGetServByPort(HWND, UINT, int, const char*, char*, int) {
  Fail(WSAEOPNOTSUPP);
  return 0;
}
TWsHandle WsWSAAsyncGetProtoByName(HWND, UINT, const char*, char*, int) {
  Fail(WSAEOPNOTSUPP);
  return 0;
}
TWsHandle WsWSAAsyncGetProtoByNumber(HWND, UINT, int, char*, int) {
  Fail(WSAEOPNOTSUPP);
  return 0;
}
TWsHandle WsWSAAsyncGetHostByName(HWND, UINT, const char*, char*, int) {
  Fail(WSAEOPNOTSUPP);
  return 0;
}
TWsHandle WsWSAAsyncGetHostByAddr(HWND, UINT, const char*, int, int, char*, int) {
  Fail(WSAEOPNOTSUPP);
  return 0;
}
int WsWSACancelAsyncRequest(TWsHandle) { return Fail(WSAEINVAL); }

// ---------------------------------------------------------------------------------------
// Sockets

TSocket Wssocket(int af, int type, int protocol) {
  WS_NEED_START(WsInvalidSocket);
  if (af != WS_AF_INET) {
    Fail(WSAEAFNOSUPPORT);
    return WsInvalidSocket;
  }
  int sysType = type == WS_SOCK_STREAM ? SOCK_STREAM : type == WS_SOCK_DGRAM ? SOCK_DGRAM : -1;
  if (sysType < 0) {
    Fail(WSAESOCKTNOSUPPORT);
    return WsInvalidSocket;
  }
  int s = ::socket(AF_INET, sysType | SOCK_CLOEXEC, protocol);
  if (s < 0) {
    FailErrno();
    return WsInvalidSocket;
  }
  Sockets().Add(s);
  return s;
}

int Wsclosesocket(TSocket s) {
  WS_NEED_START(WsSocketError);
  Sockets().Remove(s);
  if (::close(s) != 0) return FailErrno();
  return 0;
}

void WsReleaseSocket(TSocket s) { Sockets().Remove(s); }

int Wsbind(TSocket s, const TWsSockAddr* addr, int namelen) {
  WS_NEED_START(WsSocketError);
  sockaddr_in sin;
  if (!ToSockaddr(addr, namelen, sin)) return Fail(WSAEFAULT);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) return FailErrno();
  return 0;
}

int Wsconnect(TSocket s, const TWsSockAddr* name, int namelen) {
  WS_NEED_START(WsSocketError);
  sockaddr_in sin;
  if (!ToSockaddr(name, namelen, sin)) return Fail(WSAEFAULT);
  int r;
  do {
    r = ::connect(s, reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
  } while (r != 0 && errno == EINTR && !(::fcntl(s, F_GETFL) & O_NONBLOCK));
  if (r == 0 || errno == EINPROGRESS) {
    const bool pending = r != 0;
    Sockets().With(s, [&](SockState& st) {
      // The connect notice comes from the watcher also when the connection was made at once.
      st.Connecting = st.Window != 0 || pending;
      if (!pending) st.Connected = true;
      st.Closed = false;
      return 0;
    });
    Sockets().Changed(s);
    if (pending) return Fail(WSAEWOULDBLOCK);
    return 0;
  }
  return FailErrno();
}

int Wslisten(TSocket s, int backlog) {
  WS_NEED_START(WsSocketError);
  if (::listen(s, backlog) != 0) return FailErrno();
  Sockets().With(s, [](SockState& st) {
    st.Listening = true;
    st.AcceptEnabled = true;
    return 0;
  });
  Sockets().Changed(s);
  return 0;
}

TSocket Wsaccept(TSocket s, TWsSockAddr* addr, int* addrlen) {
  WS_NEED_START(WsInvalidSocket);
  if (addr != nullptr && (addrlen == nullptr || *addrlen < static_cast<int>(sizeof(TWsSockAddrIn)))) {
    Fail(WSAEFAULT);
    return WsInvalidSocket;
  }
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  int c;
  do {
    c = ::accept4(s, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
  } while (c < 0 && errno == EINTR);
  const int err = errno;
  SockState like = Sockets().With(s, [](SockState& st) {
    st.AcceptEnabled = true;
    return st;
  });
  Sockets().Changed(s);
  if (c < 0) {
    Fail(WsaFromErrno(err));
    return WsInvalidSocket;
  }
  // The accepted socket takes over the listening socket's notices and blocking mode.
  if (like.NonBlocking) ::fcntl(c, F_SETFL, ::fcntl(c, F_GETFL) | O_NONBLOCK);
  Sockets().Add(c, &like);
  FromSockaddr(ss, addr, addrlen);
  return c;
}

int Wsrecv(TSocket s, char* buf, int len, int flags) {
  WS_NEED_START(WsSocketError);
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
  ssize_t n;
  do {
    n = ::recv(s, buf, static_cast<std::size_t>(len), SysFlags(flags));
  } while (n < 0 && errno == EINTR);
  const int err = errno;
  Sockets().With(s, [](SockState& st) {
    st.ReadEnabled = true;
    return 0;
  });
  Sockets().Changed(s);
  if (n < 0) return Fail(WsaFromErrno(err));
  return static_cast<int>(n);
}

int Wsrecvfrom(TSocket s, char* buf, int len, int flags, TWsSockAddr* from, int* fromlen) {
  WS_NEED_START(WsSocketError);
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
  sockaddr_storage ss{};
  socklen_t sl = sizeof ss;
  ssize_t n;
  do {
    n = ::recvfrom(s, buf, static_cast<std::size_t>(len), SysFlags(flags), reinterpret_cast<sockaddr*>(&ss),
                   &sl);
  } while (n < 0 && errno == EINTR);
  const int err = errno;
  Sockets().With(s, [](SockState& st) {
    st.ReadEnabled = true;
    return 0;
  });
  Sockets().Changed(s);
  if (n < 0) return Fail(WsaFromErrno(err));
  if (from != nullptr && sl > 0 && FromSockaddr(ss, from, fromlen) != 0) return WsSocketError;
  return static_cast<int>(n);
}

int Wssend(TSocket s, const char* buf, int len, int flags) {
  WS_NEED_START(WsSocketError);
  if (len < 0 || (buf == nullptr && len > 0)) return Fail(WSAEFAULT);
  ssize_t n;
  do {
    n = ::send(s, buf, static_cast<std::size_t>(len), SysFlags(flags) | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);
  const int err = errno;
  bool shut = Sockets().With(s, [&](SockState& st) {
    if (err == EAGAIN) st.WriteEnabled = true;
    return st.ShutSend;
  });
  if (err == EAGAIN) Sockets().Changed(s);
  if (err == EPIPE && shut) return Fail(WSAESHUTDOWN);
  return Fail(WsaFromErrno(err));
}

int Wssendto(TSocket s, const char* buf, int len, int flags, const TWsSockAddr* to, int tolen) {
  WS_NEED_START(WsSocketError);
  if (to == nullptr) return Wssend(s, buf, len, flags);
  sockaddr_in sin;
  if (!ToSockaddr(to, tolen, sin)) return Fail(WSAEFAULT);
  ssize_t n;
  do {
    n = ::sendto(s, buf, static_cast<std::size_t>(len), SysFlags(flags) | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
  } while (n < 0 && errno == EINTR);
  if (n >= 0) return static_cast<int>(n);
  const int err = errno;
  if (err == EAGAIN) {
    Sockets().With(s, [](SockState& st) {
      st.WriteEnabled = true;
      return 0;
    });
    Sockets().Changed(s);
  }
  return Fail(WsaFromErrno(err));
}

int Wsshutdown(TSocket s, int how) {
  WS_NEED_START(WsSocketError);
  int sysHow = how == WS_SD_RECEIVE ? SHUT_RD
               : how == WS_SD_SEND  ? SHUT_WR
               : how == WS_SD_BOTH  ? SHUT_RDWR
                                    : -1;
  if (sysHow < 0) return Fail(WSAEINVAL);
  if (::shutdown(s, sysHow) != 0) return FailErrno();
  if (how != WS_SD_RECEIVE)
    Sockets().With(s, [](SockState& st) {
      st.ShutSend = true;
      return 0;
    });
  return 0;
}

int Wsgetpeername(TSocket s, TWsSockAddr* name, int* namelen) {
  WS_NEED_START(WsSocketError);
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailErrno();
  return FromSockaddr(ss, name, namelen);
}

int Wsgetsockname(TSocket s, TWsSockAddr* name, int* namelen) {
  WS_NEED_START(WsSocketError);
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailErrno();
  return FromSockaddr(ss, name, namelen);
}

int Wsgetsockopt(TSocket s, int level, int optname, char* optval, int* optlen) {
  WS_NEED_START(WsSocketError);
  if (optval == nullptr || optlen == nullptr || *optlen <= 0) return Fail(WSAEFAULT);
  int sysLevel = 0, sysName = 0;
  if (!MapOption(level, optname, sysLevel, sysName)) return Fail(WSAENOPROTOOPT);
  if (sysName == SO_LINGER && sysLevel == SOL_SOCKET) {
    if (*optlen < static_cast<int>(sizeof(TWsLinger))) return Fail(WSAEFAULT);
    linger l{};
    socklen_t len = sizeof l;
    if (::getsockopt(s, sysLevel, sysName, &l, &len) != 0) return FailErrno();
    TWsLinger w{static_cast<std::uint16_t>(l.l_onoff), static_cast<std::uint16_t>(l.l_linger)};
    std::memcpy(optval, &w, sizeof w);
    *optlen = sizeof w;
    return 0;
  }
  int v = 0;
  socklen_t len = sizeof v;
  if (::getsockopt(s, sysLevel, sysName, &v, &len) != 0) return FailErrno();
  if (sysName == SO_ERROR && sysLevel == SOL_SOCKET && v != 0) v = WsaFromErrno(v);
  if (sysName == SO_TYPE && sysLevel == SOL_SOCKET) v = v == SOCK_STREAM ? WS_SOCK_STREAM : WS_SOCK_DGRAM;
  const int n = std::min<int>(*optlen, sizeof v);
  std::memcpy(optval, &v, static_cast<std::size_t>(n));
  *optlen = n;
  return 0;
}

int Wssetsockopt(TSocket s, int level, int optname, const char* optval, int optlen) {
  WS_NEED_START(WsSocketError);
  if (optval == nullptr || optlen <= 0) return Fail(WSAEFAULT);
  int sysLevel = 0, sysName = 0;
  if (!MapOption(level, optname, sysLevel, sysName)) return Fail(WSAENOPROTOOPT);
  if (sysName == SO_LINGER && sysLevel == SOL_SOCKET) {
    if (optlen < static_cast<int>(sizeof(TWsLinger))) return Fail(WSAEFAULT);
    TWsLinger w;
    std::memcpy(&w, optval, sizeof w);
    linger l{w.l_onoff, w.l_linger};
    if (::setsockopt(s, sysLevel, sysName, &l, sizeof l) != 0) return FailErrno();
    return 0;
  }
  // A boolean or number option: one byte or more, read as far as it goes.
  int v = 0;
  std::memcpy(&v, optval, static_cast<std::size_t>(std::min<int>(optlen, sizeof v)));
  if (optlen < static_cast<int>(sizeof v)) v &= (1 << (8 * optlen)) - 1;
  if (::setsockopt(s, sysLevel, sysName, &v, sizeof v) != 0) return FailErrno();
  return 0;
}

int Wsioctlsocket(TSocket s, long cmd, std::uint32_t* argp) {
  WS_NEED_START(WsSocketError);
  if (argp == nullptr) return Fail(WSAEFAULT);
  if (cmd == WS_FIONBIO) {
    int fl = ::fcntl(s, F_GETFL);
    if (fl < 0) return FailErrno();
    const bool on = *argp != 0;
    bool selected = Sockets().With(s, [](SockState& st) { return st.Window != 0; });
    // A socket whose notices go to a window stays non-blocking.
    if (!on && selected) return Fail(WSAEINVAL);
    if (::fcntl(s, F_SETFL, on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK)) != 0) return FailErrno();
    Sockets().With(s, [&](SockState& st) {
      st.NonBlocking = on;
      return 0;
    });
    return 0;
  }
  if (cmd == WS_FIONREAD) {
    int n = 0;
    if (::ioctl(s, FIONREAD, &n) != 0) return FailErrno();
    *argp = static_cast<std::uint32_t>(n);
    return 0;
  }
  if (cmd == WS_SIOCATMARK) {
    int at = 0;
    if (::ioctl(s, SIOCATMARK, &at) != 0) return FailErrno();
    *argp = at != 0 ? 1 : 0;
    return 0;
  }
  return Fail(WSAEINVAL);
}

int Wsselect(int, TWsFdSet* readfds, TWsFdSet* writefds, TWsFdSet* exceptfds, const TWsTimeVal* timeout) {
  WS_NEED_START(WsSocketError);
  struct Entry {
    TSocket s;
    short ev;
  };
  std::vector<pollfd> fds;
  auto add = [&](TWsFdSet* set, short ev) {
    if (set == nullptr) return true;
    if (set->fd_count > WS_FD_SETSIZE) return false;
    for (std::uint32_t i = 0; i < set->fd_count; ++i) {
      TSocket s = set->fd_array[i];
      auto it = std::find_if(fds.begin(), fds.end(), [&](const pollfd& p) { return p.fd == s; });
      if (it == fds.end())
        fds.push_back({s, ev, 0});
      else
        it->events |= ev;
    }
    return true;
  };
  if (!add(readfds, POLLIN) || !add(writefds, POLLOUT) || !add(exceptfds, POLLPRI)) return Fail(WSAEINVAL);
  if (fds.empty()) return Fail(WSAEINVAL);
  int ms = -1;
  if (timeout != nullptr) {
    if (timeout->tv_sec < 0 || timeout->tv_usec < 0) return Fail(WSAEINVAL);
    long long total = static_cast<long long>(timeout->tv_sec) * 1000 + (timeout->tv_usec + 999) / 1000;
    ms = static_cast<int>(std::min<long long>(total, 0x7FFFFFFF));
  }
  int r;
  do {
    r = ::poll(fds.data(), fds.size(), ms);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return FailErrno();
  for (const pollfd& p : fds)
    if (p.revents & POLLNVAL) return Fail(WSAENOTSOCK);
  int count = 0;
  auto keep = [&](TWsFdSet* set, short ev) {
    if (set == nullptr) return;
    std::uint32_t out = 0;
    for (std::uint32_t i = 0; i < set->fd_count; ++i) {
      TSocket s = set->fd_array[i];
      auto it = std::find_if(fds.begin(), fds.end(), [&](const pollfd& p) { return p.fd == s; });
      // A socket with an error or a closed connection counts as readable and writable.
      if (it != fds.end() && (it->revents & (ev | POLLERR | POLLHUP))) {
        set->fd_array[out++] = s;
        ++count;
      }
    }
    set->fd_count = out;
  };
  keep(readfds, POLLIN);
  keep(writefds, POLLOUT);
  keep(exceptfds, POLLPRI);
  return count;
}

// ---------------------------------------------------------------------------------------
// Byte order and addresses

std::uint32_t Wshtonl(std::uint32_t v) { return htonl(v); }
std::uint16_t Wshtons(std::uint16_t v) { return htons(v); }
std::uint32_t Wsntohl(std::uint32_t v) { return ntohl(v); }
std::uint16_t Wsntohs(std::uint16_t v) { return ntohs(v); }

std::uint32_t Wsinet_addr(const char* cp) {
  if (cp == nullptr) return WS_INADDR_NONE;
  in_addr a;
  if (::inet_aton(cp, &a) == 0) return WS_INADDR_NONE;
  return a.s_addr;
}

char* Wsinet_ntoa(TWsInAddr in) {
  in_addr a;
  a.s_addr = in.S_addr;
  if (::inet_ntop(AF_INET, &a, tNtoa, sizeof tNtoa) == nullptr) return nullptr;
  return tNtoa;
}

// ---------------------------------------------------------------------------------------
// Look-ups

TWsHostEnt* Wsgethostbyname(const char* name) {
  WS_NEED_START(nullptr);
  if (name == nullptr) {
    Fail(WSAEFAULT);
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* res = nullptr;
  int e = ::getaddrinfo(name, nullptr, &hints, &res);
  if (e != 0) {
    Fail(WsaFromGai(e));
    return nullptr;
  }
  HostRecord& h = tHost;
  h.name = res->ai_canonname ? res->ai_canonname : name;
  h.aliases.clear();
  if (h.name != name) h.aliases.emplace_back(name);
  h.addrs.clear();
  for (addrinfo* p = res; p; p = p->ai_next) {
    if (p->ai_family != AF_INET) continue;
    std::array<char, 4> a;
    std::memcpy(a.data(), &reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr, 4);
    if (std::find(h.addrs.begin(), h.addrs.end(), a) == h.addrs.end()) h.addrs.push_back(a);
  }
  ::freeaddrinfo(res);
  if (h.addrs.empty()) {
    Fail(WSANO_DATA);
    return nullptr;
  }
  return h.Fill();
}

TWsHostEnt* Wsgethostbyaddr(const char* addr, int len, int type) {
  WS_NEED_START(nullptr);
  if (addr == nullptr || len != 4) {
    Fail(WSAEFAULT);
    return nullptr;
  }
  if (type != WS_AF_INET) {
    Fail(WSAEAFNOSUPPORT);
    return nullptr;
  }
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  std::memcpy(&sin.sin_addr, addr, 4);
  char host[NI_MAXHOST];
  int e = ::getnameinfo(reinterpret_cast<sockaddr*>(&sin), sizeof sin, host, sizeof host, nullptr, 0,
                        NI_NAMEREQD);
  if (e != 0) {
    Fail(WsaFromGai(e));
    return nullptr;
  }
  HostRecord& h = tHost;
  h.name = host;
  h.aliases.clear();
  h.addrs.clear();
  std::array<char, 4> a;
  std::memcpy(a.data(), addr, 4);
  h.addrs.push_back(a);
  return h.Fill();
}

int Wsgethostname(char* name, int namelen) {
  WS_NEED_START(WsSocketError);
  if (name == nullptr || namelen <= 0) return Fail(WSAEFAULT);
  char buf[HOST_NAME_MAX + 1];
  if (::gethostname(buf, sizeof buf) != 0) return FailErrno();
  buf[HOST_NAME_MAX] = '\0';
  if (std::strlen(buf) >= static_cast<std::size_t>(namelen)) return Fail(WSAEFAULT);
  std::strcpy(name, buf);
  return 0;
}

TWsServEnt* Wsgetservbyname(const char* name, const char* proto) {
  WS_NEED_START(nullptr);
  if (name == nullptr) {
    Fail(WSAEFAULT);
    return nullptr;
  }
  servent se, *out = nullptr;
  char buf[4096];
  if (::getservbyname_r(name, proto, &se, buf, sizeof buf, &out) != 0 || out == nullptr) {
    Fail(WSANO_DATA);
    return nullptr;
  }
  return tServ.Fill(*out);
}

TWsServEnt* Wsgetservbyport(int port, const char* proto) {
  WS_NEED_START(nullptr);
  servent se, *out = nullptr;
  char buf[4096];
  if (::getservbyport_r(port, proto, &se, buf, sizeof buf, &out) != 0 || out == nullptr) {
    Fail(WSANO_DATA);
    return nullptr;
  }
  return tServ.Fill(*out);
}

TWsProtoEnt* Wsgetprotobyname(const char* name) {
  WS_NEED_START(nullptr);
  if (name == nullptr) {
    Fail(WSAEFAULT);
    return nullptr;
  }
  protoent pe, *out = nullptr;
  char buf[4096];
  if (::getprotobyname_r(name, &pe, buf, sizeof buf, &out) != 0 || out == nullptr) {
    Fail(WSANO_DATA);
    return nullptr;
  }
  return tProto.Fill(*out);
}

TWsProtoEnt* Wsgetprotobynumber(int proto) {
  WS_NEED_START(nullptr);
  protoent pe, *out = nullptr;
  char buf[4096];
  if (::getprotobynumber_r(proto, &pe, buf, sizeof buf, &out) != 0 || out == nullptr) {
    Fail(WSANO_DATA);
    return nullptr;
  }
  return tProto.Fill(*out);
}

// ---------------------------------------------------------------------------------------
// Notices

int WsWSAAsyncSelect(TSocket s, HWND hwnd, UINT msg, long events) {
  WS_NEED_START(WsSocketError);
  if (events != 0 && !IsWindow(hwnd)) return Fail(WSAEINVAL);
  return Sockets().AsyncSelect(s, hwnd, msg, events);
}
