// make-sounds: writes the application's two alarm sounds as 16-bit mono PCM wave files.
//   error.wav  a value below its lower limit: two short falling beeps
//   boing.wav  a value above its upper limit: a springy "boing" that bends down and dies away
// Usage: make-sounds DIRECTORY (made if missing). The tones are computed here; nothing is read.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr unsigned kRate = 22050;
constexpr double kTwoPi = 6.283185307179586;

void PutLe(std::string& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool WriteWave(const std::filesystem::path& file, const std::vector<double>& samples) {
  std::string data;
  data.reserve(samples.size() * 2);
  for (double s : samples) {
    const double clipped = std::fmax(-1.0, std::fmin(1.0, s));
    PutLe(data, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(clipped * 32767.0))), 2);
  }
  std::string out = "RIFF";
  PutLe(out, static_cast<std::uint32_t>(36 + data.size()), 4);
  out += "WAVEfmt ";
  PutLe(out, 16, 4);
  PutLe(out, 1, 2);  // PCM
  PutLe(out, 1, 2);  // mono
  PutLe(out, kRate, 4);
  PutLe(out, kRate * 2, 4);
  PutLe(out, 2, 2);
  PutLe(out, 16, 2);
  out += "data";
  PutLe(out, static_cast<std::uint32_t>(data.size()), 4);
  out += data;
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  return std::fclose(f) == 0 && ok;
}

// A beep with a few odd harmonics (a slightly reedy tone) and 8 ms ramps at both ends.
void Beep(std::vector<double>& out, double hz, double seconds, double level) {
  const std::size_t n = static_cast<std::size_t>(seconds * kRate);
  const double ramp = 0.008 * kRate;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double env = std::fmin(1.0, std::fmin(i / ramp, (n - i) / ramp));
    const double x = kTwoPi * hz * t;
    out.push_back(level * env * (std::sin(x) + 0.3 * std::sin(3 * x) + 0.12 * std::sin(5 * x)) / 1.42);
  }
}

void Silence(std::vector<double>& out, double seconds) {
  out.insert(out.end(), static_cast<std::size_t>(seconds * kRate), 0.0);
}

std::vector<double> ErrorSound() {
  std::vector<double> s;
  Beep(s, 660, 0.16, 0.7);
  Silence(s, 0.06);
  Beep(s, 440, 0.24, 0.7);
  Silence(s, 0.05);
  return s;
}

// A pitch that falls from 330 Hz towards 120 Hz with a fast wobble that settles, under an
// envelope that strikes at once and decays.
std::vector<double> BoingSound() {
  std::vector<double> s;
  const double seconds = 0.65;
  const std::size_t n = static_cast<std::size_t>(seconds * kRate);
  double phase = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double wobble = 0.18 * std::exp(-5.0 * t) * std::sin(kTwoPi * 14.0 * t);
    const double hz = (120.0 + 210.0 * std::exp(-7.0 * t)) * (1.0 + wobble);
    phase += kTwoPi * hz / kRate;
    const double attack = std::fmin(1.0, t / 0.004);
    const double env = attack * std::exp(-4.5 * t) * std::fmin(1.0, (seconds - t) / 0.02);
    s.push_back(0.8 * env * (std::sin(phase) + 0.25 * std::sin(2 * phase)) / 1.25);
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-sounds DIRECTORY\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (!WriteWave(dir / "error.wav", ErrorSound()) || !WriteWave(dir / "boing.wav", BoingSound())) {
    std::fprintf(stderr, "make-sounds: cannot write the sounds into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
