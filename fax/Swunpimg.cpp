// Picture file writers of the unpacker: PCX, DCX, TIFF and BMP from decoded pages.
#include "fax/Swunpimg.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "serial/SioMisc.h"
#include "serial/Sioexcept.h"

namespace {

// Buffered output file (4096-byte buffer), put in place whole when it is closed; any
// failure leaves no file and an existing file of the name as it was.
class TPictureFile {
 public:
  int Create(const std::string& name) { return file_.Create(name); }
  std::uint64_t Position() const { return pos_ + fill_; }
  int Write(const void* data, std::size_t len) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (len) {
      if (fill_ == sizeof buf_) {
        const int rc = Flush();
        if (rc < 0) return rc;
      }
      const std::size_t n = std::min(len, sizeof buf_ - fill_);
      std::memcpy(buf_ + fill_, p, n);
      fill_ += n;
      p += n;
      len -= n;
    }
    return 0;
  }
  int Seek(std::uint64_t at) {
    int rc = Flush();
    if (rc < 0) return rc;
    if (::lseek(file_.Fd(), static_cast<off_t>(at), SEEK_SET) < 0) return fxfFileError(errno);
    pos_ = at;
    return 0;
  }
  int Close() {
    const int rc = Flush();
    if (rc < 0) {
      file_.Discard();
      return rc;
    }
    return file_.Commit();
  }
  void Discard() { file_.Discard(); }

 private:
  int Flush() {
    const int rc = file_.Write(buf_, fill_);
    if (rc < 0) return rc;
    pos_ += fill_;
    fill_ = 0;
    return 0;
  }
  TReplaceFile file_;
  std::uint64_t pos_ = 0;
  std::size_t fill_ = 0;
  std::uint8_t buf_[4096];
};

void Put16(std::uint8_t* p, unsigned v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Decodes one page (Page > 0) or the whole file (Page 0) into Image.
int Decode(TUnpackFax* up, const std::string& faxFile, unsigned page, TBitmapImage& image) {
  return page > 0 ? upUnpackPageToBuffer(up, faxFile, page, image) : upUnpackFileToBuffer(up, faxFile, image);
}

// ---------------------------------------------------------------------------------------
// PCX

// Xmax and Ymax are 16 bits: at most 65536 pixels either way. A picture without rows or
// columns is no PCX picture at all.
bool FitsPcx(const TBitmapImage& image) {
  return image.Width > 0 && image.Height > 0 && image.Width <= 65536 && image.Height <= 65536;
}

int WritePcxPicture(TPictureFile& f, const TBitmapImage& image) {
  std::uint8_t h[128] = {};
  h[0] = 10;
  h[1] = 2;
  h[2] = 1;
  h[3] = 1;
  Put16(h + 8, static_cast<unsigned>(std::max(image.Width - 1, 0)));
  Put16(h + 10, static_cast<unsigned>(std::max(image.Height - 1, 0)));
  h[65] = 1;
  Put16(h + 66, static_cast<unsigned>(image.BytesPerRow));
  int rc = f.Write(h, sizeof h);
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(image.BytesPerRow) * 2);
  for (int y = 0; y < image.Height && rc == 0; ++y) {
    const std::uint8_t* row = image.Row(y);
    out.clear();
    for (int x = 0; x < image.BytesPerRow;) {
      const std::uint8_t v = static_cast<std::uint8_t>(~row[x]);  // PCX stores white as 1
      int n = 1;
      while (x + n < image.BytesPerRow && n < 63 && static_cast<std::uint8_t>(~row[x + n]) == v) ++n;
      if (n >= 2) {
        out.push_back(static_cast<std::uint8_t>(0xC0 + n));
        out.push_back(v);
      } else {
        if (v >= 0xC0) out.push_back(0xC1);
        out.push_back(v);
      }
      x += n;
    }
    rc = f.Write(out.data(), out.size());
  }
  return rc;
}

// ---------------------------------------------------------------------------------------
// TIFF

void PackBitsRow(const std::uint8_t* row, int len, std::vector<std::uint8_t>& out) {
  int x = 0;
  while (x < len) {
    int run = 1;
    while (x + run < len && run < 128 && row[x + run] == row[x]) ++run;
    if (run >= 2) {
      out.push_back(static_cast<std::uint8_t>(257 - run));
      out.push_back(row[x]);
      x += run;
      continue;
    }
    // Literal bytes up to the next pair of equal bytes.
    int n = 1;
    while (x + n < len && n < 128 && !(x + n + 1 < len && row[x + n] == row[x + n + 1])) ++n;
    out.push_back(static_cast<std::uint8_t>(n - 1));
    out.insert(out.end(), row + x, row + x + n);
    x += n;
  }
}

constexpr int TiffDataOffset = 122;

void TiffHeader(std::uint8_t* h, const TBitmapImage& image, std::uint32_t byteCount) {
  std::memset(h, 0, TiffDataOffset);
  h[0] = 'I';
  h[1] = 'I';
  Put16(h + 2, 42);
  Put32(h + 4, 8);
  Put16(h + 8, 9);
  std::uint8_t* e = h + 10;
  // Sizes beyond 16 bits are written as LONG.
  auto entry = [&](unsigned tag, std::uint32_t value, bool isLong) {
    Put16(e, tag);
    Put16(e + 2, isLong ? 4 : 3);
    Put32(e + 4, 1);
    if (isLong)
      Put32(e + 8, value);
    else
      Put16(e + 8, value);
    e += 12;
  };
  const auto w = static_cast<std::uint32_t>(image.Width), rows = static_cast<std::uint32_t>(image.Height);
  entry(255, 1, false);
  entry(256, w, w > 0xFFFF);
  entry(257, rows, rows > 0xFFFF);
  entry(258, 1, false);
  entry(259, 32773, false);
  entry(262, 0, false);
  entry(273, TiffDataOffset, true);
  entry(278, rows, true);
  entry(279, byteCount, true);
  Put32(e, 0);
}

int WriteTiff(TPictureFile& f, const TBitmapImage& image) {
  std::uint8_t h[TiffDataOffset];
  TiffHeader(h, image, 0);
  int rc = f.Write(h, sizeof h);
  std::uint64_t total = 0;
  std::vector<std::uint8_t> out;
  for (int y = 0; y < image.Height && rc == 0; ++y) {
    out.clear();
    PackBitsRow(image.Row(y), image.BytesPerRow, out);
    total += out.size();
    rc = f.Write(out.data(), out.size());
  }
  if (rc < 0) return rc;
  if (total > 0xFFFFFFFFu) return ecBadGraphicsFormat;  // StripByteCounts is 32 bits
  TiffHeader(h, image, static_cast<std::uint32_t>(total));
  if ((rc = f.Seek(0)) < 0) return rc;
  return f.Write(h, sizeof h);
}

// ---------------------------------------------------------------------------------------
// BMP

int WriteBmp(TPictureFile& f, const TBitmapImage& image) {
  const std::uint32_t rowLen = static_cast<std::uint32_t>((image.BytesPerRow + 3) / 4 * 4);
  std::uint8_t h[62] = {};
  h[0] = 'B';
  h[1] = 'M';
  Put32(h + 2, rowLen * static_cast<std::uint32_t>(image.Height) + 62);
  Put32(h + 10, 62);
  Put32(h + 14, 40);
  Put32(h + 18, static_cast<std::uint32_t>(image.Width));
  Put32(h + 22, static_cast<std::uint32_t>(image.Height));
  Put16(h + 26, 1);
  Put16(h + 28, 1);
  // Palette: index 0 black, index 1 white.
  h[58] = h[59] = h[60] = 0xFF;
  int rc = f.Write(h, sizeof h);
  std::vector<std::uint8_t> out(rowLen, 0xFF);
  for (int y = image.Height - 1; y >= 0 && rc == 0; --y) {
    const std::uint8_t* row = image.Row(y);
    for (int i = 0; i < image.BytesPerRow; ++i)
      out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(~row[i]);
    rc = f.Write(out.data(), out.size());
  }
  return rc;
}

enum class TKind { Pcx, Tiff, Bmp };

int WritePicture(TUnpackFax* up, const std::string& faxFile, const std::string& outFile, unsigned page,
                 TKind kind) {
  const char* ext = kind == TKind::Pcx ? "PCX" : kind == TKind::Tiff ? "TIF" : "BMP";
  TBitmapImage image;
  int rc = Decode(up, faxFile, page, image);
  if (rc < 0) return rc;
  if (image.Width <= 0 || image.Height <= 0) return ecBadGraphicsFormat;
  if (kind == TKind::Pcx && !FitsPcx(image)) return ecBadGraphicsFormat;
  if (kind == TKind::Bmp && image.Height >= 32768) return ecBmpTooBig;
  TPictureFile f;
  if ((rc = f.Create(upOutputFileName(faxFile, outFile, ext))) < 0) return rc;
  switch (kind) {
    case TKind::Pcx:
      rc = WritePcxPicture(f, image);
      break;
    case TKind::Tiff:
      rc = WriteTiff(f, image);
      break;
    case TKind::Bmp:
      rc = WriteBmp(f, image);
      break;
  }
  if (rc < 0) {
    f.Discard();
    return rc;
  }
  return f.Close();
}

constexpr int DcxMaxPages = 1024;
constexpr std::uint32_t DcxSig = 0x3ADE68B1;

// Pages First .. Last, one PCX picture each, behind the page table.
int WriteDcx(TUnpackFax* up, const std::string& faxFile, const std::string& outFile, unsigned first,
             unsigned last) {
  TFaxHeaderRec header;
  int rc = upGetFaxHeader(up, faxFile, header);
  if (rc < 0) return rc;
  if (header.PageCount == 0 && first == 1 && last == 0) return ecBadGraphicsFormat;  // a DCX of no pages
  if (first == 0 || last > header.PageCount || first > last) return ecFaxBadFormat;
  if (last - first + 1 > DcxMaxPages) return ecBadGraphicsFormat;  // the page table holds 1024 pages
  TPictureFile f;
  if ((rc = f.Create(upOutputFileName(faxFile, outFile, "DCX"))) < 0) return rc;
  std::vector<std::uint8_t> table(4 + 4 * DcxMaxPages, 0);
  Put32(table.data(), DcxSig);
  rc = f.Write(table.data(), table.size());
  for (unsigned p = first; p <= last && rc == 0; ++p) {
    Put32(table.data() + 4 + 4 * (p - first), static_cast<std::uint32_t>(f.Position()));
    TBitmapImage image;
    rc = upUnpackPageToBuffer(up, faxFile, p, image);
    if (rc == 0 && !FitsPcx(image)) rc = ecBadGraphicsFormat;
    if (rc == 0) rc = WritePcxPicture(f, image);
  }
  if (rc == 0) rc = f.Seek(0);
  if (rc == 0) rc = f.Write(table.data(), table.size());
  if (rc < 0) {
    f.Discard();
    return rc;
  }
  return f.Close();
}

}  // namespace

std::string upOutputFileName(const std::string& faxFile, const std::string& outFile,
                             const std::string& defExt) {
  if (outFile.empty()) return ForceExtension(faxFile, defExt);
  return DefaultExtension(outFile, defExt);
}

int upUnpackPageToPcx(TUnpackFax* up, const std::string& faxFile, const std::string& outFile, unsigned page) {
  return WritePicture(up, faxFile, outFile, page == 0 ? ~0u : page, TKind::Pcx);
}
int upUnpackFileToPcx(TUnpackFax* up, const std::string& faxFile, const std::string& outFile) {
  return WritePicture(up, faxFile, outFile, 0, TKind::Pcx);
}
int upUnpackPageToDcx(TUnpackFax* up, const std::string& faxFile, const std::string& outFile, unsigned page) {
  return WriteDcx(up, faxFile, outFile, page, page);
}
int upUnpackFileToDcx(TUnpackFax* up, const std::string& faxFile, const std::string& outFile) {
  TFaxHeaderRec header;
  const int rc = upGetFaxHeader(up, faxFile, header);
  if (rc < 0) return rc;
  return WriteDcx(up, faxFile, outFile, 1, header.PageCount);
}
int upUnpackPageToTiff(TUnpackFax* up, const std::string& faxFile, const std::string& outFile,
                       unsigned page) {
  return WritePicture(up, faxFile, outFile, page == 0 ? ~0u : page, TKind::Tiff);
}
int upUnpackFileToTiff(TUnpackFax* up, const std::string& faxFile, const std::string& outFile) {
  return WritePicture(up, faxFile, outFile, 0, TKind::Tiff);
}
int upUnpackPageToBmp(TUnpackFax* up, const std::string& faxFile, const std::string& outFile, unsigned page) {
  return WritePicture(up, faxFile, outFile, page == 0 ? ~0u : page, TKind::Bmp);
}
int upUnpackFileToBmp(TUnpackFax* up, const std::string& faxFile, const std::string& outFile) {
  return WritePicture(up, faxFile, outFile, 0, TKind::Bmp);
}
