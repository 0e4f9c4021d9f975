// PCX and DCX readers: run-length decoded monochrome rows, white stored as 1 in the file.
#include "fax/Swpcxcvt.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "serial/Sioexcept.h"

namespace {

TPcxReaderData* Data(TAbsFaxCvt* cvt) { return static_cast<TPcxReaderData*>(cvt->UserData); }

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Reads up to Count bytes; the number read, or a negative code.
int ReadSome(int fd, std::uint8_t* buf, int count) {
  int got = 0;
  while (got < count) {
    const ssize_t n = ::read(fd, buf + got, static_cast<std::size_t>(count - got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fxfFileError(errno);
    if (n == 0) break;
    got += static_cast<int>(n);
  }
  return got;
}

int OpenInput(TPcxReaderData* d, const std::string& fileName, std::int64_t& size) {
  if (d->File >= 0) ::close(d->File);
  d->File = -1;
  if (fileName.empty()) return ecFileNotFound;
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fxfFileError(errno);
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0 || ::lseek(fd, 0, SEEK_SET) < 0) {
    const int rc = fxfFileError(errno);
    ::close(fd);
    return rc;
  }
  d->File = fd;
  size = end;
  return 0;
}

void CloseInput(TPcxReaderData* d) {
  if (d && d->File >= 0) ::close(d->File);
  if (d) {
    d->File = -1;
    d->Open = false;
  }
}

// Reads and checks the header of the picture at the file's current position.
int OpenPicture(TAbsFaxCvt* cvt) {
  TPcxReaderData* d = Data(cvt);
  d->Open = false;
  const int n = ReadSome(d->File, d->Header, PcxHeaderSize);
  if (n < 0) return n;
  if (n < PcxHeaderSize) return ecBadGraphicsFormat;
  const std::uint8_t* h = d->Header;
  const int xMin = Get16(h + 4), xMax = Get16(h + 8);
  const int bytesPerLine = Get16(h + 66);
  // One plane of one bit a pixel only; a line must fit the raster buffer and hold a byte.
  if (h[0] != 10 || h[2] != 1 || h[3] != 1 || h[65] > 1 || xMax < xMin || xMax - xMin > acLineWidth(cvt) ||
      bytesPerLine < 1 || bytesPerLine > RasterBufferSize)
    return ecBadGraphicsFormat;
  d->Width = xMax - xMin + 1;
  acSetPictureWidth(cvt, d->Width);
  d->Open = true;
  d->ReadPos = PcxReadBufferSize;
  d->BufCount = 0;
  d->BytesForWidth = (xMax - xMin + 8) / 8;
  return 0;
}

// The next data byte: 1 with Byte set, 0 when the picture's data are used up, or an error.
int NextByte(TAbsFaxCvt* cvt, std::uint8_t& byte) {
  TPcxReaderData* d = Data(cvt);
  if (d->BytesLeft <= 0) return 0;
  if (d->ReadPos >= d->BufCount) {
    const int want = static_cast<int>(std::min<std::int64_t>(PcxReadBufferSize, d->BytesLeft));
    const int n = ReadSome(d->File, d->ReadBuffer.get(), want);
    if (n < 0) return n;
    if (n == 0) return ecDeviceRead;  // the file shrank under us
    d->BufCount = n;
    d->ReadPos = 0;
  }
  byte = d->ReadBuffer[static_cast<std::size_t>(d->ReadPos++)];
  --d->BytesLeft;
  ++cvt->BytesDone;
  return 1;
}

int InitConverter(TAbsFaxCvt*& cvt, bool dcx) {
  cvt = nullptr;
  auto* d = new (std::nothrow) TPcxReaderData;
  if (!d) return ecOutOfMemory;
  d->ReadBuffer.reset(new (std::nothrow) std::uint8_t[PcxReadBufferSize]);
  if (dcx) d->PageTable.reset(new (std::nothrow) TDcxPageTable);
  if (!d->ReadBuffer || (dcx && !d->PageTable)) {
    delete d;
    return ecOutOfMemory;
  }
  const int rc = dcx ? acInitFaxConverter(cvt, d, dcGetDcxRasterLine, dcOpenFile, dcCloseFile, "DCX")
                     : acInitFaxConverter(cvt, d, pcGetPcxRasterLine, pcOpenFile, pcCloseFile, "PCX");
  if (rc < 0) delete d;
  return rc;
}

void DoneConverter(TAbsFaxCvt*& cvt) {
  if (!cvt) return;
  TPcxReaderData* d = Data(cvt);
  CloseInput(d);
  delete d;
  cvt->UserData = nullptr;
  acDoneFaxConverter(cvt);
}

// Positions on DCX page Page (from 1) and opens its picture.
int OpenDcxPage(TAbsFaxCvt* cvt, int page) {
  TPcxReaderData* d = Data(cvt);
  TDcxPageTable& t = *d->PageTable;
  if (page < 1 || page > t.PageCount) return ecBadGraphicsFormat;
  t.CurrentPage = page;
  if (::lseek(d->File, static_cast<off_t>(t.Offsets[static_cast<std::size_t>(page - 1)]), SEEK_SET) < 0)
    return fxfFileError(errno);
  const int rc = OpenPicture(cvt);
  if (rc < 0) return rc;
  d->BytesLeft = std::max<std::int64_t>(0, t.Lengths[static_cast<std::size_t>(page - 1)] - PcxHeaderSize);
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// PCX

int pcInitPcxConverter(TAbsFaxCvt*& cvt) { return InitConverter(cvt, false); }
void pcDonePcxConverter(TAbsFaxCvt*& cvt) { DoneConverter(cvt); }

int pcOpenFile(TAbsFaxCvt* cvt, const std::string& fileName) {
  TPcxReaderData* d = Data(cvt);
  std::int64_t size = 0;
  int rc = OpenInput(d, fileName, size);
  if (rc < 0) return rc;
  rc = OpenPicture(cvt);
  if (rc < 0) {
    CloseInput(d);
    return rc;
  }
  d->BytesLeft = size - PcxHeaderSize;
  cvt->BytesTotal = static_cast<std::int32_t>(std::min<std::int64_t>(d->BytesLeft, INT32_MAX));
  cvt->BytesDone = 0;
  return 0;
}

void pcCloseFile(TAbsFaxCvt* cvt) { CloseInput(Data(cvt)); }

int pcGetPcxRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages) {
  TPcxReaderData* d = Data(cvt);
  morePages = false;
  len = 0;
  if (!d || !d->Open || d->BytesLeft <= 0) {
    endOfPage = true;
    return 0;
  }
  endOfPage = false;
  std::memset(data, 0, RasterBufferSize);
  const int bytesPerLine = Get16(d->Header + 66);
  const bool oldVersion = d->Header[1] <= 3;
  int pos = 0;
  while (pos < bytesPerLine) {
    std::uint8_t b;
    int rc = NextByte(cvt, b);
    if (rc < 0) return rc;
    if (rc == 0) break;
    if (b < 192) {
      if (pos < RasterBufferSize) data[pos] = static_cast<std::uint8_t>(~b);
      ++pos;
      continue;
    }
    const int count = b & 63;
    std::uint8_t v;
    rc = NextByte(cvt, v);
    if (rc < 0) return rc;
    if (rc == 0) break;
    const bool skip = oldVersion && pos + count > d->BytesForWidth;
    for (int i = 0; i < count; ++i, ++pos)
      if (!skip && pos < RasterBufferSize) data[pos] = static_cast<std::uint8_t>(~v);
  }
  // Pixels past the picture's width (the tail of its last byte, the row's padding) are
  // white, whatever the file holds there.
  const int keep = std::min(d->Width, RasterBufferSize * 8);
  if (keep % 8) data[keep / 8] &= static_cast<std::uint8_t>(0xFF << (8 - keep % 8));
  for (int i = (keep + 7) / 8; i < std::min(bytesPerLine, RasterBufferSize); ++i) data[i] = 0;

  const int ofs = cvt->CenterOfs;
  if (ofs > 0) {
    const int n = std::min((d->Width + 7) / 8, RasterBufferSize - ofs);
    if (n > 0) std::memmove(data + ofs, data, static_cast<std::size_t>(n));
    std::memset(data, 0, static_cast<std::size_t>(std::min(ofs, RasterBufferSize)));
  }
  len = bytesPerLine;
  return 0;
}

// ---------------------------------------------------------------------------------------
// DCX

int dcInitDcxConverter(TAbsFaxCvt*& cvt) { return InitConverter(cvt, true); }
void dcDoneDcxConverter(TAbsFaxCvt*& cvt) { DoneConverter(cvt); }

int dcOpenFile(TAbsFaxCvt* cvt, const std::string& fileName) {
  TPcxReaderData* d = Data(cvt);
  std::int64_t size = 0;
  int rc = OpenInput(d, fileName, size);
  if (rc < 0) return rc;
  std::vector<std::uint8_t> table(DcxTableSize, 0);
  rc = ReadSome(d->File, table.data(), DcxTableSize);
  if (rc < 0) {
    CloseInput(d);
    return rc;
  }
  if (rc < 4 || Get32(table.data()) != DcxSignature) {
    CloseInput(d);
    return ecBadGraphicsFormat;
  }
  TDcxPageTable& t = *d->PageTable;
  t = TDcxPageTable{};
  for (int i = 0; i < DcxMaxPages; ++i) {
    const std::uint32_t ofs = Get32(table.data() + 4 + 4 * i);
    if (ofs == 0) break;
    t.Offsets.push_back(ofs);
  }
  t.PageCount = static_cast<int>(t.Offsets.size());
  std::vector<std::uint32_t> sorted = t.Offsets;
  std::sort(sorted.begin(), sorted.end());
  std::int64_t total = 0;
  for (std::uint32_t ofs : t.Offsets) {
    auto next = std::upper_bound(sorted.begin(), sorted.end(), ofs);
    const std::int64_t end = next == sorted.end() ? size : static_cast<std::int64_t>(*next);
    const std::int64_t length = std::max<std::int64_t>(0, end - ofs);
    t.Lengths.push_back(length);
    total += std::max<std::int64_t>(0, length - PcxHeaderSize);
  }
  cvt->BytesTotal = static_cast<std::int32_t>(std::min<std::int64_t>(total, INT32_MAX));
  cvt->BytesDone = 0;
  rc = OpenDcxPage(cvt, 1);
  if (rc < 0) CloseInput(d);
  return rc;
}

void dcCloseFile(TAbsFaxCvt* cvt) { CloseInput(Data(cvt)); }

int dcGetDcxRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages) {
  TPcxReaderData* d = Data(cvt);
  int rc = pcGetPcxRasterLine(cvt, data, len, endOfPage, morePages);
  if (rc < 0 || !endOfPage || !d) return rc;
  TDcxPageTable& t = *d->PageTable;
  morePages = t.CurrentPage < t.PageCount;
  if (morePages) rc = OpenDcxPage(cvt, t.CurrentPage + 1);
  return rc;
}
