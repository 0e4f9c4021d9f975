#pragma once
// Wave input and output devices in the manner of the multimedia wave functions.
//
// A device is opened with a PCM format and a window; its notices are posted to that window:
// MM_WOM_OPEN / MM_WOM_DONE / MM_WOM_CLOSE for output and MM_WIM_OPEN / MM_WIM_DATA /
// MM_WIM_CLOSE for input, with wParam the device handle and lParam the WAVEHDR concerned (0
// for open and close). Buffers stay the caller's: a buffer given to a device is used until
// its done notice is posted (WHDR_DONE set), and a device gives every buffer back on a
// reset, so a caller resets before it closes.
//
// Device ids: WAVE_MAPPER is the sound card (output through ALSA; without a sound device the
// open fails at once with MMSYSERR_BADDEVICEID). Other ids belong to providers that register
// here, such as the telephony service's voice calls.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Messages.h"

using MMRESULT = std::uint32_t;
using HWAVEOUT = std::uint32_t;
using HWAVEIN = std::uint32_t;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

constexpr UINT WAVE_MAPPER = 0xFFFFFFFFu;

// Open flags.
constexpr DWORD WAVE_FORMAT_QUERY = 0x1;
constexpr DWORD WAVE_MAPPED = 0x4;
constexpr DWORD CALLBACK_WINDOW = 0x10000;

// Buffer flags.
constexpr DWORD WHDR_DONE = 0x1;
constexpr DWORD WHDR_PREPARED = 0x2;
constexpr DWORD WHDR_INQUEUE = 0x10;

constexpr UINT MM_WOM_OPEN = 0x3BB;
constexpr UINT MM_WOM_CLOSE = 0x3BC;
constexpr UINT MM_WOM_DONE = 0x3BD;
constexpr UINT MM_WIM_OPEN = 0x3BE;
constexpr UINT MM_WIM_CLOSE = 0x3BF;
constexpr UINT MM_WIM_DATA = 0x3C0;

constexpr std::uint16_t WAVE_FORMAT_PCM = 1;

struct WAVEFORMATEX {
  std::uint16_t wFormatTag = WAVE_FORMAT_PCM;
  std::uint16_t nChannels = 1;
  std::uint32_t nSamplesPerSec = 8000;
  std::uint32_t nAvgBytesPerSec = 16000;
  std::uint16_t nBlockAlign = 2;
  std::uint16_t wBitsPerSample = 16;
  std::uint16_t cbSize = 0;
};

struct WAVEHDR {
  char* lpData = nullptr;
  DWORD dwBufferLength = 0;
  DWORD dwBytesRecorded = 0;
  std::uintptr_t dwUser = 0;
  DWORD dwFlags = 0;
  DWORD dwLoops = 0;
  WAVEHDR* lpNext = nullptr;
  std::uintptr_t reserved = 0;
};

// PCM with 1 or 2 channels of 8 (unsigned) or 16 (signed) bits whose block alignment and byte
// rate agree with them.
bool WaveFormatIsPlainPcm(const WAVEFORMATEX& format);

MMRESULT waveOutOpen(HWAVEOUT* handle, UINT deviceId, const WAVEFORMATEX* format, HWND window,
                     std::uintptr_t instance, DWORD flags);
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT size);
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT size);
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, UINT size);
MMRESULT waveOutReset(HWAVEOUT handle);
MMRESULT waveOutClose(HWAVEOUT handle);
MMRESULT waveOutGetErrorText(MMRESULT error, char* text, UINT size);

MMRESULT waveInOpen(HWAVEIN* handle, UINT deviceId, const WAVEFORMATEX* format, HWND window,
                    std::uintptr_t instance, DWORD flags);
MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size);
MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, UINT size);
MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, UINT size);
MMRESULT waveInStart(HWAVEIN handle);
MMRESULT waveInStop(HWAVEIN handle);
MMRESULT waveInReset(HWAVEIN handle);
MMRESULT waveInClose(HWAVEIN handle);
MMRESULT waveInGetErrorText(MMRESULT error, char* text, UINT size);

// The text of a result (as the two GetErrorText functions give it).
std::string WaveErrorText(MMRESULT error);

// ---------------------------------------------------------------------------------------
// Providers of devices
// ---------------------------------------------------------------------------------------

// Posts a device's notices to its window.
class TWaveNotifier {
 public:
  TWaveNotifier(HWND window, std::uint32_t handle) : window_(window), handle_(handle) {}
  // A buffer is given back: its flags get WHDR_DONE (and lose WHDR_INQUEUE) before the post.
  void BufferDone(UINT msg, WAVEHDR* header) const;
  void Notice(UINT msg) const;

 private:
  HWND window_;
  std::uint32_t handle_;
};

// One open device of a provider. Its operations are called on the caller's thread; a
// provider gives buffers back through the notifier from any thread.
class TWaveStream {
 public:
  virtual ~TWaveStream() = default;
  // Output: queue a buffer for playing. Input: queue a buffer for recording.
  virtual MMRESULT Queue(WAVEHDR* header) = 0;
  // Input: start and stop recording (a stop gives back the buffer being filled).
  virtual MMRESULT Start() { return MMSYSERR_NOERROR; }
  virtual MMRESULT Stop() { return MMSYSERR_NOERROR; }
  // Gives every queued buffer back.
  virtual MMRESULT Reset() = 0;
  // Ends the device; the close notice follows.
  virtual MMRESULT Close() = 0;
};

class TWaveProvider {
 public:
  virtual ~TWaveProvider() = default;
  virtual bool Owns(UINT deviceId) const = 0;
  // Checks the format (query) or opens the device.
  virtual MMRESULT Open(UINT deviceId, bool input, const WAVEFORMATEX& format, bool queryOnly,
                        std::shared_ptr<TWaveNotifier> notifier, std::unique_ptr<TWaveStream>& stream) = 0;
};

void RegisterWaveProvider(TWaveProvider* provider);
void UnregisterWaveProvider(TWaveProvider* provider);
