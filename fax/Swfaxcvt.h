#pragma once
// Fax converter engine: raster lines to T.4 modified Huffman code, written as fax files
// (fax/Swfaxfmt.h) or handed to an output function.
//
// A raster line holds 1 bit a pixel, the most significant bit of each byte leftmost,
// 1 = black. Encoded code bits run from the least significant bit of each byte (first in
// time) to the most significant one.
//
// The engine is a record with plain operations over it; every operation that can fail
// returns 0 or a negative library error code. A reader (get-line, open and close
// functions) delivers the raster lines page by page.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fax/Swfaxfmt.h"
#include "platform/Messages.h"

struct TAbsFaxCvt;

// Reader: delivers the next raster line into Data (already zeroed). Len is the number of
// raster bytes set. EndOfPage comes on the call after a page's last line, with no line;
// MorePages tells whether another page follows.
using TGetLineCallback = int (*)(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage,
                                 bool& morePages);
using TOpenFileCallback = int (*)(TAbsFaxCvt* cvt, const std::string& fileName);
using TCloseFileCallback = void (*)(TAbsFaxCvt* cvt);
// Progress: Flags 1 start, 0 after each line read, 2 end. A true result aborts.
using TCvtStatusCallback = bool (*)(TAbsFaxCvt* cvt, std::uint16_t flags, std::int32_t bytesDone,
                                    std::int32_t bytesTotal);
// Output of acConvert: each encoded line (EndOfPage false), then (Len 0, EndOfPage true,
// MorePages) at the end of each page.
using TPutLineCallback = int (*)(TAbsFaxCvt* cvt, const std::uint8_t* data, int len, bool endOfPage,
                                 bool morePages);

// TFaxCvtOptions bits
inline constexpr std::uint16_t coDoubleWidth = 1;
inline constexpr std::uint16_t coHalfHeight = 2;
inline constexpr std::uint16_t coCenterImage = 4;
inline constexpr std::uint16_t coYield = 8;
inline constexpr std::uint16_t coYieldOften = 16;
inline constexpr std::uint16_t DefFaxCvtOptions = coDoubleWidth | coCenterImage | coYield;

inline constexpr int StandardWidth = 1728;
inline constexpr int WideWidth = 2048;
inline constexpr int DefLeftMargin = 50;
inline constexpr int RasterBufferSize = 4096;
inline constexpr int LineBufferSize = 4096;

// Message sent to a status window: wParam = flags, lParam = the converter record.
inline constexpr UINT apw_FaxCvtStatus = 0x7E5A;

// Status flags
inline constexpr std::uint16_t csStarting = 1;
inline constexpr std::uint16_t csEnding = 2;

// Buffered writer of the output file.
class TFaxOutFile;

struct TAbsFaxCvt {
  std::int32_t ResolutionMode = 0;  // 0 normal, nonzero fine
  bool DoubleWidth = false;         // set by a picture reader when it opens its input
  bool HalfHeight = false;          // likewise
  std::uint32_t Flags = DefFaxCvtOptions;
  std::int32_t ByteOfs = 0;  // write position in the line buffer
  std::int32_t BitOfs = 0;
  std::int32_t ResWidth = StandardWidth;
  std::int32_t LeftMargin = DefLeftMargin;
  std::int32_t TopMargin = 0;
  std::int32_t CurrPage = 0;
  std::int32_t CurrLine = 0;
  std::int32_t LastPageWithHeader = 0;
  std::uint32_t PageHeaderPos = 0;
  std::int32_t CenterOfs = 0;  // bytes of white a picture reader puts before each line
  void* UserData = nullptr;    // the reader's record, freed by the reader
  void* OtherData = nullptr;   // the caller's pointer
  std::int32_t BytesDone = 0;
  std::int32_t BytesTotal = 0;
  std::unique_ptr<std::uint8_t[]> DataLine;   // one encoded line
  std::unique_ptr<std::uint8_t[]> TmpBuffer;  // one raster line from the reader
  TGetLineCallback GetLine = nullptr;
  TOpenFileCallback OpenCall = nullptr;
  TCloseFileCallback CloseCall = nullptr;
  TCvtStatusCallback StatusFunc = nullptr;
  HWND StatusWnd = 0;
  std::string DefExt;  // at most 3 characters
  std::string InFileName;
  std::string OutFileName;
  std::string StationID;  // at most 20 characters
  TFaxHeaderRec MainHeader;
  TPageHeaderRec PageHeader;
  std::unique_ptr<TFaxOutFile> OutFile;
  void* InBitmap = nullptr;      // a bitmap object to convert (bitmap reader)
  std::int32_t PrevLineLen = 0;  // length of the line encoded before

  TAbsFaxCvt();
  ~TAbsFaxCvt();
};

int acInitFaxConverter(TAbsFaxCvt*& cvt, void* data, TGetLineCallback getLine, TOpenFileCallback openFile,
                       TCloseFileCallback closeFile, std::string_view defaultExt);
void acDoneFaxConverter(TAbsFaxCvt*& cvt);

void acSetOtherData(TAbsFaxCvt* cvt, void* otherData);
void acOptionsOn(TAbsFaxCvt* cvt, std::uint16_t options);
void acOptionsOff(TAbsFaxCvt* cvt, std::uint16_t options);
bool acOptionsAreOn(TAbsFaxCvt* cvt, std::uint16_t options);
void acSetMargins(TAbsFaxCvt* cvt, int left, int top);
void acSetResolutionMode(TAbsFaxCvt* cvt, int mode);
// Width code 2 gives 2048 pixels, any other 1728.
void acSetResolutionWidth(TAbsFaxCvt* cvt, int widthCode);
// The line width in force: 2048 for a wide page, else 1728.
inline int acLineWidth(const TAbsFaxCvt* cvt) {
  return cvt->ResWidth == WideWidth ? WideWidth : StandardWidth;
}
void acSetStationID(TAbsFaxCvt* cvt, std::string_view id);
void acSetStatusCallback(TAbsFaxCvt* cvt, TCvtStatusCallback callback);
void acSetStatusWnd(TAbsFaxCvt* cvt, HWND wnd);

// What a picture reader sets when it opens a picture Width pixels wide: double width,
// half height and the centering offset. The centering offset never pushes a picture
// that fits beside the left margin past the end of the line.
void acSetPictureWidth(TAbsFaxCvt* cvt, int width);

// Encoder
void acInitDataLine(TAbsFaxCvt* cvt);
// Encodes one raster line (at least line width / 8 bytes) into the line buffer; ByteOfs
// then holds the encoded length. Every line is exactly the line width in pixels.
void acCompressRasterLine(TAbsFaxCvt* cvt, const std::uint8_t* raster);
// The 12-byte end-of-page sequence.
void acMakeEndOfPage(TAbsFaxCvt* cvt, std::uint8_t* dest, int& len);

// Reader calls
int acOpenFile(TAbsFaxCvt* cvt, const std::string& fileName);
void acCloseFile(TAbsFaxCvt* cvt);
int acGetRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages);

// Output file
int acAddData(TAbsFaxCvt* cvt, const std::uint8_t* data, int len, bool counted);
int acAddLine(TAbsFaxCvt* cvt, const std::uint8_t* data, int len);
int acCreateOutputFile(TAbsFaxCvt* cvt);
int acCloseOutputFile(TAbsFaxCvt* cvt);
int acOutToFileCallback(TAbsFaxCvt* cvt, const std::uint8_t* data, int len, bool endOfPage, bool morePages);

// Conversion
int acConvert(TAbsFaxCvt* cvt, const std::string& inFileName, TPutLineCallback output);
int acConvertToFile(TAbsFaxCvt* cvt, const std::string& inFileName, const std::string& outFileName);
