// Named fonts through fontconfig, drawn with FreeType into 1-bit rows.
#include "fax/Swfont.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include "platform/Text.h"

namespace {

// Look-ups go one at a time, through a configuration of our own that lives until the
// process ends (and is then given back, so that nothing is left behind).
std::mutex fontconfigLock;

struct TFontConfig {
  FcConfig* config = FcInitLoadConfigAndFonts();
  ~TFontConfig() {
    if (config) FcConfigDestroy(config);
  }
};

FcConfig* FontConfig() {
  static TFontConfig owner;
  return owner.config;
}

bool FindFace(const TFaxTextFont& font, std::string& path, int& index) {
  std::lock_guard<std::mutex> lock(fontconfigLock);
  FcConfig* config = FontConfig();
  if (!config) return false;
  FcPattern* pattern = FcPatternCreate();
  if (!pattern) return false;
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(font.Name.c_str()));
  FcPatternAddInteger(pattern, FC_WEIGHT, font.Bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  FcPatternAddInteger(pattern, FC_SLANT, font.Italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
  FcConfigSubstitute(config, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(config, pattern, &result);
  FcPatternDestroy(pattern);
  if (!match) return false;
  FcChar8* file = nullptr;
  bool found = FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file;
  if (found) {
    path = reinterpret_cast<const char*>(file);
    if (FcPatternGetInteger(match, FC_INDEX, 0, &index) != FcResultMatch) index = 0;
  }
  FcPatternDestroy(match);
  return found;
}

}  // namespace

struct TFaxFontRenderer::Impl {
  FT_Library library = nullptr;
  FT_Face face = nullptr;
  std::string path;
  int ascent = 0;
  int descent = 0;

  ~Impl() {
    if (face) FT_Done_Face(face);
    if (library) FT_Done_FreeType(library);
  }
};

TFaxFontRenderer::TFaxFontRenderer() : impl_(std::make_unique<Impl>()) {
  if (FT_Init_FreeType(&impl_->library)) impl_->library = nullptr;
}

TFaxFontRenderer::~TFaxFontRenderer() = default;

bool TFaxFontRenderer::Selected() const { return impl_->face != nullptr; }
int TFaxFontRenderer::TextHeight() const { return impl_->ascent + impl_->descent; }
int TFaxFontRenderer::Ascent() const { return impl_->ascent; }
const std::string& TFaxFontRenderer::FacePath() const { return impl_->path; }

bool TFaxFontRenderer::Select(const TFaxTextFont& font, int scale) {
  Impl& d = *impl_;
  if (d.face) FT_Done_Face(d.face);
  d.face = nullptr;
  d.ascent = d.descent = 0;
  if (!d.library) return false;
  std::string path;
  int index = 0;
  if (!FindFace(font, path, index)) return false;
  FT_Face face = nullptr;
  if (FT_New_Face(d.library, path.c_str(), index, &face)) return false;

  if (scale < 1) scale = 1;
  const int height = font.Height != 0 ? font.Height : -11;
  const TT_OS2* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
  const bool winMetrics = os2 && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0;
  const double unitsAscent = winMetrics ? os2->usWinAscent : face->ascender;
  const double unitsDescent = winMetrics ? os2->usWinDescent : -face->descender;
  const double unitsPerEm = face->units_per_EM ? face->units_per_EM : 1000;
  double em;
  if (height < 0) {
    em = -static_cast<double>(height) * scale;
  } else {
    double cell = unitsAscent + unitsDescent;
    em = cell > 0 ? static_cast<double>(height) * scale * unitsPerEm / cell : height * scale;
  }
  const FT_UInt pixels = static_cast<FT_UInt>(std::lround(em < 1 ? 1 : em));
  if (FT_Set_Pixel_Sizes(face, 0, pixels)) {
    FT_Done_Face(face);
    return false;
  }
  if (face->units_per_EM) {
    d.ascent = static_cast<int>(std::lround(unitsAscent * pixels / unitsPerEm));
    d.descent = static_cast<int>(std::lround(unitsDescent * pixels / unitsPerEm));
  } else {
    d.ascent = static_cast<int>((face->size->metrics.ascender + 63) >> 6);
    d.descent = static_cast<int>((-face->size->metrics.descender + 63) >> 6);
  }
  if (d.ascent + d.descent <= 0) d.ascent = static_cast<int>(pixels);
  d.face = face;
  d.path = path;
  return true;
}

void TFaxFontRenderer::Draw(std::string_view text, std::uint8_t* bitmap, int width, int rows,
                            int bytesPerRow) {
  Impl& d = *impl_;
  if (!d.face || width <= 0 || rows <= 0) return;
  const int rowLimit = std::min(width, bytesPerRow * 8);
  long pen = 0;  // 26.6 pixels
  for (char ch : text) {
    if ((pen >> 6) >= rowLimit) break;
    unsigned cp = Cp1252Glyph(static_cast<unsigned char>(ch));
    if (!cp) continue;
    if (FT_Load_Char(d.face, cp, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO)) continue;
    const FT_GlyphSlot g = d.face->glyph;
    const FT_Bitmap& bm = g->bitmap;
    const int x0 = static_cast<int>(pen >> 6) + g->bitmap_left;
    const int y0 = d.ascent - g->bitmap_top;
    const int pitch = bm.pitch < 0 ? -bm.pitch : bm.pitch;
    for (unsigned y = 0; y < bm.rows; ++y) {
      const int row = y0 + static_cast<int>(y);
      if (row < 0 || row >= rows) continue;
      const std::uint8_t* src = bm.buffer + static_cast<long>(y) * pitch;
      std::uint8_t* dst = bitmap + static_cast<long>(row) * bytesPerRow;
      for (unsigned x = 0; x < bm.width; ++x) {
        bool on = bm.pixel_mode == FT_PIXEL_MODE_MONO ? ((src[x / 8] >> (7 - x % 8)) & 1) : src[x] >= 128;
        if (!on) continue;
        const int px = x0 + static_cast<int>(x);
        if (px < 0 || px >= rowLimit) continue;
        dst[px / 8] |= static_cast<std::uint8_t>(0x80 >> (px % 8));
      }
    }
    pen += g->advance.x;
  }
}
