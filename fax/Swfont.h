#pragma once
// Named fonts for the enhanced text converter: a font description as the forms and the fax
// components keep it, found through fontconfig and drawn with FreeType into 1-bit rows.
//
// A request for a Windows face gets a metric-compatible one where fontconfig knows one
// ("Times New Roman" gives Liberation Serif). Each TFaxFontRenderer owns its own FreeType
// instance, so renderers on different threads never share state; font look-ups are
// serialised inside.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct TFaxTextFont {
  std::string Name = "MS Sans Serif";
  // Below 0: the character height in pixels; above 0: the cell height (ascent + descent).
  int Height = -11;
  bool Bold = false;
  bool Italic = false;
};

class TFaxFontRenderer {
 public:
  TFaxFontRenderer();
  ~TFaxFontRenderer();
  TFaxFontRenderer(const TFaxFontRenderer&) = delete;
  TFaxFontRenderer& operator=(const TFaxFontRenderer&) = delete;

  // Selects Font with its height multiplied by Scale. False when no face could be loaded.
  bool Select(const TFaxTextFont& font, int scale);
  bool Selected() const;
  // Pixel height of a text line (the text height of "Wy"): ascent + descent.
  int TextHeight() const;
  int Ascent() const;
  // The path of the face in use (for diagnostics).
  const std::string& FacePath() const;

  // Draws Text (Windows-1252) with its top left corner at (0, 0) into a 1-bit bitmap:
  // Rows rows of BytesPerRow bytes, most significant bit leftmost; text pixels become 1.
  // Pixels beyond Width or Rows are not touched.
  void Draw(std::string_view text, std::uint8_t* bitmap, int width, int rows, int bytesPerRow);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
