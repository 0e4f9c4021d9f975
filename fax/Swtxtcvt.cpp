// Text converter: text files to raster lines in the built-in fax font or a named font.
#include "fax/Swtxtcvt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/Resources.h"
#include "serial/SioMisc.h"
#include "serial/Sioexcept.h"

TTextFaxData::TTextFaxData() = default;
TTextFaxData::~TTextFaxData() = default;

namespace {

constexpr char FormFeed = 12;
constexpr char Tab = 9;
constexpr std::size_t GlyphBufferSize = 24576;

TTextFaxData* Data(TAbsFaxCvt* cvt) { return static_cast<TTextFaxData*>(cvt->UserData); }

int InitText(TAbsFaxCvt*& cvt, TTextFontKind kind) {
  auto data = std::make_unique<TTextFaxData>();
  data->FontKind = kind;
  if (kind == tfkNamedFont) data->Renderer = std::make_unique<TFaxFontRenderer>();
  int rc = acInitFaxConverter(cvt, data.get(), fcGetTextRasterLine, fcOpenFile, fcCloseFile, "TXT");
  if (rc < 0) return rc;
  data.release();
  return 0;
}

void DoneText(TAbsFaxCvt*& cvt) {
  if (!cvt) return;
  delete Data(cvt);
  cvt->UserData = nullptr;
  acDoneFaxConverter(cvt);
}

// Every pixel of the byte doubled: 8 pixels become 16.
constexpr std::uint16_t Widen(std::uint8_t b) {
  std::uint16_t r = 0;
  for (int i = 0; i < 8; ++i)
    if (b & (1 << i)) r |= static_cast<std::uint16_t>(3u << (2 * i));
  return r;
}

struct TWidenTable {
  std::uint16_t v[256];
};
constexpr TWidenTable MakeWidenTable() {
  TWidenTable t{};
  for (int i = 0; i < 256; ++i) t.v[i] = Widen(static_cast<std::uint8_t>(i));
  return t;
}
constexpr TWidenTable WidenTable = MakeWidenTable();

// Line width and left margin as the encoder uses them.
int LineWidth(const TAbsFaxCvt* cvt) { return acLineWidth(cvt); }
int Margin(const TAbsFaxCvt* cvt) { return std::clamp(cvt->LeftMargin, 0, acLineWidth(cvt)); }

// Expands tabs to the next multiple of the tab stop; at most 255 characters are kept.
std::string ExpandTabs(std::string_view text, int tabStop) {
  std::string out;
  out.reserve(MaxTextLine);
  for (char c : text) {
    if (out.size() >= static_cast<std::size_t>(MaxTextLine)) break;
    if (c == Tab && tabStop > 0) {
      std::size_t next =
          (out.size() / static_cast<std::size_t>(tabStop) + 1) * static_cast<std::size_t>(tabStop);
      out.append(std::min(next, static_cast<std::size_t>(MaxTextLine)) - out.size(), ' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

int fcInitTextConverter(TAbsFaxCvt*& cvt) { return InitText(cvt, tfkBuiltIn); }
int fcInitTextExConverter(TAbsFaxCvt*& cvt) { return InitText(cvt, tfkNamedFont); }
void fcDoneTextConverter(TAbsFaxCvt*& cvt) { DoneText(cvt); }
void fcDoneTextExConverter(TAbsFaxCvt*& cvt) { DoneText(cvt); }

void fcSetTabStop(TAbsFaxCvt* cvt, int tabStop) {
  if (tabStop > 0) Data(cvt)->TabStop = tabStop;
}

void fcSetLinesPerPage(TAbsFaxCvt* cvt, int lines) { Data(cvt)->LinesPerPage = std::max(lines, 0); }

int fcFontRows(TAbsFaxCvt* cvt) { return Data(cvt)->FontRec.Height; }

int fcLoadFont(TAbsFaxCvt* cvt, const std::string& /*fileName*/, int fontHandle, bool fine) {
  TTextFaxData* d = Data(cvt);
  auto res = FindResource(FaxFontResource);
  if (!res || res->size() < FaxFontResourceSize) return ecFontFileNotFound;
  const bool standard = fontHandle == ffStandardFontHandle;
  TFontRecord rec = standard ? StandardFont : SmallFont;
  const std::uint8_t* src = res->data() + (standard ? 4096 : 0);
  std::vector<std::uint8_t> glyphs(GlyphBufferSize, 0);
  if (!fine) {
    std::memcpy(glyphs.data(), src, std::size_t(rec.Bytes) * 256);
  } else {
    // Every glyph row twice: the font keeps its shape at the doubled line density.
    for (int c = 0; c < 256; ++c)
      for (int row = 0; row < rec.Height; ++row)
        for (int k = 0; k < 2; ++k)
          std::memcpy(glyphs.data() + c * rec.Bytes * 2 + (row * 2 + k) * rec.Width,
                      src + c * rec.Bytes + row * rec.Width, rec.Width);
    rec.Bytes = static_cast<std::uint8_t>(rec.Bytes * 2);
    rec.Height = static_cast<std::uint8_t>(rec.Height * 2);
  }
  d->FontPtr = std::move(glyphs);
  d->FontRec = rec;
  d->FontKind = tfkBuiltIn;
  d->FontLoaded = true;
  return 0;
}

int fcSetFont(TAbsFaxCvt* cvt, const TFaxTextFont& font, bool fine) {
  TTextFaxData* d = Data(cvt);
  if (!d->Renderer) d->Renderer = std::make_unique<TFaxFontRenderer>();
  cvt->ResolutionMode = fine ? 1 : 0;
  if (!d->Renderer->Select(font, fine ? 2 : 1)) return ecFaxConverterInitFail;
  const int width = LineWidth(cvt) - Margin(cvt);
  const int height = d->Renderer->TextHeight();
  const int bytesPerRow = (width + 15) / 16 * 2;
  const long size = static_cast<long>(bytesPerRow) * height;
  // The row count is kept in one byte, like the built-in fonts' rows.
  if (size > 65536 || height > 255) return ecEnhFontTooBig;
  d->BmpWidth = width;
  d->BmpBytesPerRow = bytesPerRow;
  d->FontRec.Height = static_cast<std::uint8_t>(height);
  d->RowBuffer.assign(static_cast<std::size_t>(size), 0);
  d->ReadOffset = 0;
  d->FontKind = tfkNamedFont;
  d->FontLoaded = true;
  return 0;
}

int fcOpenFile(TAbsFaxCvt* cvt, const std::string& fileName) {
  TTextFaxData* d = Data(cvt);
  d->OnLine = 0;
  d->CurRow = 0;
  d->Pending.clear();
  d->IsPending = false;
  d->TextBuffer.clear();
  d->ReadObject.reset();
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fxfFileError(errno);
  struct stat st {};
  bool isDir = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  ::close(fd);
  if (isDir) return ecFileAccessDenied;
  auto stream = std::make_unique<std::ifstream>(fileName, std::ios::binary);
  if (!*stream) return ecFileNotFound;
  d->ReadObject = std::make_unique<TLineReader>(std::move(stream));
  return 0;
}

void fcCloseFile(TAbsFaxCvt* cvt) { Data(cvt)->ReadObject.reset(); }

void fcRasterizeText(TAbsFaxCvt* cvt, std::string_view text, int row, std::uint8_t* dest) {
  TTextFaxData* d = Data(cvt);
  if (!d->FontLoaded || row < 1 || row > d->FontRec.Height) return;
  if (text.size() > static_cast<std::size_t>(MaxTextLine)) text = text.substr(0, MaxTextLine);

  if (d->FontKind == tfkBuiltIn) {
    const TFontRecord& f = d->FontRec;
    const int rowOfs = (row - 1) * f.Width;
    int bit = 0;
    for (unsigned char c : text) {
      const std::uint8_t* glyphRow = d->FontPtr.data() + c * f.Bytes + rowOfs;
      // Gather the row's pixels, most significant first, and put them at the bit position.
      std::uint32_t bits = 0;
      for (int i = 0; i < f.Width; ++i) bits = (bits << 8) | glyphRow[i];
      bits >>= 8 * f.Width - f.PWidth;  // the first PWidth pixels, right-aligned
      for (int left = f.PWidth; left > 0;) {
        const int shift = bit % 8;
        const int take = std::min(left, 8 - shift);
        const std::uint32_t part = (bits >> (left - take)) & ((1u << take) - 1);
        dest[bit / 8] |= static_cast<std::uint8_t>(part << (8 - shift - take));
        bit += take;
        left -= take;
      }
    }
    return;
  }

  // Named font: the whole line is drawn at row 1; every row then takes its own pixel row.
  if (row == 1) {
    std::fill(d->RowBuffer.begin(), d->RowBuffer.end(), 0);
    d->Renderer->Draw(text, d->RowBuffer.data(), d->BmpWidth, d->FontRec.Height, d->BmpBytesPerRow);
  }
  d->ReadOffset = (row - 1) * d->BmpBytesPerRow;
  if (d->RowBuffer.size() < static_cast<std::size_t>(d->ReadOffset + d->BmpBytesPerRow)) return;
  const std::uint8_t* src = d->RowBuffer.data() + d->ReadOffset;
  if (cvt->ResolutionMode != 0) {
    for (int i = 0; i < d->BmpBytesPerRow; ++i) dest[i] |= src[i];
  } else {
    // Normal resolution: the left half of the row, every pixel twice as wide.
    for (int i = 0; i < d->BmpBytesPerRow / 2; ++i) {
      const std::uint16_t w = WidenTable.v[src[i]];
      dest[2 * i] |= static_cast<std::uint8_t>(w >> 8);
      dest[2 * i + 1] |= static_cast<std::uint8_t>(w);
    }
  }
  d->ReadOffset += d->BmpBytesPerRow;
}

int fcGetTextRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages) {
  TTextFaxData* d = Data(cvt);
  len = 0;
  endOfPage = false;
  morePages = true;
  if (!d->ReadObject) return ecNotOpenInput;

  if (d->CurRow == 0) {
    if (d->ReadObject->Eof() && !d->IsPending) {
      if (cvt->CurrLine == 1) {
        // An empty document still makes a page: one blank line.
        len = LineWidth(cvt) / 8;
        morePages = false;
      } else {
        endOfPage = true;
        morePages = false;
      }
      return 0;
    }

    // Take the next text line. A form feed breaks the page; the text behind it on the same
    // line opens the next page. A form feed at the start of a line adds only the page
    // break (no empty line before it), and one with nothing behind it at the end of the
    // file adds nothing.
    std::string text;
    bool pageBreak = false;
    for (;;) {
      if (d->IsPending) {
        text = std::move(d->Pending);
        d->Pending.clear();
        d->IsPending = false;
        pageBreak = true;
        if (text.empty()) {
          if (d->ReadObject->Eof()) {
            endOfPage = true;
            morePages = false;
            return 0;
          }
          continue;
        }
      } else {
        text = d->ReadObject->NextLine();
        cvt->BytesDone = static_cast<std::int32_t>(d->ReadObject->BytesRead());
        cvt->BytesTotal = static_cast<std::int32_t>(d->ReadObject->Size());
      }
      std::size_t ff = text.find(FormFeed);
      if (ff != std::string::npos) {
        d->Pending = text.substr(ff + 1, MaxTextLine);
        d->IsPending = true;
        text.resize(ff);
        if (ff == 0 && !pageBreak) {
          pageBreak = true;
          continue;
        }
      }
      break;
    }
    // Nothing is on the document's first page yet: no empty page in front of it.
    if (d->OnLine == 0) pageBreak = false;

    d->CurRow = 1;
    d->TextBuffer = ExpandTabs(text, d->TabStop);
    if (d->FontKind == tfkBuiltIn) {
      const int cw = d->FontRec.PWidth;
      const int fit = std::max(0, LineWidth(cvt) / cw - Margin(cvt) / cw);
      if (d->TextBuffer.size() > static_cast<std::size_t>(fit))
        d->TextBuffer.resize(static_cast<std::size_t>(fit));
    }

    ++d->OnLine;
    if (pageBreak || (d->LinesPerPage != 0 && d->OnLine > d->LinesPerPage)) {
      d->OnLine = 1;
      endOfPage = true;
      morePages = true;
      return 0;
    }
  }

  if (d->FontKind == tfkNamedFont)
    len = LineWidth(cvt) / 8;
  else
    len = (static_cast<int>(d->TextBuffer.size()) * d->FontRec.PWidth + 7) / 8;
  fcRasterizeText(cvt, d->TextBuffer, d->CurRow, data);
  ++d->CurRow;
  if (d->CurRow > d->FontRec.Height) d->CurRow = 0;
  return 0;
}
