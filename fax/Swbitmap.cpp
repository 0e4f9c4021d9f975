// Bitmaps over byte buffers and the Windows bitmap file loader.
#include "fax/Swbitmap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "fax/Swfaxfmt.h"
#include "serial/Sioexcept.h"

bool TBitmapImage::Allocate(int width, int height, int bitsPerPixel) {
  Width = width;
  Height = height;
  BitsPerPixel = bitsPerPixel;
  BytesPerRow = RowBytes(width, bitsPerPixel);
  try {
    Bits.assign(static_cast<std::size_t>(BytesPerRow) * static_cast<std::size_t>(height), 0);
  } catch (const std::bad_alloc&) {
    Bits.clear();
    Width = Height = BytesPerRow = 0;
    return false;
  }
  return true;
}

void TBitmapImage::GetPixel(int x, int y, std::uint8_t& r, std::uint8_t& g, std::uint8_t& b) const {
  const std::uint8_t* row = Row(y);
  if (BitsPerPixel == 1) {
    const std::uint8_t v = ((row[x >> 3] >> (7 - (x & 7))) & 1) ? 0xFF : 0x00;
    r = g = b = v;
  } else {
    r = row[3 * x];
    g = row[3 * x + 1];
    b = row[3 * x + 2];
  }
}

namespace {

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

int ReadWholeFile(const std::string& fileName, std::vector<std::uint8_t>& data) {
  if (fileName.empty()) return ecFileNotFound;
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fxfFileError(errno);
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) {
    const int rc = fxfFileError(errno);
    ::close(fd);
    return rc;
  }
  // Nothing loadable is larger than the largest picture: refuse before allocating.
  if (end > (off_t(1) << 32)) {
    ::close(fd);
    return ecBadGraphicsFormat;
  }
  try {
    data.resize(static_cast<std::size_t>(end));
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return ecOutOfMemory;
  }
  std::size_t got = 0;
  while (got < data.size()) {
    const ssize_t n = ::pread(fd, data.data() + got, data.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int rc = fxfFileError(errno);
      ::close(fd);
      return rc;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  data.resize(got);
  return 0;
}

struct TRgb {
  std::uint8_t R = 0, G = 0, B = 0;
};

}  // namespace

int LoadBitmapFile(const std::string& fileName, TBitmapImage& image) {
  image = TBitmapImage{};
  std::vector<std::uint8_t> f;
  int rc = ReadWholeFile(fileName, f);
  if (rc < 0) return rc;
  const std::size_t size = f.size();
  if (size < 14 + 12 || f[0] != 'B' || f[1] != 'M') return ecBadGraphicsFormat;
  const std::uint32_t dataOfs = Get32(&f[10]);
  const std::uint32_t hdrSize = Get32(&f[14]);
  if (hdrSize < 12 || hdrSize > size - 14) return ecBadGraphicsFormat;
  std::int64_t width, height;
  unsigned bpp, compression = 0, clrUsed = 0;
  bool core = hdrSize < 40;
  if (core) {
    if (hdrSize != 12) return ecBadGraphicsFormat;
    width = Get16(&f[18]);
    height = Get16(&f[20]);
    bpp = Get16(&f[24]);
  } else {
    width = static_cast<std::int32_t>(Get32(&f[18]));
    height = static_cast<std::int32_t>(Get32(&f[22]));
    bpp = Get16(&f[28]);
    compression = Get32(&f[30]);
    clrUsed = Get32(&f[46]);
  }
  const bool topDown = height < 0;
  if (topDown) height = -height;
  if (width < 1 || height < 1 || width > MaxBitmapDimension || height > MaxBitmapDimension)
    return ecBadGraphicsFormat;
  if (compression != 0) return ecBadGraphicsFormat;
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return ecBadGraphicsFormat;

  // Palette
  std::vector<TRgb> palette;
  if (bpp <= 8) {
    std::size_t entries = clrUsed ? clrUsed : (1u << bpp);
    if (entries > (1u << bpp)) entries = 1u << bpp;
    const std::size_t entrySize = core ? 3 : 4;
    const std::size_t at = 14 + hdrSize;
    if (at + entries * entrySize > size) return ecBadGraphicsFormat;
    palette.resize(1u << bpp);
    for (std::size_t i = 0; i < entries; ++i) {
      const std::uint8_t* p = &f[at + i * entrySize];
      palette[i] = {p[2], p[1], p[0]};
    }
  }

  const std::uint64_t srcRow = (static_cast<std::uint64_t>(width) * bpp + 31) / 32 * 4;
  if (dataOfs > size || srcRow * static_cast<std::uint64_t>(height) > size - dataOfs)
    return ecBadGraphicsFormat;

  const int w = static_cast<int>(width), h = static_cast<int>(height);
  if (!image.Allocate(w, h, bpp == 1 ? 1 : 24)) return ecOutOfMemory;
  for (int y = 0; y < h; ++y) {
    const int srcY = topDown ? y : h - 1 - y;
    const std::uint8_t* s = &f[dataOfs + static_cast<std::size_t>(srcRow) * static_cast<std::size_t>(srcY)];
    std::uint8_t* d = image.Row(y);
    if (bpp == 1) {
      // 1 = white, whatever order the palette has.
      const bool white0 = palette[0].R + palette[0].G + palette[0].B >= 384;
      const bool white1 = palette[1].R + palette[1].G + palette[1].B >= 384;
      const int bytes = (w + 7) / 8;
      for (int i = 0; i < bytes; ++i) {
        const std::uint8_t v = s[i];
        d[i] = static_cast<std::uint8_t>((white1 ? v : 0) | (white0 ? static_cast<std::uint8_t>(~v) : 0));
      }
      continue;
    }
    for (int x = 0; x < w; ++x) {
      TRgb c;
      switch (bpp) {
        case 4:
          c = palette[(s[x / 2] >> (x % 2 ? 0 : 4)) & 15];
          break;
        case 8:
          c = palette[s[x]];
          break;
        case 16: {
          const unsigned v = Get16(s + 2 * x);
          c = {static_cast<std::uint8_t>(((v >> 10) & 31) * 255 / 31),
               static_cast<std::uint8_t>(((v >> 5) & 31) * 255 / 31),
               static_cast<std::uint8_t>((v & 31) * 255 / 31)};
          break;
        }
        case 24:
          c = {s[3 * x + 2], s[3 * x + 1], s[3 * x]};
          break;
        default:
          c = {s[4 * x + 2], s[4 * x + 1], s[4 * x]};
          break;
      }
      d[3 * x] = c.R;
      d[3 * x + 1] = c.G;
      d[3 * x + 2] = c.B;
    }
  }
  return 0;
}
