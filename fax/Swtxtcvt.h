#pragma once
// Text converter: the reader that turns a plain text file (Windows-1252) into raster lines
// for the converter engine, in the built-in fax font or in a named font. The fax sender
// uses fcRasterizeText alone to draw header lines and text cover pages.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fax/Swfaxcvt.h"
#include "fax/Swfont.h"

class TLineReader;

// Font handles of the built-in font
inline constexpr int ffSmallFontHandle = 16;
inline constexpr int ffStandardFontHandle = 48;
// Name of the built-in font resource
inline constexpr std::string_view FaxFontResource = "SWFAXFONT";
inline constexpr std::size_t FaxFontResourceSize = 16384;
inline constexpr int MaxTextLine = 255;

struct TFontRecord {
  std::uint8_t Bytes;   // bytes per character
  std::uint8_t PWidth;  // width in pixels
  std::uint8_t Width;   // bytes per row
  std::uint8_t Height;  // rows
};
inline constexpr TFontRecord SmallFont = {16, 12, 2, 8};
inline constexpr TFontRecord StandardFont = {48, 20, 3, 16};

enum TTextFontKind : int { tfkBuiltIn = 0, tfkNamedFont = 1 };

struct TTextFaxData {
  TTextFontKind FontKind = tfkBuiltIn;
  int TabStop = 4;
  int LinesPerPage = 0;  // 0: no limit
  std::unique_ptr<TLineReader> ReadObject;
  int OnLine = 0;          // text lines begun on the current page
  int CurRow = 0;          // row of the current text line to deliver next
  std::string TextBuffer;  // current line, tabs expanded, at most 255 characters
  std::string Pending;     // the rest of a line after a form feed
  bool IsPending = false;
  TFontRecord FontRec = StandardFont;  // built-in font (rows: also for a named font)
  bool FontLoaded = false;
  std::vector<std::uint8_t> FontPtr;  // built-in glyphs, 24576 bytes
  // Named font
  std::unique_ptr<TFaxFontRenderer> Renderer;
  int BmpWidth = 0;        // pixels
  int BmpBytesPerRow = 0;  // rows padded to 16-bit words
  int ReadOffset = 0;
  std::vector<std::uint8_t> RowBuffer;  // the text line drawn at row 1

  TTextFaxData();
  ~TTextFaxData();
};

int fcInitTextConverter(TAbsFaxCvt*& cvt);
int fcInitTextExConverter(TAbsFaxCvt*& cvt);
void fcDoneTextConverter(TAbsFaxCvt*& cvt);
void fcDoneTextExConverter(TAbsFaxCvt*& cvt);

void fcSetTabStop(TAbsFaxCvt* cvt, int tabStop);
void fcSetLinesPerPage(TAbsFaxCvt* cvt, int lines);
// Loads the built-in font: handle 48 the standard font, any other the small one; Fine
// doubles every glyph row. The file name is not used (the font is a program resource).
int fcLoadFont(TAbsFaxCvt* cvt, const std::string& fileName, int fontHandle, bool fine);
// Selects a named font for a converter made by fcInitTextExConverter.
int fcSetFont(TAbsFaxCvt* cvt, const TFaxTextFont& font, bool fine);
// Rows of a text line in the selected font.
int fcFontRows(TAbsFaxCvt* cvt);

int fcOpenFile(TAbsFaxCvt* cvt, const std::string& fileName);
void fcCloseFile(TAbsFaxCvt* cvt);
// ORs pixel row Row (from 1) of Text into Dest (a raster line of 4096 bytes).
void fcRasterizeText(TAbsFaxCvt* cvt, std::string_view text, int row, std::uint8_t* dest);
int fcGetTextRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages);
