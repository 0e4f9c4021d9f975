// Fax file records and the fax file reader.
#include "fax/Swfaxfmt.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "serial/Sioexcept.h"

namespace {

void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
         (std::uint32_t(p[3]) << 24);
}

}  // namespace

int fxfFileError(int err) {
  switch (err) {
    case ENOENT:
      return ecFileNotFound;
    case ENOTDIR:
      return ecPathNotFound;
    case EMFILE:
    case ENFILE:
      return ecTooManyFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY:
    case EEXIST:
      return ecFileAccessDenied;
    case EBADF:
      return ecInvalidHandle;
    case ENOMEM:
      return ecOutOfMemory;
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
      return ecDiskFull;
    case EROFS:
      return ecWriteProtected;
    case ESPIPE:
    case EINVAL:
      return ecSeekError;
    case ENXIO:
    case ENODEV:
      return ecDriveNotReady;
    default:
      return ecHardwareFailure;
  }
}

// ---------------------------------------------------------------------------------------
// Records

void TFaxHeaderRec::SetStationID(std::string_view text) {
  std::size_t n = text.size() < StationIDLen ? text.size() : StationIDLen;
  StationID[0] = static_cast<std::uint8_t>(n);
  for (int i = 0; i < StationIDLen; ++i)
    StationID[1 + i] = static_cast<std::size_t>(i) < n ? static_cast<std::uint8_t>(text[i]) : 0x20;
}

std::string TFaxHeaderRec::GetStationID() const {
  std::size_t n = StationID[0] < StationIDLen ? StationID[0] : StationIDLen;
  return std::string(reinterpret_cast<const char*>(StationID.data() + 1), n);
}

void TFaxHeaderRec::Store(std::uint8_t* out) const {
  std::memcpy(out, Signature.data(), 6);
  Put32(out + 6, FileDateTime);
  std::memcpy(out + 10, StationID.data(), 21);
  out[31] = Reserved1;
  Put16(out + 32, PageCount);
  Put32(out + 34, FirstPageOffset);
  std::memcpy(out + 38, Reserved2.data(), 26);
}

TFaxHeaderRec TFaxHeaderRec::Load(const std::uint8_t* in) {
  TFaxHeaderRec h;
  std::memcpy(h.Signature.data(), in, 6);
  h.FileDateTime = Get32(in + 6);
  std::memcpy(h.StationID.data(), in + 10, 21);
  h.Reserved1 = in[31];
  h.PageCount = Get16(in + 32);
  h.FirstPageOffset = Get32(in + 34);
  std::memcpy(h.Reserved2.data(), in + 38, 26);
  return h;
}

void TPageHeaderRec::Store(std::uint8_t* out) const {
  Put32(out, ImageLength);
  Put16(out + 4, PageFlags);
  std::memcpy(out + 6, Reserved.data(), 10);
}

TPageHeaderRec TPageHeaderRec::Load(const std::uint8_t* in) {
  TPageHeaderRec p;
  p.ImageLength = Get32(in);
  p.PageFlags = Get16(in + 4);
  std::memcpy(p.Reserved.data(), in + 6, 10);
  return p;
}

std::uint32_t PackDosDateTime(int year, int month, int day, int hour, int minute, int second) {
  if (year < 1980 || year > 2099) return 0;
  std::uint32_t time = static_cast<std::uint32_t>((second / 2) | (minute << 5) | (hour << 11)) & 0xFFFF;
  std::uint32_t date = static_cast<std::uint32_t>(day | (month << 5) | ((year - 1980) << 9)) & 0xFFFF;
  return time | (date << 16);
}

std::uint32_t DosDateTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return PackDosDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// ---------------------------------------------------------------------------------------
// Readers

bool swIsAnFXFFile(const std::string& fileName) {
  if (fileName.empty()) return false;
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char sig[6];
  std::size_t got = 0;
  while (got < sizeof sig) {
    ssize_t n = ::read(fd, sig + got, sizeof sig - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return got == sizeof sig && std::memcmp(sig, DefFXFSig.data(), 6) == 0;
}

int fxfReadFaxHeader(const std::string& fileName, TFaxHeaderRec& header) {
  if (fileName.empty()) return ecFileNotFound;
  TFaxFileReader r;
  int rc = r.Open(fileName);
  if (rc < 0) return rc;
  header = r.Header();
  return 0;
}

int fxfReadPageHeader(const std::string& fileName, unsigned page, TPageHeaderRec& pageHeader) {
  if (fileName.empty()) return ecFileNotFound;
  TFaxFileReader r;
  int rc = r.Open(fileName);
  if (rc < 0) return rc;
  if (page == 0) return 0;
  if (page > r.Header().PageCount) return ecFaxBadFormat;
  rc = r.SeekPage(page);
  if (rc < 0) return rc == ecDiskRead ? ecFaxBadFormat : rc;
  pageHeader = r.PageHeader();
  return 0;
}

TFaxFileReader::~TFaxFileReader() { Close(); }

void TFaxFileReader::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  mem_ = nullptr;
  size_ = 0;
  pos_ = 0;
  pageLeft_ = 0;
  lastPage_ = 0;
  lastPageAt_ = 0;
  header_ = {};
  pageHeader_ = {};
}

int TFaxFileReader::Open(const std::string& fileName) {
  Close();
  if (fileName.empty()) return ecFileNotFound;
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fxfFileError(errno);
  off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) {
    int rc = fxfFileError(errno);
    ::close(fd);
    return rc;
  }
  fd_ = fd;
  size_ = static_cast<std::uint64_t>(end);
  int rc = ReadHeader();
  if (rc < 0) Close();
  return rc;
}

int TFaxFileReader::OpenMemory(std::span<const std::uint8_t> bytes) {
  Close();
  static const std::uint8_t empty = 0;
  mem_ = bytes.empty() ? &empty : bytes.data();
  size_ = bytes.size();
  int rc = ReadHeader();
  if (rc < 0) Close();
  return rc;
}

int TFaxFileReader::ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t count) {
  if (offset > size_ || count > size_ - offset) return ecFaxBadFormat;
  if (mem_) {
    if (count) std::memcpy(buffer, mem_ + offset, count);
    return 0;
  }
  std::size_t got = 0;
  while (got < count) {
    ssize_t n = ::pread(fd_, buffer + got, count - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fxfFileError(errno);
    if (n == 0) return ecFaxBadFormat;  // the file shrank under us
    got += static_cast<std::size_t>(n);
  }
  return 0;
}

int TFaxFileReader::ReadHeader() {
  std::uint8_t raw[FaxHeaderSize];
  int rc = ReadAt(0, raw, sizeof raw);
  if (rc < 0) return rc;
  header_ = TFaxHeaderRec::Load(raw);
  if (!header_.HasSignature()) return ecFaxBadFormat;
  return 0;
}

int TFaxFileReader::SeekPage(unsigned page) {
  if (!IsOpen()) return ecNotOpenInput;
  if (page == 0 || page > header_.PageCount) return ecDiskRead;
  std::uint64_t at = header_.FirstPageOffset;
  unsigned p = 1;
  if (lastPage_ != 0 && lastPage_ <= page) {
    p = lastPage_;
    at = lastPageAt_;
  }
  std::uint8_t raw[PageHeaderSize];
  for (;; ++p) {
    int rc = ReadAt(at, raw, sizeof raw);
    if (rc < 0) return rc;
    pageHeader_ = TPageHeaderRec::Load(raw);
    if (p == page) break;
    at += PageHeaderSize + static_cast<std::uint64_t>(pageHeader_.ImageLength);
    if (at > size_) return ecFaxBadFormat;
  }
  lastPage_ = page;
  lastPageAt_ = at;
  at += PageHeaderSize;
  pos_ = at;
  pageLeft_ = pageHeader_.ImageLength;
  return 0;
}

int TFaxFileReader::CheckPages() {
  for (unsigned page = 1; page <= header_.PageCount; ++page) {
    if (int rc = SeekPage(page); rc < 0) return rc;
    if (pos_ > size_ || pageLeft_ > size_ - pos_) return ecFaxBadFormat;
    if ((pageHeader_.PageFlags & pfLineLengths) == 0) continue;
    while (pageLeft_ > 0) {
      std::uint32_t n = 0;
      if (int rc = RecordLength(n); rc < 0) return rc;
      pos_ += 2 + n;
      pageLeft_ -= 2 + n;
    }
  }
  return 0;
}

int TFaxFileReader::RecordLength(std::uint32_t& n) {
  if (pageLeft_ < 2) return ecFaxBadFormat;
  std::uint8_t raw[2];
  if (int rc = ReadAt(pos_, raw, 2); rc < 0) return rc;
  n = Get16(raw);
  if (n > static_cast<std::uint32_t>(MaxLineRecordLen) || n > pageLeft_ - 2) return ecFaxBadFormat;
  return 0;
}

int TFaxFileReader::ReadLineRecord(std::uint8_t* buffer, int& len) {
  len = 0;
  if (!IsOpen()) return ecNotOpenInput;
  if (pageLeft_ == 0) return 1;
  std::uint32_t n = 0;
  int rc = RecordLength(n);
  if (rc < 0) return rc;
  rc = ReadAt(pos_ + 2, buffer, n);
  if (rc < 0) return rc;
  pos_ += 2 + n;
  pageLeft_ -= 2 + n;
  len = static_cast<int>(n);
  return 0;
}

int TFaxFileReader::ReadPageData(std::uint8_t* buffer, int maxLen, int& len) {
  len = 0;
  if (!IsOpen()) return ecNotOpenInput;
  if (maxLen < 0) return ecBadArgument;
  std::uint32_t n =
      pageLeft_ < static_cast<std::uint32_t>(maxLen) ? pageLeft_ : static_cast<std::uint32_t>(maxLen);
  if (n == 0) return 0;
  int rc = ReadAt(pos_, buffer, n);
  if (rc < 0) return rc;
  pos_ += n;
  pageLeft_ -= n;
  len = static_cast<int>(n);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Output files put in place whole

int TReplaceFile::Create(const std::string& name) {
  Discard();
  if (name.empty()) return ecFileNotFound;
  // A name of our own beside the final one: created exclusively, with the permissions an
  // ordinary new file gets.
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = name + ".~" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      name_ = name;
      temp_ = std::move(temp);
      return 0;
    }
    if (errno != EEXIST) return fxfFileError(errno);
  }
  return fxfFileError(EEXIST);
}

int TReplaceFile::Write(const void* data, std::size_t len) {
  if (fd_ < 0) return ecNotOpenOutput;
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (len > 0) {
    const ssize_t n = ::write(fd_, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fxfFileError(errno);
    if (n == 0) return ecDiskFull;
    p += n;
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

int TReplaceFile::Commit() {
  if (fd_ < 0) return ecNotOpenOutput;
  int rc = 0;
  if (::close(fd_) < 0) rc = fxfFileError(errno);
  fd_ = -1;
  if (rc == 0 && ::rename(temp_.c_str(), name_.c_str()) < 0) rc = fxfFileError(errno);
  if (rc < 0) ::unlink(temp_.c_str());
  temp_.clear();
  return rc;
}

void TReplaceFile::Discard() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  ::unlink(temp_.c_str());
  temp_.clear();
}

// ---------------------------------------------------------------------------------------
// Writer of received files

TFaxFileWriter::~TFaxFileWriter() { Close(); }

int TFaxFileWriter::WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t len) {
  while (len > 0) {
    const ssize_t w = ::pwrite(fd_, data, len, static_cast<off_t>(offset));
    if (w < 0) {
      if (errno == EINTR) continue;
      return fxfFileError(errno);
    }
    if (w == 0) return ecDeviceWrite;
    data += w;
    len -= static_cast<std::size_t>(w);
    offset += static_cast<std::uint64_t>(w);
  }
  return 0;
}

int TFaxFileWriter::Create(const std::string& fileName, std::string_view stationID) {
  Close();
  if (fileName.empty()) return ecNoMoreFiles;
  const int fd = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fxfFileError(errno);
  fd_ = fd;
  name_ = fileName;
  header_ = TFaxHeaderRec{};
  header_.Signature = DefFXFSig;
  header_.FileDateTime = DosDateTimeNow();
  header_.SetStationID(stationID);
  header_.PageCount = 0;
  header_.FirstPageOffset = DefFirstPageOffset;
  std::uint8_t buf[FaxHeaderSize];
  header_.Store(buf);
  if (int r = WriteAt(0, buf, sizeof buf); r < 0) {
    Close();
    return r;
  }
  end_ = FaxHeaderSize;
  pageOpen_ = false;
  return 0;
}

int TFaxFileWriter::StartPage(std::uint16_t flags) {
  if (fd_ < 0) return ecNotOpenOutput;
  if (pageOpen_)
    if (int r = DropPage(); r < 0) return r;
  page_ = TPageHeaderRec{};
  page_.PageFlags = flags;
  std::uint8_t buf[PageHeaderSize];
  page_.Store(buf);
  if (int r = WriteAt(end_, buf, sizeof buf); r < 0) return r;
  pageAt_ = end_;
  end_ += PageHeaderSize;
  pageOpen_ = true;
  return 0;
}

int TFaxFileWriter::Write(const std::uint8_t* data, std::size_t len) {
  if (fd_ < 0 || !pageOpen_) return ecNotOpenOutput;
  if (len == 0) return 0;
  if (int r = WriteAt(end_, data, len); r < 0) return r;
  end_ += len;
  page_.ImageLength += static_cast<std::uint32_t>(len);
  return 0;
}

int TFaxFileWriter::FinishPage(std::string_view stationID) {
  if (fd_ < 0 || !pageOpen_) return ecNotOpenOutput;
  std::uint8_t pbuf[PageHeaderSize];
  page_.Store(pbuf);
  if (int r = WriteAt(pageAt_, pbuf, sizeof pbuf); r < 0) return r;
  pageOpen_ = false;
  ++header_.PageCount;
  header_.SetStationID(stationID);
  header_.FileDateTime = DosDateTimeNow();
  std::uint8_t hbuf[FaxHeaderSize];
  header_.Store(hbuf);
  return WriteAt(0, hbuf, sizeof hbuf);
}

int TFaxFileWriter::DropPage() {
  if (fd_ < 0) return ecNotOpenOutput;
  if (!pageOpen_) return 0;
  pageOpen_ = false;
  end_ = pageAt_;
  if (::ftruncate(fd_, static_cast<off_t>(pageAt_)) != 0) return fxfFileError(errno);
  return 0;
}

void TFaxFileWriter::Close() {
  if (fd_ >= 0 && pageOpen_) DropPage();  // a page never finished is not part of the file
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pageOpen_ = false;
}
