#pragma once
// Bitmaps of the fax library: the monochrome bitmaps that the unpacker builds and the
// pictures that the bitmap reader converts, held in plain byte buffers.
//
// A bitmap is either 1 bit a pixel (most significant bit leftmost, rows padded to whole
// 16-bit words) or 24 bits a pixel (red, green, blue bytes, rows of Width * 3 bytes padded
// to whole 16-bit words). Rows are stored top row first.
//
// In a monochrome bitmap the meaning of a bit depends on its maker: a bitmap loaded from a
// file follows the display convention, 1 = white; the unpacker's bitmaps hold the decoded
// lines, 1 = black, or 1 = white when it was asked to invert them.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct TBitmapImage {
  int Width = 0;
  int Height = 0;
  int BitsPerPixel = 1;  // 1 or 24
  int BytesPerRow = 0;   // even
  std::vector<std::uint8_t> Bits;

  // Row length in bytes of a bitmap Width pixels wide, padded to 16 bits.
  static int RowBytes(int width, int bitsPerPixel) {
    const long long bits = static_cast<long long>(width) * bitsPerPixel;
    return static_cast<int>((bits + 15) / 16 * 2);
  }
  // Sets the geometry and a zero-filled pixel block; false when it cannot be allocated.
  bool Allocate(int width, int height, int bitsPerPixel);

  std::uint8_t* Row(int y) {
    return Bits.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(BytesPerRow);
  }
  const std::uint8_t* Row(int y) const {
    return Bits.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(BytesPerRow);
  }
  // Colour of a pixel: red, green and blue bytes; a monochrome pixel is black (0) or white.
  void GetPixel(int x, int y, std::uint8_t& r, std::uint8_t& g, std::uint8_t& b) const;
};

// Largest picture the library accepts in either direction.
inline constexpr int MaxBitmapDimension = 32767;

// Loads a Windows bitmap file (uncompressed; 1, 4, 8, 16, 24 or 32 bits a pixel; bottom-up
// or top-down; at most 32767 pixels in either direction). A picture of 1 bit a pixel becomes a monochrome
// bitmap (1 = white, by the brightness of the palette entries), any other a 24-bit bitmap.
// Returns 0, -8002 for a file that is no loadable bitmap (also a truncated one), or the
// negated I/O code when the file cannot be opened or read.
int LoadBitmapFile(const std::string& fileName, TBitmapImage& image);
