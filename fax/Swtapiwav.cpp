// Implements the voice side of the telephony device declared in fax/Swtapi.h: wave play-back
// into the call, recording of the caller with silence detection, DTMF, and turning a voice call
// into a data call.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "fax/Swtapi.h"
#include "serial/SioStrRes.h"
#include "serial/Sioexcept.h"

namespace {

void NoCallback(DWORD_PTR, std::uint32_t, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

void PutLe16(std::string& s, unsigned v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}

void PutLe32(std::string& s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

unsigned Le16(const unsigned char* p) {
  return static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8;
}

// RIFF "WAVE" with an 18-byte "fmt " chunk and the "data" chunk's header; the sizes are
// written again when the recording ends.
std::string WaveHeader(const WAVEFORMATEX& f, std::uint32_t dataBytes) {
  std::string h = "RIFF";
  PutLe32(h, 4 + (8 + 18) + 8 + dataBytes);
  h += "WAVEfmt ";
  PutLe32(h, 18);
  PutLe16(h, f.wFormatTag);
  PutLe16(h, f.nChannels);
  PutLe32(h, f.nSamplesPerSec);
  PutLe32(h, f.nAvgBytesPerSec);
  PutLe16(h, f.nBlockAlign);
  PutLe16(h, f.wBitsPerSample);
  PutLe16(h, 0);
  h += "data";
  PutLe32(h, dataBytes);
  return h;
}

// Average absolute sample value of a buffer.
std::uint32_t Loudness(const char* data, std::uint32_t bytes, unsigned bits) {
  std::uint64_t sum = 0, n = 0;
  if (bits == 8) {
    for (std::uint32_t i = 0; i < bytes; ++i, ++n)
      sum += static_cast<std::uint64_t>(std::abs(static_cast<unsigned char>(data[i]) - 128));
  } else {
    for (std::uint32_t i = 0; i + 1 < bytes; i += 2, ++n) {
      auto v = static_cast<std::int16_t>(static_cast<unsigned char>(data[i]) |
                                         static_cast<unsigned char>(data[i + 1]) << 8);
      sum += static_cast<std::uint64_t>(std::abs(static_cast<int>(v)));
    }
  }
  return n ? static_cast<std::uint32_t>(sum / n) : 0;
}

[[noreturn]] void WaveRaise(int code, const std::string& text) { throw ETapiWaveFail(text, code); }

}  // namespace

void TSioCustomTapiDevice::WaveFail(int code, const std::string& text) {
  WaveRaise(code, text.substr(0, 128));
}

void TSioCustomTapiDevice::CheckVoiceCapable() {
  HLINEAPP app = 0;
  std::uint32_t count = 0;
  bool capable = false;
  if (tuLineInitialize(&app, nullptr, NoCallback, "", &count) == 0) {
    for (std::uint32_t id = 0; id < count && !capable; ++id) {
      std::uint32_t version = 0;
      LINEEXTENSIONID ext{};
      if (tuLineNegotiateApiVersion(app, id, kTelephonyApiVersion, kTelephonyApiVersion, &version, &ext) != 0)
        continue;
      TTapiRecord<LINEDEVCAPS> caps;
      if (tuLineGetDevCapsDyn(app, id, version, 0, caps) != 0 || !caps) continue;
      if (TapiRecordString(caps.get(), caps->dwLineNameSize, caps->dwLineNameOffset) != FSelectedDevice)
        continue;
      capable = (caps->dwMediaModes & LINEMEDIAMODE_AUTOMATEDVOICE) != 0;
      break;
    }
    tuLineShutdown(app);
  }
  if (!capable) {
    FEnableVoice = false;
    RaiseSioException(ecTapiVoiceNotSupported);
  }
}

std::uint32_t TSioCustomTapiDevice::WaveDeviceId() {
  TTapiRecord<LINEDEVCAPS> caps;
  if (FLineApp == 0 ||
      tuLineGetDevCapsDyn(FLineApp, static_cast<std::uint32_t>(FDeviceID), FApiVersion, 0, caps) != 0 ||
      !caps)
    WaveFail(ecTapiWaveFail, SioLoadStr(ecTapiWaveFail));
  if ((caps->dwMediaModes & LINEMEDIAMODE_AUTOMATEDVOICE) == 0) RaiseSioException(ecTapiVoiceNotSupported);
  FReplyBuffer.fill(0);
  auto* vs = reinterpret_cast<VARSTRING*>(FReplyBuffer.data());
  vs->dwTotalSize = sizeof FReplyBuffer;
  if (FCall == 0 || tuLineGetID(0, 0, FCall, LINECALLSELECT_CALL, vs, "wave/out") != 0 ||
      vs->dwStringSize < 4 || vs->dwStringOffset < sizeof(VARSTRING) ||
      vs->dwStringOffset > sizeof FReplyBuffer - 4)
    WaveFail(ecTapiWaveFail, SioLoadStr(ecTapiWaveFail));
  std::uint32_t id = 0;
  std::memcpy(&id, reinterpret_cast<const char*>(vs) + vs->dwStringOffset, 4);
  return id;
}

// ---------------------------------------------------------------------------------------
// Play-back
// ---------------------------------------------------------------------------------------

void TSioCustomTapiDevice::PlayWaveFile(const std::string& fileName) {
  if (FWaveState == wsRecording) WaveFail(ecTapiWaveDeviceInUse, SioLoadStr(ecTapiWaveDeviceInUse));
  if (FWaveState == wsPlaying) {
    if (!FInterruptWave) return;
    StopWaveFile();
    PumpUntil([this] { return !FWaveOutOpen; }, 5000);
  }
  std::error_code ec;
  if (!std::filesystem::is_regular_file(fileName, ec)) WaveFail(-2, "File not found");
  const UINT device = FUseSoundCard ? WAVE_MAPPER : WaveDeviceId();

  // The file: RIFF "WAVE" with "fmt " (PCM of 8 or 16 bits) and "data", whose size is taken
  // as far as the file holds it.
  std::ifstream in(fileName, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) WaveFail(ecTapiWaveFail, SioLoadStr(ecTapiWaveFail));
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
    WaveFail(ecTapiWaveBadFormat, SioLoadStr(ecTapiWaveBadFormat));
  WAVEFORMATEX format{};
  bool haveFormat = false;
  std::size_t dataPos = 0, dataSize = 0;
  bool haveData = false;
  for (std::size_t pos = 12; pos + 8 <= bytes.size() && !haveData;) {
    const unsigned char* c = bytes.data() + pos;
    const std::size_t size = Le32(c + 4);
    const std::size_t body = pos + 8;
    if (std::memcmp(c, "fmt ", 4) == 0 && !haveFormat) {
      if (size < 16 || body + 16 > bytes.size())
        WaveFail(ecTapiWaveBadFormat, SioLoadStr(ecTapiWaveBadFormat));
      const unsigned char* f = bytes.data() + body;
      format.wFormatTag = static_cast<std::uint16_t>(Le16(f));
      format.nChannels = static_cast<std::uint16_t>(Le16(f + 2));
      format.nSamplesPerSec = Le32(f + 4);
      format.wBitsPerSample = static_cast<std::uint16_t>(Le16(f + 14));
      format.nBlockAlign = static_cast<std::uint16_t>(format.nChannels * format.wBitsPerSample / 8);
      format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
      haveFormat = true;
    } else if (std::memcmp(c, "data", 4) == 0) {
      dataPos = body;
      dataSize = std::min(size, bytes.size() - std::min(body, bytes.size()));
      haveData = true;
    }
    if (size > bytes.size()) break;
    pos = body + size + (size & 1);
  }
  if (!haveFormat || !haveData || !WaveFormatIsPlainPcm(format))
    WaveFail(ecTapiWaveBadFormat, SioLoadStr(ecTapiWaveBadFormat));
  dataSize -= dataSize % format.nBlockAlign;

  const DWORD mapped = device == WAVE_MAPPER ? 0 : WAVE_MAPPED;
  MMRESULT r = waveOutOpen(nullptr, device, &format, 0, 0, WAVE_FORMAT_QUERY | mapped);
  if (r != MMSYSERR_NOERROR) WaveFail(ecTapiWaveFail, WaveErrorText(r));
  HWAVEOUT handle = 0;
  r = waveOutOpen(&handle, device, &format, FHelperWindow, 0, CALLBACK_WINDOW | mapped);
  if (r == MMSYSERR_NOTENABLED) return;  // nothing to play on
  if (r != MMSYSERR_NOERROR) WaveFail(ecTapiWaveFail, WaveErrorText(r));
  FWaveOut = handle;
  FWaveOutOpen = true;
  FWaveFileName = fileName;
  FPlayFormat = format;
  FPlayData.assign(reinterpret_cast<const char*>(bytes.data()) + dataPos,
                   reinterpret_cast<const char*>(bytes.data()) + dataPos + dataSize);
  // Three seconds a buffer, whole frames of every channel.
  const std::size_t bufferSize = static_cast<std::size_t>(format.nBlockAlign) * format.nSamplesPerSec * 3;
  FPlayBuffers[0].assign(bufferSize, 0);
  FPlayBuffers[1].assign(bufferSize, 0);
  FPlayPosition = 0;
  FNextBuffer = 0;
  FPlayClosing = false;
  LoadPlayBuffer();
  QueuePlayBuffer();
  FWaveState = wsPlaying;
}

void TSioCustomTapiDevice::LoadPlayBuffer() {
  if (FPlayPosition < 0) {
    FLoadedSize = 0;
    return;
  }
  const std::size_t left = FPlayData.size() - static_cast<std::size_t>(FPlayPosition);
  const std::size_t n = std::min(left, FPlayBuffers[FNextBuffer].size());
  std::memcpy(FPlayBuffers[FNextBuffer].data(), FPlayData.data() + FPlayPosition, n);
  FLoadedSize = static_cast<std::uint32_t>(n);
}

void TSioCustomTapiDevice::QueuePlayBuffer() {
  FPlayHeader = WAVEHDR{};
  FPlayHeader.lpData = FPlayBuffers[FNextBuffer].data();
  FPlayHeader.dwBufferLength = FLoadedSize;
  MMRESULT r = waveOutPrepareHeader(FWaveOut, &FPlayHeader, sizeof FPlayHeader);
  if (r == MMSYSERR_NOERROR) r = waveOutWrite(FWaveOut, &FPlayHeader, sizeof FPlayHeader);
  if (r != MMSYSERR_NOERROR) {
    FPlayPosition = -1;
    WaveFail(ecTapiWaveFail, WaveErrorText(r));
  }
  FPlayPosition += FLoadedSize;
  FNextBuffer ^= 1;
  if (static_cast<std::size_t>(FPlayPosition) < FPlayData.size())
    LoadPlayBuffer();
  else
    FPlayPosition = -1;
}

void TSioCustomTapiDevice::StopWaveFile() {
  if (FWaveState != wsPlaying || !FWaveOutOpen) return;
  FPlayPosition = -1;
  waveOutReset(FWaveOut);
}

void TSioCustomTapiDevice::FreePlayBuffers() {
  if (FWaveOutOpen) {
    waveOutReset(FWaveOut);
    waveOutClose(FWaveOut);
    FWaveOutOpen = false;
  }
  FPlayBuffers[0].clear();
  FPlayBuffers[1].clear();
  FPlayData.clear();
}

// ---------------------------------------------------------------------------------------
// Recording
// ---------------------------------------------------------------------------------------

void TSioCustomTapiDevice::SetRecordingParams(std::uint8_t channels, std::uint32_t sampleRate,
                                              std::uint8_t bitsPerSample) {
  FChannels = channels;
  FSampleRate = sampleRate;
  FBitsPerSample = bitsPerSample;
}

void TSioCustomTapiDevice::StartWaveRecord() {
  if (FCall == 0) SetOpen(true);
  if (FWaveState == wsPlaying || FWaveState == wsRecording)
    WaveFail(ecTapiWaveDeviceInUse, SioLoadStr(ecTapiWaveDeviceInUse));
  if (FWaveState == wsData) {
    // The earlier recording that was never saved goes.
    if (!FTempFileName.empty()) ::unlink(FTempFileName.c_str());
    FTempFileName.clear();
    FWaveState = wsIdle;
  }
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = FChannels;
  format.nSamplesPerSec = FSampleRate;
  format.wBitsPerSample = FBitsPerSample;
  format.nBlockAlign = static_cast<std::uint16_t>(FChannels * FBitsPerSample / 8);
  format.nAvgBytesPerSec = FSampleRate * format.nBlockAlign;
  if (!WaveFormatIsPlainPcm(format)) WaveFail(ecTapiWaveBadFormat, SioLoadStr(ecTapiWaveBadFormat));
  const UINT device = WaveDeviceId();
  HWAVEIN in = 0;
  MMRESULT r = waveInOpen(&in, device, &format, FHelperWindow, 0, CALLBACK_WINDOW);
  if (r != MMSYSERR_NOERROR) WaveFail(ecTapiWaveFail, WaveErrorText(r));
  FWaveIn = in;
  FWaveInOpen = true;
  if (FMonitorRecording) {
    HWAVEOUT out = 0;
    r = waveOutOpen(&out, WAVE_MAPPER, &format, FHelperWindow, 0, CALLBACK_WINDOW);
    if (r != MMSYSERR_NOERROR) {
      waveInClose(FWaveIn);
      FWaveInOpen = false;
      WaveFail(ecTapiWaveFail, WaveErrorText(r));
    }
    FMonitorOut = out;
    FMonitorOpen = true;
  }
  // Two buffers of one second each: every channel's samples.
  const std::size_t second = static_cast<std::size_t>(format.nAvgBytesPerSec);
  FRecordBuffers[0].assign(second, 0);
  FRecordBuffers[1].assign(second, 0);
  FActiveBuffer = 0;
  FTotalRecorded = 0;
  FLastBytes = 0;
  FSilentSeconds = 0;
  FRecordFormat = format;

  std::string name = (std::filesystem::temp_directory_path() / "~APXXXXXX").string();
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    FreeRecordBuffers();
    WaveFail(ecTapiWaveFail, SioLoadStr(ecTapiWaveFail));
  }
  FRecordFile = fd;
  FTempFileName = name;
  const std::string header = WaveHeader(format, 0);
  if (::write(fd, header.data(), header.size()) != static_cast<ssize_t>(header.size())) {
    FreeRecordBuffers();
    WaveFail(ecTapiWaveWriteError, "MMIO Write Error");
  }
  FRecordHeader = WAVEHDR{};
  FRecordHeader.lpData = FRecordBuffers[0].data();
  FRecordHeader.dwBufferLength = static_cast<DWORD>(second);
  r = waveInPrepareHeader(FWaveIn, &FRecordHeader, sizeof FRecordHeader);
  if (r == MMSYSERR_NOERROR) r = waveInAddBuffer(FWaveIn, &FRecordHeader, sizeof FRecordHeader);
  if (r == MMSYSERR_NOERROR) r = waveInStart(FWaveIn);
  if (r != MMSYSERR_NOERROR) {
    FreeRecordBuffers();
    WaveFail(ecTapiWaveFail, WaveErrorText(r));
  }
  FWaveState = wsRecording;
}

void TSioCustomTapiDevice::StopWaveRecord() {
  if (FWaveState != wsRecording || !FWaveInOpen) return;
  // The buffer being filled comes back short and ends the recording.
  waveInStop(FWaveIn);
  waveInReset(FWaveIn);
}

void TSioCustomTapiDevice::RecordBufferFilled(WAVEHDR* header) {
  if (FWaveState != wsRecording || header != &FRecordHeader) return;
  waveInUnprepareHeader(FWaveIn, header, sizeof *header);
  const std::uint32_t bytes = header->dwBytesRecorded;
  const std::uint64_t limit = static_cast<std::uint64_t>(FRecordFormat.nAvgBytesPerSec) *
                              static_cast<std::uint64_t>(FMaxMessageLength);
  std::uint32_t keep = bytes;
  if (FTotalRecorded + keep > limit)
    keep = static_cast<std::uint32_t>(limit - std::min(limit, FTotalRecorded));
  FTotalRecorded += keep;
  FLastBytes = keep;
  if (keep > 0 && ::write(FRecordFile, header->lpData, keep) != static_cast<ssize_t>(keep)) {
    FreeRecordBuffers();
    FWaveState = wsIdle;
    WaveFail(ecTapiWaveWriteError, "MMIO Write Error");
  }
  if (FTotalRecorded >= limit || bytes < header->dwBufferLength) {
    FinishRecording();
    return;
  }
  if (FMonitorOpen && keep > 0 && !(FMonitorHeader.dwFlags & WHDR_INQUEUE)) {
    FMonitorBuffer.assign(header->lpData, header->lpData + keep);
    FMonitorHeader = WAVEHDR{};
    FMonitorHeader.lpData = FMonitorBuffer.data();
    FMonitorHeader.dwBufferLength = keep;
    if (waveOutPrepareHeader(FMonitorOut, &FMonitorHeader, sizeof FMonitorHeader) == MMSYSERR_NOERROR)
      waveOutWrite(FMonitorOut, &FMonitorHeader, sizeof FMonitorHeader);
  }
  const std::uint32_t loud = Loudness(header->lpData, keep, FRecordFormat.wBitsPerSample);
  FActiveBuffer ^= 1;
  FRecordHeader = WAVEHDR{};
  FRecordHeader.lpData = FRecordBuffers[FActiveBuffer].data();
  FRecordHeader.dwBufferLength = static_cast<DWORD>(FRecordBuffers[FActiveBuffer].size());
  MMRESULT r = waveInPrepareHeader(FWaveIn, &FRecordHeader, sizeof FRecordHeader);
  if (r == MMSYSERR_NOERROR) r = waveInAddBuffer(FWaveIn, &FRecordHeader, sizeof FRecordHeader);
  if (r != MMSYSERR_NOERROR) {
    FinishRecording();
    WaveFail(ecTapiWaveFail, WaveErrorText(r));
  }
  if (FTrimSeconds == 0) return;
  // Silence: seconds in a row of this recording whose average stays under the threshold.
  if (loud < FSilenceThreshold)
    ++FSilentSeconds;
  else
    FSilentSeconds = 0;
  const std::uint32_t needed = std::max<std::uint32_t>(1, FTrimSeconds - 1u);
  if (FSilentSeconds < needed) return;
  FSilentSeconds = 0;
  bool stop = true, hangup = true;
  if (FOnTapiWaveSilence) FOnTapiWaveSilence(this, stop, hangup);
  if (stop) StopWaveRecord();
  if (hangup) CancelCall();
}

void TSioCustomTapiDevice::FinishRecording() {
  if (FWaveInOpen) {
    waveInReset(FWaveIn);
    waveInClose(FWaveIn);
    FWaveInOpen = false;
  }
  if (FMonitorOpen) {
    waveOutReset(FMonitorOut);
    waveOutClose(FMonitorOut);
    FMonitorOpen = false;
  }
  bool ok = FRecordFile >= 0;
  if (ok) {
    const std::string header = WaveHeader(FRecordFormat, static_cast<std::uint32_t>(FTotalRecorded));
    ok = ::pwrite(FRecordFile, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
    ok = ::close(FRecordFile) == 0 && ok;
    FRecordFile = -1;
  }
  FRecordBuffers[0].clear();
  FRecordBuffers[1].clear();
  if (!ok) {
    FWaveState = wsIdle;
    WaveFail(ecTapiWaveWriteError, "MMIO Write Error");
  }
  FWaveState = wsData;
  if (FOnTapiWaveNotify) FOnTapiWaveNotify(this, waDataReady);
}

void TSioCustomTapiDevice::FreeRecordBuffers() {
  if (FWaveInOpen) {
    waveInReset(FWaveIn);
    waveInClose(FWaveIn);
    FWaveInOpen = false;
  }
  if (FMonitorOpen) {
    waveOutReset(FMonitorOut);
    waveOutClose(FMonitorOut);
    FMonitorOpen = false;
  }
  if (FRecordFile >= 0) {
    ::close(FRecordFile);
    FRecordFile = -1;
  }
  FRecordBuffers[0].clear();
  FRecordBuffers[1].clear();
}

void TSioCustomTapiDevice::SaveWaveFile(const std::string& fileName, bool overwrite) {
  if (FWaveState == wsRecording) WaveFail(ecTapiWaveDeviceInUse, SioLoadStr(ecTapiWaveDeviceInUse));
  if (FWaveState != wsData) WaveFail(ecTapiNoWaveData, SioLoadStr(ecTapiNoWaveData));
  std::error_code ec;
  if (std::filesystem::exists(fileName, ec) && !overwrite)
    WaveFail(ecTapiWaveFileExists, SioLoadStr(ecTapiWaveFileExists));
  std::filesystem::copy_file(FTempFileName, fileName, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) WaveFail(ecTapiWaveFail, SioLoadStr(ecTapiWaveFail));
  ::unlink(FTempFileName.c_str());
  FTempFileName.clear();
  FWaveFileName = fileName;
  FWaveState = wsIdle;
}

// ---------------------------------------------------------------------------------------
// Wave notices, DTMF, voice to data
// ---------------------------------------------------------------------------------------

void TSioCustomTapiDevice::DoWaveMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* header = reinterpret_cast<WAVEHDR*>(lParam);
  switch (msg) {
    case MM_WOM_OPEN:
      if (wParam == FWaveOut && FOnTapiWaveNotify) FOnTapiWaveNotify(this, waPlayOpen);
      break;
    case MM_WOM_DONE:
      if (!FWaveOutOpen || wParam != FWaveOut || header != &FPlayHeader) break;  // the monitor's buffer
      waveOutUnprepareHeader(FWaveOut, header, sizeof *header);
      if (FPlayPosition == -1 || FPlayClosing) {
        FPlayClosing = true;
        waveOutClose(FWaveOut);
        FWaveOutOpen = false;
        FWaveState = wsIdle;
        FPlayBuffers[0].clear();
        FPlayBuffers[1].clear();
        FPlayData.clear();
        if (FOnTapiWaveNotify) FOnTapiWaveNotify(this, waPlayDone);
      } else {
        QueuePlayBuffer();
      }
      break;
    case MM_WOM_CLOSE:
      if (wParam != FWaveOut) break;  // the monitor's device
      if (FWaveState == wsPlaying) FWaveState = wsIdle;
      if (FOnTapiWaveNotify) FOnTapiWaveNotify(this, waPlayClose);
      break;
    case MM_WIM_OPEN:
      if (wParam == FWaveIn && FOnTapiWaveNotify) FOnTapiWaveNotify(this, waRecordOpen);
      break;
    case MM_WIM_DATA:
      if (wParam == FWaveIn) RecordBufferFilled(header);
      break;
    case MM_WIM_CLOSE:
      if (wParam == FWaveIn && FOnTapiWaveNotify) FOnTapiWaveNotify(this, waRecordClose);
      break;
    default:
      break;
  }
}

void TSioCustomTapiDevice::MonitorDTMF() {
  const LONG r = tuLineMonitorDigits(FCall, LINEDIGITMODE_DTMF);
  if (r != 0 && !FOnTapiDTMF) RaiseSioException(ecTapiVoiceNotSupported);
}

void TSioCustomTapiDevice::DigitEvent(char digit) {
  if (digit == '\0' || digit == ' ') return;
  if (FInterruptWave) {
    StopWaveFile();
    if (FOnTapiDTMF) FOnTapiDTMF(this, digit, 0);
  } else if (FWaveState != wsPlaying) {
    if (FOnTapiDTMF) FOnTapiDTMF(this, digit, 0);
  }
}

void TSioCustomTapiDevice::AutomatedVoicetoComms() {
  if (!FEnableVoice || FCall == 0) return;
  UpdateCallInfo(FCall);
  if (!FCallInfo || (FCallInfo->dwMediaMode & LINEMEDIAMODE_AUTOMATEDVOICE) == 0) return;
  const LONG r = tuLineSetCallParams(FCall, LINEBEARERMODE_PASSTHROUGH, 1200, 115200, nullptr);
  if (r > 0)
    WaitForReply(r);
  else
    CheckTapi(r);
  if (tuLineSetMediaMode(FCall, LINEMEDIAMODE_UNKNOWN | LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_G3FAX) != 0)
    RaiseSioException(ecTapiVoiceNotSupported);
  OpenTapiPort();
}
