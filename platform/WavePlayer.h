#pragma once
// Wave files and their playback, in place of the system's multimedia player.
//
// ParseWave reads RIFF/WAVE files with PCM samples of 8 bits (unsigned) or 16 bits (signed,
// little-endian), one or two channels, at any rate from 1 Hz to 768 kHz. Anything else, and
// every malformed or truncated file, gives an EWaveError that says what is wrong.
//
// TWavePlayer plays one file at a time through ALSA, by default on the device "default".
// Play returns at once (unless Wait is set) while a thread of the player feeds the device;
// a new Play, Stop or Close ends a sound that is still running, so the last sound asked
// for is the one heard. Opening the device never blocks: without a sound device Play
// fails at once with an EWaveError. Every failure is also kept as the last error
// (Error, ErrorMessage) until the next call succeeds. A player is used by one thread at a
// time; its playback thread is its own business.
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class EWaveError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TWaveData {
  unsigned Channels = 0;
  unsigned SampleRate = 0;
  unsigned BitsPerSample = 0;
  // Interleaved frames as stored in the file.
  std::vector<std::uint8_t> Samples;

  unsigned BlockAlign() const { return Channels * BitsPerSample / 8; }
  std::size_t Frames() const { return BlockAlign() ? Samples.size() / BlockAlign() : 0; }
  double Seconds() const { return SampleRate ? static_cast<double>(Frames()) / SampleRate : 0.0; }
};

TWaveData ParseWave(std::span<const std::uint8_t> bytes);
// Reads and parses a file; missing or unreadable files give an EWaveError naming the file.
TWaveData LoadWaveFile(const std::filesystem::path& file);

class TWavePlayer {
 public:
  enum TErrorCode { weNone = 0, weNotOpen, weFile, weFormat, weDevice, wePlayback };

  TWavePlayer() = default;
  ~TWavePlayer();
  TWavePlayer(const TWavePlayer&) = delete;
  TWavePlayer& operator=(const TWavePlayer&) = delete;

  std::string FileName;
  std::string DeviceName = "default";
  // Play blocks until the sound has ended (and reports a failure met while playing).
  bool Wait = false;

  // Reads FileName; a running sound goes on until the next Play, Stop or Close. A name that
  // does not exist as it is is tried with its backslashes read as directory separators.
  void Open();
  // Plays the opened file from its start, ending a running sound first.
  void Play();
  // Ends the running sound, if any.
  void Stop();
  // Ends the running sound and forgets the opened file.
  void Close();

  bool IsOpen() const;
  bool Playing() const;
  // Waits up to timeoutMs (negative: without limit) for the running sound to end; true
  // when none runs any more.
  bool WaitForEnd(int timeoutMs);

  TErrorCode Error() const;
  std::string ErrorMessage() const;

 private:
  struct Playback;
  [[noreturn]] void Fail(TErrorCode code, const std::string& message);
  void Succeed();
  void StopPlayback();

  mutable std::mutex mutex_;  // guards the last error
  TErrorCode error_ = weNone;
  std::string errorMessage_;
  std::shared_ptr<const TWaveData> wave_;
  std::shared_ptr<Playback> playback_;
  std::thread thread_;
};
