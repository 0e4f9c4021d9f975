// Fax converter engine: T.4 modified Huffman encoder, conversion loop and fax file output.
#include "fax/Swfaxcvt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>

#include "fax/T4Codes.h"
#include "serial/SioMisc.h"
#include "serial/Sioexcept.h"

namespace {

using t4::BlackMakeUp;
using t4::BlackTerm;
using t4::EOLCode;
using t4::TCode;
using t4::WhiteMakeUp;
using t4::WhiteTerm;

constexpr TCode EOLFillCode = {0x0001, 16};

// Reverses a code within its length, so that its first bit becomes the least significant.
constexpr std::uint32_t Reverse(std::uint32_t code, int len) {
  std::uint32_t r = 0;
  for (int i = 0; i < len; ++i) r |= ((code >> i) & 1u) << (len - 1 - i);
  return r;
}

constexpr int MaxRun = 2623;

// Complete code of each run length for each colour: the make-up code (when the run is 64
// or more) followed by the terminating code, already reversed; the low 32 bits hold the
// code, the high ones its length. Built once, at compile time.
struct TRunCodes {
  std::array<std::uint64_t, MaxRun + 1> Entry[2]{};
};

constexpr TRunCodes MakeRunCodes() {
  TRunCodes t{};
  for (int colour = 0; colour < 2; ++colour) {
    const TCode* term = colour ? BlackTerm : WhiteTerm;
    const TCode* makeUp = colour ? BlackMakeUp : WhiteMakeUp;
    for (int run = 0; run <= MaxRun; ++run) {
      std::uint32_t code = 0;
      int len = 0;
      if (run >= 64) {
        const TCode& m = makeUp[run / 64 - 1];
        code = Reverse(m.Code, m.Len);
        len = m.Len;
      }
      const TCode& e = term[run % 64];
      code |= Reverse(e.Code, e.Len) << len;
      len += e.Len;
      t.Entry[colour][run] = code | (static_cast<std::uint64_t>(len) << 32);
    }
  }
  return t;
}

constexpr TRunCodes RunCodes = MakeRunCodes();

constexpr std::uint8_t WhiteLine1728[6] = {0x00, 0x80, 0xB2, 0x59, 0x01, 0x00};

// Bit writer over the line buffer: code bits enter least significant bit first. Each code
// is stored with one 8-byte write and the whole bytes move on; the buffer needs 8 bytes of
// room behind the line.
class TBitWriter {
 public:
  explicit TBitWriter(std::uint8_t* out) : out_(out) {}
  void Put(std::uint32_t code, unsigned len) {
    acc_ |= static_cast<std::uint64_t>(code) << bits_;
    bits_ += len;
    Store(out_ + pos_, acc_);
    pos_ += bits_ >> 3;
    acc_ >>= bits_ & ~7u;
    bits_ &= 7;
  }
  void PutRun(int colour, int run) {
    const std::uint64_t e = RunCodes.Entry[colour][run];
    Put(static_cast<std::uint32_t>(e), static_cast<unsigned>(e >> 32));
  }
  // Writes out the pending bits and the zero bytes behind them; returns the line length:
  // the bytes that hold code bits plus one, or plus two when the code ends on a byte boundary.
  int Finish(std::int32_t& byteOfs, std::int32_t& bitOfs) {
    byteOfs = static_cast<std::int32_t>(pos_);
    bitOfs = static_cast<std::int32_t>(bits_);
    out_[pos_] = static_cast<std::uint8_t>(acc_);
    out_[pos_ + 1] = 0;
    return byteOfs + 2;
  }

 private:
  static void Store(std::uint8_t* p, std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
  }
  std::uint8_t* out_;
  std::uint64_t acc_ = 0;
  unsigned bits_ = 0;
  std::size_t pos_ = 0;
};

inline std::uint64_t LoadLE64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

struct TByteTable {
  std::uint8_t v[256];
};
constexpr TByteTable MakeReversedBits() {
  TByteTable t{};
  for (int i = 0; i < 256; ++i) t.v[i] = static_cast<std::uint8_t>(Reverse(static_cast<std::uint32_t>(i), 8));
  return t;
}
constexpr TByteTable ReversedBits = MakeReversedBits();

}  // namespace

// ---------------------------------------------------------------------------------------
// Buffered output file

class TFaxOutFile {
 public:
  ~TFaxOutFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Create(const std::string& name) {
    fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) return fxfFileError(errno);
    name_ = name;
    filePos_ = 0;
    fill_ = 0;
    return 0;
  }
  std::uint64_t Position() const { return filePos_ + fill_; }
  int Write(const std::uint8_t* data, std::size_t len) {
    if (fill_ + len <= BufSize - 1) {
      std::memcpy(buf_ + fill_, data, len);
      fill_ += len;
      return 0;
    }
    std::size_t top = BufSize - fill_;
    std::memcpy(buf_ + fill_, data, top);
    fill_ = BufSize;
    int rc = Flush();
    if (rc < 0) return rc;
    data += top;
    len -= top;
    std::size_t whole = len / BufSize * BufSize;
    if (whole) {
      rc = WriteAll(data, whole);
      if (rc < 0) return rc;
      data += whole;
      len -= whole;
    }
    std::memcpy(buf_, data, len);
    fill_ = len;
    return 0;
  }
  int Seek(std::uint64_t pos) {
    int rc = Flush();
    if (rc < 0) return rc;
    if (::lseek(fd_, static_cast<off_t>(pos), SEEK_SET) < 0) return fxfFileError(errno);
    filePos_ = pos;
    return 0;
  }
  int Flush() {
    if (fill_ == 0) return 0;
    std::size_t n = fill_;
    fill_ = 0;
    return WriteAll(buf_, n);
  }
  int Close() {
    int rc = Flush();
    if (fd_ >= 0 && ::close(fd_) < 0 && rc == 0) rc = fxfFileError(errno);
    fd_ = -1;
    return rc;
  }
  // Closes without writing what is buffered and removes the file.
  void Discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    fill_ = 0;
    if (!name_.empty()) ::unlink(name_.c_str());
  }

 private:
  static constexpr std::size_t BufSize = 4096;
  int WriteAll(const std::uint8_t* data, std::size_t len) {
    while (len) {
      ssize_t n = ::write(fd_, data, len);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return fxfFileError(errno);
      if (n == 0) return ecDiskFull;
      data += n;
      len -= static_cast<std::size_t>(n);
      filePos_ += static_cast<std::uint64_t>(n);
    }
    return 0;
  }
  int fd_ = -1;
  std::string name_;
  std::uint64_t filePos_ = 0;
  std::size_t fill_ = 0;
  std::uint8_t buf_[BufSize];
};

TAbsFaxCvt::TAbsFaxCvt() = default;
TAbsFaxCvt::~TAbsFaxCvt() = default;

// ---------------------------------------------------------------------------------------
// Set-up

int acInitFaxConverter(TAbsFaxCvt*& cvt, void* data, TGetLineCallback getLine, TOpenFileCallback openFile,
                       TCloseFileCallback closeFile, std::string_view defaultExt) {
  cvt = nullptr;
  auto* c = new (std::nothrow) TAbsFaxCvt;
  if (!c) return ecOutOfMemory;
  c->DataLine.reset(new (std::nothrow) std::uint8_t[LineBufferSize]());
  c->TmpBuffer.reset(new (std::nothrow) std::uint8_t[RasterBufferSize]());
  if (!c->DataLine || !c->TmpBuffer) {
    delete c;
    return ecOutOfMemory;
  }
  c->UserData = data;
  c->GetLine = getLine;
  c->OpenCall = openFile;
  c->CloseCall = closeFile;
  c->DefExt = std::string(defaultExt.substr(0, 3));
  cvt = c;
  return 0;
}

void acDoneFaxConverter(TAbsFaxCvt*& cvt) {
  delete cvt;
  cvt = nullptr;
}

void acSetOtherData(TAbsFaxCvt* cvt, void* otherData) { cvt->OtherData = otherData; }
void acOptionsOn(TAbsFaxCvt* cvt, std::uint16_t options) { cvt->Flags |= options; }
void acOptionsOff(TAbsFaxCvt* cvt, std::uint16_t options) { cvt->Flags &= ~std::uint32_t(options); }
bool acOptionsAreOn(TAbsFaxCvt* cvt, std::uint16_t options) { return (cvt->Flags & options) == options; }

void acSetMargins(TAbsFaxCvt* cvt, int left, int top) {
  cvt->LeftMargin = left;
  cvt->TopMargin = top;
}

void acSetResolutionMode(TAbsFaxCvt* cvt, int mode) { cvt->ResolutionMode = mode; }
void acSetResolutionWidth(TAbsFaxCvt* cvt, int widthCode) {
  cvt->ResWidth = widthCode == 2 ? WideWidth : StandardWidth;
}
void acSetStationID(TAbsFaxCvt* cvt, std::string_view id) {
  cvt->StationID = std::string(id.substr(0, StationIDLen));
}

void acSetStatusCallback(TAbsFaxCvt* cvt, TCvtStatusCallback callback) {
  if (!callback) return;
  cvt->StatusWnd = 0;
  cvt->StatusFunc = callback;
}

void acSetStatusWnd(TAbsFaxCvt* cvt, HWND wnd) {
  if (!wnd) return;
  cvt->StatusFunc = nullptr;
  cvt->StatusWnd = wnd;
}

namespace {
// Left margin as the encoder uses it: never negative, never beyond the line.
int EffectiveMargin(const TAbsFaxCvt* cvt) { return std::clamp(cvt->LeftMargin, 0, acLineWidth(cvt)); }
}  // namespace

void acSetPictureWidth(TAbsFaxCvt* cvt, int width) {
  const int w = std::max(width, 0);
  const int lineWidth = acLineWidth(cvt);
  const int margin = EffectiveMargin(cvt);
  if (cvt->Flags & coDoubleWidth) cvt->DoubleWidth = cvt->ResolutionMode == 0 && 2 * w <= lineWidth - margin;
  cvt->HalfHeight = (cvt->Flags & coHalfHeight) && cvt->ResolutionMode == 0 && !cvt->DoubleWidth;
  cvt->CenterOfs = 0;
  if ((cvt->Flags & coCenterImage) && lineWidth - w >= 16) {
    // Centred on the whole line; but a picture that fits beside the margin is not pushed
    // past the line's end (it would lose its right edge).
    int ofs, room;
    if (cvt->DoubleWidth) {
      ofs = (lineWidth - 2 * w) / 32;
      room = (lineWidth - margin - 2 * w) / 16;
    } else {
      ofs = (lineWidth - w) / 16;
      room = (lineWidth - margin - w) / 8;
    }
    cvt->CenterOfs = std::max(0, std::min(ofs, room));
  }
}

// ---------------------------------------------------------------------------------------
// Encoder

void acInitDataLine(TAbsFaxCvt* cvt) {
  std::memset(cvt->DataLine.get(), 0, LineBufferSize);
  cvt->ByteOfs = 0;
  cvt->BitOfs = 0;
  cvt->PrevLineLen = 0;
}

void acCompressRasterLine(TAbsFaxCvt* cvt, const std::uint8_t* raster) {
  const int width = acLineWidth(cvt);
  const int margin = EffectiveMargin(cvt);
  TBitWriter out(cvt->DataLine.get());
  out.Put(Reverse(EOLFillCode.Code, EOLFillCode.Len), EOLFillCode.Len);

  bool white = true;
  for (int i = 0; i < width / 8; ++i)
    if (raster[i]) {
      white = false;
      break;
    }
  if (white) {
    out.PutRun(0, width);
  } else {
    // Line pixels after the margin, and the raster pixels that make them up.
    const int lineRest = width - margin;
    const int scale = cvt->DoubleWidth ? 2 : 1;
    const int limit = (lineRest + scale - 1) / scale;
    // The raster bytes with their bits reversed, so that pixel p is bit p % 64 of
    // little-endian word p / 64.
    std::uint8_t buf[WideWidth / 8 + 16] = {};
    const int bytes = (limit + 7) / 8;
    for (int i = 0; i < bytes; ++i) buf[i] = ReversedBits.v[raster[i]];

    // Colour changes are found a 64-pixel word at a time: a bit of T is set where a pixel
    // differs from the one before it (the pixel before the first is the white margin).
    const int shift = scale - 1;
    int colour = 0;
    int runStart = -margin;  // in line pixels after the margin
    std::uint64_t prev = 0;
    for (int base = 0; base < limit; base += 64) {
      const std::uint64_t w = LoadLE64(buf + base / 8);
      std::uint64_t t = w ^ ((w << 1) | prev);
      prev = w >> 63;
      if (limit - base < 64) t &= ~(~std::uint64_t(0) << (limit - base));
      while (t) {
        const int end = (base + __builtin_ctzll(t)) << shift;
        t &= t - 1;
        out.PutRun(colour, end - runStart);
        runStart = end;
        colour ^= 1;
      }
    }
    out.PutRun(colour, lineRest - runStart);
  }
  int len = out.Finish(cvt->ByteOfs, cvt->BitOfs);
  cvt->PrevLineLen = len;
  cvt->ByteOfs = len;
}

void acMakeEndOfPage(TAbsFaxCvt* cvt, std::uint8_t* dest, int& len) {
  std::uint8_t tmp[32] = {};
  TBitWriter out(tmp);
  out.Put(Reverse(EOLFillCode.Code, EOLFillCode.Len), EOLFillCode.Len);
  for (int i = 0; i < 7; ++i) out.Put(Reverse(EOLCode.Code, EOLCode.Len), EOLCode.Len);
  std::int32_t byteOfs, bitOfs;
  out.Finish(byteOfs, bitOfs);
  std::memcpy(dest, tmp, 12);
  len = 12;
}

// ---------------------------------------------------------------------------------------
// Status and yielding

namespace {

// Reports status; true when the receiver asks to abort.
bool ReportStatus(TAbsFaxCvt* cvt, std::uint16_t flags) {
  if (cvt->StatusWnd) {
    return SendMessage(cvt->StatusWnd, apw_FaxCvtStatus, flags, reinterpret_cast<LPARAM>(cvt)) != 0;
  }
  if (cvt->StatusFunc) return cvt->StatusFunc(cvt, flags, cvt->BytesDone, cvt->BytesTotal);
  return false;
}

// Handles one waiting message of the calling thread; a quit message stays for the
// message loop and ends the conversion.
int YieldOnce() { return (SafeYield() & 0xFFFF) == WM_QUIT ? ecGotQuitMsg : 0; }

}  // namespace

// ---------------------------------------------------------------------------------------
// Reader calls

int acOpenFile(TAbsFaxCvt* cvt, const std::string& fileName) {
  return cvt->OpenCall ? cvt->OpenCall(cvt, fileName) : 0;
}

void acCloseFile(TAbsFaxCvt* cvt) {
  if (cvt->CloseCall) cvt->CloseCall(cvt);
}

int acGetRasterLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages) {
  ++cvt->CurrLine;
  if (!cvt->GetLine) {
    len = 0;
    endOfPage = true;
    morePages = false;
    return 0;
  }
  int rc = cvt->GetLine(cvt, data, len, endOfPage, morePages);
  if (rc == 0 && ReportStatus(cvt, 0)) return ecConvertAbort;
  return rc;
}

// ---------------------------------------------------------------------------------------
// Output file

int acAddData(TAbsFaxCvt* cvt, const std::uint8_t* data, int len, bool counted) {
  if (!cvt->OutFile) return ecNotOpenOutput;
  if (len < 0) return ecBadArgument;
  int rc = cvt->OutFile->Write(data, static_cast<std::size_t>(len));
  if (rc < 0) {
    cvt->OutFile->Discard();
    cvt->OutFile.reset();
    return rc;
  }
  if (counted) cvt->PageHeader.ImageLength += static_cast<std::uint32_t>(len);
  return 0;
}

int acAddLine(TAbsFaxCvt* cvt, const std::uint8_t* data, int len) {
  if (len < 0 || len > MaxLineRecordLen) return ecBadArgument;
  std::uint8_t count[2] = {static_cast<std::uint8_t>(len), static_cast<std::uint8_t>(len >> 8)};
  int rc = acAddData(cvt, count, 2, true);
  if (rc < 0) return rc;
  return acAddData(cvt, data, len, true);
}

int acCreateOutputFile(TAbsFaxCvt* cvt) {
  cvt->MainHeader = TFaxHeaderRec{};
  cvt->MainHeader.Signature = DefFXFSig;
  cvt->MainHeader.FirstPageOffset = DefFirstPageOffset;
  cvt->PageHeader = TPageHeaderRec{};
  cvt->LastPageWithHeader = 0;
  cvt->PageHeaderPos = 0;
  cvt->OutFile.reset();
  auto file = std::make_unique<TFaxOutFile>();
  int rc = file->Create(cvt->OutFileName);
  if (rc < 0) return rc;
  cvt->OutFile = std::move(file);
  std::uint8_t raw[FaxHeaderSize];
  cvt->MainHeader.Store(raw);
  return acAddData(cvt, raw, FaxHeaderSize, false);
}

namespace {

int FailOutput(TAbsFaxCvt* cvt, int rc) {
  if (cvt->OutFile) cvt->OutFile->Discard();
  cvt->OutFile.reset();
  return rc;
}

int WriteAt(TAbsFaxCvt* cvt, std::uint64_t at, const std::uint8_t* data, std::size_t len) {
  TFaxOutFile& f = *cvt->OutFile;
  std::uint64_t back = f.Position();
  int rc = f.Seek(at);
  if (rc == 0) rc = f.Write(data, len);
  if (rc == 0) rc = f.Seek(back);
  return rc < 0 ? FailOutput(cvt, rc) : 0;
}

// Places the header of the current page at the present end of the file.
int BeginPage(TAbsFaxCvt* cvt) {
  cvt->PageHeader = TPageHeaderRec{};
  cvt->PageHeader.PageFlags = pfLineLengths;
  if (cvt->ResolutionMode != 0) cvt->PageHeader.PageFlags |= pfHighResolution;
  if (cvt->ResWidth == WideWidth) cvt->PageHeader.PageFlags |= pfWideLine;
  cvt->PageHeaderPos = static_cast<std::uint32_t>(cvt->OutFile->Position());
  std::uint8_t raw[PageHeaderSize];
  cvt->PageHeader.Store(raw);
  int rc = acAddData(cvt, raw, PageHeaderSize, false);
  if (rc < 0) return rc;
  cvt->LastPageWithHeader = cvt->CurrPage;
  return 0;
}

}  // namespace

int acCloseOutputFile(TAbsFaxCvt* cvt) {
  if (!cvt->OutFile) return ecNotOpenOutput;
  cvt->MainHeader.SetStationID(cvt->StationID);
  cvt->MainHeader.FileDateTime = DosDateTimeNow();
  std::uint8_t raw[FaxHeaderSize];
  cvt->MainHeader.Store(raw);
  int rc = WriteAt(cvt, 0, raw, FaxHeaderSize);
  if (rc < 0) return rc;
  rc = cvt->OutFile->Close();
  if (rc < 0) return FailOutput(cvt, rc);
  cvt->OutFile.reset();
  return 0;
}

int acOutToFileCallback(TAbsFaxCvt* cvt, const std::uint8_t* data, int len, bool endOfPage, bool morePages) {
  if (!cvt->OutFile) return ecNotOpenOutput;
  // A page gets its header before its first record, also a page that ends without lines.
  if (cvt->CurrPage != cvt->LastPageWithHeader) {
    int rc = BeginPage(cvt);
    if (rc < 0) return rc;
  }
  if (!endOfPage) return acAddLine(cvt, data, len);

  std::uint8_t eop[12];
  int eopLen;
  acMakeEndOfPage(cvt, eop, eopLen);
  std::memcpy(cvt->DataLine.get(), eop, 12);
  int rc = acAddLine(cvt, cvt->DataLine.get(), eopLen);
  if (rc < 0) return rc;
  ++cvt->MainHeader.PageCount;
  std::uint8_t raw[PageHeaderSize];
  cvt->PageHeader.Store(raw);
  return WriteAt(cvt, cvt->PageHeaderPos, raw, PageHeaderSize);
}

// ---------------------------------------------------------------------------------------
// Conversion

int acConvert(TAbsFaxCvt* cvt, const std::string& inFileName, TPutLineCallback output) {
  if (!output) return ecBadArgument;
  cvt->CurrPage = 0;
  cvt->CurrLine = 0;
  cvt->InFileName = cvt->DefExt.empty() ? inFileName : DefaultExtension(inFileName, cvt->DefExt);
  if (ReportStatus(cvt, csStarting)) return ecConvertAbort;
  int rc = acOpenFile(cvt, cvt->InFileName);
  if (rc < 0) return rc;

  std::uint8_t* const raster = cvt->TmpBuffer.get();
  int result = 0;
  bool morePages = true;
  while (morePages && result == 0) {
    ++cvt->CurrPage;
    cvt->CurrLine = 0;
    for (int i = 0; i < cvt->TopMargin && result == 0; ++i) {
      acInitDataLine(cvt);
      std::memcpy(cvt->DataLine.get(), WhiteLine1728, sizeof WhiteLine1728);
      cvt->ByteOfs = sizeof WhiteLine1728;
      result = output(cvt, cvt->DataLine.get(), sizeof WhiteLine1728, false, false);
    }
    if (result < 0) break;

    int len = 0;
    bool endOfPage = false;
    std::memset(raster, 0, RasterBufferSize);
    result = acGetRasterLine(cvt, raster, len, endOfPage, morePages);
    while (result == 0 && !endOfPage) {
      if (!(cvt->HalfHeight && cvt->CurrLine % 2 == 0)) {
        acCompressRasterLine(cvt, raster);
        result = output(cvt, cvt->DataLine.get(), cvt->ByteOfs, false, false);
        if (result < 0) break;
      }
      std::memset(raster, 0, RasterBufferSize);
      result = acGetRasterLine(cvt, raster, len, endOfPage, morePages);
      if (result == 0 && (cvt->Flags & coYield) && (cvt->Flags & coYieldOften) && cvt->CurrLine % 16 == 0)
        result = YieldOnce();
    }
    if (result < 0) break;
    result = output(cvt, cvt->DataLine.get(), 0, true, morePages);
    if (result == 0 && (cvt->Flags & coYield)) result = YieldOnce();
  }

  ReportStatus(cvt, csEnding);
  acCloseFile(cvt);
  return result;
}

int acConvertToFile(TAbsFaxCvt* cvt, const std::string& inFileName, const std::string& outFileName) {
  if (!outFileName.empty())
    cvt->OutFileName = DefaultExtension(outFileName, "FXF");
  else
    cvt->OutFileName = ForceExtension(inFileName, "FXF");  // beside the input

  // Never write the fax file over the document it is made from.
  struct stat in {
  }, out{};
  std::string input = cvt->DefExt.empty() ? inFileName : DefaultExtension(inFileName, cvt->DefExt);
  if (::stat(input.c_str(), &in) == 0 && ::stat(cvt->OutFileName.c_str(), &out) == 0 &&
      in.st_dev == out.st_dev && in.st_ino == out.st_ino)
    return ecFileAccessDenied;

  int rc = acCreateOutputFile(cvt);
  if (rc < 0) return FailOutput(cvt, rc);
  rc = acConvert(cvt, inFileName, acOutToFileCallback);
  if (rc < 0) return FailOutput(cvt, rc);
  rc = acCloseOutputFile(cvt);
  if (rc < 0) return FailOutput(cvt, rc);
  return 0;
}
