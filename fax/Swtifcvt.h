#pragma once
// TIFF reader of the fax converter: the rows of the first image of a black-and-white TIFF
// file, uncompressed or PackBits-compressed, as one fax page.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fax/Swfaxcvt.h"

inline constexpr int TiffReadBufferSize = 8192;

struct TStripEntry {
  std::uint32_t Offset = 0;
  std::uint32_t ByteCount = 0;
};

struct TTiffReaderData {
  bool Intel = true;  // "II" little-endian, else "MM" big-endian
  int BufCount = 0;
  int BufPos = 0;
  int CurrStrip = 0;  // from 1
  int CurrRow = 0;    // within the current strip, from 1
  std::uint32_t SubfileType = 0;
  int Width = 0;
  std::uint32_t Height = 0;
  int BytesPerRow = 0;
  std::uint32_t RowsInStrip = 0;
  std::uint32_t Compression = 1;  // 1 none, 32773 PackBits
  std::uint32_t Photometric = 0;
  std::uint32_t RowsPerStrip = 0;
  std::uint32_t StripOffsets = 0;  // the only strip's offset, or where the offsets are
  std::uint32_t StripCount = 0;
  std::vector<TStripEntry> StripTable;
  std::uint32_t StripByteCounts = 0;
  std::uint8_t LastByteMask = 0xFF;
  std::unique_ptr<std::uint8_t[]> ReadBuffer;
  int File = -1;
  std::uint64_t FileSize = 0;
  // Types and raw value fields of the strip tags, to read their arrays by their type.
  std::uint16_t OffsetsType = 0, CountsType = 0;
  std::uint32_t CountsCount = 0;
  std::uint8_t OffsetsField[4] = {}, CountsField[4] = {};
};

int tcInitTiffConverter(TAbsFaxCvt*& cvt);
void tcDoneTiffConverter(TAbsFaxCvt*& cvt);
int tcOpenFile(TAbsFaxCvt* cvt, const std::string& fileName);
void tcCloseFile(TAbsFaxCvt* cvt);
int tcGetTiffRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages);
