#pragma once
// Bitmap reader of the fax converter: the rows of a bitmap file ("BMP") or of a bitmap in
// memory as one fax page. A monochrome bitmap is copied row by row; a bitmap with more
// than one bit a pixel is turned into black and white by ordered dithering.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fax/Swbitmap.h"
#include "fax/Swfaxcvt.h"

struct TBitmapReaderData {
  const TBitmapImage* Bitmap = nullptr;      // the bitmap whose pixels are read
  std::unique_ptr<TBitmapImage> BitmapCopy;  // owned by the reader
  int BytesPerRow = 0;
  int Width = 0;
  int Height = 0;
  int NextRow = 0;                       // from 1
  std::size_t ByteOfs = 0;               // of the next row in the pixel block
  std::vector<std::uint8_t> PixelBlock;  // all rows, direct mode
  bool DitherMode = false;
  std::int32_t Threshold[32][32] = {};
};

// Set-ups: a bitmap file (default extension "BMP") or a bitmap in memory (no extension).
int bcInitBmpConverter(TAbsFaxCvt*& cvt);
int bcInitBitmapConverter(TAbsFaxCvt*& cvt);
void bcDoneBmpConverter(TAbsFaxCvt*& cvt);
void bcDoneBitmapConverter(TAbsFaxCvt*& cvt);

// With a bitmap: it is read in place (the caller keeps it alive), and it must be
// monochrome, else -1002. Without one: the converter's input bitmap (cvt->InBitmap, a
// TBitmapImage) is copied into a bitmap of the reader's own; with neither, -1002.
int bcSetInputBitmap(TAbsFaxCvt* cvt, const TBitmapImage* bitmap);

int bcOpenFile(TAbsFaxCvt* cvt, const std::string& fileName);
int bcOpenBitmap(TAbsFaxCvt* cvt, const std::string& fileName);
void bcCloseFile(TAbsFaxCvt* cvt);
void bcCloseBitmap(TAbsFaxCvt* cvt);
int bcGetBitmapRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages);
int bcGetBmpRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages);
