#pragma once
// Fax unpacker: decodes the T.4 modified Huffman pages of a fax file (fax/Swfaxfmt.h) back
// into pixel lines, handed to an output function one by one or collected into a memory
// bitmap, optionally scaled.
//
// A decoded line holds 1 bit a pixel, most significant bit leftmost, 1 = black, at most
// 512 bytes (4096 pixels). Every operation that can fail returns 0 or a negative library
// error code.
#include <cstdint>
#include <memory>
#include <string>

#include "fax/Swbitmap.h"
#include "fax/Swfaxfmt.h"

struct TUnpackFax;

// Output: Flags 1 (start, no line) before the first line, 0 for each line, 2 (end, no
// line) after the last. Returns 0 or a negative code, which ends the unpacking.
using TUnpackLineCallback = int (*)(TUnpackFax* up, std::uint16_t flags, const std::uint8_t* data, int len,
                                    int page);
// Progress of the page data read.
using TUnpackStatusCallback = void (*)(TUnpackFax* up, const std::string& fileName, int page,
                                       std::int32_t bytesDone, std::int32_t bytesTotal);

// Output flags
inline constexpr std::uint16_t ufStarting = 1;
inline constexpr std::uint16_t ufEnding = 2;

// Options
inline constexpr std::uint16_t ufYield = 1;
inline constexpr std::uint16_t ufDoubleHeight = 2;  // normal-resolution lines delivered twice
inline constexpr std::uint16_t ufHalfWidth = 4;     // normal-resolution lines halved in width
inline constexpr std::uint16_t ufAbort = 8;         // ends the page being decoded
inline constexpr std::uint16_t DefUnpackOptions = ufYield | ufDoubleHeight;

inline constexpr int MaxUnpackLineBytes = 512;
inline constexpr int UnpackDataBufferSize = 4096;
inline constexpr int UnpackRowPitch = 256;   // row pitch of the memory bitmap
inline constexpr int UnpackGrowRows = 1024;  // the memory bitmap grows by this many rows

// One node of a decode tree: an inner node holds the numbers of its children for a 0 and a
// 1 bit; a code leaf holds -1 and the run length; the EOL leaf -2; a node without children
// (0, 0) marks a bit string that is no code.
struct TTreeNode {
  std::int32_t Next0;
  std::int32_t Next1;
};
inline constexpr int MaxTreeNodes = 307;
using TTreeArray = TTreeNode[MaxTreeNodes];

struct TMemoryBitmapDesc {
  int Width = 0;                         // pixels
  int Height = 0;                        // rows
  std::unique_ptr<TBitmapImage> Bitmap;  // owned by the caller; empty when there are no rows
};

struct TScaleSettings {
  int HMult = 1;
  int HDiv = 1;
  int VMult = 1;
  int VDiv = 1;
};

struct TUnpackFax {
  int CurrPage = 0;
  int LinesDelivered = 0;
  std::uint16_t Flags = DefUnpackOptions;
  std::int32_t BadCodes = 0;
  int WSFrom = 0;
  int WSTo = 0;
  int BlankPending = 0;
  std::int64_t BytesTotal = 0;
  std::int64_t BytesRead = 0;
  std::unique_ptr<TTreeArray> WhiteTree;
  std::unique_ptr<TTreeArray> BlackTree;
  std::unique_ptr<std::uint8_t[]> LineBuffer;  // line being decoded (with room behind it)
  int LineBitOfs = 0;                          // pixel position in the line being decoded
  std::unique_ptr<std::uint8_t[]> BlankRow;
  std::unique_ptr<std::uint8_t[]> DataBuffer;  // page data
  std::unique_ptr<std::uint8_t[]> OutBuffer;   // a line on its way to the output function
  TFaxHeaderRec FaxHeader;
  TPageHeaderRec PageHeader;
  TUnpackLineCallback OutputLine = nullptr;
  TUnpackStatusCallback Status = nullptr;
  void* UserData = nullptr;  // the caller's pointer

  // Memory bitmap being collected
  int MemRows = 0;
  int MemWidthBytes = 0;
  std::vector<std::uint8_t> MemBlock;
  int MemBlocksAllocated = 0;
  std::unique_ptr<TBitmapImage> MemBitmap;  // the finished bitmap

  TScaleSettings Scale;
  TUnpackLineCallback SaveOutput = nullptr;
  bool ToBuffer = false;
  bool Inverted = false;

  // Internal state of a run
  int PendingLen = 0;    // length of the blank lines held back
  int LastYieldAt = -1;  // lines delivered at the last yield
  std::string FileName;
};

int upInitFaxUnpacker(TUnpackFax*& up, void* userData, TUnpackLineCallback output);
void upDoneFaxUnpacker(TUnpackFax*& up);

// Asking for double height (2) and half width (4) together changes nothing; turning on one
// of them turns the other off.
void upOptionsOn(TUnpackFax* up, std::uint16_t options);
void upOptionsOff(TUnpackFax* up, std::uint16_t options);
bool upOptionsAreOn(TUnpackFax* up, std::uint16_t options);
void upSetStatusCallback(TUnpackFax* up, TUnpackStatusCallback callback);
// Blank-line compression: runs of at least From blank lines become To lines. -1002 when
// From < To, or From = 0 and To is not 0; 0 and 0 turn it off.
int upSetWhitespaceCompression(TUnpackFax* up, int from, int to);
// Scaling factors; -1002 when any is not positive (the factors stay as they were).
int upSetScaling(TUnpackFax* up, int hMult, int hDiv, int vMult, int vDiv);

int upGetFaxHeader(TUnpackFax* up, const std::string& fileName, TFaxHeaderRec& header);
int upGetPageHeader(TUnpackFax* up, const std::string& fileName, unsigned page, TPageHeaderRec& pageHeader);

// Decodes one page (from 1), or every page, to the output function.
int upUnpackPage(TUnpackFax* up, const std::string& fileName, unsigned page);
int upUnpackFile(TUnpackFax* up, const std::string& fileName);

// One page, or all pages one below the other, into a monochrome bitmap (1 = black, or
// 1 = white with Invert), scaled by the unpacker's factors.
int upUnpackPageToBitmap(TUnpackFax* up, const std::string& fileName, unsigned page, bool invert,
                         TMemoryBitmapDesc& desc);
int upUnpackFileToBitmap(TUnpackFax* up, const std::string& fileName, TMemoryBitmapDesc& desc, bool invert);

// As the bitmap operations, 1 = black; the picture's rows end in Image (rows of an even
// number of bytes). A page without lines gives an empty image (0 x 0).
int upUnpackPageToBuffer(TUnpackFax* up, const std::string& fileName, unsigned page, TBitmapImage& image);
int upUnpackFileToBuffer(TUnpackFax* up, const std::string& fileName, TBitmapImage& image);

// The output function that collects lines into the memory bitmap.
int upPutMemoryBitmapLine(TUnpackFax* up, std::uint16_t flags, const std::uint8_t* data, int len, int page);
