// Build-time tool: makes the built-in fax font "SWFAX.FNT" from two bitmap fonts of the
// X11 misc "fixed" family (public domain), read with FreeType.
//
// Usage: mkfaxfont OUT SMALL.pcf.gz STANDARD.pcf.gz
//
// Layout of the output, 16384 bytes:
//   0     small font:    256 characters x 16 bytes (8 rows of 2 bytes, 12 pixels wide)
//   4096  standard font: 256 characters x 48 bytes (16 rows of 3 bytes, 20 pixels wide)
// Rows top to bottom, most significant bit leftmost, 1 = black. Characters sit at their
// Windows-1252 positions; control characters and unassigned positions are blank.
// Fax pixels are twice as tall as wide at normal resolution, so every source pixel
// becomes two pixels side by side.
#include <ft2build.h>

#include <cstdio>
#include <cstring>
#include <vector>
#include FT_FREETYPE_H

#include "platform/Text.h"

namespace {

struct Cell {
  int width, rows, bytesPerRow;
};

// Renders the 256 characters of one font into Out (256 x rows x bytesPerRow bytes).
bool RenderFont(FT_Library lib, const char* path, const Cell& cell, std::vector<unsigned char>& out) {
  FT_Face face;
  if (FT_New_Face(lib, path, 0, &face)) {
    std::fprintf(stderr, "mkfaxfont: cannot open %s\n", path);
    return false;
  }
  if (face->num_fixed_sizes > 0) FT_Select_Size(face, 0);
  if (FT_Select_Charmap(face, FT_ENCODING_UNICODE)) {
    std::fprintf(stderr, "mkfaxfont: %s has no Unicode map\n", path);
    FT_Done_Face(face);
    return false;
  }
  const int ascent = static_cast<int>(face->size->metrics.ascender >> 6);
  const int descent = static_cast<int>(-(face->size->metrics.descender >> 6));
  const int cellHeight = ascent + descent;
  const int top = cell.rows > cellHeight ? (cell.rows - cellHeight + 1) / 2 : 0;  // blank rows above
  const int baseline = top + ascent;
  const int charBytes = cell.rows * cell.bytesPerRow;
  int missing = 0;
  for (unsigned c = 0; c < 256; ++c) {
    unsigned u = Cp1252Glyph(static_cast<unsigned char>(c));
    if (!u) continue;
    FT_UInt index = FT_Get_Char_Index(face, u);
    if (!index) {
      ++missing;
      continue;
    }
    if (FT_Load_Glyph(face, index, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO)) {
      ++missing;
      continue;
    }
    const FT_Bitmap& bm = face->glyph->bitmap;
    const int left = face->glyph->bitmap_left;
    const int glyphTop = baseline - face->glyph->bitmap_top;
    const int sourceWidth = static_cast<int>(face->glyph->advance.x >> 6);
    const int xOffset = (cell.width - 2 * sourceWidth) / 2 > 0 ? (cell.width - 2 * sourceWidth) / 2 : 0;
    unsigned char* glyph = out.data() + c * charBytes;
    for (unsigned y = 0; y < bm.rows; ++y) {
      int row = glyphTop + static_cast<int>(y);
      if (row < 0 || row >= cell.rows) continue;
      const unsigned char* src = bm.buffer + static_cast<long>(y) * bm.pitch;
      for (unsigned x = 0; x < bm.width; ++x) {
        bool on = bm.pixel_mode == FT_PIXEL_MODE_MONO ? (src[x / 8] >> (7 - x % 8)) & 1 : src[x] >= 128;
        if (!on) continue;
        for (int k = 0; k < 2; ++k) {
          int px = xOffset + 2 * (left + static_cast<int>(x)) + k;
          if (px < 0 || px >= cell.width) continue;
          glyph[row * cell.bytesPerRow + px / 8] |= static_cast<unsigned char>(0x80 >> (px % 8));
        }
      }
    }
  }
  if (missing) std::fprintf(stderr, "mkfaxfont: %s lacks %d characters (left blank)\n", path, missing);
  FT_Done_Face(face);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: mkfaxfont OUT SMALL.pcf.gz STANDARD.pcf.gz\n");
    return 2;
  }
  FT_Library lib;
  if (FT_Init_FreeType(&lib)) {
    std::fprintf(stderr, "mkfaxfont: FreeType failed to start\n");
    return 1;
  }
  std::vector<unsigned char> small(256 * 16, 0), standard(256 * 48, 0);
  bool ok = RenderFont(lib, argv[2], {12, 8, 2}, small) && RenderFont(lib, argv[3], {20, 16, 3}, standard);
  FT_Done_FreeType(lib);
  if (!ok) return 1;
  FILE* f = std::fopen(argv[1], "wb");
  if (!f) {
    std::fprintf(stderr, "mkfaxfont: cannot write %s\n", argv[1]);
    return 1;
  }
  bool written = std::fwrite(small.data(), 1, small.size(), f) == small.size() &&
                 std::fwrite(standard.data(), 1, standard.size(), f) == standard.size();
  if (std::fclose(f) != 0 || !written) {
    std::remove(argv[1]);
    return 1;
  }
  return 0;
}
