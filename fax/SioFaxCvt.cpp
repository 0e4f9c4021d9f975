// The converter and unpacker components over the conversion engines.
#include "fax/SioFaxCvt.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

#include "fax/Swbmpcvt.h"
#include "fax/Swpcxcvt.h"
#include "fax/Swtifcvt.h"
#include "fax/Swtxtcvt.h"
#include "fax/Swunpimg.h"
#include "serial/Sioexcept.h"

namespace {

// Frees an engine record with the routine of the reader it was made for.
void DoneConverter(TAbsFaxCvt*& cvt, TFaxInputDocumentType type) {
  if (!cvt) return;
  switch (type) {
    case idText:
      fcDoneTextConverter(cvt);
      break;
    case idTextEx:
      fcDoneTextExConverter(cvt);
      break;
    case idTiff:
      tcDoneTiffConverter(cvt);
      break;
    case idPcx:
      pcDonePcxConverter(cvt);
      break;
    case idDcx:
      dcDoneDcxConverter(cvt);
      break;
    case idBmp:
      bcDoneBmpConverter(cvt);
      break;
    case idBitmap:
      bcDoneBitmapConverter(cvt);
      break;
    default:
      acDoneFaxConverter(cvt);
      break;
  }
  cvt = nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Converter
// ---------------------------------------------------------------------------------------

TSioCustomFaxConverter::TSioCustomFaxConverter(TSioComponentOwner* owner) : TSioComponentOwner(owner) {}

TSioCustomFaxConverter::~TSioCustomFaxConverter() {
  if (FFileOpen && FData) acCloseFile(FData);
  DoneData();
}

void TSioCustomFaxConverter::SetOptions(TFaxCvtOptionSet options) {
  if (options & coYieldOften) options |= coYield;
  FOptions = options;
}

void TSioCustomFaxConverter::SetDocumentFile(std::string_view name) {
  if (name == FDocumentFile) return;
  FDocumentFile = name;
  if (!ComponentIsLoading(*this) && !FDocumentFile.empty())
    FOutFileName = ForceExtension(FDocumentFile, "FXF");
}

int TSioCustomFaxConverter::Check(int code) {
  return CheckException(static_cast<TSioBaseComponent*>(this), code);
}

void TSioCustomFaxConverter::Finish(int code) {
  if (FPending) {
    std::exception_ptr e = FPending;
    FPending = nullptr;
    std::rethrow_exception(e);
  }
  Check(code);
}

int TSioCustomFaxConverter::Guard(const std::function<void()>& fn) {
  try {
    fn();
    return 0;
  } catch (const std::exception& e) {
    if (!FPending) FPending = std::current_exception();
    const int code = XlatException(e);
    return code < 0 ? code : ecUnknownException;
  } catch (...) {
    if (!FPending) FPending = std::current_exception();
    return ecUnknownException;
  }
}

void TSioCustomFaxConverter::DoneData() {
  FFileOpen = false;
  DoneConverter(FData, FDataType);
  FDataType = idNone;
}

void TSioCustomFaxConverter::CreateData() {
  DoneData();
  FPending = nullptr;
  int rc = 0;
  TAbsFaxCvt* cvt = nullptr;
  switch (FInputDocumentType) {
    case idNone:
      rc = ecBadArgument;
      break;
    case idText:
      rc = fcInitTextConverter(cvt);
      break;
    case idTextEx:
      rc = fcInitTextExConverter(cvt);
      break;
    case idTiff:
      rc = tcInitTiffConverter(cvt);
      break;
    case idPcx:
      rc = pcInitPcxConverter(cvt);
      break;
    case idDcx:
      rc = dcInitDcxConverter(cvt);
      break;
    case idBmp:
      rc = bcInitBmpConverter(cvt);
      break;
    case idBitmap:
      rc = bcInitBitmapConverter(cvt);
      break;
    case idUser:
      rc = acInitFaxConverter(cvt, nullptr, UserGetLine, UserOpen, UserClose, FDefUserExtension.substr(0, 3));
      break;
  }
  Check(rc);
  FData = cvt;
  FDataType = FInputDocumentType;

  acSetOtherData(cvt, this);
  acOptionsOff(cvt, 0xFFFF);
  acOptionsOn(cvt, FOptions);
  acSetMargins(cvt, static_cast<int>(FLeftMargin), static_cast<int>(FTopMargin));
  acSetResolutionMode(cvt, FResolution == frHigh ? 1 : 0);
  acSetResolutionWidth(cvt, FWidth == fwWide ? 2 : 1);
  acSetStationID(cvt, FStationID);
  acSetStatusCallback(cvt, StatusCallback);
  const bool fine = FResolution == frHigh;
  if (FDataType == idText) {
    fcSetTabStop(cvt, static_cast<int>(FTabStop));
    fcSetLinesPerPage(cvt, static_cast<int>(FLinesPerPage));
    Check(
        fcLoadFont(cvt, FFontFile, FFontType == ffStandard ? ffStandardFontHandle : ffSmallFontHandle, fine));
  } else if (FDataType == idTextEx) {
    fcSetTabStop(cvt, static_cast<int>(FTabStop));
    fcSetLinesPerPage(cvt, static_cast<int>(FLinesPerPage));
    Check(fcSetFont(cvt, FEnhFont, fine));
  }
}

void TSioCustomFaxConverter::ConvertToFile() {
  if (FInputDocumentType == idNone || FInputDocumentType == idBitmap) Check(ecBadArgument);
  CreateData();
  Finish(acConvertToFile(FData, FDocumentFile, FOutFileName));
}

void TSioCustomFaxConverter::ConvertBitmapToFile(const TBitmapImage& bitmap) {
  // Without either name the fax file would have no name of its own.
  if (FOutFileName.empty() && FDocumentFile.empty()) Check(ecBadArgument);
  const TFaxInputDocumentType saved = FInputDocumentType;
  FInputDocumentType = idBitmap;
  int rc = 0;
  try {
    CreateData();
    FData->InBitmap = const_cast<TBitmapImage*>(&bitmap);
    rc = bcSetInputBitmap(FData, nullptr);  // the reader works on a copy of its own
    FData->InBitmap = nullptr;
    if (rc == 0) rc = acConvertToFile(FData, FDocumentFile, FOutFileName);
  } catch (...) {
    DoneData();
    FInputDocumentType = saved;
    throw;
  }
  DoneData();
  FInputDocumentType = saved;
  Finish(rc);
}

void TSioCustomFaxConverter::Convert() {
  if (FInputDocumentType == idNone || FInputDocumentType == idBitmap) Check(ecBadArgument);
  CreateData();
  Finish(acConvert(FData, FDocumentFile, OutputCallback));
}

void TSioCustomFaxConverter::OpenFile() {
  if (FInputDocumentType == idNone) Check(ecBadArgument);
  if (FFileOpen) CloseFile();
  CreateData();
  const std::string name =
      FData->DefExt.empty() ? FDocumentFile : DefaultExtension(FDocumentFile, FData->DefExt);
  const int rc = acOpenFile(FData, name);
  FFileOpen = rc == 0;
  Finish(rc);
}

void TSioCustomFaxConverter::GetRasterLine(std::uint8_t* data, int& len, bool& endOfPage, bool& morePages) {
  if (!FFileOpen) OpenFile();
  FPending = nullptr;
  const int rc = acGetRasterLine(FData, data, len, endOfPage, morePages);
  if (rc < 0) FFileOpen = false;
  Finish(rc);
}

void TSioCustomFaxConverter::CloseFile() {
  if (!FFileOpen) return;
  FFileOpen = false;
  FPending = nullptr;
  acCloseFile(FData);
  Finish(0);
}

void TSioCustomFaxConverter::CompressRasterLine(const std::uint8_t* src, std::uint8_t* dest, int& len) {
  if (!FData) CreateData();
  acCompressRasterLine(FData, src);
  len = FData->ByteOfs;
  std::memcpy(dest, FData->DataLine.get(), static_cast<std::size_t>(len));
}

void TSioCustomFaxConverter::MakeEndOfPage(std::uint8_t* dest, int& len) {
  if (!FData) CreateData();
  acMakeEndOfPage(FData, dest, len);
}

void TSioCustomFaxConverter::Status(bool starting, bool ending, int pagesConverted, int linesConverted,
                                    std::int32_t bytesConverted, std::int32_t bytesToConvert, bool& abort) {
  if (FOnStatus)
    FOnStatus(this, starting, ending, pagesConverted, linesConverted, bytesConverted, bytesToConvert, abort);
}

void TSioCustomFaxConverter::OutputLine(const std::uint8_t* data, int len, bool endOfPage, bool morePages) {
  if (FOnOutputLine) FOnOutputLine(this, data, len, endOfPage, morePages);
}

void TSioCustomFaxConverter::OpenUserFile(const std::string& fileName) {
  if (FOnOpenUserFile) FOnOpenUserFile(this, fileName);
}

void TSioCustomFaxConverter::CloseUserFile() {
  if (FOnCloseUserFile) FOnCloseUserFile(this);
}

bool TSioCustomFaxConverter::StatusCallback(TAbsFaxCvt* cvt, std::uint16_t flags, std::int32_t done,
                                            std::int32_t total) {
  auto* self = static_cast<TSioCustomFaxConverter*>(cvt->OtherData);
  bool abort = false;
  const int rc = self->Guard([&] {
    self->Status((flags & csStarting) != 0, (flags & csEnding) != 0, cvt->CurrPage, cvt->CurrLine, done,
                 total, abort);
  });
  return abort || rc < 0;
}

int TSioCustomFaxConverter::OutputCallback(TAbsFaxCvt* cvt, const std::uint8_t* data, int len, bool endOfPage,
                                           bool morePages) {
  auto* self = static_cast<TSioCustomFaxConverter*>(cvt->OtherData);
  return self->Guard([&] { self->OutputLine(data, len, endOfPage, morePages); });
}

int TSioCustomFaxConverter::UserOpen(TAbsFaxCvt* cvt, const std::string& fileName) {
  auto* self = static_cast<TSioCustomFaxConverter*>(cvt->OtherData);
  return self->Guard([&] { self->OpenUserFile(fileName); });
}

void TSioCustomFaxConverter::UserClose(TAbsFaxCvt* cvt) {
  auto* self = static_cast<TSioCustomFaxConverter*>(cvt->OtherData);
  self->Guard([&] { self->CloseUserFile(); });
}

int TSioCustomFaxConverter::UserGetLine(TAbsFaxCvt* cvt, std::uint8_t* data, int& len, bool& endOfPage,
                                        bool& morePages) {
  auto* self = static_cast<TSioCustomFaxConverter*>(cvt->OtherData);
  if (!self->FOnReadUserLine) {
    len = 0;
    endOfPage = true;
    morePages = false;
    return 0;
  }
  len = 0;
  endOfPage = false;
  morePages = false;
  const int rc = self->Guard([&] { self->FOnReadUserLine(self, data, len, endOfPage, morePages); });
  if (rc == 0 && (len < 0 || len > RasterBufferSize)) return ecBadArgument;
  return rc;
}

// ---------------------------------------------------------------------------------------
// Unpacker
// ---------------------------------------------------------------------------------------

TSioCustomFaxUnpacker::TSioCustomFaxUnpacker(TSioComponentOwner* owner) : TSioComponentOwner(owner) {}

TSioCustomFaxUnpacker::~TSioCustomFaxUnpacker() { upDoneFaxUnpacker(FData); }

void TSioCustomFaxUnpacker::SetOptions(TUnpackerOptions options) {
  FOptions = options;
  if (!FData) return;
  if (options & UnpackerOption(uoYield))
    upOptionsOn(FData, ufYield);
  else
    upOptionsOff(FData, ufYield);
  if (options & UnpackerOption(uoAbort)) upOptionsOn(FData, ufAbort);
}

void TSioCustomFaxUnpacker::SetInFileName(std::string_view name) {
  // Names that differ only in case are different files here.
  if (name == FInFileName) return;
  FInFileName = name;
  FOutFileName = std::filesystem::path(FInFileName).replace_extension().string();
}

void TSioCustomFaxUnpacker::CreateData() {
  upDoneFaxUnpacker(FData);
  FPending = nullptr;
  TUnpackFax* up = nullptr;
  CheckException(static_cast<TSioBaseComponent*>(this), upInitFaxUnpacker(up, this, OutputCallback));
  FData = up;
  upSetStatusCallback(up, StatusCallback);
  upOptionsOff(up, 0xFFFF);
  if (FOptions & UnpackerOption(uoYield)) upOptionsOn(up, ufYield);
  if (FAutoScaleMode == asDoubleHeight)
    upOptionsOn(up, ufDoubleHeight);
  else if (FAutoScaleMode == asHalfWidth)
    upOptionsOn(up, ufHalfWidth);
  if (FWhitespaceCompression)
    CheckException(
        static_cast<TSioBaseComponent*>(this),
        upSetWhitespaceCompression(up, static_cast<int>(FWhitespaceFrom), static_cast<int>(FWhitespaceTo)));
  if (FScaling) {
    auto f = [](unsigned v) { return v == 0 ? 1 : static_cast<int>(std::min<unsigned>(v, 1u << 16)); };
    CheckException(static_cast<TSioBaseComponent*>(this),
                   upSetScaling(up, f(FHorizMult), f(FHorizDiv), f(FVertMult), f(FVertDiv)));
  }
}

void TSioCustomFaxUnpacker::Finish(int code) {
  if (FPending) {
    std::exception_ptr e = FPending;
    FPending = nullptr;
    std::rethrow_exception(e);
  }
  CheckException(static_cast<TSioBaseComponent*>(this), code);
}

void TSioCustomFaxUnpacker::UnpackPage(unsigned page) {
  CreateData();
  Finish(upUnpackPage(FData, FInFileName, page));
}

void TSioCustomFaxUnpacker::UnpackFile() {
  CreateData();
  Finish(upUnpackFile(FData, FInFileName));
}

std::unique_ptr<TBitmapImage> TSioCustomFaxUnpacker::UnpackPageToBitmap(unsigned page) {
  CreateData();
  TMemoryBitmapDesc desc;
  Finish(upUnpackPageToBitmap(FData, FInFileName, page, true, desc));
  return desc.Bitmap ? std::move(desc.Bitmap) : std::make_unique<TBitmapImage>();
}

std::unique_ptr<TBitmapImage> TSioCustomFaxUnpacker::UnpackFileToBitmap() {
  CreateData();
  TMemoryBitmapDesc desc;
  Finish(upUnpackFileToBitmap(FData, FInFileName, desc, true));
  return desc.Bitmap ? std::move(desc.Bitmap) : std::make_unique<TBitmapImage>();
}

void TSioCustomFaxUnpacker::UnpackPageToPcx(unsigned page) {
  CreateData();
  Finish(upUnpackPageToPcx(FData, FInFileName, FOutFileName, page));
}
void TSioCustomFaxUnpacker::UnpackFileToPcx() {
  CreateData();
  Finish(upUnpackFileToPcx(FData, FInFileName, FOutFileName));
}
void TSioCustomFaxUnpacker::UnpackPageToDcx(unsigned page) {
  CreateData();
  Finish(upUnpackPageToDcx(FData, FInFileName, FOutFileName, page));
}
void TSioCustomFaxUnpacker::UnpackFileToDcx() {
  CreateData();
  Finish(upUnpackFileToDcx(FData, FInFileName, FOutFileName));
}
void TSioCustomFaxUnpacker::UnpackPageToTiff(unsigned page) {
  CreateData();
  Finish(upUnpackPageToTiff(FData, FInFileName, FOutFileName, page));
}
void TSioCustomFaxUnpacker::UnpackFileToTiff() {
  CreateData();
  Finish(upUnpackFileToTiff(FData, FInFileName, FOutFileName));
}
void TSioCustomFaxUnpacker::UnpackPageToBmp(unsigned page) {
  CreateData();
  Finish(upUnpackPageToBmp(FData, FInFileName, FOutFileName, page));
}
void TSioCustomFaxUnpacker::UnpackFileToBmp() {
  CreateData();
  Finish(upUnpackFileToBmp(FData, FInFileName, FOutFileName));
}

unsigned TSioCustomFaxUnpacker::NumPages() {
  TFaxHeaderRec header;
  if (fxfReadFaxHeader(FInFileName, header) < 0) return 0;
  return header.PageCount;
}

TFaxResolution TSioCustomFaxUnpacker::FaxResolution() {
  TPageHeaderRec page;
  CheckException(static_cast<TSioBaseComponent*>(this), fxfReadPageHeader(FInFileName, 1, page));
  return (page.PageFlags & pfHighResolution) ? frHigh : frNormal;
}

TFaxWidth TSioCustomFaxUnpacker::FaxWidth() {
  TPageHeaderRec page;
  CheckException(static_cast<TSioBaseComponent*>(this), fxfReadPageHeader(FInFileName, 1, page));
  return (page.PageFlags & pfWideLine) ? fwWide : fwNormal;
}

void TSioCustomFaxUnpacker::ExtractPage(unsigned page) {
  std::string out =
      FOutFileName.empty() ? ForceExtension(FInFileName, "FXF") : DefaultExtension(FOutFileName, "FXF");
  CheckException(static_cast<TSioBaseComponent*>(this), upExtractPage(FInFileName, out, page));
}

void TSioCustomFaxUnpacker::OutputLine(bool starting, bool ending, const std::uint8_t* data, int len,
                                       int pageNum) {
  if (FOnOutputLine) FOnOutputLine(this, starting, ending, data, len, pageNum);
}

void TSioCustomFaxUnpacker::Status(const std::string& fileName, int pageNum, std::int32_t bytesUnpacked,
                                   std::int32_t bytesToUnpack) {
  if (FOnStatus) FOnStatus(this, fileName, pageNum, bytesUnpacked, bytesToUnpack);
}

int TSioCustomFaxUnpacker::OutputCallback(TUnpackFax* up, std::uint16_t flags, const std::uint8_t* data,
                                          int len, int page) {
  auto* self = static_cast<TSioCustomFaxUnpacker*>(up->UserData);
  try {
    self->OutputLine((flags & ufStarting) != 0, (flags & ufEnding) != 0, data, len, page);
    return 0;
  } catch (const std::exception& e) {
    if (!self->FPending) self->FPending = std::current_exception();
    const int code = XlatException(e);
    return code < 0 ? code : ecUnknownException;
  } catch (...) {
    if (!self->FPending) self->FPending = std::current_exception();
    return ecUnknownException;
  }
}

void TSioCustomFaxUnpacker::StatusCallback(TUnpackFax* up, const std::string& fileName, int page,
                                           std::int32_t done, std::int32_t total) {
  auto* self = static_cast<TSioCustomFaxUnpacker*>(up->UserData);
  if (self->FPending) return;
  try {
    self->Status(fileName, page, done, total);
  } catch (...) {
    // The exception ends the unpacking: the page stops at once and the exception comes out.
    self->FPending = std::current_exception();
    upOptionsOn(up, ufAbort);
  }
}

// ---------------------------------------------------------------------------------------
// Page extraction
// ---------------------------------------------------------------------------------------

int upExtractPage(const std::string& inFile, const std::string& outFile, unsigned page) {
  struct stat in {};
  if (inFile.empty() || ::stat(inFile.c_str(), &in) != 0) return ecFileNotFound;
  if (outFile.empty()) return ecBadArgument;
  struct stat out {};
  if (::stat(outFile.c_str(), &out) == 0 && out.st_dev == in.st_dev && out.st_ino == in.st_ino)
    return ecFileAccessDenied;

  TFaxFileReader reader;
  int rc = reader.Open(inFile);
  if (rc < 0) return rc;
  if (page == 0 || page > reader.Header().PageCount) return ecInvalidPageNumber;
  rc = reader.SeekPage(page);
  if (rc < 0) return rc == ecDiskRead ? ecFaxBadFormat : rc;
  const TPageHeaderRec pageHeader = reader.PageHeader();
  if (reader.PageBytesLeft() != pageHeader.ImageLength) return ecFaxBadFormat;

  TReplaceFile file;
  if ((rc = file.Create(outFile)) < 0) return rc;
  TFaxHeaderRec header = reader.Header();
  header.PageCount = 1;
  header.FirstPageOffset = DefFirstPageOffset;
  std::uint8_t raw[FaxHeaderSize];
  header.Store(raw);
  if ((rc = file.Write(raw, FaxHeaderSize)) < 0) return rc;
  pageHeader.Store(raw);
  if ((rc = file.Write(raw, PageHeaderSize)) < 0) return rc;
  std::vector<std::uint8_t> buf(65536);
  for (;;) {
    int len = 0;
    if ((rc = reader.ReadPageData(buf.data(), static_cast<int>(buf.size()), len)) < 0) return rc;
    if (len == 0) break;
    if ((rc = file.Write(buf.data(), static_cast<std::size_t>(len))) < 0) return rc;
  }
  return file.Commit();
}
