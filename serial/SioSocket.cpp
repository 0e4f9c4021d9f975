// The socket layer (SioSocket.h).
#include "serial/SioSocket.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>

#include "serial/SioWin32.h"

std::string SioSocketLibraryName = "WSOCK32";

namespace {

constexpr const char* kSocketWindowClass = "swSocketWindow";
constexpr UINT kQueryEndSession = 17;
constexpr std::uint16_t kVersion11 = 0x0101;
constexpr const char* kNotInitialized = "Winsock not initialized - %s";
constexpr const char* kTcp = "tcp";
// The longest dotted address, "255.255.255.255".
constexpr std::size_t kMaxDottedLength = 15;

// The entry points, looked up by name in this order.
struct TWinsockProcs {
  decltype(&Wsaccept) accept;
  decltype(&Wsbind) bind;
  decltype(&Wsclosesocket) closesocket;
  decltype(&Wsconnect) connect;
  decltype(&Wsgetpeername) getpeername;
  decltype(&Wsgetsockname) getsockname;
  decltype(&Wsgetsockopt) getsockopt;
  decltype(&Wshtonl) htonl_;
  decltype(&Wshtons) htons_;
  decltype(&Wsinet_addr) inet_addr;
  decltype(&Wsinet_ntoa) inet_ntoa;
  decltype(&Wsioctlsocket) ioctlsocket;
  decltype(&Wslisten) listen;
  decltype(&Wsntohl) ntohl_;
  decltype(&Wsntohs) ntohs_;
  decltype(&Wsrecv) recv;
  decltype(&Wsrecvfrom) recvfrom;
  decltype(&Wsselect) select;
  decltype(&Wssend) send;
  decltype(&Wssendto) sendto;
  decltype(&Wssetsockopt) setsockopt;
  decltype(&Wsshutdown) shutdown;
  decltype(&Wssocket) socket;
  decltype(&Wsgethostbyaddr) gethostbyaddr;
  decltype(&Wsgethostbyname) gethostbyname;
  decltype(&Wsgethostname) gethostname;
  decltype(&Wsgetservbyport) getservbyport;
  decltype(&Wsgetservbyname) getservbyname;
  decltype(&Wsgetprotobynumber) getprotobynumber;
  decltype(&Wsgetprotobyname) getprotobyname;
  decltype(&WsWSAStartup) WSAStartup;
  decltype(&WsWSACleanup) WSACleanup;
  decltype(&WsWSASetLastError) WSASetLastError;
  decltype(&WsWSAGetLastError) WSAGetLastError;
  decltype(&WsWSAIsBlocking) WSAIsBlocking;
  decltype(&WsWSAUnhookBlockingHook) WSAUnhookBlockingHook;
  decltype(&WsWSASetBlockingHook) WSASetBlockingHook;
  decltype(&WsWSACancelBlockingCall) WSACancelBlockingCall;
  decltype(&WsWSAAsyncGetServByName) WSAAsyncGetServByName;
  decltype(&WsWSAAsyncGetServByPort) WSAAsyncGetServByPort;
  decltype(&WsWSAAsyncGetProtoByName) WSAAsyncGetProtoByName;
  decltype(&WsWSAAsyncGetProtoByNumber) WSAAsyncGetProtoByNumber;
  decltype(&WsWSAAsyncGetHostByName) WSAAsyncGetHostByName;
  decltype(&WsWSAAsyncGetHostByAddr) WSAAsyncGetHostByAddr;
  decltype(&WsWSACancelAsyncRequest) WSACancelAsyncRequest;
  decltype(&WsWSAAsyncSelect) WSAAsyncSelect;
};

// The table of the process: cleared when the unit starts, the library freed when it ends.
struct TWinsockUnit {
  std::mutex Lock;
  TWsLibrary* Library = nullptr;
  TWinsockProcs Procs{};
  bool Loaded = false;
  ~TWinsockUnit() {
    if (Library) WsFreeLibrary(Library);
  }
};

TWinsockUnit& Unit() {
  static TWinsockUnit unit;
  return unit;
}

const TWinsockProcs& Ws() { return Unit().Procs; }

template <class F>
bool Lookup(TWsLibrary* library, const char* name, F& slot) {
  slot = reinterpret_cast<F>(WsGetProcAddress(library, name));
  return slot != nullptr;
}

std::string Format(const char* pattern, const std::string& text) {
  char buf[512];
  std::snprintf(buf, sizeof buf, pattern, text.c_str());
  return buf;
}

std::string FixedText(const char* field, std::size_t size) {
  return std::string(field, strnlen(field, size));
}

}  // namespace

bool LoadWinsock() {
  TWinsockUnit& u = Unit();
  std::lock_guard<std::mutex> g(u.Lock);
  if (u.Loaded) return true;
  TWsLibrary* lib = WsLoadLibrary(SioSocketLibraryName);
  if (lib == nullptr) return false;
  TWinsockProcs& p = u.Procs;
  const bool all =
      Lookup(lib, "accept", p.accept) && Lookup(lib, "bind", p.bind) &&
      Lookup(lib, "closesocket", p.closesocket) && Lookup(lib, "connect", p.connect) &&
      Lookup(lib, "getpeername", p.getpeername) && Lookup(lib, "getsockname", p.getsockname) &&
      Lookup(lib, "getsockopt", p.getsockopt) && Lookup(lib, "htonl", p.htonl_) &&
      Lookup(lib, "htons", p.htons_) && Lookup(lib, "inet_addr", p.inet_addr) &&
      Lookup(lib, "inet_ntoa", p.inet_ntoa) && Lookup(lib, "ioctlsocket", p.ioctlsocket) &&
      Lookup(lib, "listen", p.listen) && Lookup(lib, "ntohl", p.ntohl_) && Lookup(lib, "ntohs", p.ntohs_) &&
      Lookup(lib, "recv", p.recv) && Lookup(lib, "recvfrom", p.recvfrom) && Lookup(lib, "select", p.select) &&
      Lookup(lib, "send", p.send) && Lookup(lib, "sendto", p.sendto) &&
      Lookup(lib, "setsockopt", p.setsockopt) && Lookup(lib, "shutdown", p.shutdown) &&
      Lookup(lib, "socket", p.socket) && Lookup(lib, "gethostbyaddr", p.gethostbyaddr) &&
      Lookup(lib, "gethostbyname", p.gethostbyname) && Lookup(lib, "gethostname", p.gethostname) &&
      Lookup(lib, "getservbyport", p.getservbyport) && Lookup(lib, "getservbyname", p.getservbyname) &&
      Lookup(lib, "getprotobynumber", p.getprotobynumber) &&
      Lookup(lib, "getprotobyname", p.getprotobyname) && Lookup(lib, "WSAStartup", p.WSAStartup) &&
      Lookup(lib, "WSACleanup", p.WSACleanup) && Lookup(lib, "WSASetLastError", p.WSASetLastError) &&
      Lookup(lib, "WSAGetLastError", p.WSAGetLastError) && Lookup(lib, "WSAIsBlocking", p.WSAIsBlocking) &&
      Lookup(lib, "WSAUnhookBlockingHook", p.WSAUnhookBlockingHook) &&
      Lookup(lib, "WSASetBlockingHook", p.WSASetBlockingHook) &&
      Lookup(lib, "WSACancelBlockingCall", p.WSACancelBlockingCall) &&
      Lookup(lib, "WSAAsyncGetServByName", p.WSAAsyncGetServByName) &&
      Lookup(lib, "WSAAsyncGetServByPort", p.WSAAsyncGetServByPort) &&
      Lookup(lib, "WSAAsyncGetProtoByName", p.WSAAsyncGetProtoByName) &&
      Lookup(lib, "WSAAsyncGetProtoByNumber", p.WSAAsyncGetProtoByNumber) &&
      Lookup(lib, "WSAAsyncGetHostByName", p.WSAAsyncGetHostByName) &&
      Lookup(lib, "WSAAsyncGetHostByAddr", p.WSAAsyncGetHostByAddr) &&
      Lookup(lib, "WSACancelAsyncRequest", p.WSACancelAsyncRequest) &&
      Lookup(lib, "WSAAsyncSelect", p.WSAAsyncSelect);
  if (!all) {
    p = TWinsockProcs{};
    WsFreeLibrary(lib);
    return false;
  }
  u.Library = lib;
  u.Loaded = true;
  return true;
}

// ---------------------------------------------------------------------------------------
// Creation and destruction
// ---------------------------------------------------------------------------------------

TSioSocket::TSioSocket(TSioComponentOwner* owner) : TSioComponentOwner(owner) {
  FLoaded = LoadWinsock();
  if (FLoaded) {
    int e = Ws().WSAStartup(kVersion11, &FData);
    if (e != 0)
      FStartupError = e;
    else if (FData.wVersion != kVersion11)
      FStartupError = -ecWsVersionError;
  } else {
    FStartupError = -ecWsLoadError;
  }
  if (FStartupError == 0 || FStartupError == -ecWsVersionError) {
    RegisterClass(kSocketWindowClass, &TSioSocket::WindowProc);
    FHandle = CreateWindow(kSocketWindowClass, this);
  }
}

TSioSocket::~TSioSocket() {
  if (FLoaded) {
    const TWinsockProcs& ws = Ws();
    if (ws.WSAIsBlocking()) ws.WSACancelBlockingCall();
    // Only a start that succeeded has a clean-up of its own.
    if (FStartupError == 0 || FStartupError == -ecWsVersionError) ws.WSACleanup();
  }
  if (FHandle != 0) DestroyWindow(FHandle);
}

LRESULT TSioSocket::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kQueryEndSession) return 1;
  if (msg == CM_SIOSOCKET) {
    if (auto* self = static_cast<TSioSocket*>(GetWindowUserData(hwnd))) {
      try {
        self->CMSIOSocketMessage(wParam, lParam);
      } catch (const std::exception& e) {
        SioHandleException(e);
      }
    }
    return 0;
  }
  return DefWindowProc(hwnd, msg, wParam, lParam);
}

void TSioSocket::CheckLoaded() {
  if (FStartupError == 0) return;
  throw ESioSocketException(Format(kNotInitialized, SioLoadStrUtf8(FStartupError)), FStartupError);
}

int TSioSocket::Checked(int s, int result, bool wouldBlockIsFine) {
  if (result == WsSocketError) {
    int e = Ws().WSAGetLastError();
    if (!(wouldBlockIsFine && e == WSAEWOULDBLOCK)) DoError(s, e);
  }
  return result;
}

// ---------------------------------------------------------------------------------------
// Notices
// ---------------------------------------------------------------------------------------

void TSioSocket::CMSIOSocketMessage(WPARAM wParam, LPARAM lParam) {
  const int s = static_cast<int>(wParam);
  if (int error = wsaGetSelectError(lParam); error != 0) {
    DoError(s, error);
    return;
  }
  switch (wsaGetSelectEvent(lParam)) {
    case WS_FD_READ:
      DoRead(s);
      break;
    case WS_FD_WRITE:
      DoWrite(s);
      break;
    case WS_FD_ACCEPT:
      DoAccept(s);
      break;
    case WS_FD_CONNECT:
      DoConnect(s);
      break;
    case WS_FD_CLOSE:
      DoDisconnect(s);
      break;
    default:
      break;
  }
}

void TSioSocket::DoAccept(int s) {
  if (FOnWsAccept) FOnWsAccept(this, s);
}
void TSioSocket::DoConnect(int s) {
  if (FOnWsConnect) FOnWsConnect(this, s);
}
void TSioSocket::DoDisconnect(int s) {
  if (FOnWsDisconnect) FOnWsDisconnect(this, s);
}
void TSioSocket::DoRead(int s) {
  if (FOnWsRead) FOnWsRead(this, s);
}
void TSioSocket::DoWrite(int s) {
  if (FOnWsWrite) FOnWsWrite(this, s);
}
void TSioSocket::DoError(int s, int errCode) {
  if (FOnWsError) {
    FOnWsError(this, s, errCode);
    return;
  }
  throw ESioSocketException(SioLoadStrUtf8(errCode), errCode);
}

// ---------------------------------------------------------------------------------------
// Operations
// ---------------------------------------------------------------------------------------

int TSioSocket::CreateSocket() {
  CheckLoaded();
  int s = Ws().socket(WS_AF_INET, WS_SOCK_STREAM, 0);
  if (s == WsInvalidSocket) {
    int e = Ws().WSAGetLastError();
    throw ESioSocketException(SioLoadStrUtf8(e), e);
  }
  return s;
}

int TSioSocket::BindSocket(int s, const TWsSockAddrIn& addr) {
  CheckLoaded();
  return Checked(s, Ws().bind(s, reinterpret_cast<const TWsSockAddr*>(&addr), sizeof addr), false);
}

int TSioSocket::ConnectSocket(int s, const TWsSockAddrIn& addr) {
  CheckLoaded();
  return Checked(s, Ws().connect(s, reinterpret_cast<const TWsSockAddr*>(&addr), sizeof addr), true);
}

int TSioSocket::ListenSocket(int s, int backlog) {
  CheckLoaded();
  return Checked(s, Ws().listen(s, backlog), true);
}

int TSioSocket::AcceptSocket(int s, TWsSockAddrIn& addr) {
  CheckLoaded();
  int len = sizeof addr;
  return Checked(s, Ws().accept(s, reinterpret_cast<TWsSockAddr*>(&addr), &len), false);
}

int TSioSocket::ReadSocket(int s, void* buffer, int size, int flags) {
  CheckLoaded();
  return Checked(s, Ws().recv(s, static_cast<char*>(buffer), size, flags), true);
}

int TSioSocket::WriteSocket(int s, const void* buffer, int size, int flags) {
  CheckLoaded();
  return Checked(s, Ws().send(s, static_cast<const char*>(buffer), size, flags), true);
}

int TSioSocket::ShutdownSocket(int s, int how) {
  CheckLoaded();
  return Checked(s, Ws().shutdown(s, how), true);
}

int TSioSocket::CloseSocket(int s) {
  CheckLoaded();
  return Checked(s, Ws().closesocket(s), false);
}

int TSioSocket::SetAsyncStyles(int s, long events) {
  CheckLoaded();
  return Checked(s, Ws().WSAAsyncSelect(s, FHandle, CM_SIOSOCKET, events), false);
}

int TSioSocket::SetSocketOptions(int s, int level, int option, const void* value, int size) {
  CheckLoaded();
  return Checked(s, Ws().setsockopt(s, level, option, static_cast<const char*>(value), size), false);
}

bool TSioSocket::CanReadSocket(int s, int timeoutMs) {
  CheckLoaded();
  TWsFdSet set{};
  set.fd_count = 1;
  set.fd_array[0] = s;
  TWsTimeVal tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return Ws().select(0, &set, nullptr, nullptr, &tv) > 0;
}

bool TSioSocket::CanWriteSocket(int s, int timeoutMs) {
  CheckLoaded();
  TWsFdSet set{};
  set.fd_count = 1;
  set.fd_array[0] = s;
  TWsTimeVal tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return Ws().select(0, nullptr, &set, nullptr, &tv) > 0;
}

std::uint32_t(TSioSocket::htonl)(std::uint32_t v) {
  CheckLoaded();
  return Ws().htonl_(v);
}
std::uint16_t(TSioSocket::htons)(std::uint16_t v) {
  CheckLoaded();
  return Ws().htons_(v);
}
std::uint32_t(TSioSocket::ntohl)(std::uint32_t v) {
  CheckLoaded();
  return Ws().ntohl_(v);
}
std::uint16_t(TSioSocket::ntohs)(std::uint16_t v) {
  CheckLoaded();
  return Ws().ntohs_(v);
}

std::string TSioSocket::NetAddr2String(TWsInAddr addr) {
  CheckLoaded();
  const char* text = Ws().inet_ntoa(addr);
  return text ? text : "";
}

TWsInAddr TSioSocket::String2NetAddr(std::string_view text) {
  CheckLoaded();
  // A longer text is no address; cut to 15 characters it could read as another one.
  if (text.size() > kMaxDottedLength) return TWsInAddr{WS_INADDR_NONE};
  const std::string s(text);
  return TWsInAddr{Ws().inet_addr(s.c_str())};
}

std::string TSioSocket::LookupAddress(TWsInAddr addr) {
  CheckLoaded();
  const TWsHostEnt* he = Ws().gethostbyaddr(reinterpret_cast<const char*>(&addr), 4, WS_AF_INET);
  return he && he->h_name ? he->h_name : "";
}

TWsInAddr TSioSocket::LookupName(std::string_view name) {
  CheckLoaded();
  const std::string s(name);
  const TWsHostEnt* he = Ws().gethostbyname(s.c_str());
  TWsInAddr a{0};
  if (he && he->h_addr_list && he->h_addr_list[0]) std::memcpy(&a.S_addr, he->h_addr_list[0], 4);
  return a;
}

std::string TSioSocket::LookupPort(std::uint16_t port) {
  CheckLoaded();
  const TWsServEnt* se = Ws().getservbyport(Ws().htons_(port), nullptr);
  return se && se->s_name ? se->s_name : "";
}

std::uint16_t TSioSocket::LookupService(std::string_view name) {
  CheckLoaded();
  const std::string s(name);
  const TWsServEnt* se = Ws().getservbyname(s.c_str(), kTcp);
  return se ? Ws().ntohs_(static_cast<std::uint16_t>(se->s_port)) : 0;
}

std::string TSioSocket::GetLocalHost() {
  CheckLoaded();
  char name[257] = {};
  if (Ws().gethostname(name, 256) != 0) return "";
  return name;
}

std::string TSioSocket::GetLocalAddress() {
  const std::string host = GetLocalHost();
  const TWsHostEnt* he = Ws().gethostbyname(host.c_str());
  if (!he || !he->h_addr_list || !he->h_addr_list[0]) return "";
  TWsInAddr a;
  std::memcpy(&a.S_addr, he->h_addr_list[0], 4);
  return NetAddr2String(a);
}

int TSioSocket::GetLastError() {
  CheckLoaded();
  return Ws().WSAGetLastError();
}

std::string TSioSocket::GetDescription() {
  CheckLoaded();
  return FixedText(FData.szDescription, sizeof FData.szDescription);
}

std::string TSioSocket::GetSystemStatus() {
  CheckLoaded();
  return FixedText(FData.szSystemStatus, sizeof FData.szSystemStatus);
}

// ---------------------------------------------------------------------------------------
// A port over a socket
// ---------------------------------------------------------------------------------------

void TSioSocketPort::ActivateDeviceLayer() {
  // The port takes the socket with this open.
  SetActivatedDispatcher(new TSioWinsockDispatcher(this, FSocket));
  FSocket = -1;
}

void TSioSocketPort::InitializePort() {
  int r = ActivatedDispatcher()->InitSocket(GetInSize(), GetOutSize());
  if (r != 0) RaiseSioException(r);
}
