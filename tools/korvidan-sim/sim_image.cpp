#include "sim_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <vector>

namespace ksim {
namespace {

// Layout of the programming image.
constexpr std::size_t kControlStart = 43, kControlSize = 36, kControlCount = 32;
constexpr std::size_t kIntervalStart = 1195, kIntervalSize = 32, kIntervalCount = 32;
constexpr std::size_t kCurrentStart = 2219, kCurrentSize = 26, kCurrentCount = 16;
constexpr std::size_t kDayNightStart = 2635, kDayNightSize = 18, kDayNightCount = 16;
constexpr std::size_t kMoonStart = 2923, kMoonSize = 12, kMoonCount = 16;
constexpr std::size_t kTimerStart = 3115, kTimerSize = 13, kTimerCount = 32;
constexpr std::size_t kEndMarker = 3576;

std::vector<std::size_t> floatOffsets() {
  std::vector<std::size_t> offsets{1, 5, 12, 16, 22, 26, 34};
  auto records = [&](std::size_t start, std::size_t size, std::size_t count,
                     std::initializer_list<std::size_t> fields) {
    for (std::size_t r = 0; r < count; ++r)
      for (std::size_t f : fields) offsets.push_back(start + r * size + f);
  };
  records(kControlStart, kControlSize, kControlCount, {3, 7, 11, 15, 19, 23, 27, 31});
  records(kIntervalStart, kIntervalSize, kIntervalCount, {1, 5, 9, 13, 17, 21, 25});
  records(kCurrentStart, kCurrentSize, kCurrentCount, {1, 5, 9, 13, 17});
  records(kDayNightStart, kDayNightSize, kDayNightCount, {1, 5, 9, 13});
  records(kMoonStart, kMoonSize, kMoonCount, {2, 6});
  records(kTimerStart, kTimerSize, kTimerCount, {2, 6});
  offsets.insert(offsets.end(), {3564, 3568, 3572});
  return offsets;
}

void controlRecord(Image& img, int input, int process, std::uint8_t type, float set1, float set2, float set3,
                   float set4, float lower, float upper, float alarmTime) {
  const std::size_t at = kControlStart + static_cast<std::size_t>(input) * 144 +
                         static_cast<std::size_t>(process) * kControlSize;
  img[at] = type;
  img[at + 1] = 0;  // control off
  img[at + 2] = 0;
  putFloat(img, at + 3, set1);
  putFloat(img, at + 7, set2);
  putFloat(img, at + 11, set3);
  putFloat(img, at + 15, set4);
  putFloat(img, at + 19, lower);
  putFloat(img, at + 23, upper);
  putFloat(img, at + 27, alarmTime);
  putFloat(img, at + 31, 0.0f);
  img[at + 35] = 0;
}

}  // namespace

void putFloat(Image& image, std::size_t offset, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 4; ++i)
    image[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (8 * i));
}

float getFloat(const Image& image, std::size_t offset) {
  std::uint32_t bits = 0;
  for (int i = 0; i < 4; ++i)
    bits |= static_cast<std::uint32_t>(image[offset + static_cast<std::size_t>(i)]) << (8 * i);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void reverseMultiByteFields(Image& image) {
  static const std::vector<std::size_t> offsets = floatOffsets();
  for (std::size_t at : offsets)
    std::reverse(image.begin() + static_cast<std::ptrdiff_t>(at),
                 image.begin() + static_cast<std::ptrdiff_t>(at + 4));
  std::swap(image[20], image[21]);
}

Image toBusOrder(const Image& image, int firmwareVersion) {
  Image bus = image;
  if (firmwareVersion >= 217) reverseMultiByteFields(bus);
  return bus;
}

Image fromBusOrder(const Image& busImage, int firmwareVersion) {
  return toBusOrder(busImage, firmwareVersion);  // the reversal is its own inverse
}

void setClock(Image& image, long long unixSeconds) {
  const std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm local{};
  localtime_r(&t, &local);
  const int secondsOfDay = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  // Days since 1970-01-01 of the local calendar date (civil calendar arithmetic).
  int y = local.tm_year + 1900;
  const int m = local.tm_mon + 1;
  const int d = local.tm_mday;
  y -= m <= 2 ? 1 : 0;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long long days = static_cast<long long>(era) * 146097 + doe - 719468;
  putFloat(image, 1, static_cast<float>(secondsOfDay));
  putFloat(image, 5, static_cast<float>(days + 40587));  // MJD 40587 is 1970-01-01
}

ProgramMemory defaultProgramMemory() {
  ProgramMemory mem;
  Image& img = mem.image;
  img[10] = 1;                // external display every 2 seconds
  img[11] = 1;                // internal display every 2 seconds
  putFloat(img, 12, 900.0f);  // storage interval 15 minutes
  putFloat(img, 22, 8.80f);   // geographic coordinates
  putFloat(img, 26, 53.08f);
  img[30] = 1;                  // time zone +1
  img[31] = 1;                  // acoustic alarm on
  putFloat(img, 34, 86400.0f);  // trend period one day
  img[41] = 1;                  // oxygen in mg/l

  // Inputs 1..6: pH, temperature, redox, conductivity, oxygen, level; every process off.
  for (int p = 0; p < 4; ++p) {
    controlRecord(img, 0, p, 1, 7.0f, 7.2f, 0, 0, 6.5f, 7.8f, 600);
    controlRecord(img, 1, p, 2, 25.0f, 24.0f, 23.0f, 22.0f, 22.0f, 28.0f, 600);
    controlRecord(img, 2, p, 3, 350.0f, 0, 0, 0, 200.0f, 450.0f, 600);
    controlRecord(img, 3, p, 5, 53.0f, 0, 0, 0, 45.0f, 58.0f, 600);
    controlRecord(img, 4, p, 6, 7.0f, 6.5f, 0, 0, 4.0f, 10.0f, 600);
    controlRecord(img, 5, p, 7, 0, 0, 0, 0, 0, 0, 300);
  }

  // Day/night record 0: light on socket 1 from 08:00 to 20:00.
  img[kDayNightStart] = 1;
  putFloat(img, kDayNightStart + 1, 8 * 3600.0f);
  putFloat(img, kDayNightStart + 13, 20 * 3600.0f);
  img[kDayNightStart + 17] = 1;

  // Sockets 1..16 present, 5..8 dimmable; socket 1 switched by the light.
  SocketTable& s = mem.sockets;
  for (std::size_t n = 1; n <= 16; ++n) {
    s[7 * n] = (n >= 5 && n <= 8) ? 2 : 1;
    s[7 * n + 4] = 100;
    s[7 * n + 5] = 0;
  }
  s[7 * 1 + 1] = 17;

  img[kEndMarker] = 0x30;
  img[kEndMarker + 1] = 0x39;
  return mem;
}

std::string loadPrgFile(const std::string& path, ProgramMemory& memory) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot open " + path;
  std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() < kPrgSignatureSize || std::memcmp(data.data(), kPrgSignature, kPrgSignatureSize) != 0)
    return path + ": not a programming-data file (signature \"ovu ProgData\" missing)";
  ProgramMemory loaded;
  for (std::size_t i = 0; i < kImageSize && kPrgSignatureSize + i < data.size(); ++i)
    loaded.image[i] = static_cast<std::uint8_t>(data[kPrgSignatureSize + i]);
  for (std::size_t i = 0; i < kSocketTableSize && kPrgSignatureSize + kImageSize + i < data.size(); ++i)
    loaded.sockets[i] = static_cast<std::uint8_t>(data[kPrgSignatureSize + kImageSize + i]);
  memory = loaded;
  return {};
}

std::string savePrgFile(const std::string& path, const ProgramMemory& memory) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return "cannot write " + temp;
    out.write(kPrgSignature, kPrgSignatureSize);
    out.write(reinterpret_cast<const char*>(memory.image.data()), kImageSize);
    out.write(reinterpret_cast<const char*>(memory.sockets.data()), kSocketTableSize);
    if (!out) return "cannot write " + temp;
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) return "cannot rename " + temp + " to " + path;
  return {};
}

std::string toHex(const std::uint8_t* data, std::size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(digits[data[i] >> 4]);
    text.push_back(digits[data[i] & 0x0F]);
  }
  return text;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace ksim
