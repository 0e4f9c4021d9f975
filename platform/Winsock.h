#pragma once
// The Windows Sockets 1.1 interface that the communications library loads at run time, over
// the BSD sockets of Linux.
//
// The library is found by name (WsLoadLibrary("WSOCK32")) and its entry points by their
// names ("accept", "bind", ..., "WSAAsyncSelect"), each pointing at the Ws... function of
// the same name below. Records, constants and error numbers are those of the published
// 1.1 interface; addresses and ports in the records are in network byte order.
//
// Behaviour as the library relies on it:
// - Errors: a call that fails returns WsSocketError (-1), WsInvalidSocket or null and
//   leaves a Windows Sockets error number (10004 .. 11004) for WsWSAGetLastError, kept per
//   thread. "Would block" is 10035, also for a non-blocking connect that has not finished.
// - Sockets are blocking until WsioctlSocket(FIONBIO) or WsWSAAsyncSelect makes them
//   non-blocking. Sending never raises SIGPIPE: a connection the peer has closed gives an
//   error number instead.
// - WsWSAAsyncSelect posts notices to a window of the message queue (platform/Messages.h):
//   wParam the socket, the low word of lParam the event (WS_FD_...), the high word an error
//   number. As in the 1.1 interface a notice is posted again only after the call that
//   consumes it: read after a recv, accept after an accept, write after a send that would
//   have blocked; connect once, when the connection is made or has failed; close once.
//   Notices come from a watcher thread of this layer.
// - The calls are usable from any thread; the look-up records (host, service, protocol
//   entries, the text of inet_ntoa) are kept per thread until that thread's next look-up.
// - The asynchronous look-ups (WSAAsyncGetHostByName and its relatives) are not offered:
//   they return 0 with 10045 ("operation not supported"). Blocking hooks do not exist
//   either: no call is ever "blocking" in their sense.
#include <cstdint>
#include <string_view>

#include "platform/Messages.h"

// A socket: the descriptor.
using TSocket = int;
constexpr TSocket WsInvalidSocket = -1;
constexpr int WsSocketError = -1;

// Constants of the interface.
constexpr int WS_AF_INET = 2;
constexpr int WS_SOCK_STREAM = 1;
constexpr int WS_SOCK_DGRAM = 2;
constexpr int WS_IPPROTO_TCP = 6;
constexpr int WS_IPPROTO_UDP = 17;
constexpr std::uint32_t WS_INADDR_ANY = 0;
constexpr std::uint32_t WS_INADDR_NONE = 0xFFFFFFFFu;
constexpr std::uint32_t WS_INADDR_LOOPBACK = 0x7F000001u;  // host byte order

constexpr int WS_SOL_SOCKET = 0xFFFF;
constexpr int WS_SO_DEBUG = 0x0001;
constexpr int WS_SO_ACCEPTCONN = 0x0002;
constexpr int WS_SO_REUSEADDR = 0x0004;
constexpr int WS_SO_KEEPALIVE = 0x0008;
constexpr int WS_SO_DONTROUTE = 0x0010;
constexpr int WS_SO_BROADCAST = 0x0020;
constexpr int WS_SO_LINGER = 0x0080;
constexpr int WS_SO_OOBINLINE = 0x0100;
constexpr int WS_SO_SNDBUF = 0x1001;
constexpr int WS_SO_RCVBUF = 0x1002;
constexpr int WS_SO_ERROR = 0x1007;
constexpr int WS_SO_TYPE = 0x1008;
constexpr int WS_TCP_NODELAY = 0x0001;

constexpr long WS_FIONREAD = 0x4004667F;
constexpr long WS_FIONBIO = static_cast<long>(0x8004667Eu);
constexpr long WS_SIOCATMARK = 0x40047307;

constexpr int WS_MSG_OOB = 0x1;
constexpr int WS_MSG_PEEK = 0x2;
constexpr int WS_MSG_DONTROUTE = 0x4;

constexpr int WS_SD_RECEIVE = 0;
constexpr int WS_SD_SEND = 1;
constexpr int WS_SD_BOTH = 2;

// Events of WsWSAAsyncSelect.
constexpr long WS_FD_READ = 0x01;
constexpr long WS_FD_WRITE = 0x02;
constexpr long WS_FD_OOB = 0x04;
constexpr long WS_FD_ACCEPT = 0x08;
constexpr long WS_FD_CONNECT = 0x10;
constexpr long WS_FD_CLOSE = 0x20;

constexpr int WS_FD_SETSIZE = 64;

// Error numbers of the interface (the library's string table has their texts).
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Records.
struct TWsInAddr {
  std::uint32_t S_addr;  // network byte order
};
struct TWsSockAddr {
  std::uint16_t sa_family;
  char sa_data[14];
};
struct TWsSockAddrIn {
  std::int16_t sin_family;
  std::uint16_t sin_port;  // network byte order
  TWsInAddr sin_addr;
  char sin_zero[8];
};
static_assert(sizeof(TWsSockAddrIn) == 16, "an internet address takes 16 bytes");
struct TWsHostEnt {
  char* h_name;
  char** h_aliases;
  std::int16_t h_addrtype;
  std::int16_t h_length;
  char** h_addr_list;  // addresses of h_length bytes, network byte order; null-terminated
};
struct TWsServEnt {
  char* s_name;
  char** s_aliases;
  std::int16_t s_port;  // network byte order
  char* s_proto;
};
struct TWsProtoEnt {
  char* p_name;
  char** p_aliases;
  std::int16_t p_proto;
};
struct TWsFdSet {
  std::uint32_t fd_count;
  TSocket fd_array[WS_FD_SETSIZE];
};
struct TWsTimeVal {
  std::int32_t tv_sec;
  std::int32_t tv_usec;
};
struct TWsLinger {
  std::uint16_t l_onoff;
  std::uint16_t l_linger;
};
constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;
struct TWsData {
  std::uint16_t wVersion;
  std::uint16_t wHighVersion;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
  std::uint16_t iMaxSockets;
  std::uint16_t iMaxUdpDg;
  char* lpVendorInfo;
};
using TWsHandle = std::uintptr_t;  // task handle of an asynchronous look-up
using TWsBlockingHook = void*;

// The library and its entry points. A name other than "WSOCK32" (any case, ".DLL" may
// follow) finds no library: null. An unknown entry point name gives null.
struct TWsLibrary;
TWsLibrary* WsLoadLibrary(std::string_view name);
void* WsGetProcAddress(TWsLibrary* library, std::string_view name);
void WsFreeLibrary(TWsLibrary* library);

// The entry points.
TSocket Wsaccept(TSocket s, TWsSockAddr* addr, int* addrlen);
int Wsbind(TSocket s, const TWsSockAddr* addr, int namelen);
int Wsclosesocket(TSocket s);
int Wsconnect(TSocket s, const TWsSockAddr* name, int namelen);
int Wsgetpeername(TSocket s, TWsSockAddr* name, int* namelen);
int Wsgetsockname(TSocket s, TWsSockAddr* name, int* namelen);
int Wsgetsockopt(TSocket s, int level, int optname, char* optval, int* optlen);
std::uint32_t Wshtonl(std::uint32_t v);
std::uint16_t Wshtons(std::uint16_t v);
std::uint32_t Wsinet_addr(const char* cp);
char* Wsinet_ntoa(TWsInAddr in);
int Wsioctlsocket(TSocket s, long cmd, std::uint32_t* argp);
int Wslisten(TSocket s, int backlog);
std::uint32_t Wsntohl(std::uint32_t v);
std::uint16_t Wsntohs(std::uint16_t v);
int Wsrecv(TSocket s, char* buf, int len, int flags);
int Wsrecvfrom(TSocket s, char* buf, int len, int flags, TWsSockAddr* from, int* fromlen);
int Wsselect(int nfds, TWsFdSet* readfds, TWsFdSet* writefds, TWsFdSet* exceptfds, const TWsTimeVal* timeout);
int Wssend(TSocket s, const char* buf, int len, int flags);
int Wssendto(TSocket s, const char* buf, int len, int flags, const TWsSockAddr* to, int tolen);
int Wssetsockopt(TSocket s, int level, int optname, const char* optval, int optlen);
int Wsshutdown(TSocket s, int how);
TSocket Wssocket(int af, int type, int protocol);
TWsHostEnt* Wsgethostbyaddr(const char* addr, int len, int type);
TWsHostEnt* Wsgethostbyname(const char* name);
int Wsgethostname(char* name, int namelen);
TWsServEnt* Wsgetservbyport(int port, const char* proto);
TWsServEnt* Wsgetservbyname(const char* name, const char* proto);
TWsProtoEnt* Wsgetprotobynumber(int proto);
TWsProtoEnt* Wsgetprotobyname(const char* name);
int WsWSAStartup(std::uint16_t versionRequested, TWsData* data);
int WsWSACleanup();
void WsWSASetLastError(int error);
int WsWSAGetLastError();
int WsWSAIsBlocking();
int WsWSAUnhookBlockingHook();
TWsBlockingHook WsWSASetBlockingHook(TWsBlockingHook hook);
int WsWSACancelBlockingCall();
TWsHandle WsWSAAsyncGetServByName(HWND hwnd, UINT msg, const char* name, const char* proto, char* buf,
                                  int buflen);
TWsHandle WsWSAAsyncGetServByPort(HWND hwnd, UINT msg, int port, const char* proto, char* buf, int buflen);
TWsHandle WsWSAAsyncGetProtoByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen);
TWsHandle WsWSAAsyncGetProtoByNumber(HWND hwnd, UINT msg, int number, char* buf, int buflen);
TWsHandle WsWSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen);
TWsHandle WsWSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type, char* buf,
                                  int buflen);
int WsWSACancelAsyncRequest(TWsHandle handle);
int WsWSAAsyncSelect(TSocket s, HWND hwnd, UINT msg, long events);

// Not part of the interface: gives a socket up to another user (the serial port's socket
// device layer), which takes its descriptor over: its notices stop and this layer forgets
// it without closing it.
void WsReleaseSocket(TSocket s);
