// Fax unpacker: T.4 modified Huffman decoder over prebuilt decode trees, blank-line
// compression, resolution adjustment and memory bitmaps.
#include "fax/Swunpack.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "fax/T4Codes.h"
#include "platform/Messages.h"
#include "serial/SioMisc.h"
#include "serial/Sioexcept.h"

namespace {

using t4::BlackMakeUp;
using t4::BlackTerm;
using t4::TCode;
using t4::WhiteMakeUp;
using t4::WhiteTerm;

constexpr int LeafCode = -1;
constexpr int LeafEOL = -2;
constexpr int MaxCodeBits = 13;

// Builds the decode tree of one colour: every bit string up to 13 bits, depth first, 0
// before 1. Codes become leaves; strings of up to 12 bits that are no code get two
// children; a 13-bit string that is no code is a node without children.
class TTreeBuilder {
 public:
  TTreeBuilder(TTreeArray& tree, const TCode* term, const TCode* makeUp)
      : tree_(tree), term_(term), makeUp_(makeUp) {}
  void Build() {
    Visit(0, 0);
    // Fill bits: any number of zeros may come before the 1 that ends an EOL (the converter
    // puts four in front of every line). From eleven zeros on the walk stays on the node of
    // eleven zeros, so that the following 1 bit is the EOL and not a bad code that would
    // lose the line's alignment.
    int n = 0;
    for (int i = 0; i < 11; ++i) n = tree_[n].Next0;
    tree_[n].Next0 = n;
  }

 private:
  int Match(std::uint32_t bits, int len, int& run) const {
    for (int i = 0; i < 64; ++i)
      if (term_[i].Len == len && term_[i].Code == bits) {
        run = i;
        return LeafCode;
      }
    for (int i = 0; i < 40; ++i)
      if (makeUp_[i].Len == len && makeUp_[i].Code == bits) {
        run = 64 * (i + 1);
        return LeafCode;
      }
    if (len == 12 && bits == 1) return LeafEOL;
    return 0;
  }
  int NewNode(std::int32_t a, std::int32_t b) {
    const int n = count_++;
    if (n < MaxTreeNodes) tree_[n] = {a, b};
    return n;
  }
  int Visit(std::uint32_t bits, int len) {
    int run = 0;
    const int kind = len > 0 ? Match(bits, len, run) : 0;
    if (kind == LeafCode) return NewNode(LeafCode, run);
    if (kind == LeafEOL) return NewNode(LeafEOL, 0);
    if (len == MaxCodeBits) return NewNode(0, 0);
    const int n = NewNode(0, 0);
    const int zero = Visit(bits << 1, len + 1);
    const int one = Visit((bits << 1) | 1, len + 1);
    if (n < MaxTreeNodes) tree_[n] = {zero < MaxTreeNodes ? zero : 0, one < MaxTreeNodes ? one : 0};
    return n;
  }
  TTreeArray& tree_;
  const TCode* term_;
  const TCode* makeUp_;
  int count_ = 0;
};

struct TByteTable {
  std::uint8_t v[256];
};

// Each pair of neighbouring pixels of a byte as one pixel (black when either is): 4 bits.
constexpr TByteTable MakeHalfTable() {
  TByteTable t{};
  for (int i = 0; i < 256; ++i) {
    int r = 0;
    for (int k = 0; k < 4; ++k)
      if ((i >> (2 * k)) & 3) r |= 1 << k;
    t.v[i] = static_cast<std::uint8_t>(r);
  }
  return t;
}
constexpr TByteTable HalfTable = MakeHalfTable();

constexpr int LineRoom = MaxUnpackLineBytes + 8;  // the line buffer and room behind it

bool AllZero(const std::uint8_t* p, int len) {
  for (int i = 0; i < len; ++i)
    if (p[i]) return false;
  return true;
}

bool IsScaled(const TUnpackFax* up) {
  const TScaleSettings& s = up->Scale;
  return s.HMult != s.HDiv || s.VMult != s.VDiv;
}

int YieldOnce() { return (SafeYield() & 0xFFFF) == WM_QUIT ? ecGotQuitMsg : 0; }

// ---------------------------------------------------------------------------------------
// Delivering lines

// Hands one decoded line to the output function: resolution adjustment, then inversion.
int PutLine(TUnpackFax* up, const std::uint8_t* line, int len) {
  std::uint8_t* out = up->OutBuffer.get();
  const bool normalRes = (up->PageHeader.PageFlags & pfHighResolution) == 0;
  int times = 1;
  if (normalRes && (up->Flags & ufDoubleHeight)) {
    times = 2;
  } else if (normalRes && (up->Flags & ufHalfWidth)) {
    const int half = len / 2;
    for (int i = 0; i < half; ++i)
      out[i] = static_cast<std::uint8_t>((HalfTable.v[line[2 * i]] << 4) | HalfTable.v[line[2 * i + 1]]);
    if (len & 1) out[half] = static_cast<std::uint8_t>(HalfTable.v[line[len - 1]] << 4);
    len = (len + 1) / 2;
    line = out;
  }
  if (line != out) std::memcpy(out, line, static_cast<std::size_t>(len));
  if (up->Inverted)
    for (int i = 0; i < len; ++i) out[i] = static_cast<std::uint8_t>(~out[i]);
  for (int t = 0; t < times; ++t) {
    if (!up->OutputLine) return ecBadArgument;
    const int rc = up->OutputLine(up, 0, out, len, up->CurrPage);
    if (rc < 0) return rc;
    ++up->LinesDelivered;
  }
  return 0;
}

bool CompressionOn(const TUnpackFax* up) { return up->WSFrom != 0 && up->WSTo != 0; }

int FlushBlankLines(TUnpackFax* up) {
  const int n = up->BlankPending >= up->WSFrom ? up->WSTo : up->BlankPending;
  up->BlankPending = 0;
  const std::uint8_t* blank = up->BlankRow.get();
  for (int i = 0; i < n; ++i) {
    const int rc = PutLine(up, blank, up->PendingLen);
    if (rc < 0) return rc;
  }
  return 0;
}

int DeliverLine(TUnpackFax* up, const std::uint8_t* line, int len) {
  if (CompressionOn(up)) {
    if (AllZero(line, len)) {
      ++up->BlankPending;
      up->PendingLen = len;
      return 0;
    }
    if (up->BlankPending) {
      const int rc = FlushBlankLines(up);
      if (rc < 0) return rc;
    }
  }
  return PutLine(up, line, len);
}

int EndPageBlankLines(TUnpackFax* up) {
  if (!CompressionOn(up) || up->BlankPending == 0) return 0;
  if (up->WSFrom == up->WSTo) {
    up->BlankPending = 0;
    return 0;
  }
  return FlushBlankLines(up);
}

// ---------------------------------------------------------------------------------------
// Decoding

// Outcome of walking a tree from its root with 13 bits: the bits used and the leaf
// reached (Kind LeafCode with the run, LeafEOL, or 0 for a bit string that is no code);
// Kind 1 when the walk is still inside the tree (on the fill-zero node, Value).
struct TFastEntry {
  std::int16_t Value;
  std::int8_t Kind;
  std::uint8_t Len;
};
constexpr int FastBits = MaxCodeBits;
constexpr std::uint64_t FastMask = (1u << FastBits) - 1;

struct TFastTables {
  TFastEntry White[1 << FastBits];
  TFastEntry Black[1 << FastBits];
};

void BuildFast(const TTreeArray& tree, TFastEntry* table) {
  for (unsigned v = 0; v < (1u << FastBits); ++v) {
    int node = 0;
    TFastEntry e{0, 1, FastBits};
    for (int d = 1; d <= FastBits; ++d) {
      node = ((v >> (d - 1)) & 1) ? tree[node].Next1 : tree[node].Next0;
      const TTreeNode& n = tree[node];
      if (n.Next0 > 0) continue;
      e = {static_cast<std::int16_t>(n.Next0 == LeafCode ? n.Next1 : 0), static_cast<std::int8_t>(n.Next0),
           static_cast<std::uint8_t>(d)};
      node = -1;
      break;
    }
    if (node >= 0) e.Value = static_cast<std::int16_t>(node);
    table[v] = e;
  }
}

const TFastTables& FastTables() {
  static const TFastTables* tables = [] {
    auto* t = new TFastTables;
    auto white = std::make_unique<TTreeArray[]>(1), black = std::make_unique<TTreeArray[]>(1);
    std::memset(white.get(), 0, sizeof(TTreeArray));
    std::memset(black.get(), 0, sizeof(TTreeArray));
    TTreeBuilder(white[0], WhiteTerm, WhiteMakeUp).Build();
    TTreeBuilder(black[0], BlackTerm, BlackMakeUp).Build();
    BuildFast(white[0], t->White);
    BuildFast(black[0], t->Black);
    return t;
  }();
  return *tables;
}

// Decoder state of one page.
struct TDecoder {
  TUnpackFax* Up;
  const TTreeNode* White;
  const TTreeNode* Black;
  const TTreeNode* Tree;
  int Node = 0;
  bool Resync = false;
  bool Accepting = false;  // codes count only after the first EOL
  bool Black_ = false;
  int Eols = 0;

  explicit TDecoder(TUnpackFax* up)
      : Up(up), White(*up->WhiteTree), Black(*up->BlackTree), Tree(*up->WhiteTree) {}

  void ClearLine() {
    const int used = std::min((Up->LineBitOfs >> 3) + 2, LineRoom);
    std::memset(Up->LineBuffer.get(), 0, static_cast<std::size_t>(used));
    Up->LineBitOfs = 0;
  }

  void AddRun(int run) {
    int pos = Up->LineBitOfs;
    if ((pos >> 3) + run / 8 >= MaxUnpackLineBytes) return;
    if (Black_ && run > 0) {
      std::uint8_t* line = Up->LineBuffer.get();
      int end = pos + run;
      while (pos < end && (pos & 7)) {
        line[pos >> 3] |= static_cast<std::uint8_t>(0x80 >> (pos & 7));
        ++pos;
      }
      if (end - pos >= 8) {
        std::memset(line + (pos >> 3), 0xFF, static_cast<std::size_t>((end - pos) >> 3));
        pos += (end - pos) & ~7;
      }
      while (pos < end) {
        line[pos >> 3] |= static_cast<std::uint8_t>(0x80 >> (pos & 7));
        ++pos;
      }
    }
    Up->LineBitOfs += run;
  }

  // A leaf reached: a run (codes count only after the first EOL), the EOL or a bit string
  // that is no code. Returns 0 or an error.
  int Leaf(int kind, int run) {
    if (kind == LeafCode) {
      if (Accepting) {
        AddRun(run);
        if (run < 64) {
          Black_ = !Black_;
          Tree = Black_ ? Black : White;
        }
        Eols = 0;
      }
    } else if (kind == LeafEOL) {
      const int bytePos = Up->LineBitOfs >> 3;
      if (Up->LineBitOfs > 0 && (bytePos == 216 || bytePos == 256)) {
        int rc = DeliverLine(Up, Up->LineBuffer.get(), bytePos);
        if (rc < 0) return rc;
        if ((Up->Flags & ufYield) && Up->LinesDelivered % 16 == 0 && Up->LinesDelivered != Up->LastYieldAt) {
          Up->LastYieldAt = Up->LinesDelivered;
          rc = YieldOnce();
          if (rc < 0) return rc;
        }
      }
      ClearLine();
      Black_ = false;
      Tree = White;
      ++Eols;
      Accepting = true;
    } else {
      ++Up->BadCodes;
      Resync = true;
    }
    return 0;
  }

  // Decodes the bits of Count bytes, least significant bit of each byte first; Done is set
  // when the page ends (third EOL in a row). Returns 0 or an error (-8004 on an abort).
  //
  // From the root of a tree the next 13 bits are looked up in a table that holds the
  // outcome of walking the tree with them; elsewhere (and for the last bits of the data)
  // the tree is walked bit by bit. Both give the same result.
  int Feed(const std::uint8_t* data, int count, bool& done) {
    const TFastEntry* const fast[2] = {FastTables().White, FastTables().Black};
    std::uint64_t acc = 0;
    int nbits = 0, i = 0;
    if (Up->Flags & ufAbort) return ecUnpackAbort;
    for (;;) {
      while (nbits <= 56 && i < count) {
        acc |= static_cast<std::uint64_t>(data[i++]) << nbits;
        nbits += 8;
      }
      if (nbits == 0) break;
      if (Resync) {
        // Skip 1 bits; a 0 bit ends the resynchronisation and starts the next code.
        const std::uint64_t zeros =
            ~acc & (nbits == 64 ? ~std::uint64_t(0) : ((std::uint64_t(1) << nbits) - 1));
        if (zeros == 0) {
          acc = 0;
          nbits = 0;
          continue;
        }
        const int ones = __builtin_ctzll(zeros);
        acc >>= ones;
        nbits -= ones;
        Resync = false;
      }
      int kind, run;
      if (Node == 0 && nbits >= FastBits) {
        const TFastEntry e = fast[Black_ ? 1 : 0][acc & FastMask];
        acc >>= e.Len;
        nbits -= e.Len;
        if (e.Kind > 0) {  // still inside the tree (a run of fill zeros)
          Node = e.Value;
          continue;
        }
        kind = e.Kind;
        run = e.Value;
      } else {
        const unsigned bit = static_cast<unsigned>(acc & 1);
        acc >>= 1;
        --nbits;
        Node = bit ? Tree[Node].Next1 : Tree[Node].Next0;
        const TTreeNode& n = Tree[Node];
        if (n.Next0 > 0) continue;  // inner node
        Node = 0;
        kind = n.Next0;
        run = n.Next1;
      }
      const int rc = Leaf(kind, run);
      if (rc < 0) return rc;
      if (Up->Flags & ufAbort) return ecUnpackAbort;
      if (Eols >= 3) {
        done = true;
        return 0;
      }
    }
    return 0;
  }
};

void ReportStatus(TUnpackFax* up) {
  if (!up->Status) return;
  const std::int64_t done = std::min(up->BytesRead, up->BytesTotal);
  up->Status(up, up->FileName, up->CurrPage,
             static_cast<std::int32_t>(std::min<std::int64_t>(done, INT32_MAX)),
             static_cast<std::int32_t>(std::min<std::int64_t>(up->BytesTotal, INT32_MAX)));
}

// Decodes page Page of the open file to the output function (no start or end notice).
int DecodePage(TUnpackFax* up, TFaxFileReader& reader, unsigned page) {
  if (page == 0 || page > reader.Header().PageCount) return ecFaxBadFormat;
  int rc = reader.SeekPage(page);
  if (rc < 0) return rc == ecDiskRead ? ecFaxBadFormat : rc;
  up->PageHeader = reader.PageHeader();
  up->CurrPage = static_cast<int>(page);
  up->LinesDelivered = 0;
  up->LastYieldAt = -1;
  up->BlankPending = 0;
  std::memset(up->LineBuffer.get(), 0, LineRoom);
  up->LineBitOfs = 0;

  TDecoder dec(up);
  const bool records = (up->PageHeader.PageFlags & pfLineLengths) != 0;
  std::uint8_t* buf = up->DataBuffer.get();
  std::uint32_t recordLeft = 0;  // code bytes of the current line record still to come
  bool done = false;
  while (!done && reader.PageBytesLeft() > 0) {
    int len = 0;
    rc = reader.ReadPageData(buf, UnpackDataBufferSize, len);
    if (rc < 0) return rc;
    if (len == 0) return ecFaxBadFormat;
    up->BytesRead += len;
    if (!records) {
      rc = dec.Feed(buf, len, done);
    } else {
      // Line records: a 16-bit count, then that many bytes of code; the counts are not code.
      int at = 0;
      while (at < len && !done && rc == 0) {
        if (recordLeft == 0) {
          // The count may straddle two blocks.
          std::uint8_t lo = buf[at++];
          std::uint8_t hi;
          if (at < len) {
            hi = buf[at++];
          } else {
            int n = 0;
            rc = reader.ReadPageData(&hi, 1, n);
            if (rc < 0) return rc;
            if (n != 1) return ecFaxBadFormat;
            up->BytesRead += 1;
          }
          recordLeft = static_cast<std::uint32_t>(lo | (hi << 8));
          if (recordLeft > static_cast<std::uint32_t>(MaxLineRecordLen) ||
              recordLeft > static_cast<std::uint32_t>(len - at) + reader.PageBytesLeft())
            return ecFaxBadFormat;
          continue;
        }
        const int n =
            static_cast<int>(std::min<std::uint32_t>(recordLeft, static_cast<std::uint32_t>(len - at)));
        rc = dec.Feed(buf + at, n, done);
        at += n;
        recordLeft -= static_cast<std::uint32_t>(n);
      }
    }
    if (rc < 0) return rc;
    ReportStatus(up);
  }
  if (records && recordLeft != 0 && !done) return ecFaxBadFormat;
  return EndPageBlankLines(up);
}

int OpenFaxFile(TUnpackFax* up, const std::string& fileName, TFaxFileReader& reader) {
  if (fileName.empty()) return ecFileNotFound;
  const int rc = reader.Open(fileName);
  if (rc < 0) return rc;
  up->FaxHeader = reader.Header();
  up->FileName = fileName;
  return 0;
}

// Sum of the page lengths of the whole file; a page chain that leaves the file is -8001.
int TotalLength(TFaxFileReader& reader, std::int64_t& total) {
  total = 0;
  for (unsigned p = 1; p <= reader.Header().PageCount; ++p) {
    const int rc = reader.SeekPage(p);
    if (rc < 0) return rc == ecDiskRead ? ecFaxBadFormat : rc;
    total += reader.PageHeader().ImageLength;
  }
  return 0;
}

int Notice(TUnpackFax* up, std::uint16_t flags, int page) {
  if (!up->OutputLine) return ecBadArgument;
  return up->OutputLine(up, flags, nullptr, 0, page);
}

// Decodes unscaled: one page (Page > 0) or the whole file (Page 0), with start and end
// notices around it.
int UnpackPlain(TUnpackFax* up, const std::string& fileName, unsigned page) {
  TFaxFileReader reader;
  int rc = OpenFaxFile(up, fileName, reader);
  if (rc < 0) return rc;
  up->BytesRead = 0;
  if (page > 0) {
    if (page > reader.Header().PageCount) return ecFaxBadFormat;
    rc = reader.SeekPage(page);
    if (rc < 0) return rc == ecDiskRead ? ecFaxBadFormat : rc;
    up->BytesTotal = reader.PageHeader().ImageLength;
  } else {
    rc = TotalLength(reader, up->BytesTotal);
    if (rc < 0) return rc;
  }
  rc = Notice(up, ufStarting, static_cast<int>(page > 0 ? page : 1));
  if (rc < 0) return rc;
  if (page > 0) {
    rc = DecodePage(up, reader, page);
  } else {
    for (unsigned p = 1; p <= reader.Header().PageCount && rc == 0; ++p) rc = DecodePage(up, reader, p);
  }
  if (rc < 0) return rc;
  return Notice(up, ufEnding, up->CurrPage);
}

// Decodes into the memory bitmap, with the unpacker's scaling applied to the result.
int UnpackToBitmap(TUnpackFax* up, const std::string& fileName, unsigned page, bool invert,
                   std::unique_ptr<TBitmapImage>& result) {
  result.reset();
  up->SaveOutput = up->OutputLine;
  const bool saveInvert = up->Inverted;
  up->OutputLine = upPutMemoryBitmapLine;
  up->Inverted = invert;
  int rc = UnpackPlain(up, fileName, page);
  up->OutputLine = up->SaveOutput;
  up->Inverted = saveInvert;
  up->MemBlock.clear();
  up->MemBlock.shrink_to_fit();
  if (rc < 0) {
    up->MemBitmap.reset();
    return rc;
  }
  result = std::move(up->MemBitmap);
  return 0;
}

int ToDesc(std::unique_ptr<TBitmapImage> bmp, TMemoryBitmapDesc& desc) {
  desc = TMemoryBitmapDesc{};
  if (bmp && bmp->Width > 0 && bmp->Height > 0) {
    desc.Width = bmp->Width;
    desc.Height = bmp->Height;
    desc.Bitmap = std::move(bmp);
  }
  return 0;
}

// Delivers the rows of a scaled picture to the output function.
int DeliverRows(TUnpackFax* up, const TBitmapImage& image, int page) {
  int rc = Notice(up, ufStarting, page);
  for (int y = 0; y < image.Height && rc == 0; ++y) {
    rc = up->OutputLine(up, 0, image.Row(y), image.BytesPerRow, page);
    if (rc == 0) ++up->LinesDelivered;
  }
  if (rc < 0) return rc;
  return Notice(up, ufEnding, page);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Set-up

int upInitFaxUnpacker(TUnpackFax*& up, void* userData, TUnpackLineCallback output) {
  up = nullptr;
  auto* u = new (std::nothrow) TUnpackFax;
  if (!u) return ecOutOfMemory;
  u->WhiteTree.reset(new (std::nothrow) TTreeArray[1]);
  u->BlackTree.reset(new (std::nothrow) TTreeArray[1]);
  u->LineBuffer.reset(new (std::nothrow) std::uint8_t[LineRoom]());
  u->BlankRow.reset(new (std::nothrow) std::uint8_t[UnpackRowPitch]());
  u->DataBuffer.reset(new (std::nothrow) std::uint8_t[UnpackDataBufferSize]());
  u->OutBuffer.reset(new (std::nothrow) std::uint8_t[LineRoom]());
  if (!u->WhiteTree || !u->BlackTree || !u->LineBuffer || !u->BlankRow || !u->DataBuffer || !u->OutBuffer) {
    delete u;
    return ecOutOfMemory;
  }
  std::memset(*u->WhiteTree, 0, sizeof(TTreeArray));
  std::memset(*u->BlackTree, 0, sizeof(TTreeArray));
  TTreeBuilder(*u->WhiteTree, WhiteTerm, WhiteMakeUp).Build();
  TTreeBuilder(*u->BlackTree, BlackTerm, BlackMakeUp).Build();
  u->UserData = userData;
  u->OutputLine = output;
  up = u;
  return 0;
}

void upDoneFaxUnpacker(TUnpackFax*& up) {
  delete up;
  up = nullptr;
}

void upOptionsOn(TUnpackFax* up, std::uint16_t options) {
  if ((options & ufDoubleHeight) && (options & ufHalfWidth)) return;
  if (options & ufDoubleHeight) up->Flags &= static_cast<std::uint16_t>(~ufHalfWidth);
  if (options & ufHalfWidth) up->Flags &= static_cast<std::uint16_t>(~ufDoubleHeight);
  up->Flags |= options;
}

void upOptionsOff(TUnpackFax* up, std::uint16_t options) {
  up->Flags &= static_cast<std::uint16_t>(~options);
}
bool upOptionsAreOn(TUnpackFax* up, std::uint16_t options) { return (up->Flags & options) == options; }
void upSetStatusCallback(TUnpackFax* up, TUnpackStatusCallback callback) { up->Status = callback; }

int upSetWhitespaceCompression(TUnpackFax* up, int from, int to) {
  if (from < to || (from == 0 && to != 0) || to < 0) return ecBadArgument;
  up->WSFrom = from;
  up->WSTo = to;
  return 0;
}

int upSetScaling(TUnpackFax* up, int hMult, int hDiv, int vMult, int vDiv) {
  if (hMult <= 0 || hDiv <= 0 || vMult <= 0 || vDiv <= 0) return ecBadArgument;
  up->Scale = {hMult, hDiv, vMult, vDiv};
  return 0;
}

int upGetFaxHeader(TUnpackFax* up, const std::string& fileName, TFaxHeaderRec& header) {
  const int rc = fxfReadFaxHeader(fileName, header);
  if (rc == 0) up->FaxHeader = header;
  return rc;
}

int upGetPageHeader(TUnpackFax* up, const std::string& fileName, unsigned page, TPageHeaderRec& pageHeader) {
  const int rc = fxfReadPageHeader(fileName, page, pageHeader);
  if (rc == 0 && page > 0) up->PageHeader = pageHeader;
  return rc;
}

// ---------------------------------------------------------------------------------------
// Unpacking

int upUnpackPage(TUnpackFax* up, const std::string& fileName, unsigned page) {
  if (!IsScaled(up)) return UnpackPlain(up, fileName, page == 0 ? ~0u : page);
  TBitmapImage image;
  int rc = upUnpackPageToBuffer(up, fileName, page, image);
  if (rc < 0) return rc;
  return DeliverRows(up, image, static_cast<int>(page));
}

int upUnpackFile(TUnpackFax* up, const std::string& fileName) {
  if (!IsScaled(up)) return UnpackPlain(up, fileName, 0);
  TBitmapImage image;
  int rc = upUnpackFileToBuffer(up, fileName, image);
  if (rc < 0) return rc;
  return DeliverRows(up, image, up->CurrPage);
}

int upUnpackPageToBitmap(TUnpackFax* up, const std::string& fileName, unsigned page, bool invert,
                         TMemoryBitmapDesc& desc) {
  desc = TMemoryBitmapDesc{};
  up->ToBuffer = false;
  std::unique_ptr<TBitmapImage> bmp;
  const int rc = UnpackToBitmap(up, fileName, page == 0 ? ~0u : page, invert, bmp);
  if (rc < 0) return rc;
  return ToDesc(std::move(bmp), desc);
}

int upUnpackFileToBitmap(TUnpackFax* up, const std::string& fileName, TMemoryBitmapDesc& desc, bool invert) {
  desc = TMemoryBitmapDesc{};
  up->ToBuffer = false;
  std::unique_ptr<TBitmapImage> bmp;
  const int rc = UnpackToBitmap(up, fileName, 0, invert, bmp);
  if (rc < 0) return rc;
  return ToDesc(std::move(bmp), desc);
}

int upUnpackPageToBuffer(TUnpackFax* up, const std::string& fileName, unsigned page, TBitmapImage& image) {
  image = TBitmapImage{};
  up->ToBuffer = true;
  std::unique_ptr<TBitmapImage> bmp;
  const int rc = UnpackToBitmap(up, fileName, page == 0 ? ~0u : page, false, bmp);
  up->ToBuffer = false;
  if (rc < 0) return rc;
  if (bmp) image = std::move(*bmp);
  return 0;
}

int upUnpackFileToBuffer(TUnpackFax* up, const std::string& fileName, TBitmapImage& image) {
  image = TBitmapImage{};
  up->ToBuffer = true;
  std::unique_ptr<TBitmapImage> bmp;
  const int rc = UnpackToBitmap(up, fileName, 0, false, bmp);
  up->ToBuffer = false;
  if (rc < 0) return rc;
  if (bmp) image = std::move(*bmp);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Memory bitmap

namespace {

constexpr std::int64_t MaxBitmapBytes = std::int64_t(1) << 30;

// Stretches a monochrome bitmap by copying the nearest source pixel.
int Stretch(const TBitmapImage& src, int width, int height, std::unique_ptr<TBitmapImage>& dst) {
  if (width <= 0 || height <= 0) {
    dst.reset();
    return 0;
  }
  if (static_cast<std::int64_t>(TBitmapImage::RowBytes(width, 1)) * height > MaxBitmapBytes)
    return ecCantMakeBitmap;
  auto out = std::make_unique<TBitmapImage>();
  if (!out->Allocate(width, height, 1)) return ecCantMakeBitmap;
  std::vector<int> srcX(static_cast<std::size_t>(width));
  for (int x = 0; x < width; ++x)
    srcX[static_cast<std::size_t>(x)] = static_cast<int>(static_cast<std::int64_t>(x) * src.Width / width);
  for (int y = 0; y < height; ++y) {
    const int sy = static_cast<int>(static_cast<std::int64_t>(y) * src.Height / height);
    const std::uint8_t* s = src.Row(sy);
    std::uint8_t* d = out->Row(y);
    for (int x = 0; x < width; ++x) {
      const int sx = srcX[static_cast<std::size_t>(x)];
      if ((s[sx >> 3] >> (7 - (sx & 7))) & 1) d[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
    }
  }
  dst = std::move(out);
  return 0;
}

int FinishMemoryBitmap(TUnpackFax* up) {
  up->MemBitmap.reset();
  if (up->MemRows == 0) return 0;
  const int pitch = (up->MemWidthBytes + 1) & ~1;
  const std::uint8_t white = up->Inverted ? 0xFF : 0x00;
  auto bmp = std::make_unique<TBitmapImage>();
  if (!bmp->Allocate(pitch * 8, up->MemRows, 1)) return ecCantMakeBitmap;
  for (int y = 0; y < up->MemRows; ++y) {
    std::uint8_t* d = bmp->Row(y);
    std::memcpy(d, up->MemBlock.data() + static_cast<std::size_t>(y) * UnpackRowPitch,
                static_cast<std::size_t>(up->MemWidthBytes));
    if (pitch > up->MemWidthBytes) d[pitch - 1] = white;
  }
  up->MemBlock.clear();
  up->MemBlock.shrink_to_fit();
  if (IsScaled(up)) {
    const TScaleSettings& s = up->Scale;
    const std::int64_t w = static_cast<std::int64_t>(bmp->Width) * s.HMult / s.HDiv;
    const std::int64_t h = static_cast<std::int64_t>(bmp->Height) * s.VMult / s.VDiv;
    if (w > INT32_MAX / 2 || h > INT32_MAX / 2) return ecCantMakeBitmap;
    std::unique_ptr<TBitmapImage> scaled;
    const int rc = Stretch(*bmp, static_cast<int>(w), static_cast<int>(h), scaled);
    if (rc < 0) return rc;
    if (scaled && up->Inverted) {
      // Pixels beyond the stretched width are white, as the rest of the bitmap's padding.
      for (int y = 0; y < scaled->Height; ++y) {
        std::uint8_t* row = scaled->Row(y);
        for (int x = scaled->Width; x < scaled->BytesPerRow * 8; ++x)
          row[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
      }
    }
    bmp = std::move(scaled);
  }
  up->MemBitmap = std::move(bmp);
  return 0;
}

}  // namespace

int upPutMemoryBitmapLine(TUnpackFax* up, std::uint16_t flags, const std::uint8_t* data, int len,
                          int /*page*/) {
  const std::uint8_t white = up->Inverted ? 0xFF : 0x00;
  if (flags & ufStarting) {
    up->MemRows = 0;
    up->MemWidthBytes = 1;
    up->MemBitmap.reset();
    up->MemBlock.clear();
    try {
      up->MemBlock.assign(static_cast<std::size_t>(UnpackRowPitch) * UnpackGrowRows, white);
    } catch (const std::bad_alloc&) {
      return ecOutOfMemory;
    }
    up->MemBlocksAllocated = 1;
    return 0;
  }
  if (flags & ufEnding) return FinishMemoryBitmap(up);

  if (up->MemBlocksAllocated == 0) return ecBadArgument;  // no start notice
  if (up->MemRows >= up->MemBlocksAllocated * UnpackGrowRows) {
    if (static_cast<std::int64_t>(up->MemBlocksAllocated + 1) * UnpackGrowRows * UnpackRowPitch >
        MaxBitmapBytes) {
      up->MemBlock.clear();
      up->MemBlock.shrink_to_fit();
      return ecOutOfMemory;
    }
    try {
      up->MemBlock.resize(
          static_cast<std::size_t>(up->MemBlocksAllocated + 1) * UnpackGrowRows * UnpackRowPitch, white);
    } catch (const std::bad_alloc&) {
      up->MemBlock.clear();
      up->MemBlock.shrink_to_fit();
      return ecOutOfMemory;
    }
    ++up->MemBlocksAllocated;
  }
  std::uint8_t* row = up->MemBlock.data() + static_cast<std::size_t>(up->MemRows) * UnpackRowPitch;
  const int n = std::clamp(len, 0, UnpackRowPitch);
  if (n > 0 && data) std::memcpy(row, data, static_cast<std::size_t>(n));
  for (int i = n - 1; i >= up->MemWidthBytes; --i)
    if (row[i] != white) {
      up->MemWidthBytes = i + 1;
      break;
    }
  ++up->MemRows;
  return 0;
}
