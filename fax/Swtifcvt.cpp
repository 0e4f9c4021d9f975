// TIFF reader: the first image directory, strips of uncompressed or PackBits rows.
#include "fax/Swtifcvt.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "serial/Sioexcept.h"

namespace {

constexpr std::uint16_t TypeShort = 3;
constexpr std::uint16_t TypeLong = 4;
constexpr std::uint32_t PackBits = 32773;

TTiffReaderData* Data(TAbsFaxCvt* cvt) { return static_cast<TTiffReaderData*>(cvt->UserData); }

int Seek(TTiffReaderData* d, std::uint32_t pos) {
  d->BufCount = d->BufPos = 0;
  if (::lseek(d->File, static_cast<off_t>(pos), SEEK_SET) < 0) return fxfFileError(errno);
  return 0;
}

int ReadBytes(TTiffReaderData* d, std::uint8_t* out, int count) {
  while (count > 0) {
    if (d->BufPos >= d->BufCount) {
      ssize_t n;
      do n = ::read(d->File, d->ReadBuffer.get(), TiffReadBufferSize);
      while (n < 0 && errno == EINTR);
      if (n < 0) return fxfFileError(errno);
      if (n == 0) return ecDeviceRead;
      d->BufCount = static_cast<int>(n);
      d->BufPos = 0;
    }
    const int take = std::min(count, d->BufCount - d->BufPos);
    std::memcpy(out, d->ReadBuffer.get() + d->BufPos, static_cast<std::size_t>(take));
    d->BufPos += take;
    out += take;
    count -= take;
  }
  return 0;
}

std::uint16_t Get16(const TTiffReaderData* d, const std::uint8_t* p) {
  return d->Intel ? static_cast<std::uint16_t>(p[0] | (p[1] << 8))
                  : static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
std::uint32_t Get32(const TTiffReaderData* d, const std::uint8_t* p) {
  return d->Intel ? (static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                     (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24))
                  : ((static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
                     (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]));
}

int Read16(TTiffReaderData* d, std::uint32_t& v) {
  std::uint8_t b[2];
  const int rc = ReadBytes(d, b, 2);
  if (rc == 0) v = Get16(d, b);
  return rc;
}
int Read32(TTiffReaderData* d, std::uint32_t& v) {
  std::uint8_t b[4];
  const int rc = ReadBytes(d, b, 4);
  if (rc == 0) v = Get32(d, b);
  return rc;
}

// An array of Count values of a strip tag: inline in the value field when it fits in its
// four bytes, else at the offset the field holds; 16-bit entries for SHORT, else 32-bit.
int ReadArray(TTiffReaderData* d, std::uint16_t type, const std::uint8_t* field, std::uint32_t count,
              std::vector<std::uint32_t>& out) {
  const unsigned size = type == TypeShort ? 2 : 4;
  out.clear();
  // An array larger than the file is no array of this file.
  if (static_cast<std::uint64_t>(count) * size > d->FileSize) return ecBadGraphicsFormat;
  try {
    out.reserve(count);
  } catch (const std::bad_alloc&) {
    return ecOutOfMemory;
  }
  if (static_cast<std::uint64_t>(count) * size <= 4) {
    for (std::uint32_t i = 0; i < count; ++i)
      out.push_back(size == 2 ? Get16(d, field + 2 * i) : Get32(d, field + 4 * i));
    return 0;
  }
  int rc = Seek(d, Get32(d, field));
  for (std::uint32_t i = 0; i < count && rc == 0; ++i) {
    std::uint32_t v = 0;
    rc = size == 2 ? Read16(d, v) : Read32(d, v);
    out.push_back(v);
  }
  return rc;
}

constexpr std::uint8_t LastByteMasks[8] = {0xFF, 0x80, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE};

int ReadDirectory(TAbsFaxCvt* cvt, TTiffReaderData* d) {
  std::uint8_t sig[2];
  int rc = ReadBytes(d, sig, 2);
  if (rc == ecDeviceRead) return ecBadGraphicsFormat;
  if (rc < 0) return rc;
  if (sig[0] == 'I' && sig[1] == 'I')
    d->Intel = true;
  else if (sig[0] == 'M' && sig[1] == 'M')
    d->Intel = false;
  else
    return ecBadGraphicsFormat;
  std::uint32_t version = 0, ifd = 0, entries = 0;
  if ((rc = Read16(d, version)) < 0 || (rc = Read32(d, ifd)) < 0) return rc;
  if (ifd > 0 && (rc = Seek(d, ifd)) < 0) return rc;
  if ((rc = Read16(d, entries)) < 0) return rc;

  for (std::uint32_t i = 0; i < entries; ++i) {
    std::uint8_t e[12];
    if ((rc = ReadBytes(d, e, 12)) < 0) return rc;
    const std::uint16_t tag = Get16(d, e), type = Get16(d, e + 2);
    const std::uint32_t rawCount = Get32(d, e + 4);
    const bool isShort = type == TypeShort;
    const std::uint32_t count = isShort ? (rawCount & 0xFFFF) : rawCount;
    const std::uint32_t value = isShort ? Get16(d, e + 8) : Get32(d, e + 8);
    switch (tag) {
      case 255:
        d->SubfileType = value;
        break;
      case 256:
        d->Width = static_cast<int>(value & 0xFFFF);
        d->BytesPerRow = (d->Width + 7) / 8;
        d->LastByteMask = LastByteMasks[d->Width % 8];
        break;
      case 257:
        d->Height = value;
        d->RowsInStrip = value;
        break;
      case 258:
        if (value != 1) return ecBadGraphicsFormat;
        break;
      case 259:
        if (value != 1 && value != PackBits) return ecBadGraphicsFormat;
        d->Compression = value;
        break;
      case 262:
        d->Photometric = value;
        break;
      case 273:
        d->StripOffsets = type == TypeLong ? value : (value & 0xFFFF);
        d->StripCount = type == TypeLong ? rawCount : (rawCount & 0xFFFF);
        d->OffsetsType = type;
        std::memcpy(d->OffsetsField, e + 8, 4);
        break;
      case 278:
        d->RowsPerStrip = type == TypeLong ? value : (value & 0xFFFF);
        break;
      case 279:
        d->StripByteCounts = value;
        d->CountsType = type;
        d->CountsCount = count;
        std::memcpy(d->CountsField, e + 8, 4);
        break;
      default:
        break;
    }
  }
  // A row (behind the centering offset) must fit the raster buffer.
  if (d->Width == 0 || d->Height == 0 || d->StripOffsets == 0 || d->StripCount == 0 ||
      d->BytesPerRow > RasterBufferSize)
    return ecBadGraphicsFormat;

  if (d->StripCount > 1) {
    if (d->StripCount > d->Height) return ecBadGraphicsFormat;  // more strips than rows
    std::vector<std::uint32_t> offsets, counts;
    if ((rc = ReadArray(d, d->OffsetsType, d->OffsetsField, d->StripCount, offsets)) < 0) return rc;
    if (d->CountsCount >= d->StripCount &&
        (rc = ReadArray(d, d->CountsType, d->CountsField, d->StripCount, counts)) < 0)
      return rc;
    d->StripTable.resize(d->StripCount);
    for (std::uint32_t i = 0; i < d->StripCount; ++i)
      d->StripTable[i] = {offsets[i], i < counts.size() ? counts[i] : 0};
    if (d->RowsPerStrip == 0 || d->RowsPerStrip > d->Height) d->RowsPerStrip = d->Height;
  }
  cvt->BytesTotal = static_cast<std::int32_t>(
      std::min<std::uint64_t>(static_cast<std::uint64_t>(d->BytesPerRow) * d->Height, INT32_MAX));
  cvt->BytesDone = 0;
  acSetPictureWidth(cvt, d->Width);

  d->CurrStrip = 1;
  d->CurrRow = 1;
  if (d->StripCount <= 1) return Seek(d, d->StripOffsets);
  d->RowsInStrip = d->RowsPerStrip;
  return Seek(d, d->StripTable[0].Offset);
}

void CloseInput(TTiffReaderData* d) {
  if (!d) return;
  if (d->File >= 0) ::close(d->File);
  d->File = -1;
  d->StripTable.clear();
}

}  // namespace

int tcInitTiffConverter(TAbsFaxCvt*& cvt) {
  cvt = nullptr;
  auto* d = new (std::nothrow) TTiffReaderData;
  if (!d) return ecOutOfMemory;
  d->ReadBuffer.reset(new (std::nothrow) std::uint8_t[TiffReadBufferSize]);
  if (!d->ReadBuffer) {
    delete d;
    return ecOutOfMemory;
  }
  const int rc = acInitFaxConverter(cvt, d, tcGetTiffRasterLine, tcOpenFile, tcCloseFile, "TIF");
  if (rc < 0) delete d;
  return rc;
}

void tcDoneTiffConverter(TAbsFaxCvt*& cvt) {
  if (!cvt) return;
  TTiffReaderData* d = Data(cvt);
  CloseInput(d);
  delete d;
  cvt->UserData = nullptr;
  acDoneFaxConverter(cvt);
}

int tcOpenFile(TAbsFaxCvt* cvt, const std::string& fileName) {
  TTiffReaderData* d = Data(cvt);
  CloseInput(d);
  // Start from a clean record, keeping the read buffer.
  auto buffer = std::move(d->ReadBuffer);
  *d = TTiffReaderData{};
  d->ReadBuffer = std::move(buffer);
  if (fileName.empty()) return ecFileNotFound;
  d->File = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (d->File < 0) return fxfFileError(errno);
  const off_t end = ::lseek(d->File, 0, SEEK_END);
  if (end < 0 || ::lseek(d->File, 0, SEEK_SET) < 0) {
    const int rc = fxfFileError(errno);
    CloseInput(d);
    return rc;
  }
  d->FileSize = static_cast<std::uint64_t>(end);
  const int rc = ReadDirectory(cvt, d);
  if (rc < 0) CloseInput(d);
  return rc;
}

void tcCloseFile(TAbsFaxCvt* cvt) { CloseInput(Data(cvt)); }

int tcGetTiffRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages) {
  TTiffReaderData* d = Data(cvt);
  morePages = false;
  len = 0;
  if (!d || d->File < 0 ||
      (d->RowsInStrip < static_cast<std::uint32_t>(d->CurrRow) &&
       static_cast<std::uint32_t>(d->CurrStrip) >= std::max<std::uint32_t>(d->StripCount, 1))) {
    endOfPage = true;
    return 0;
  }
  endOfPage = false;
  const int n = d->BytesPerRow;
  std::uint8_t row[RasterBufferSize];
  int rc = 0;
  if (d->Compression != PackBits) {
    rc = ReadBytes(d, row, n);
  } else {
    int pos = 0;
    while (pos < n && rc == 0) {
      std::uint8_t control;
      if ((rc = ReadBytes(d, &control, 1)) < 0) break;
      if (control < 128) {
        std::uint8_t lit[128];
        const int count = control + 1;
        if ((rc = ReadBytes(d, lit, count)) < 0) break;
        for (int i = 0; i < count; ++i, ++pos)
          if (pos < RasterBufferSize) row[pos] = lit[i];
      } else if (control > 128) {
        std::uint8_t v;
        if ((rc = ReadBytes(d, &v, 1)) < 0) break;
        for (int i = 0; i < 257 - control; ++i, ++pos)
          if (pos < RasterBufferSize) row[pos] = v;
      }
    }
  }
  if (rc < 0) return rc;
  cvt->BytesDone += n;

  if (d->Photometric != 0)
    for (int i = 0; i < n; ++i) row[i] = static_cast<std::uint8_t>(~row[i]);
  row[n - 1] &= d->LastByteMask;  // pixels past the width are white

  const int ofs = std::clamp(cvt->CenterOfs, 0, RasterBufferSize);
  std::memcpy(data + ofs, row, static_cast<std::size_t>(std::min(n, RasterBufferSize - ofs)));

  ++d->CurrRow;
  if (d->StripCount > 1 && static_cast<std::uint32_t>(d->CurrRow) > d->RowsInStrip &&
      static_cast<std::uint32_t>(d->CurrStrip) < d->StripCount) {
    ++d->CurrStrip;
    d->CurrRow = 1;
    if (static_cast<std::uint32_t>(d->CurrStrip) == d->StripCount) {
      const std::uint64_t before = static_cast<std::uint64_t>(d->RowsPerStrip) * (d->StripCount - 1);
      d->RowsInStrip = d->Height > before ? static_cast<std::uint32_t>(d->Height - before) : 0;
    } else {
      d->RowsInStrip = d->RowsPerStrip;
    }
    rc = Seek(d, d->StripTable[static_cast<std::size_t>(d->CurrStrip - 1)].Offset);
    if (rc < 0) return rc;
  }
  len = n;
  return 0;
}
