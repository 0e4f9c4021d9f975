// Wave devices: the handle table, the providers and the sound card's output over ALSA.
#include "platform/WaveIO.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

bool WaveFormatIsPlainPcm(const WAVEFORMATEX& f) {
  if (f.wFormatTag != WAVE_FORMAT_PCM) return false;
  if (f.nChannels != 1 && f.nChannels != 2) return false;
  if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16) return false;
  if (f.nSamplesPerSec < 1000 || f.nSamplesPerSec > 192000) return false;
  if (f.nBlockAlign != f.nChannels * f.wBitsPerSample / 8) return false;
  return f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

void TWaveNotifier::BufferDone(UINT msg, WAVEHDR* header) const {
  header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  PostMessage(window_, msg, handle_, reinterpret_cast<LPARAM>(header));
}

void TWaveNotifier::Notice(UINT msg) const { PostMessage(window_, msg, handle_, 0); }

namespace {

// ---------------------------------------------------------------------------------------
// The sound card
// ---------------------------------------------------------------------------------------

void SilentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

class TAlsaOut : public TWaveStream {
 public:
  TAlsaOut(snd_pcm_t* pcm, const WAVEFORMATEX& format, std::shared_ptr<TWaveNotifier> notifier)
      : pcm_(pcm), frameBytes_(format.nBlockAlign), notifier_(std::move(notifier)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~TAlsaOut() override {
    {
      std::lock_guard<std::mutex> g(m_);
      ++resetGeneration_;
      if (closed_) return;
      closed_ = true;
      queue_.clear();
      cv_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    snd_pcm_close(pcm_);
  }

  MMRESULT Queue(WAVEHDR* h) override {
    std::lock_guard<std::mutex> g(m_);
    h->dwFlags = (h->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    queue_.push_back(h);
    cv_.notify_all();
    return MMSYSERR_NOERROR;
  }
  MMRESULT Reset() override {
    std::unique_lock<std::mutex> lk(m_);
    ++resetGeneration_;
    cv_.notify_all();
    cv_.wait(lk, [this] { return current_ == nullptr; });
    while (!queue_.empty()) {
      notifier_->BufferDone(MM_WOM_DONE, queue_.front());
      queue_.pop_front();
    }
    return MMSYSERR_NOERROR;
  }
  MMRESULT Close() override {
    {
      std::lock_guard<std::mutex> g(m_);
      if (closed_) return MMSYSERR_NOERROR;
      if (!queue_.empty() || current_ != nullptr) return WAVERR_STILLPLAYING;
      closed_ = true;
      cv_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    snd_pcm_drain(pcm_);
    snd_pcm_close(pcm_);
    notifier_->Notice(MM_WOM_CLOSE);
    return MMSYSERR_NOERROR;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
      cv_.wait(lk, [this] { return closed_ || !queue_.empty(); });
      if (closed_ && queue_.empty()) return;
      current_ = queue_.front();
      queue_.pop_front();
      const std::uint64_t generation = resetGeneration_;
      WAVEHDR* h = current_;
      lk.unlock();
      const char* p = h->lpData;
      snd_pcm_uframes_t left = h->dwBufferLength / frameBytes_;
      while (left > 0) {
        {
          std::lock_guard<std::mutex> g(m_);
          if (resetGeneration_ != generation) break;
        }
        snd_pcm_sframes_t n = snd_pcm_writei(pcm_, p, left);
        if (n == -EAGAIN) {
          snd_pcm_wait(pcm_, 50);
          continue;
        }
        if (n < 0) n = snd_pcm_recover(pcm_, static_cast<int>(n), 1);
        if (n < 0) break;  // the device failed: the rest of the buffer is given back unplayed
        p += static_cast<std::size_t>(n) * frameBytes_;
        left -= static_cast<snd_pcm_uframes_t>(n);
      }
      lk.lock();
      current_ = nullptr;
      notifier_->BufferDone(MM_WOM_DONE, h);
      cv_.notify_all();
    }
  }

  snd_pcm_t* pcm_;
  unsigned frameBytes_;
  std::shared_ptr<TWaveNotifier> notifier_;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<WAVEHDR*> queue_;
  WAVEHDR* current_ = nullptr;
  std::uint64_t resetGeneration_ = 0;
  bool closed_ = false;
  std::thread thread_;
};

MMRESULT OpenSoundCard(bool input, const WAVEFORMATEX& f, bool queryOnly,
                       std::shared_ptr<TWaveNotifier> notifier, std::unique_ptr<TWaveStream>& stream) {
  if (input) return MMSYSERR_NODRIVER;
  if (!WaveFormatIsPlainPcm(f)) return WAVERR_BADFORMAT;
  static std::once_flag quiet;
  std::call_once(quiet, [] { snd_lib_error_set_handler(SilentAlsaErrors); });
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0)
    return MMSYSERR_BADDEVICEID;
  int r = snd_pcm_set_params(pcm, f.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE,
                             SND_PCM_ACCESS_RW_INTERLEAVED, f.nChannels, f.nSamplesPerSec, 1, 200000);
  if (r < 0 || queryOnly) {
    snd_pcm_close(pcm);
    return r < 0 ? WAVERR_BADFORMAT : MMSYSERR_NOERROR;
  }
  stream = std::make_unique<TAlsaOut>(pcm, f, std::move(notifier));
  return MMSYSERR_NOERROR;
}

// ---------------------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------------------

struct TOpenDevice {
  bool input = false;
  std::shared_ptr<TWaveNotifier> notifier;
  std::shared_ptr<TWaveStream> stream;
};

struct TWaveTable {
  std::mutex m;
  std::vector<TWaveProvider*> providers;
  std::map<std::uint32_t, TOpenDevice> devices;
  std::uint32_t next = 0x5A000001;
};

TWaveTable& Table() {
  static TWaveTable* t = new TWaveTable;
  return *t;
}

MMRESULT Open(std::uint32_t* handle, UINT deviceId, const WAVEFORMATEX* format, HWND window, DWORD flags,
              bool input) {
  if (format == nullptr) return MMSYSERR_INVALPARAM;
  const bool query = (flags & WAVE_FORMAT_QUERY) != 0;
  if (!query && handle == nullptr) return MMSYSERR_INVALPARAM;
  TWaveProvider* provider = nullptr;
  std::uint32_t id;
  {
    TWaveTable& t = Table();
    std::lock_guard<std::mutex> g(t.m);
    for (TWaveProvider* p : t.providers)
      if (p->Owns(deviceId)) provider = p;
    id = t.next++;
    if (t.next == 0) t.next = 1;
  }
  auto notifier = std::make_shared<TWaveNotifier>((flags & CALLBACK_WINDOW) ? window : 0, id);
  std::unique_ptr<TWaveStream> stream;
  MMRESULT r;
  if (provider != nullptr)
    r = provider->Open(deviceId, input, *format, query, notifier, stream);
  else if (deviceId == WAVE_MAPPER)
    r = OpenSoundCard(input, *format, query, notifier, stream);
  else
    r = MMSYSERR_BADDEVICEID;
  if (r != MMSYSERR_NOERROR || query) return r;
  if (!stream) return MMSYSERR_ERROR;
  {
    TWaveTable& t = Table();
    std::lock_guard<std::mutex> g(t.m);
    t.devices[id] = TOpenDevice{input, notifier, std::shared_ptr<TWaveStream>(std::move(stream))};
  }
  *handle = id;
  notifier->Notice(input ? MM_WIM_OPEN : MM_WOM_OPEN);
  return MMSYSERR_NOERROR;
}

std::shared_ptr<TWaveStream> Find(std::uint32_t handle, bool input) {
  TWaveTable& t = Table();
  std::lock_guard<std::mutex> g(t.m);
  auto it = t.devices.find(handle);
  if (it == t.devices.end() || it->second.input != input) return nullptr;
  return it->second.stream;
}

MMRESULT Prepare(std::uint32_t handle, bool input, WAVEHDR* h, bool prepare) {
  if (!Find(handle, input)) return MMSYSERR_INVALHANDLE;
  if (h == nullptr) return MMSYSERR_INVALPARAM;
  if (!prepare && (h->dwFlags & WHDR_INQUEUE)) return WAVERR_STILLPLAYING;
  if (prepare)
    h->dwFlags |= WHDR_PREPARED;
  else
    h->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT QueueBuffer(std::uint32_t handle, bool input, WAVEHDR* h) {
  auto s = Find(handle, input);
  if (!s) return MMSYSERR_INVALHANDLE;
  if (h == nullptr || (h->lpData == nullptr && h->dwBufferLength > 0)) return MMSYSERR_INVALPARAM;
  if (!(h->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (h->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  h->dwFlags &= ~WHDR_DONE;
  if (input) h->dwBytesRecorded = 0;
  return s->Queue(h);
}

MMRESULT CloseDevice(std::uint32_t handle, bool input) {
  auto s = Find(handle, input);
  if (!s) return MMSYSERR_INVALHANDLE;
  MMRESULT r = s->Close();
  if (r != MMSYSERR_NOERROR) return r;
  TWaveTable& t = Table();
  std::lock_guard<std::mutex> g(t.m);
  t.devices.erase(handle);
  return MMSYSERR_NOERROR;
}

MMRESULT CopyText(MMRESULT error, char* text, UINT size) {
  if (text == nullptr || size == 0) return MMSYSERR_INVALPARAM;
  std::string s = WaveErrorText(error);
  std::size_t n = std::min<std::size_t>(s.size(), size - 1);
  std::memcpy(text, s.data(), n);
  text[n] = '\0';
  return MMSYSERR_NOERROR;
}

}  // namespace

std::string WaveErrorText(MMRESULT error) {
  switch (error) {
    case MMSYSERR_NOERROR:
      return "The command was carried out.";
    case MMSYSERR_ERROR:
      return "Undefined external error.";
    case MMSYSERR_BADDEVICEID:
      return "A device ID has been used that is out of range for your system.";
    case MMSYSERR_NOTENABLED:
      return "The driver was not enabled.";
    case MMSYSERR_ALLOCATED:
      return "The specified device is already in use. Wait until it is free, and then try again.";
    case MMSYSERR_INVALHANDLE:
      return "The specified device handle is invalid.";
    case MMSYSERR_NODRIVER:
      return "There is no driver installed on your system.";
    case MMSYSERR_NOMEM:
      return "There is not enough memory available for this task.";
    case MMSYSERR_INVALFLAG:
      return "An invalid flag was passed to a system function.";
    case MMSYSERR_INVALPARAM:
      return "An invalid parameter was passed to a system function.";
    case WAVERR_BADFORMAT:
      return "The specified format is not supported or cannot be translated.";
    case WAVERR_STILLPLAYING:
      return "Cannot perform this operation while media data is still playing.";
    case WAVERR_UNPREPARED:
      return "The wave header was not prepared.";
    default:
      return "Unknown wave device error " + std::to_string(error) + ".";
  }
}

void RegisterWaveProvider(TWaveProvider* provider) {
  TWaveTable& t = Table();
  std::lock_guard<std::mutex> g(t.m);
  if (std::find(t.providers.begin(), t.providers.end(), provider) == t.providers.end())
    t.providers.push_back(provider);
}

void UnregisterWaveProvider(TWaveProvider* provider) {
  TWaveTable& t = Table();
  std::lock_guard<std::mutex> g(t.m);
  t.providers.erase(std::remove(t.providers.begin(), t.providers.end(), provider), t.providers.end());
}

MMRESULT waveOutOpen(HWAVEOUT* handle, UINT deviceId, const WAVEFORMATEX* format, HWND window, std::uintptr_t,
                     DWORD flags) {
  return Open(handle, deviceId, format, window, flags, false);
}
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT) {
  return Prepare(handle, false, header, true);
}
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, UINT) {
  return Prepare(handle, false, header, false);
}
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, UINT) { return QueueBuffer(handle, false, header); }
MMRESULT waveOutReset(HWAVEOUT handle) {
  auto s = Find(handle, false);
  return s ? s->Reset() : MMSYSERR_INVALHANDLE;
}
MMRESULT waveOutClose(HWAVEOUT handle) { return CloseDevice(handle, false); }
MMRESULT waveOutGetErrorText(MMRESULT error, char* text, UINT size) { return CopyText(error, text, size); }

MMRESULT waveInOpen(HWAVEIN* handle, UINT deviceId, const WAVEFORMATEX* format, HWND window, std::uintptr_t,
                    DWORD flags) {
  return Open(handle, deviceId, format, window, flags, true);
}
MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, UINT) {
  return Prepare(handle, true, header, true);
}
MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, UINT) {
  return Prepare(handle, true, header, false);
}
MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, UINT) { return QueueBuffer(handle, true, header); }
MMRESULT waveInStart(HWAVEIN handle) {
  auto s = Find(handle, true);
  return s ? s->Start() : MMSYSERR_INVALHANDLE;
}
MMRESULT waveInStop(HWAVEIN handle) {
  auto s = Find(handle, true);
  return s ? s->Stop() : MMSYSERR_INVALHANDLE;
}
MMRESULT waveInReset(HWAVEIN handle) {
  auto s = Find(handle, true);
  return s ? s->Reset() : MMSYSERR_INVALHANDLE;
}
MMRESULT waveInClose(HWAVEIN handle) { return CloseDevice(handle, true); }
MMRESULT waveInGetErrorText(MMRESULT error, char* text, UINT size) { return CopyText(error, text, size); }
