// Bitmap reader: monochrome rows copied, colour pixels dithered against a 32 x 32
// threshold matrix.
#include "fax/Swbmpcvt.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "serial/SioMisc.h"
#include "serial/Sioexcept.h"

namespace {

TBitmapReaderData* Data(TAbsFaxCvt* cvt) { return static_cast<TBitmapReaderData*>(cvt->UserData); }

// Ordered dithering thresholds 0, 10, .. 310; the pattern repeats every 16 pixels and rows.
void FillThresholds(TBitmapReaderData* d) {
  for (int a0 = 0; a0 < 32; ++a0)
    for (int b0 = 0; b0 < 32; ++b0) {
      int a = a0, b = b0, r = 0;
      for (int i = 0; i < 4; ++i) {
        r = (2 * r) | (2 * ((a ^ b) & 1)) | (b & 1);
        a /= 2;
        b /= 2;
      }
      d->Threshold[a0][b0] = 10 * r;
    }
}

int InitConverter(TAbsFaxCvt*& cvt, TOpenFileCallback open, TCloseFileCallback close, const char* ext) {
  cvt = nullptr;
  auto* d = new (std::nothrow) TBitmapReaderData;
  if (!d) return ecOutOfMemory;
  const int rc = acInitFaxConverter(cvt, d, bcGetBmpRasterLine, open, close, ext);
  if (rc < 0) delete d;
  return rc;
}

void DoneConverter(TAbsFaxCvt*& cvt) {
  if (!cvt) return;
  delete Data(cvt);
  cvt->UserData = nullptr;
  acDoneFaxConverter(cvt);
}

// A row (with the centering offset in front) must fit the raster buffer.
constexpr int MaxRowPixels = 32767;

}  // namespace

int bcInitBmpConverter(TAbsFaxCvt*& cvt) { return InitConverter(cvt, bcOpenFile, bcCloseFile, "BMP"); }
int bcInitBitmapConverter(TAbsFaxCvt*& cvt) { return InitConverter(cvt, bcOpenBitmap, bcCloseBitmap, ""); }
void bcDoneBmpConverter(TAbsFaxCvt*& cvt) { DoneConverter(cvt); }
void bcDoneBitmapConverter(TAbsFaxCvt*& cvt) { DoneConverter(cvt); }

int bcSetInputBitmap(TAbsFaxCvt* cvt, const TBitmapImage* bitmap) {
  TBitmapReaderData* d = Data(cvt);
  if (!d) return ecBadArgument;
  if (bitmap) {
    if (bitmap->BitsPerPixel != 1) return ecBadArgument;
    d->Bitmap = bitmap;
    return 0;
  }
  const auto* in = static_cast<const TBitmapImage*>(cvt->InBitmap);
  if (!in) return ecBadArgument;
  auto copy = std::unique_ptr<TBitmapImage>(new (std::nothrow) TBitmapImage);
  if (!copy) return ecOutOfMemory;
  try {
    *copy = *in;
  } catch (const std::bad_alloc&) {
    return ecOutOfMemory;
  }
  d->BitmapCopy = std::move(copy);
  d->Bitmap = d->BitmapCopy.get();
  return 0;
}

int bcOpenFile(TAbsFaxCvt* cvt, const std::string& fileName) {
  TBitmapImage loaded;
  int rc = LoadBitmapFile(fileName, loaded);
  if (rc < 0) return rc;
  cvt->InBitmap = &loaded;
  rc = bcSetInputBitmap(cvt, nullptr);
  cvt->InBitmap = nullptr;  // the loaded picture goes; the reader keeps its copy
  if (rc < 0) return rc;
  return bcOpenBitmap(cvt, fileName);
}

int bcOpenBitmap(TAbsFaxCvt* cvt, const std::string& /*fileName*/) {
  TBitmapReaderData* d = Data(cvt);
  if (!d || !d->Bitmap) return ecBadArgument;
  const TBitmapImage& b = *d->Bitmap;
  if (b.Width < 1 || b.Height < 1 || b.Width > MaxRowPixels ||
      b.Bits.size() < static_cast<std::size_t>(b.BytesPerRow) * static_cast<std::size_t>(b.Height) ||
      b.BytesPerRow < TBitmapImage::RowBytes(b.Width, b.BitsPerPixel))
    return ecBadGraphicsFormat;
  d->Width = b.Width;
  d->Height = b.Height;
  d->BytesPerRow = b.BytesPerRow;
  cvt->BytesTotal = static_cast<std::int32_t>(
      std::min<std::int64_t>(static_cast<std::int64_t>(b.BytesPerRow) * b.Height, INT32_MAX));
  cvt->BytesDone = 0;
  d->NextRow = 1;
  d->ByteOfs = 0;
  d->DitherMode = b.BitsPerPixel != 1;
  if (d->DitherMode) FillThresholds(d);
  acSetPictureWidth(cvt, b.Width);
  if (!d->DitherMode) {
    try {
      d->PixelBlock.assign(b.Bits.begin(),
                           b.Bits.begin() + static_cast<std::ptrdiff_t>(b.BytesPerRow) * b.Height);
    } catch (const std::bad_alloc&) {
      return ecOutOfMemory;
    }
  }
  return 0;
}

void bcCloseBitmap(TAbsFaxCvt* cvt) {
  TBitmapReaderData* d = Data(cvt);
  if (!d) return;
  std::vector<std::uint8_t>().swap(d->PixelBlock);
  d->BitmapCopy.reset();
  *d = TBitmapReaderData{};
}

void bcCloseFile(TAbsFaxCvt* cvt) { bcCloseBitmap(cvt); }

int bcGetBitmapRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages) {
  TBitmapReaderData* d = Data(cvt);
  morePages = false;
  len = acLineWidth(cvt) / 8;
  if (!d || !d->Bitmap || d->NextRow < 1 || d->NextRow > d->Height) {
    endOfPage = true;
    return 0;
  }
  endOfPage = false;
  const int ofs = std::clamp(cvt->CenterOfs, 0, RasterBufferSize);
  std::uint8_t* out = data + ofs;
  const int room = RasterBufferSize - ofs;
  if (!d->DitherMode) {
    // Bitmap pixels are 1 for white: pad the row's tail white, then invert.
    const int n = std::min(d->BytesPerRow, room);
    std::memcpy(out, d->PixelBlock.data() + d->ByteOfs, static_cast<std::size_t>(n));
    for (int x = d->Width; x < n * 8; ++x) out[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
    for (int i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(~out[i]);
    d->ByteOfs += static_cast<std::size_t>(d->BytesPerRow);
  } else {
    const int y = d->NextRow - 1;
    const TBitmapImage& b = *d->Bitmap;
    const int width = std::min(d->Width, room * 8);
    for (int x = 0; x < width; ++x) {
      std::uint8_t r, g, bl;
      b.GetPixel(x, y, r, g, bl);
      if (r + g + bl < d->Threshold[x % 32][y % 32])
        out[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
      if ((x & 7) == 7) SafeYield();
    }
  }
  ++d->NextRow;
  cvt->BytesDone += d->BytesPerRow;
  return 0;
}

int bcGetBmpRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages) {
  return bcGetBitmapRasterLine(cvt, data, len, endOfPage, morePages);
}
