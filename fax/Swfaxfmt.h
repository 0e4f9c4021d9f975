#pragma once
// The fax file ("FXF"): a 64-byte file header, then the pages one after the other, each a
// 16-byte page header followed by ImageLength bytes of T.4 modified Huffman page data.
// All numbers are little-endian and unaligned; the records are stored and loaded field by
// field, never by copying the structures.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using TSigArray = std::array<char, 6>;
inline constexpr TSigArray DefFXFSig = {'F', 'X', 'F', '1', '0', '\x1A'};

inline constexpr std::size_t FaxHeaderSize = 64;
inline constexpr std::size_t PageHeaderSize = 16;
inline constexpr std::uint32_t DefFirstPageOffset = 64;
inline constexpr int MaxLineRecordLen = 4096;  // largest count of a line record
inline constexpr int StationIDLen = 20;

// PageFlags bits
inline constexpr std::uint16_t pfHighResolution = 1;  // fine vertical resolution
inline constexpr std::uint16_t pfWideLine = 2;        // 2048-pixel lines
inline constexpr std::uint16_t pfLineLengths = 4;     // page data is a sequence of line records

struct TFaxHeaderRec {
  TSigArray Signature{};
  std::uint32_t FileDateTime = 0;            // DOS packed date and time
  std::array<std::uint8_t, 21> StationID{};  // length byte, then 20 characters
  std::uint8_t Reserved1 = 0;
  std::uint16_t PageCount = 0;
  std::uint32_t FirstPageOffset = 0;
  std::array<std::uint8_t, 26> Reserved2{};

  bool HasSignature() const { return Signature == DefFXFSig; }
  // Stores at most 20 characters and pads the rest of the field with spaces.
  void SetStationID(std::string_view text);
  std::string GetStationID() const;

  void Store(std::uint8_t* out) const;  // 64 bytes
  static TFaxHeaderRec Load(const std::uint8_t* in);
};

struct TPageHeaderRec {
  std::uint32_t ImageLength = 0;
  std::uint16_t PageFlags = 0;
  std::array<std::uint8_t, 10> Reserved{};

  void Store(std::uint8_t* out) const;  // 16 bytes
  static TPageHeaderRec Load(const std::uint8_t* in);
};

// DOS packed date and time (low word time, high word date); 0 for a year outside 1980..2099.
std::uint32_t PackDosDateTime(int year, int month, int day, int hour, int minute, int second);
// The current local date and time, packed.
std::uint32_t DosDateTimeNow();

// True when the file can be opened and its first six bytes are the signature.
bool swIsAnFXFFile(const std::string& fileName);

// Reads the file header of FileName and checks its signature.
// -2 for an empty name, the negated I/O code when it cannot be read, -8001 when the
// signature differs or the file is shorter than a header.
int fxfReadFaxHeader(const std::string& fileName, TFaxHeaderRec& header);
// Reads the header of page Page (from 1) by walking the page headers. Page 0 succeeds and
// reads nothing; a page above PageCount, or a page chain that leaves the file, is -8001.
int fxfReadPageHeader(const std::string& fileName, unsigned page, TPageHeaderRec& pageHeader);

// Sequential reader of a fax file, from a file or from bytes in memory. Every structural
// fault (short header, wrong signature, a page chain or a line record that runs past the
// end of the file or of its page, a record longer than 4096 bytes) is -8001; nothing is
// read past what the file holds.
class TFaxFileReader {
 public:
  TFaxFileReader() = default;
  ~TFaxFileReader();
  TFaxFileReader(const TFaxFileReader&) = delete;
  TFaxFileReader& operator=(const TFaxFileReader&) = delete;

  // Opens the file and reads and checks its header.
  int Open(const std::string& fileName);
  // Uses the given bytes (not copied: they must outlive the reader) as the file.
  int OpenMemory(std::span<const std::uint8_t> bytes);
  void Close();
  bool IsOpen() const { return fd_ >= 0 || mem_ != nullptr; }

  const TFaxHeaderRec& Header() const { return header_; }
  const TPageHeaderRec& PageHeader() const { return pageHeader_; }
  std::uint64_t FileSize() const { return size_; }

  // Positions on page Page (1 .. PageCount) and reads its page header; the page data follow.
  // Page 0 or above PageCount: -100 (read beyond end of file).
  int SeekPage(unsigned page);
  // Walks every page that the header counts, and every line record of the pages that have
  // them, without reading any code: -8001 when a page or a record is missing, cut short or
  // runs past its page (the faults that reading the pages in order would meet), else 0.
  int CheckPages();
  // Next line record of the current page (pfLineLengths set): Len bytes into Buffer (room
  // for 4096). Returns 0 with Len set, 1 when the page's data are used up, or an error.
  int ReadLineRecord(std::uint8_t* buffer, int& len);
  // Next block of raw page data (pfLineLengths clear): up to MaxLen bytes; Len 0 at the
  // end of the page. Page data that end early in the file are -8001.
  int ReadPageData(std::uint8_t* buffer, int maxLen, int& len);
  // Page data bytes of the current page not yet read.
  std::uint32_t PageBytesLeft() const { return pageLeft_; }

 private:
  int ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t count);
  int ReadHeader();
  // The count of the line record at the read position, checked against the page.
  int RecordLength(std::uint32_t& n);

  int fd_ = -1;
  const std::uint8_t* mem_ = nullptr;
  std::uint64_t size_ = 0;
  TFaxHeaderRec header_;
  TPageHeaderRec pageHeader_;
  std::uint64_t pos_ = 0;       // read position of the current page's data
  std::uint32_t pageLeft_ = 0;  // bytes of the current page still to read
  // The last page found and the offset of its header: a later page is looked for from
  // there, so that reading the pages in order walks the file once.
  unsigned lastPage_ = 0;
  std::uint64_t lastPageAt_ = 0;
};

// Writer of a received fax file: a header, then pages of raw T.4 code (no line records).
// The header on disk always holds a page count that matches the finished pages, so that a
// file left by an interrupted receive can be read page by page.
class TFaxFileWriter {
 public:
  TFaxFileWriter() = default;
  ~TFaxFileWriter();
  TFaxFileWriter(const TFaxFileWriter&) = delete;
  TFaxFileWriter& operator=(const TFaxFileWriter&) = delete;

  // Creates the file (an existing one is replaced) and writes the header: signature, the
  // current date and time, the station text, no pages, first page at 64.
  int Create(const std::string& fileName, std::string_view stationID);
  bool IsOpen() const { return fd_ >= 0; }
  bool PageOpen() const { return pageOpen_; }
  const std::string& FileName() const { return name_; }
  const TFaxHeaderRec& Header() const { return header_; }
  // Bytes of page data of the open page written so far.
  std::uint32_t PageLength() const { return page_.ImageLength; }

  // Starts a page at the end of the file: a zeroed page header with the flags.
  int StartPage(std::uint16_t flags);
  // Appends page data; a short write is -160.
  int Write(const std::uint8_t* data, std::size_t len);
  // Finishes the open page: the page header gets its length; the file header one page more,
  // the station text and the current date and time.
  int FinishPage(std::string_view stationID);
  // Drops the open page: the file is cut where its page header began.
  int DropPage();
  void Close();

 private:
  int WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t len);

  int fd_ = -1;
  std::string name_;
  TFaxHeaderRec header_;
  TPageHeaderRec page_;
  bool pageOpen_ = false;
  std::uint64_t pageAt_ = 0;  // offset of the open page's header
  std::uint64_t end_ = 0;     // end of the data written
};

// Library code (negative) for an operating-system file error number.
int fxfFileError(int err);

// An output file written under a temporary name beside its final name and put in place
// whole by Commit. Until then an existing file of the final name stays as it was; a file
// given up (Discard, or destroyed without Commit) leaves nothing behind.
class TReplaceFile {
 public:
  TReplaceFile() = default;
  ~TReplaceFile() { Discard(); }
  TReplaceFile(const TReplaceFile&) = delete;
  TReplaceFile& operator=(const TReplaceFile&) = delete;

  // 0, or the negated I/O code when the file cannot be made in the final name's folder.
  int Create(const std::string& name);
  int Fd() const { return fd_; }
  // Writes all of the bytes at the current position: 0 or an error.
  int Write(const void* data, std::size_t len);
  // Closes the file and gives it its final name: 0 or an error (the file is then gone).
  int Commit();
  void Discard();

 private:
  int fd_ = -1;
  std::string name_, temp_;
};
