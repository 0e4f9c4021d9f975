#pragma once
// Serial devices by COM number, over termios and ioctl.
//
// COM<n> maps to a device path: the environment variable SIO_COM<n> when it is set (USB
// adapters, pseudo-terminals), else the string value "COM<n>" under the settings key
// kPortMapKey when there is one, else /dev/ttyS<n-1>. The device is opened non-blocking and
// in raw mode; reads and writes never wait, the waits are separate calls (poll) that
// another thread can cut short with WakeReader / WakeWriter.
//
// Results are 0 or a positive errno value (the serial layer turns them into library
// codes). Descriptor 0 is a valid descriptor; "no descriptor" is -1.
//
// Pseudo-terminals have no modem lines, no RS485, no error counters and always carry 8
// data bits without parity: the lines read as off, the counters as zero.
//
// A connected stream socket can be adopted like a descriptor of a serial device (the socket
// device layer): it has no line settings (GetSettings and SetSettings fail with ENOTTY), no
// modem lines and no counters; reads and writes never raise SIGPIPE, and the peer's close
// counts as a hang-up (what it sent before is still read). Flushing its input discards what
// has arrived; its output cannot be taken back.
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Modem lines (bit set = line on).
constexpr unsigned kSerialCTS = 0x01;
constexpr unsigned kSerialDSR = 0x02;
constexpr unsigned kSerialRI = 0x04;
constexpr unsigned kSerialDCD = 0x08;
constexpr unsigned kSerialDTR = 0x10;
constexpr unsigned kSerialRTS = 0x20;

// Line settings as the driver holds them.
struct TSerialSettings {
  std::uint32_t baud = 9600;
  std::uint8_t dataBits = 8;  // 5 .. 8
  std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t stopBits = 0;  // 0 one, 1 one and a half (5 data bits), 2 two
  bool rtsCts = false;        // the driver runs RTS/CTS handshake
  bool xonXoffOut = false;    // output obeys XON/XOFF from the peer
  bool xonXoffIn = false;     // the driver sends XON/XOFF for its input
  std::uint8_t xonChar = 17;
  std::uint8_t xoffChar = 19;
};

// Error counters of the driver (all zero where the driver keeps none).
struct TSerialErrorCounts {
  std::uint32_t overrun = 0;     // UART overrun
  std::uint32_t bufOverrun = 0;  // driver buffer overflow
  std::uint32_t parity = 0;
  std::uint32_t frame = 0;
  std::uint32_t brk = 0;
};

class TSerialDevice {
 public:
  TSerialDevice();
  ~TSerialDevice();
  TSerialDevice(const TSerialDevice&) = delete;
  TSerialDevice& operator=(const TSerialDevice&) = delete;

  // Device path of COM<n> (n >= 1).
  static const char* const kPortMapKey;
  static std::string PathForComNumber(int n);
  // Path for a port name: "\\.\COM<n>" or "COM<n>" by the mapping above; a name that
  // starts with "/" is taken as a path. Empty when the name is neither.
  static std::string PathForName(std::string_view name);

  // Opens the device exclusively. 0 or errno (EBUSY when another user holds it).
  int Open(const std::string& path);
  // Takes over a descriptor opened elsewhere (its line settings are kept, the byte handling
  // becomes raw); Close closes it like an opened one. 0 or errno.
  int Adopt(int fd);
  // Closes the descriptor. 0 or errno. Call only when no thread uses the device any more.
  int Close();
  bool IsOpen() const { return fd_ >= 0; }
  // The adopted descriptor is a socket.
  bool IsSocket() const { return isSocket_; }
  int Fd() const { return fd_; }
  const std::string& Path() const { return path_; }

  int GetSettings(TSerialSettings& s);
  int SetSettings(const TSerialSettings& s);

  // Reads what the driver holds, without waiting: the count (0 when nothing is there),
  // or -errno. A device that has gone away gives -EIO and HungUp() becomes true.
  ssize_t Read(void* buffer, std::size_t count);
  // The same into two pieces in one call (the second is filled only once the first is full):
  // the two ends of a ring.
  ssize_t Read(void* first, std::size_t firstCount, void* second, std::size_t secondCount);
  // Writes what the driver takes now: the count (0 when it takes nothing), or -errno.
  ssize_t Write(const void* buffer, std::size_t count);
  // Bytes waiting in the driver's input and output queues (0 when unknown).
  int InputQueued();
  int OutputQueued();

  // Waits until input is there (watchData), the device hangs up, WakeReader is called or
  // the time runs out (-1: no limit). Returns a mask of the Wait* bits (0: time-out).
  static constexpr int WaitData = 1;
  static constexpr int WaitHangup = 2;
  static constexpr int WaitWoken = 4;
  int WaitReadable(int timeoutMs, bool watchData);
  void WakeReader();
  // Waits at most timeoutMs for input on the device alone (not cut short by WakeReader).
  bool WaitInput(int timeoutMs);
  // Waits until the driver takes output, WakeWriter is called or the time runs out.
  static constexpr int WaitWritable_ = 1;
  int WaitWritable(int timeoutMs);
  void WakeWriter();
  // Waits until every byte has left the transmitter, at most timeoutMs, returning early
  // (false) when WakeWriter is called. True when the output is known to be sent.
  bool WaitSent(int timeoutMs, std::uint32_t baud);

  // True when the device has gone away (far end closed, adapter unplugged).
  bool HungUp() const;
  void MarkHungUp();

  // Modem lines. A device without modem lines (a pseudo-terminal) reads all lines off;
  // setting its lines succeeds and does nothing.
  bool HasModemLines();
  int GetModemLines(unsigned& lines);
  int SetModemLine(unsigned line, bool on);

  int SetBreak(bool on);
  int Flush(bool input, bool output);
  int GetErrorCounts(TSerialErrorCounts& c);
  // RS485 direction by the driver (RTS on while sending). False when the driver has no
  // RS485 mode; then the caller switches RTS itself.
  bool SetRS485(bool on);

 private:
  int Prepare(bool makeRaw);
  bool WaitWritableWake(int ms);  // true when WakeWriter was called
  // Waits for the wake descriptor or for Events on the device; the mask as WaitReadable gives.
  int WaitOn(int wakeFd, short events, int timeoutMs, int readyBit);

  int fd_ = -1;
  bool locked_ = false;
  bool isSocket_ = false;
  std::string path_;
  int readWake_ = -1;   // eventfd for WakeReader
  int writeWake_ = -1;  // eventfd for WakeWriter
  // -1 unknown, 0 no, 1 yes
  std::atomic<int> hasLines_{-1};
  std::atomic<int> hasCounters_{-1};
  std::atomic<int> hasLsr_{-1};
  std::atomic<bool> hungUp_{false};
};
