#pragma once
// PCX and DCX readers of the fax converter: a monochrome PCX picture becomes one fax page,
// a DCX file (several PCX pictures behind a page table) one page per picture.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fax/Swfaxcvt.h"

inline constexpr int PcxHeaderSize = 128;
inline constexpr int PcxReadBufferSize = 8192;
inline constexpr std::uint32_t DcxSignature = 0x3ADE68B1;
inline constexpr int DcxMaxPages = 1024;
inline constexpr int DcxTableSize = 4 + 4 * DcxMaxPages;  // 4100

struct TDcxPageTable {
  std::vector<std::uint32_t> Offsets;  // in file order
  std::vector<std::int64_t> Lengths;
  int PageCount = 0;
  int CurrentPage = 0;  // from 1
};

struct TPcxReaderData {
  bool Open = false;
  int ReadPos = 0;
  int BytesForWidth = 0;  // (Xmax - Xmin + 8) div 8
  std::unique_ptr<std::uint8_t[]> ReadBuffer;
  int BufCount = 0;
  std::uint8_t Header[PcxHeaderSize] = {};
  std::int64_t BytesLeft = 0;
  int File = -1;
  int Width = 0;                             // Xmax - Xmin + 1
  std::unique_ptr<TDcxPageTable> PageTable;  // DCX reader only
};

int pcInitPcxConverter(TAbsFaxCvt*& cvt);
void pcDonePcxConverter(TAbsFaxCvt*& cvt);
int pcOpenFile(TAbsFaxCvt* cvt, const std::string& fileName);
void pcCloseFile(TAbsFaxCvt* cvt);
int pcGetPcxRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages);

int dcInitDcxConverter(TAbsFaxCvt*& cvt);
void dcDoneDcxConverter(TAbsFaxCvt*& cvt);
int dcOpenFile(TAbsFaxCvt* cvt, const std::string& fileName);
void dcCloseFile(TAbsFaxCvt* cvt);
int dcGetDcxRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages);
