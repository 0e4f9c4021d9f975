#pragma once
// The converter and unpacker components: the conversion engines behind properties and
// events, as a form places them.
//
// TSioFaxConverter turns a text, a picture or a document of the caller's own (its events)
// into a fax file or into encoded lines; TSioFaxUnpacker turns a fax file into lines,
// bitmaps and picture files. Every negative engine result is raised as the library's
// exception for the code (CheckException). An exception thrown by an event handler inside
// a conversion ends the conversion and comes out of the call unchanged.
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "fax/Swbitmap.h"
#include "fax/Swfaxcvt.h"
#include "fax/Swfont.h"
#include "fax/Swunpack.h"
#include "serial/SioMisc.h"
#include "serial/SioPort.h"

enum TFaxInputDocumentType { idNone, idText, idTextEx, idTiff, idPcx, idDcx, idBmp, idBitmap, idUser };
enum TFaxResolution { frNormal, frHigh };
enum TFaxWidth { fwNormal, fwWide };
enum TFaxFont { ffStandard, ffSmall };
enum TAutoScaleMode { asNone, asDoubleHeight, asHalfWidth };

// A set of TFaxCvtOptions: the engine's option bits (coDoubleWidth .. coYieldOften).
using TFaxCvtOptionSet = std::uint16_t;

// TUnpackerOptions: a set of uoYield and uoAbort.
enum TUnpackerOption { uoYield, uoAbort };
using TUnpackerOptions = std::uint8_t;
constexpr TUnpackerOptions UnpackerOption(TUnpackerOption o) {
  return static_cast<TUnpackerOptions>(1u << o);
}

class TSioCustomFaxConverter;
class TSioCustomFaxUnpacker;

using TFaxStatusEvent = std::function<void(
    TSioCustomFaxConverter* F, bool Starting, bool Ending, int PagesConverted, int LinesConverted,
    std::int32_t BytesConverted, std::int32_t BytesToConvert, bool& Abort)>;
using TFaxOutputLineEvent = std::function<void(TSioCustomFaxConverter* F, const std::uint8_t* Data, int Len,
                                               bool EndOfPage, bool MorePages)>;
using TFaxOpenFileEvent = std::function<void(TSioCustomFaxConverter* F, const std::string& FName)>;
using TFaxCloseFileEvent = std::function<void(TSioCustomFaxConverter* F)>;
// Fills Data (a zeroed raster line of 4096 bytes) and sets Len, EndOfPage and MorePages.
using TFaxReadLineEvent = std::function<void(TSioCustomFaxConverter* F, std::uint8_t* Data, int& Len,
                                             bool& EndOfPage, bool& MorePages)>;

using TUnpackOutputLineEvent = std::function<void(TSioCustomFaxUnpacker* Sender, bool Starting, bool Ending,
                                                  const std::uint8_t* Data, int Len, int PageNum)>;
using TUnpackStatusEvent =
    std::function<void(TSioCustomFaxUnpacker* Sender, const std::string& FName, int PageNum,
                       std::int32_t BytesUnpacked, std::int32_t BytesToUnpack)>;

// ---------------------------------------------------------------------------------------
// Converter
// ---------------------------------------------------------------------------------------

class TSioCustomFaxConverter : public TSioBaseComponent, public TSioComponentOwner {
 public:
  explicit TSioCustomFaxConverter(TSioComponentOwner* owner = nullptr);
  ~TSioCustomFaxConverter() override;

  // Converts DocumentFile into OutFileName (an empty one puts the fax file beside the
  // document). -1002 for idNone and idBitmap.
  void ConvertToFile();
  // Converts a bitmap (monochrome or colour) into OutFileName; for the call the input type
  // is idBitmap, and it is restored afterwards, also on failure.
  void ConvertBitmapToFile(const TBitmapImage& bitmap);
  // As ConvertToFile, but every encoded line and every page end goes to OutputLine.
  void Convert();

  // Reading raster lines one by one from DocumentFile.
  void OpenFile();
  void GetRasterLine(std::uint8_t* data, int& len, bool& endOfPage, bool& morePages);
  void CloseFile();

  // The engine's encoder: a raster line (line width / 8 bytes) into Dest (room for 4096
  // bytes); the end-of-page sequence (12 bytes).
  void CompressRasterLine(const std::uint8_t* src, std::uint8_t* dest, int& len);
  void MakeEndOfPage(std::uint8_t* dest, int& len);

  // Properties
  TFaxInputDocumentType GetInputDocumentType() const { return FInputDocumentType; }
  void SetInputDocumentType(TFaxInputDocumentType t) { FInputDocumentType = t; }
  TFaxCvtOptionSet GetOptions() const { return FOptions; }
  // coYieldOften brings coYield with it.
  void SetOptions(TFaxCvtOptionSet options);
  TFaxResolution GetResolution() const { return FResolution; }
  void SetResolution(TFaxResolution r) { FResolution = r; }
  TFaxWidth GetWidth() const { return FWidth; }
  void SetWidth(TFaxWidth w) { FWidth = w; }
  unsigned GetTopMargin() const { return FTopMargin; }
  void SetTopMargin(unsigned v) { FTopMargin = v; }
  unsigned GetLeftMargin() const { return FLeftMargin; }
  void SetLeftMargin(unsigned v) { FLeftMargin = v; }
  unsigned GetLinesPerPage() const { return FLinesPerPage; }
  void SetLinesPerPage(unsigned v) { FLinesPerPage = v; }
  unsigned GetTabStop() const { return FTabStop; }
  void SetTabStop(unsigned v) { FTabStop = v; }
  const TFaxTextFont& GetEnhFont() const { return FEnhFont; }
  void SetEnhFont(const TFaxTextFont& font) { FEnhFont = font; }
  const std::string& GetFontFile() const { return FFontFile; }
  void SetFontFile(std::string_view name) { FFontFile = name; }
  TFaxFont GetFontType() const { return FFontType; }
  void SetFontType(TFaxFont f) { FFontType = f; }
  const std::string& GetDocumentFile() const { return FDocumentFile; }
  // A new document name gives OutFileName the same name with the extension ".FXF"
  // (not while loading from a form, not for an empty name).
  void SetDocumentFile(std::string_view name);
  const std::string& GetOutFileName() const { return FOutFileName; }
  void SetOutFileName(std::string_view name) { FOutFileName = name; }
  const std::string& GetDefUserExtension() const { return FDefUserExtension; }
  void SetDefUserExtension(std::string_view ext) { FDefUserExtension = ext; }
  const std::string& GetStationID() const { return FStationID; }
  void SetStationID(std::string_view id) { FStationID = id; }

  void SetOnStatus(TFaxStatusEvent e) { FOnStatus = std::move(e); }
  void SetOnOutputLine(TFaxOutputLineEvent e) { FOnOutputLine = std::move(e); }
  void SetOnOpenUserFile(TFaxOpenFileEvent e) { FOnOpenUserFile = std::move(e); }
  void SetOnCloseUserFile(TFaxCloseFileEvent e) { FOnCloseUserFile = std::move(e); }
  void SetOnReadUserLine(TFaxReadLineEvent e) { FOnReadUserLine = std::move(e); }

  // The engine record of the last conversion (null before the first).
  TAbsFaxCvt* Data() const { return FData; }

 protected:
  // Fire the matching events; a true Abort from Status ends the conversion with -8003.
  virtual void Status(bool starting, bool ending, int pagesConverted, int linesConverted,
                      std::int32_t bytesConverted, std::int32_t bytesToConvert, bool& abort);
  virtual void OutputLine(const std::uint8_t* data, int len, bool endOfPage, bool morePages);
  virtual void OpenUserFile(const std::string& fileName);
  virtual void CloseUserFile();

 private:
  void CreateData();
  void DoneData();
  int Check(int code);
  // Passes an engine result on: an exception kept from an event handler comes first.
  void Finish(int code);
  // Runs an event handler for the engine: an exception is kept and becomes a code.
  int Guard(const std::function<void()>& fn);

  static bool StatusCallback(TAbsFaxCvt* cvt, std::uint16_t flags, std::int32_t done, std::int32_t total);
  static int OutputCallback(TAbsFaxCvt* cvt, const std::uint8_t* data, int len, bool endOfPage,
                            bool morePages);
  static int UserOpen(TAbsFaxCvt* cvt, const std::string& fileName);
  static void UserClose(TAbsFaxCvt* cvt);
  static int UserGetLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages);

  TFaxInputDocumentType FInputDocumentType = idNone;
  TFaxCvtOptionSet FOptions = DefFaxCvtOptions;
  TFaxResolution FResolution = frNormal;
  TFaxWidth FWidth = fwNormal;
  unsigned FTopMargin = 0;
  unsigned FLeftMargin = DefLeftMargin;
  unsigned FLinesPerPage = 60;
  unsigned FTabStop = 4;
  TFaxTextFont FEnhFont;
  std::string FFontFile = "SWFAX.FNT";
  TFaxFont FFontType = ffStandard;
  std::string FDocumentFile;
  std::string FOutFileName;
  std::string FDefUserExtension;
  std::string FStationID;

  TFaxStatusEvent FOnStatus;
  TFaxOutputLineEvent FOnOutputLine;
  TFaxOpenFileEvent FOnOpenUserFile;
  TFaxCloseFileEvent FOnCloseUserFile;
  TFaxReadLineEvent FOnReadUserLine;

  TAbsFaxCvt* FData = nullptr;
  TFaxInputDocumentType FDataType = idNone;  // the input type the record was built for
  bool FFileOpen = false;                    // line-by-line reading is open
  std::exception_ptr FPending;               // thrown by an event handler during a call
};

class TSioFaxConverter : public TSioCustomFaxConverter {
 public:
  using TSioCustomFaxConverter::TSioCustomFaxConverter;
};

// ---------------------------------------------------------------------------------------
// Unpacker
// ---------------------------------------------------------------------------------------

class TSioCustomFaxUnpacker : public TSioBaseComponent, public TSioComponentOwner {
 public:
  explicit TSioCustomFaxUnpacker(TSioComponentOwner* owner = nullptr);
  ~TSioCustomFaxUnpacker() override;

  // Lines of one page (from 1) or of every page to OnOutputLine.
  void UnpackPage(unsigned page);
  void UnpackFile();
  // The decoded page, or all pages one below the other, as a new bitmap (1 = white).
  std::unique_ptr<TBitmapImage> UnpackPageToBitmap(unsigned page);
  std::unique_ptr<TBitmapImage> UnpackFileToBitmap();
  // Picture files from InFileName into OutFileName.
  void UnpackPageToPcx(unsigned page);
  void UnpackFileToPcx();
  void UnpackPageToDcx(unsigned page);
  void UnpackFileToDcx();
  void UnpackPageToTiff(unsigned page);
  void UnpackFileToTiff();
  void UnpackPageToBmp(unsigned page);
  void UnpackFileToBmp();

  // Page count of InFileName; 0 when it cannot be read.
  unsigned NumPages();
  // Resolution and width of page 1 (a read error raises).
  TFaxResolution FaxResolution();
  TFaxWidth FaxWidth();
  static bool IsAnFXFFile(const std::string& fileName) { return swIsAnFXFFile(fileName); }
  // Copies page Page of InFileName into a new one-page fax file OutFileName (".FXF" is
  // added to a name without an extension; an empty name is InFileName with ".FXF").
  // -5 when the output is the input file itself (whatever its spelling), -8053 for a page
  // the file does not have.
  void ExtractPage(unsigned page);

  // Properties
  TUnpackerOptions GetOptions() const { return FOptions; }
  void SetOptions(TUnpackerOptions options);
  bool GetWhitespaceCompression() const { return FWhitespaceCompression; }
  void SetWhitespaceCompression(bool on) { FWhitespaceCompression = on; }
  unsigned GetWhitespaceFrom() const { return FWhitespaceFrom; }
  void SetWhitespaceFrom(unsigned v) { FWhitespaceFrom = v; }
  unsigned GetWhitespaceTo() const { return FWhitespaceTo; }
  void SetWhitespaceTo(unsigned v) { FWhitespaceTo = v; }
  bool GetScaling() const { return FScaling; }
  void SetScaling(bool on) { FScaling = on; }
  // The four factors ignore 0.
  unsigned GetHorizMult() const { return FHorizMult; }
  void SetHorizMult(unsigned v) { SetFactor(FHorizMult, v); }
  unsigned GetHorizDiv() const { return FHorizDiv; }
  void SetHorizDiv(unsigned v) { SetFactor(FHorizDiv, v); }
  unsigned GetVertMult() const { return FVertMult; }
  void SetVertMult(unsigned v) { SetFactor(FVertMult, v); }
  unsigned GetVertDiv() const { return FVertDiv; }
  void SetVertDiv(unsigned v) { SetFactor(FVertDiv, v); }
  TAutoScaleMode GetAutoScaleMode() const { return FAutoScaleMode; }
  void SetAutoScaleMode(TAutoScaleMode m) { FAutoScaleMode = m; }
  const std::string& GetInFileName() const { return FInFileName; }
  // A different name also becomes OutFileName, without its extension.
  void SetInFileName(std::string_view name);
  const std::string& GetOutFileName() const { return FOutFileName; }
  void SetOutFileName(std::string_view name) { FOutFileName = name; }

  void SetOnOutputLine(TUnpackOutputLineEvent e) { FOnOutputLine = std::move(e); }
  void SetOnStatus(TUnpackStatusEvent e) { FOnStatus = std::move(e); }

  // The engine record of the last operation (null before the first).
  TUnpackFax* Data() const { return FData; }

 protected:
  virtual void OutputLine(bool starting, bool ending, const std::uint8_t* data, int len, int pageNum);
  virtual void Status(const std::string& fileName, int pageNum, std::int32_t bytesUnpacked,
                      std::int32_t bytesToUnpack);

 private:
  void CreateData();
  void Finish(int code);
  static void SetFactor(unsigned& factor, unsigned v) {
    if (v != 0) factor = v;
  }
  static int OutputCallback(TUnpackFax* up, std::uint16_t flags, const std::uint8_t* data, int len, int page);
  static void StatusCallback(TUnpackFax* up, const std::string& fileName, int page, std::int32_t done,
                             std::int32_t total);

  TUnpackerOptions FOptions = UnpackerOption(uoYield);
  bool FWhitespaceCompression = false;
  unsigned FWhitespaceFrom = 0;
  unsigned FWhitespaceTo = 0;
  bool FScaling = false;
  unsigned FHorizMult = 1, FHorizDiv = 1, FVertMult = 1, FVertDiv = 1;
  TAutoScaleMode FAutoScaleMode = asDoubleHeight;
  std::string FInFileName;
  std::string FOutFileName;
  TUnpackOutputLineEvent FOnOutputLine;
  TUnpackStatusEvent FOnStatus;

  TUnpackFax* FData = nullptr;
  std::exception_ptr FPending;
};

class TSioFaxUnpacker : public TSioCustomFaxUnpacker {
 public:
  using TSioCustomFaxUnpacker::TSioCustomFaxUnpacker;
};

// Copies page Page of the fax file InFile into the new one-page fax file OutFile. -2 when
// InFile does not exist, -5 when OutFile is InFile itself (by file identity), -8001 when
// InFile is no fax file, -8053 for a page it does not have. The output appears whole or
// not at all.
int upExtractPage(const std::string& inFile, const std::string& outFile, unsigned page);
