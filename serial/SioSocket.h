#pragma once
// The socket layer of the library: TSioSocket wraps the Windows Sockets 1.1 library
// (platform/Winsock.h), which it loads at run time by name ("WSOCK32") with all its entry
// points, starts at version 1.1, and whose asynchronous notices to its hidden window
// (message 2833) it turns into virtual event operations.
//
// Each operation first checks that the library was loaded and started; otherwise it raises
// ESioSocketException "Winsock not initialized - " followed by the reason. A call that
// fails reaches DoError (the OnWsError event, or ESioSocketException with the sockets error
// number and its text when no handler is assigned); "would block" (10035) is no error for
// connect, listen, recv, send and shutdown. The component is used on the thread that made
// it; its events run there while it handles its messages.
//
// TSioSocketPort runs a serial port component over a connected socket instead of a serial
// device (the dispatcher's socket device layer).
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Messages.h"
#include "platform/Winsock.h"
#include "serial/SioMisc.h"
#include "serial/SioPort.h"
#include "serial/Sioexcept.h"

// Socket notice: wParam the socket, low word of lParam the event, high word the error.
constexpr UINT CM_SIOSOCKET = 2833;  // 0x0B11

// Name under which the library is loaded ("WSOCK32"). Set before the first TSioSocket is
// made; once the library is loaded it stays for the process.
extern std::string SioSocketLibraryName;

// Loads the library and every entry point (once per process): false when the library or
// any entry point is missing.
bool LoadWinsock();

// A 32-bit notice value from two 16-bit halves, the first the low one; and the halves of
// a notice's lParam.
constexpr std::uint32_t wsaMakeSyncReply(std::uint16_t buflen, std::uint16_t error) {
  return static_cast<std::uint32_t>(buflen) | (static_cast<std::uint32_t>(error) << 16);
}
constexpr std::uint32_t wsaMakeSelectReply(std::uint16_t event, std::uint16_t error) {
  return static_cast<std::uint32_t>(event) | (static_cast<std::uint32_t>(error) << 16);
}
constexpr std::uint16_t wsaGetAsyncBuflen(LPARAM lParam) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(lParam) & 0xFFFF);
}
constexpr std::uint16_t wsaGetAsyncError(LPARAM lParam) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(lParam) >> 16);
}
constexpr std::uint16_t wsaGetSelectEvent(LPARAM lParam) { return wsaGetAsyncBuflen(lParam); }
constexpr std::uint16_t wsaGetSelectError(LPARAM lParam) { return wsaGetAsyncError(lParam); }

// Not under ESIOException: ErrorCode is a sockets error number (10061) or a library text
// id (9002).
class ESioSocketException : public Exception {
 public:
  ESioSocketException(std::string message, int errorCode)
      : Exception(std::move(message)), ErrorCode(errorCode) {}
  int ErrorCode;
};

class TSioSocket;
using TWsNotifyEvent = std::function<void(TSioSocket* Sender, int Socket)>;
using TWsSocketErrorEvent = std::function<void(TSioSocket* Sender, int Socket, int ErrCode)>;

class TSioSocket : public TSioBaseComponent, public TSioComponentOwner {
 public:
  explicit TSioSocket(TSioComponentOwner* owner = nullptr);
  ~TSioSocket() override;
  TSioSocket(const TSioSocket&) = delete;
  TSioSocket& operator=(const TSioSocket&) = delete;

  // ----- events -----
  void SetOnWsAccept(TWsNotifyEvent e) { FOnWsAccept = std::move(e); }
  void SetOnWsConnect(TWsNotifyEvent e) { FOnWsConnect = std::move(e); }
  void SetOnWsDisconnect(TWsNotifyEvent e) { FOnWsDisconnect = std::move(e); }
  void SetOnWsError(TWsSocketErrorEvent e) { FOnWsError = std::move(e); }
  void SetOnWsRead(TWsNotifyEvent e) { FOnWsRead = std::move(e); }
  void SetOnWsWrite(TWsNotifyEvent e) { FOnWsWrite = std::move(e); }

  // ----- operations (results as the sockets library gives them; -1 on failure) -----
  // A TCP stream socket; raises ESioSocketException when none can be made.
  int CreateSocket();
  int BindSocket(int s, const TWsSockAddrIn& addr);
  int ConnectSocket(int s, const TWsSockAddrIn& addr);
  int ListenSocket(int s, int backlog);
  int AcceptSocket(int s, TWsSockAddrIn& addr);
  int ReadSocket(int s, void* buffer, int size, int flags);
  int WriteSocket(int s, const void* buffer, int size, int flags);
  int ShutdownSocket(int s, int how);
  int CloseSocket(int s);
  // The notices (WS_FD_...) that the socket sends to this component; 0 ends them. The
  // socket becomes non-blocking.
  int SetAsyncStyles(int s, long events);
  int SetSocketOptions(int s, int level, int option, const void* value, int size);
  // True when the socket can be read (written) within the time.
  bool CanReadSocket(int s, int timeoutMs);
  bool CanWriteSocket(int s, int timeoutMs);

  // Byte order (the names in parentheses, so that the system's macros of the same names
  // leave them alone).
  std::uint32_t(htonl)(std::uint32_t v);
  std::uint16_t(htons)(std::uint16_t v);
  std::uint32_t(ntohl)(std::uint32_t v);
  std::uint16_t(ntohs)(std::uint16_t v);

  // Addresses and names. Addresses are in network byte order.
  std::string NetAddr2String(TWsInAddr addr);
  // The address of a dotted text; WS_INADDR_NONE for a text that is none (also for one
  // longer than the 15 characters of the longest address).
  TWsInAddr String2NetAddr(std::string_view text);
  // Host name of an address; empty when unknown.
  std::string LookupAddress(TWsInAddr addr);
  // First address of a host name; 0 when unknown.
  TWsInAddr LookupName(std::string_view name);
  // Service name of a port (host byte order); empty when unknown.
  std::string LookupPort(std::uint16_t port);
  // Port number (host byte order) of a "tcp" service; 0 when unknown.
  std::uint16_t LookupService(std::string_view name);
  // The machine's host name; empty on failure.
  std::string GetLocalHost();
  // The dotted text of the first address of the machine's host name; empty when it has none.
  std::string GetLocalAddress();

  int GetLastError();
  std::string GetDescription();
  std::string GetSystemStatus();
  HWND GetHandle() const { return FHandle; }
  // The start-up error: 0 none, 9002 no library, 9003 another version, else the sockets
  // error number of the start-up.
  int StartupError() const { return FStartupError; }

 protected:
  virtual void DoAccept(int s);
  virtual void DoConnect(int s);
  virtual void DoDisconnect(int s);
  virtual void DoError(int s, int errCode);
  virtual void DoRead(int s);
  virtual void DoWrite(int s);
  // Message 2833.
  virtual void CMSIOSocketMessage(WPARAM wParam, LPARAM lParam);
  virtual void ShowErrorMessage() {}

 private:
  static LRESULT WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void CheckLoaded();
  // DoError with the library's last error when result is -1 (and the error is not "would
  // block" where that is allowed).
  int Checked(int s, int result, bool wouldBlockIsFine);

  TWsNotifyEvent FOnWsAccept;
  TWsNotifyEvent FOnWsConnect;
  TWsNotifyEvent FOnWsDisconnect;
  TWsSocketErrorEvent FOnWsError;
  TWsNotifyEvent FOnWsRead;
  TWsNotifyEvent FOnWsWrite;
  bool FLoaded = false;
  int FStartupError = 0;
  TWsData FData{};
  HWND FHandle = 0;
};

// A serial port component over a connected socket: its next open takes the socket (given
// with SetSocket) instead of a serial device, asks for no port number, and the port closes
// the socket when it closes. Reads, writes and triggers are those of any port.
class TSioSocketPort : public TSioComPort {
 public:
  using TSioComPort::TSioComPort;
  void SetSocket(int socket) { FSocket = socket; }
  int GetSocket() const { return FSocket; }

 protected:
  void ValidateComport() override {}
  void ActivateDeviceLayer() override;
  void InitializePort() override;

 private:
  int FSocket = -1;
};
