#include "platform/WavePlayer.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

unsigned Le16(const std::uint8_t* p) {
  return static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8;
}

std::string ChunkName(const std::uint8_t* p) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += (p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '?';
  return s;
}

// alsa-lib writes its own complaints to stderr; the player reports failures itself.
void SilentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

void QuietAlsa() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(SilentAlsaErrors); });
}

}  // namespace

TWaveData ParseWave(std::span<const std::uint8_t> bytes) {
  const std::size_t size = bytes.size();
  const std::uint8_t* p = bytes.data();
  if (size < 12)
    throw EWaveError("Not a wave file: " + std::to_string(size) + " bytes are too few for a RIFF header");
  if (std::memcmp(p, "RIFF", 4) != 0) throw EWaveError("Not a wave file: no RIFF header");
  if (std::memcmp(p + 8, "WAVE", 4) != 0)
    throw EWaveError("Not a wave file: the RIFF form is '" + ChunkName(p + 8) + "'");
  const std::uint64_t riffEnd = 8 + static_cast<std::uint64_t>(Le32(p + 4));
  if (riffEnd > size)
    throw EWaveError("Wave file truncated: the RIFF header announces " + std::to_string(riffEnd) +
                     " bytes, the file has " + std::to_string(size));
  const std::size_t end = static_cast<std::size_t>(riffEnd);

  TWaveData wave;
  bool haveFmt = false, haveData = false;
  std::size_t dataPos = 0, dataSize = 0;
  std::size_t pos = 12;
  while (pos + 8 <= end) {
    const std::uint8_t* chunk = p + pos;
    const std::size_t chunkSize = Le32(chunk + 4);
    const std::size_t body = pos + 8;
    if (chunkSize > end - body)
      throw EWaveError("Wave file truncated: chunk '" + ChunkName(chunk) + "' announces " +
                       std::to_string(chunkSize) + " bytes, " + std::to_string(end - body) + " remain");
    if (std::memcmp(chunk, "fmt ", 4) == 0 && !haveFmt) {
      if (chunkSize < 16)
        throw EWaveError("Malformed wave file: the fmt chunk has only " + std::to_string(chunkSize) +
                         " bytes");
      const std::uint8_t* f = p + body;
      unsigned tag = Le16(f);
      if (tag == 0xFFFE) {  // extensible format: the sub-format decides
        if (chunkSize < 40)
          throw EWaveError("Malformed wave file: extensible fmt chunk of " + std::to_string(chunkSize) +
                           " bytes");
        tag = Le16(f + 24);
      }
      if (tag != 1)
        throw EWaveError("Unsupported wave format " + std::to_string(tag) + ": only PCM can be played");
      wave.Channels = Le16(f + 2);
      wave.SampleRate = Le32(f + 4);
      wave.BitsPerSample = Le16(f + 14);
      const unsigned blockAlign = Le16(f + 12);
      if (wave.Channels != 1 && wave.Channels != 2)
        throw EWaveError("Unsupported wave file: " + std::to_string(wave.Channels) +
                         " channels (1 or 2 can be played)");
      if (wave.BitsPerSample != 8 && wave.BitsPerSample != 16)
        throw EWaveError("Unsupported wave file: " + std::to_string(wave.BitsPerSample) +
                         " bits a sample (8 or 16 can be played)");
      if (wave.SampleRate < 1 || wave.SampleRate > 768000)
        throw EWaveError("Unsupported wave file: sample rate " + std::to_string(wave.SampleRate) + " Hz");
      if (blockAlign != wave.BlockAlign())
        throw EWaveError("Malformed wave file: block size " + std::to_string(blockAlign) + " does not fit " +
                         std::to_string(wave.Channels) + " channels of " +
                         std::to_string(wave.BitsPerSample) + " bits");
      haveFmt = true;
    } else if (std::memcmp(chunk, "data", 4) == 0 && !haveData) {
      dataPos = body;
      dataSize = chunkSize;
      haveData = true;
    }
    pos = body + chunkSize + (chunkSize & 1);
  }
  if (!haveFmt) throw EWaveError("Malformed wave file: no fmt chunk");
  if (!haveData) throw EWaveError("Malformed wave file: no data chunk");
  if (dataSize % wave.BlockAlign() != 0)
    throw EWaveError("Malformed wave file: " + std::to_string(dataSize) +
                     " data bytes are no whole number of " + std::to_string(wave.BlockAlign()) +
                     "-byte frames");
  wave.Samples.assign(p + dataPos, p + dataPos + dataSize);
  return wave;
}

TWaveData LoadWaveFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw EWaveError("Cannot open the sound file '" + file.string() + "': " + std::strerror(errno));
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw EWaveError("Cannot read the sound file '" + file.string() + "'");
  try {
    return ParseWave(bytes);
  } catch (const EWaveError& e) {
    throw EWaveError(file.string() + ": " + e.what());
  }
}

// ---------------------------------------------------------------------------------------

struct TWavePlayer::Playback {
  snd_pcm_t* pcm = nullptr;
  std::shared_ptr<const TWaveData> wave;
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::string error;  // failure met while playing
};

namespace {

// Feeds the device until the sound has been played or stop is set. The device is in
// non-blocking mode: every wait is short, so a stop takes effect within 50 ms.
void Feed(snd_pcm_t* pcm, const TWaveData& wave, std::atomic<bool>& stop, std::string& error) {
  const std::size_t frameBytes = wave.BlockAlign();
  const std::size_t total = wave.Frames();
  std::size_t done = 0;
  while (done < total && !stop) {
    snd_pcm_uframes_t count = static_cast<snd_pcm_uframes_t>(std::min<std::size_t>(total - done, 4096));
    snd_pcm_sframes_t n = snd_pcm_writei(pcm, wave.Samples.data() + done * frameBytes, count);
    if (n == -EAGAIN) {
      snd_pcm_wait(pcm, 50);
      continue;
    }
    if (n < 0) {
      n = snd_pcm_recover(pcm, static_cast<int>(n), 1);
      if (n < 0) {
        error = std::string("Playback failed: ") + snd_strerror(static_cast<int>(n));
        return;
      }
      continue;
    }
    done += static_cast<std::size_t>(n);
  }
  if (stop) return;
  // Let the device play what it holds; in non-blocking mode drain only starts this.
  int rc = snd_pcm_drain(pcm);
  if (rc < 0 && rc != -EAGAIN) return;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000) +
                     std::chrono::milliseconds(static_cast<long>(wave.Seconds() * 1000));
  while (!stop && snd_pcm_state(pcm) == SND_PCM_STATE_DRAINING && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

TWavePlayer::~TWavePlayer() { StopPlayback(); }

void TWavePlayer::Fail(TErrorCode code, const std::string& message) {
  {
    std::lock_guard lock(mutex_);
    error_ = code;
    errorMessage_ = message;
  }
  throw EWaveError(message);
}

void TWavePlayer::Succeed() {
  std::lock_guard lock(mutex_);
  error_ = weNone;
  errorMessage_.clear();
}

TWavePlayer::TErrorCode TWavePlayer::Error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

std::string TWavePlayer::ErrorMessage() const {
  std::lock_guard lock(mutex_);
  return errorMessage_;
}

void TWavePlayer::Open() {
  if (FileName.empty()) Fail(weFile, "No sound file given");
  std::error_code ec;
  std::filesystem::path file = FileName;
  if (!std::filesystem::exists(file, ec) && FileName.find('\\') != std::string::npos) {
    // Names built the Windows way ("directory\error.wav") separate with backslashes.
    std::string slashes = FileName;
    std::replace(slashes.begin(), slashes.end(), '\\', '/');
    file = slashes;
  }
  if (!std::filesystem::is_regular_file(file, ec))
    Fail(weFile, "The sound file '" + FileName + "' does not exist");
  try {
    wave_ = std::make_shared<const TWaveData>(LoadWaveFile(file));
  } catch (const EWaveError& e) {
    wave_.reset();
    Fail(weFormat, e.what());
  }
  Succeed();
}

bool TWavePlayer::IsOpen() const { return wave_ != nullptr; }

void TWavePlayer::Play() {
  StopPlayback();
  if (!wave_) Fail(weNotOpen, "No sound file is open");
  QuietAlsa();
  snd_pcm_format_t format = wave_->BitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
  snd_pcm_t* pcm = nullptr;
  int rc = snd_pcm_open(&pcm, DeviceName.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (rc < 0) Fail(weDevice, "No sound device '" + DeviceName + "': " + snd_strerror(rc));
  rc = snd_pcm_set_params(pcm, format, SND_PCM_ACCESS_RW_INTERLEAVED, wave_->Channels, wave_->SampleRate, 1,
                          500000);
  if (rc < 0) {
    snd_pcm_close(pcm);
    Fail(weDevice, "The sound device '" + DeviceName + "' cannot play " + std::to_string(wave_->Channels) +
                       " channels of " + std::to_string(wave_->BitsPerSample) + " bits at " +
                       std::to_string(wave_->SampleRate) + " Hz: " + snd_strerror(rc));
  }
  auto pb = std::make_shared<Playback>();
  pb->pcm = pcm;
  pb->wave = wave_;
  playback_ = pb;
  try {
    thread_ = std::thread([pb] {
      std::string error;
      Feed(pb->pcm, *pb->wave, pb->stop, error);
      snd_pcm_drop(pb->pcm);
      snd_pcm_close(pb->pcm);
      std::lock_guard lock(pb->mutex);
      pb->error = error;
      pb->done = true;
      pb->ended.notify_all();
    });
  } catch (const std::system_error& e) {
    snd_pcm_close(pcm);
    playback_.reset();
    Fail(wePlayback, std::string("Cannot start playback: ") + e.what());
  }
  Succeed();
  if (Wait) {
    thread_.join();
    std::string error;
    {
      std::lock_guard lock(pb->mutex);
      error = pb->error;
    }
    playback_.reset();
    if (!error.empty()) Fail(wePlayback, error);
  }
}

bool TWavePlayer::Playing() const {
  auto pb = playback_;
  if (!pb) return false;
  std::lock_guard lock(pb->mutex);
  return !pb->done;
}

bool TWavePlayer::WaitForEnd(int timeoutMs) {
  auto pb = playback_;
  if (!pb) return true;
  std::unique_lock lock(pb->mutex);
  if (timeoutMs < 0)
    pb->ended.wait(lock, [&] { return pb->done; });
  else
    pb->ended.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pb->done; });
  if (pb->done && !pb->error.empty()) {
    std::lock_guard elock(mutex_);
    error_ = wePlayback;
    errorMessage_ = pb->error;
  }
  return pb->done;
}

void TWavePlayer::StopPlayback() {
  if (playback_) playback_->stop = true;
  if (thread_.joinable()) thread_.join();
  playback_.reset();
}

void TWavePlayer::Stop() {
  StopPlayback();
  Succeed();
}

void TWavePlayer::Close() {
  StopPlayback();
  wave_.reset();
  Succeed();
}
