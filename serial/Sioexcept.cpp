// Library exceptions, the checking routine and the error-text lookup.
#include "serial/Sioexcept.h"

#include <locale.h>
#include <string.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "serial/SioStrRes.h"

namespace {

// The error-text table, opened on first use and kept for the life of the process. A table
// that cannot be opened leaves every text empty (the lookups fall back to system texts).
TSioStringResource* ErrorTable() {
  static TSioStringResource* table = []() -> TSioStringResource* {
    try {
      return new TSioStringResource(nullptr, "SIO_ERROR_STRINGS_ENGLISH");
    } catch (const Exception&) {
      return nullptr;
    }
  }();
  return table;
}

std::u16string TableText(int id) {
  TSioStringResource* table = ErrorTable();
  return table ? table->GetWide(id) : std::u16string();
}

// Message text of an operating-system error number in the C locale, empty when the number
// names no error.
std::string SystemMessage(int number) {
  if (number <= 0 || strerrorname_np(number) == nullptr) return {};
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  const char* text = cLocale ? strerror_l(number, cLocale) : nullptr;
  return text ? std::string(text).substr(0, 255) : std::string();
}

std::string LoadAnsi(int number) {
  std::string text = Utf16ToAnsi(TableText(number)).substr(0, 255);
  if (text.empty()) text = SioSingleLine(SystemMessage(number));
  return text;
}

[[noreturn]] void RaiseInOut(int code) { throw EInOutError(SioLoadStrUtf8(code), -code); }

}  // namespace

std::string SioSingleLine(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  std::string result;
  result.reserve(out.size());
  for (char c : out)
    if (!(c == ' ' && !result.empty() && result.back() == ' ')) result += c;
  return result;
}

ESIOException::ESIOException(int code, bool)
    : Exception(SioLoadStrUtf8(MapCodeToStringID(code))), ErrorCode(code) {}

void RaiseSioException(int code) {
#define SIO_RAISE_TAPI(name, value) \
  case value:                       \
    throw E##name(code);
  switch (code) {
    case ecBadArgument:
      throw EBadArgument(code);
    case ecGotQuitMsg:
      throw EGotQuitMsg(code);
    case ecBufferTooBig:
      throw EBufferTooBig(code);
    case ecPortNotAssigned:
      throw EPortNotAssigned(code);
    case ecInternal:
    case ecNoFieldsDefined:
    case ecNoIndexKey:
    case ecDatabaseNotPrepared:
      throw EInternal(code);
    case ecModemNotAssigned:
      throw EModemNotAssigned(code);
    case ecPhonebookNotAssigned:
      throw EPhonebookNotAssigned(code);
    case ecCannotUseWithWinSock:
      throw ECannotUseWithWinSock(code);

    case ecBadId:
      throw EBadId(code);
    case ecBaudRate:
      throw EBaudRate(code);
    case ecByteSize:
      throw EByteSize(code);
    case ecDefault:
      throw EDefault(code);
    case ecHardware:
      throw EHardware(code);
    case ecMemory:
      throw EMemory(code);
    case ecCommNotOpen:
      throw ECommNotOpen(code);
    case ecAlreadyOpen:
      throw EAlreadyOpen(code);
    case ecNoHandles:
      throw ENoHandles(code);
    case ecNoTimers:
      throw ENoTimers(code);
    case ecNoPortSelected:
      throw ENoPortSelected(code);
    case ecNotOpenedByTapi:
      throw ENotOpenedByTapi(code);

    case ecNullApi:
      throw ENullApi(code);
    case ecRegisterHandlerFailed:
      throw ERegisterHandlerFailed(code);
    case ecPutBlockFail:
      throw EPutBlockFail(code);
    case ecGetBlockFail:
      throw EGetBlockFail(code);
    case ecOutputBufferTooSmall:
      throw EOutputBufferTooSmall(code);
    case ecBufferIsEmpty:
      throw EBufferIsEmpty(code);
    case ecTracingNotEnabled:
      throw ETracingNotEnabled(code);
    case ecLoggingNotEnabled:
      throw ELoggingNotEnabled(code);
    case ecBaseAddressNotSet:
      throw EBaseAddressNotSet(code);

    case ecModemNotStarted:
      throw EModemNotStarted(code);
    case ecModemBusy:
      throw EModemBusy(code);
    case ecModemNotDialing:
      throw EModemNotDialing(code);
    case ecNotDialing:
      throw ENotDialing(code);
    case ecAlreadyDialing:
      throw EAlreadyDialing(code);
    case ecModemNotResponding:
      throw EModemNotResponding(code);
    case ecModemRejectedCommand:
      throw EModemRejectedCommand(code);
    case ecModemStatusMismatch:
      throw EModemStatusMismatch(code);

    case ecTriggerTooLong:
      throw ETriggerTooLong(code);
    case ecBadTriggerHandle:
      throw EBadTriggerHandle(code);

    // The protocol family class itself, not ETimeout / ETooManyErrors / ESequenceError.
    case ecTimeout:
    case ecTooManyErrors:
    case ecSequenceError:
      throw EProtocol(code);

    case ecKeyTooLong:
      throw EKeyTooLong(code);
    case ecDataTooLarge:
      throw EDataTooLarge(code);
    case ecIniWrite:
      throw EIniWrite(code);
    case ecIniRead:
      throw EIniRead(code);
    case ecRecordExists:
      throw ERecordExists(code);
    case ecRecordNotFound:
      throw ERecordNotFound(code);
    case ecDatabaseFull:
      throw EDatabaseFull(code);
    case ecDatabaseEmpty:
      throw EDatabaseEmpty(code);
    case ecBadFieldList:
      throw EBadFieldList(code);
    case ecBadFieldForIndex:
      throw EBadFieldForIndex(code);

    case ecFaxBadFormat:
      throw EFaxBadFormat(code);
    case ecBadGraphicsFormat:
      throw EBadGraphicsFormat(code);
    case ecConvertAbort:
      throw EConvertAbort(code);
    case ecUnpackAbort:
      throw EUnpackAbort(code);
    case ecCantMakeBitmap:
      throw ECantMakeBitmap(code);
    case ecInvalidPageNumber:
      throw EInvalidPageNumber(code);
    case ecFaxBadMachine:
      throw EFaxBadMachine(code);
    case ecFaxBadModemResult:
      throw EFaxBadModemResult(code);
    case ecFaxTrainError:
      throw EFaxTrainError(code);
    case ecFaxInitError:
      throw EFaxInitError(code);
    case ecFaxBusy:
      throw EFaxBusy(code);
    case ecFaxVoiceCall:
      throw EFaxVoiceCall(code);
    case ecFaxDataCall:
      throw EFaxDataCall(code);
    case ecFaxNoDialTone:
      throw EFaxNoDialTone(code);
    case ecFaxNoCarrier:
      throw EFaxNoCarrier(code);
    case ecFaxSessionError:
      throw EFaxSessionError(code);
    case ecFaxPageError:
      throw EFaxPageError(code);

      SIO_TAPI_RESULT_CLASSES(SIO_RAISE_TAPI)

    case ecTapiBusy:
      throw ETapiBusy(code);
    case ecTapiNotSet:
      throw ETapiNotSet(code);
    case ecTapiNoSelect:
      throw ETapiNoSelect(code);
    case ecTapiLoadFail:
      throw ETapiLoadFail(code);
    case ecTapiGetAddrFail:
      throw ETapiGetAddrFail(code);
    case ecTapi16Disabled:
      throw ETapi16Disabled(code);
    case ecTapiVoiceNotSupported:
      throw ETapiVoiceNotSupported(code);
    case ecTapiWaveFail:
      throw ETapiWaveFail(code);
    case ecTapiTranslateFail:
      throw ETapiTranslateFail(code);

    case ecRasLoadFail:
      throw ERasLoadFail(code);
    default:
      break;
  }
#undef SIO_RAISE_TAPI
  if (code == ecOutOfMemory) throw EOutOfMemory();
  if (code >= ecSystemFirst && code <= ecSystemLast) RaiseInOut(code);
  // No class of its own: the general library exception, keeping the real code so that
  // XlatException hands it back as the failure it is.
  throw ESIOException("Sio exception", code);
}

int XlatException(const std::exception& e) {
  if (auto* sio = dynamic_cast<const ESIOException*>(&e)) return sio->ErrorCode;
  if (auto* io = dynamic_cast<const EInOutError*>(&e)) return -io->ErrorCode;
  if (dynamic_cast<const EOutOfMemory*>(&e) || dynamic_cast<const std::bad_alloc*>(&e)) return ecOutOfMemory;
  return ecUnknownException;
}

int XlatException(std::exception_ptr e) {
  if (!e) return ecOK;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return XlatException(ex);
  } catch (...) {
    return ecUnknownException;
  }
}

std::string SioLoadStr(int code) {
  int number = static_cast<std::int16_t>(code);
  return LoadAnsi(number < 0 ? -number : number);
}

std::string ErrorMsg(int code) { return SioLoadStr(code); }

std::string SioLoadStrUtf8(int code) {
  int number = static_cast<std::int16_t>(code);
  number = number < 0 ? -number : number;
  std::u16string text = TableText(number);
  if (!text.empty()) return Utf16ToUtf8(text.substr(0, 255));
  return SioSingleLine(SystemMessage(number));
}

char* SioLoadZ(char* buffer, int code) {
  if (!buffer) return buffer;
  std::string text = LoadAnsi(code == INT32_MIN ? 0 : std::abs(code)).substr(0, 79);
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return buffer;
}

// Operating-system errors as library codes (DOS numbering of the system family):
//   ENOENT                        -2   File not found
//   ENOTDIR ENAMETOOLONG ELOOP    -3   Path not found
//   EMFILE ENFILE                 -4   Too many open files
//   EACCES EPERM EBUSY EEXIST     -5   File access denied
//   EISDIR ETXTBSY EXDEV ENOTEMPTY
//   EBADF                         -6   Invalid file handle
//   ENOMEM                        -8   Insufficient memory
//   ENOSPC EDQUOT EFBIG           -101 Disk is full
//   EROFS                         -150 Disk is write-protected
//   ENODEV ENXIO                  -152 Drive not ready
//   ESPIPE                        -156 Disk seek error
//   EIO                           -161 Device read error, or -160 Device write fault when writing
//   EPIPE                         -160 Device write fault
//   EINVAL                        -1002 Bad argument passed to function
//   anything else                 -162 General failure
int SioErrorFromErrno(int err, bool writing) {
  switch (err) {
    case 0:
      return ecOK;
    case ENOENT:
      return ecFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return ecPathNotFound;
    case EMFILE:
    case ENFILE:
      return ecTooManyFiles;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EEXIST:
    case EISDIR:
    case ETXTBSY:
    case EXDEV:
    case ENOTEMPTY:
      return ecFileAccessDenied;
    case EBADF:
      return ecInvalidHandle;
    case ENOMEM:
      return ecOutOfMemory;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ecDiskFull;
    case EROFS:
      return ecWriteProtected;
    case ENODEV:
    case ENXIO:
      return ecDriveNotReady;
    case ESPIPE:
      return ecSeekError;
    case EIO:
      return writing ? ecDeviceWrite : ecDeviceRead;
    case EPIPE:
      return ecDeviceWrite;
    case EINVAL:
      return ecBadArgument;
    default:
      return ecHardwareFailure;
  }
}
