#pragma once
// Library error codes, the exception class tree and the error-text lookup.
//
// Every engine routine returns 0 for success or one of the negative codes below; the
// component layer passes each result through CheckException, which raises the class that
// names the error with its text from the error-text table (stored under the code's
// absolute value).
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------------------
// Error codes
// ---------------------------------------------------------------------------------------

constexpr int ecOK = 0;
constexpr int ecSioGeneric = -1;  // unspecified failure

// System and file errors (DOS numbering)
constexpr int ecFileNotFound = -2;
constexpr int ecPathNotFound = -3;
constexpr int ecTooManyFiles = -4;
constexpr int ecFileAccessDenied = -5;
constexpr int ecInvalidHandle = -6;
constexpr int ecOutOfMemory = -8;
constexpr int ecInvalidDrive = -15;
constexpr int ecNoMoreFiles = -18;
constexpr int ecDiskRead = -100;  // read beyond end of file
constexpr int ecDiskFull = -101;
constexpr int ecNotAssigned = -102;  // file not assigned
constexpr int ecNotOpen = -103;
constexpr int ecNotOpenInput = -104;
constexpr int ecNotOpenOutput = -105;
constexpr int ecWriteProtected = -150;
constexpr int ecUnknownUnit = -151;
constexpr int ecDriveNotReady = -152;
constexpr int ecUnknownCommand = -153;
constexpr int ecCRCError = -154;
constexpr int ecBadDriveReq = -155;
constexpr int ecSeekError = -156;
constexpr int ecUnknownMedia = -157;
constexpr int ecSectorNotFound = -158;
constexpr int ecOutOfPaper = -159;
constexpr int ecDeviceWrite = -160;
constexpr int ecDeviceRead = -161;
constexpr int ecHardwareFailure = -162;
constexpr int ecSystemFirst = -162;  // range of the system family
constexpr int ecSystemLast = -2;

// General library errors
constexpr int ecNoDispatcher = -1001;
constexpr int ecBadArgument = -1002;
constexpr int ecGotQuitMsg = -1003;
constexpr int ecBufferTooBig = -1004;
constexpr int ecPortNotAssigned = -1005;
constexpr int ecInternal = -1006;
constexpr int ecModemNotAssigned = -1007;
constexpr int ecPhonebookNotAssigned = -1008;
constexpr int ecCannotUseWithWinSock = -1009;

// Opening a port
constexpr int ecBadId = -2001;
constexpr int ecBaudRate = -2002;
constexpr int ecByteSize = -2003;
constexpr int ecDefault = -2004;
constexpr int ecHardware = -2005;
constexpr int ecMemory = -2006;
constexpr int ecCommNotOpen = -2007;
constexpr int ecAlreadyOpen = -2008;
constexpr int ecNoHandles = -2009;
constexpr int ecNoTimers = -2010;
constexpr int ecNoPortSelected = -2011;
constexpr int ecNotOpenedByTapi = -2012;

// Serial input and output
constexpr int ecNullApi = -3001;
constexpr int ecNotSupported = -3002;
constexpr int ecRegisterHandlerFailed = -3003;
constexpr int ecPutBlockFail = -3004;
constexpr int ecGetBlockFail = -3005;
constexpr int ecOutputBufferTooSmall = -3006;
constexpr int ecBufferIsEmpty = -3007;
constexpr int ecTracingNotEnabled = -3008;
constexpr int ecLoggingNotEnabled = -3009;
constexpr int ecBaseAddressNotSet = -3010;

// Modem and dialer
constexpr int ecModemNotStarted = -4001;
constexpr int ecModemBusy = -4002;
constexpr int ecModemNotDialing = -4003;
constexpr int ecNotDialing = -4004;
constexpr int ecAlreadyDialing = -4005;
constexpr int ecModemNotResponding = -4006;
constexpr int ecModemRejectedCommand = -4007;
constexpr int ecModemStatusMismatch = -4008;

// Triggers
constexpr int ecNoMoreTriggers = -5001;
constexpr int ecTriggerTooLong = -5002;
constexpr int ecBadTriggerHandle = -5003;

// Data packets
constexpr int ecStartStringEmpty = -5501;
constexpr int ecPacketTooSmall = -5502;
constexpr int ecNoEndCharCount = -5503;
constexpr int ecEmptyEndString = -5504;
constexpr int ecZeroSizePacket = -5505;
constexpr int ecPacketTooLong = -5506;

// File-transfer protocols
constexpr int ecBadFileList = -6001;
constexpr int ecNoSearchMask = -6002;
constexpr int ecNoMatchingFiles = -6003;
constexpr int ecDirNotFound = -6004;
constexpr int ecCancelRequested = -6005;
constexpr int ecTimeout = -6006;
constexpr int ecProtocolError = -6007;
constexpr int ecTooManyErrors = -6008;
constexpr int ecSequenceError = -6009;
constexpr int ecNoFilename = -6010;
constexpr int ecFileRejected = -6011;
constexpr int ecCantWriteFile = -6012;
constexpr int ecTableFull = -6013;
constexpr int ecAbortNoCarrier = -6014;
constexpr int ecBadProtocolFunction = -6015;

// INI database
constexpr int ecKeyTooLong = -7001;
constexpr int ecDataTooLarge = -7002;
constexpr int ecNoFieldsDefined = -7003;
constexpr int ecIniWrite = -7004;
constexpr int ecIniRead = -7005;
constexpr int ecNoIndexKey = -7006;
constexpr int ecRecordExists = -7007;
constexpr int ecRecordNotFound = -7008;
constexpr int ecMustHaveIdxVal = -7009;
constexpr int ecDatabaseFull = -7010;
constexpr int ecDatabaseEmpty = -7011;
constexpr int ecDatabaseNotPrepared = -7012;
constexpr int ecBadFieldList = -7013;
constexpr int ecBadFieldForIndex = -7014;

// Fax conversion, viewing, sending and receiving, fax printer driver
constexpr int ecFaxBadFormat = -8001;
constexpr int ecBadGraphicsFormat = -8002;
constexpr int ecConvertAbort = -8003;
constexpr int ecUnpackAbort = -8004;
constexpr int ecCantMakeBitmap = -8005;
constexpr int ecNoImageLoaded = -8050;
constexpr int ecNoImageBlockMarked = -8051;
constexpr int ecFontFileNotFound = -8052;
constexpr int ecInvalidPageNumber = -8053;
constexpr int ecBmpTooBig = -8054;
constexpr int ecEnhFontTooBig = -8055;
constexpr int ecFaxBadMachine = -8060;
constexpr int ecFaxBadModemResult = -8061;
constexpr int ecFaxTrainError = -8062;
constexpr int ecFaxInitError = -8063;
constexpr int ecFaxBusy = -8064;
constexpr int ecFaxVoiceCall = -8065;
constexpr int ecFaxDataCall = -8066;
constexpr int ecFaxNoDialTone = -8067;
constexpr int ecFaxNoCarrier = -8068;
constexpr int ecFaxSessionError = -8069;
constexpr int ecFaxPageError = -8070;
constexpr int ecFaxGDIPrintError = -8071;
constexpr int ecFaxMixedResolution = -8072;
constexpr int ecFaxConverterInitFail = -8073;
constexpr int ecFaxNoAnswer = -8074;
constexpr int ecFaxAlreadyMonitored = -8075;
constexpr int ecFaxMCFNoAnswer = -8076;
constexpr int ecFaxPageTooLong = -8077;
constexpr int ecFaxNoFaxClass = -8078;
constexpr int ecFaxCoverNotFound = -8079;
constexpr int ecFaxPrinterNotFound = -8080;
constexpr int ecFaxPrinterInitFail = -8081;
constexpr int ecFaxPrinterJobAbort = -8082;
constexpr int ecFaxPrinterOutput = -8083;
constexpr int ecFaxPrinterNoPages = -8084;
constexpr int ecFaxPrinterBadPage = -8085;
constexpr int ecFaxPrinterBadRes = -8086;
constexpr int ecFaxPrinterDisk = -8087;
constexpr int ecFaxPrinterNoName = -8088;
constexpr int ecFaxPrinterBusy = -8089;
constexpr int ecFaxPrinterMemory = -8090;
constexpr int ecFaxPrinterEnd = -8091;
constexpr int ecFaxPrinterUnknown = -8092;

// Socket layer
constexpr int ecWsUnknownError = -9001;
constexpr int ecWsLoadError = -9002;
constexpr int ecWsVersionError = -9003;
constexpr int ecWsNotConnected = -9004;
constexpr int ecWsInvalidPort = -9005;
constexpr int ecWsCantCreateSocket = -9006;
constexpr int ecWsCantResolveAddress = -9007;
// Windows Sockets error numbers, negated
constexpr int ecWsaEINTR = -10004;
constexpr int ecWsaEBADF = -10009;
constexpr int ecWsaEACCES = -10013;
constexpr int ecWsaEFAULT = -10014;
constexpr int ecWsaEINVAL = -10022;
constexpr int ecWsaEMFILE = -10024;
constexpr int ecWsaEWOULDBLOCK = -10035;
constexpr int ecWsaEINPROGRESS = -10036;
constexpr int ecWsaEALREADY = -10037;
constexpr int ecWsaENOTSOCK = -10038;
constexpr int ecWsaEDESTADDRREQ = -10039;
constexpr int ecWsaEMSGSIZE = -10040;
constexpr int ecWsaEPROTOTYPE = -10041;
constexpr int ecWsaENOPROTOOPT = -10042;
constexpr int ecWsaEPROTONOSUPPORT = -10043;
constexpr int ecWsaESOCKTNOSUPPORT = -10044;
constexpr int ecWsaEOPNOTSUPP = -10045;
constexpr int ecWsaEPFNOSUPPORT = -10046;
constexpr int ecWsaEAFNOSUPPORT = -10047;
constexpr int ecWsaEADDRINUSE = -10048;
constexpr int ecWsaEADDRNOTAVAIL = -10049;
constexpr int ecWsaENETDOWN = -10050;
constexpr int ecWsaENETUNREACH = -10051;
constexpr int ecWsaENETRESET = -10052;
constexpr int ecWsaECONNABORTED = -10053;
constexpr int ecWsaECONNRESET = -10054;
constexpr int ecWsaENOBUFS = -10055;
constexpr int ecWsaEISCONN = -10056;
constexpr int ecWsaENOTCONN = -10057;
constexpr int ecWsaESHUTDOWN = -10058;
constexpr int ecWsaETOOMANYREFS = -10059;
constexpr int ecWsaETIMEDOUT = -10060;
constexpr int ecWsaECONNREFUSED = -10061;
constexpr int ecWsaELOOP = -10062;
constexpr int ecWsaENAMETOOLONG = -10063;
constexpr int ecWsaEHOSTDOWN = -10064;
constexpr int ecWsaEHOSTUNREACH = -10065;
constexpr int ecWsaENOTEMPTY = -10066;
constexpr int ecWsaEPROCLIM = -10067;
constexpr int ecWsaEUSERS = -10068;
constexpr int ecWsaEDQUOT = -10069;
constexpr int ecWsaESTALE = -10070;
constexpr int ecWsaEREMOTE = -10071;
constexpr int ecWsaSYSNOTREADY = -10091;
constexpr int ecWsaVERNOTSUPPORTED = -10092;
constexpr int ecWsaNOTINITIALISED = -10093;
constexpr int ecWsaHOST_NOT_FOUND = -11001;
constexpr int ecWsaTRY_AGAIN = -11002;
constexpr int ecWsaNO_RECOVERY = -11003;
constexpr int ecWsaNO_DATA = -11004;

// Telephony results: code = -(13800 + n) for the telephony error 0x80000000 + n.
// X(name, code) for every result that has a class of its own, in code order; the class is
// E<name> and the code constant ec<name> (ETapiAllocated, ecTapiAllocated = -13801, ...).
// clang-format off
#define SIO_TAPI_RESULT_CLASSES(X) \
  X(TapiAllocated, -13801) \
  X(TapiBadDeviceID, -13802) \
  X(TapiBearerModeUnavail, -13803) \
  X(TapiCallUnavail, -13805) \
  X(TapiCompletionOverrun, -13806) \
  X(TapiConferenceFull, -13807) \
  X(TapiDialBilling, -13808) \
  X(TapiDialDialtone, -13809) \
  X(TapiDialPrompt, -13810) \
  X(TapiDialQuiet, -13811) \
  X(TapiIncompatibleApiVersion, -13812) \
  X(TapiIncompatibleExtVersion, -13813) \
  X(TapiIniFileCorrupt, -13814) \
  X(TapiInUse, -13815) \
  X(TapiInvalAddress, -13816) \
  X(TapiInvalAddressID, -13817) \
  X(TapiInvalAddressMode, -13818) \
  X(TapiInvalAddressState, -13819) \
  X(TapiInvalAppHandle, -13820) \
  X(TapiInvalAppName, -13821) \
  X(TapiInvalBearerMode, -13822) \
  X(TapiInvalCallComplMode, -13823) \
  X(TapiInvalCallHandle, -13824) \
  X(TapiInvalCallParams, -13825) \
  X(TapiInvalCallPrivilege, -13826) \
  X(TapiInvalCallSelect, -13827) \
  X(TapiInvalCallState, -13828) \
  X(TapiInvalCallStatelist, -13829) \
  X(TapiInvalCard, -13830) \
  X(TapiInvalCompletionID, -13831) \
  X(TapiInvalConfCallHandle, -13832) \
  X(TapiInvalConsultCallHandle, -13833) \
  X(TapiInvalCountryCode, -13834) \
  X(TapiInvalDeviceClass, -13835) \
  X(TapiInvalDeviceHandle, -13836) \
  X(TapiInvalDialParams, -13837) \
  X(TapiInvalDigitList, -13838) \
  X(TapiInvalDigitMode, -13839) \
  X(TapiInvalDigits, -13840) \
  X(TapiInvalExtVersion, -13841) \
  X(TapiInvalGroupID, -13842) \
  X(TapiInvalLineHandle, -13843) \
  X(TapiInvalLineState, -13844) \
  X(TapiInvalLocation, -13845) \
  X(TapiInvalMediaList, -13846) \
  X(TapiInvalMediaMode, -13847) \
  X(TapiInvalMessageID, -13848) \
  X(TapiInvalParam, -13850) \
  X(TapiInvalParkID, -13851) \
  X(TapiInvalParkMode, -13852) \
  X(TapiInvalPointer, -13853) \
  X(TapiInvalPrivSelect, -13854) \
  X(TapiInvalRate, -13855) \
  X(TapiInvalRequestMode, -13856) \
  X(TapiInvalTerminalID, -13857) \
  X(TapiInvalTerminalMode, -13858) \
  X(TapiInvalTimeout, -13859) \
  X(TapiInvalTone, -13860) \
  X(TapiInvalToneList, -13861) \
  X(TapiInvalToneMode, -13862) \
  X(TapiInvalTransferMode, -13863) \
  X(TapiLineMapperFailed, -13864) \
  X(TapiNoConference, -13865) \
  X(TapiNoDevice, -13866) \
  X(TapiNoDriver, -13867) \
  X(TapiNoMem, -13868) \
  X(TapiNoRequest, -13869) \
  X(TapiNotOwner, -13870) \
  X(TapiNotRegistered, -13871) \
  X(TapiOperationFailed, -13872) \
  X(TapiOperationUnavail, -13873) \
  X(TapiRateUnavail, -13874) \
  X(TapiResourceUnavail, -13875) \
  X(TapiRequestOverrun, -13876) \
  X(TapiStructureTooSmall, -13877) \
  X(TapiTargetNotFound, -13878) \
  X(TapiTargetSelf, -13879) \
  X(TapiUninitialized, -13880) \
  X(TapiUserUserInfoTooBig, -13881) \
  X(TapiReinit, -13882) \
  X(TapiAddressBlocked, -13883) \
  X(TapiBillingRejected, -13884) \
  X(TapiInvalFeature, -13885) \
  X(TapiNoMultipleInstance, -13886)
// clang-format on

#define SIO_DECLARE_TAPI_CODE(name, code) constexpr int ec##name = code;
SIO_TAPI_RESULT_CLASSES(SIO_DECLARE_TAPI_CODE)
#undef SIO_DECLARE_TAPI_CODE
constexpr int ecTapiResultFirst = -13886;
constexpr int ecTapiResultLast = -13801;
constexpr int ecTapiReserved4 = -13804;  // telephony results without a class of their own
constexpr int ecTapiReserved49 = -13849;

// Telephony errors of the library itself
constexpr int ecTapiBusy = -13928;
constexpr int ecTapiNotSet = -13929;
constexpr int ecTapiNoSelect = -13930;
constexpr int ecTapiLoadFail = -13931;
constexpr int ecTapiGetAddrFail = -13932;
constexpr int ecTapi16Disabled = -13933;
constexpr int ecTapiUnexpected = -13934;
constexpr int ecTapiVoiceNotSupported = -13935;
constexpr int ecTapiWaveFail = -13936;
// 13937 and 13938 hold caller-id display texts ("Caller ID Blocked", "Out of Area Call").
constexpr int ecTapiWaveBadFormat = -13939;
constexpr int ecTapiWaveReadError = -13940;
constexpr int ecTapiWaveWriteError = -13941;
constexpr int ecTapiTranslateFail = -13942;
constexpr int ecTapiWaveDeviceInUse = -13943;
constexpr int ecTapiWaveFileExists = -13944;
constexpr int ecTapiNoWaveData = -13945;

// Remote access
constexpr int ecRasLoadFail = -13980;

// Code that XlatException gives for an exception the library does not know.
constexpr int ecUnknownException = -9999;

// ---------------------------------------------------------------------------------------
// Exceptions
// ---------------------------------------------------------------------------------------

// Base of every exception of the library and the application: a message text (UTF-8).
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }
  std::string Message;
};

// File and device I/O error; ErrorCode is the positive DOS error number (2 = file not found).
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, int errorCode) : Exception(std::move(message)), ErrorCode(errorCode) {}
  int ErrorCode;
};

class EOutOfMemory : public Exception {
 public:
  EOutOfMemory() : Exception("Out of memory") {}
  explicit EOutOfMemory(std::string message) : Exception(std::move(message)) {}
};

// Library exception: ErrorCode is the negative library code.
class ESIOException : public Exception {
 public:
  // From a code: the message is the code's text. The flag is accepted and has no effect.
  explicit ESIOException(int code, bool ignored = false);
  // From a message text; ErrorCode 0.
  explicit ESIOException(std::string message) : Exception(std::move(message)), ErrorCode(0) {}
  // A message with an explicit code (codes without a class of their own keep their code).
  ESIOException(std::string message, int code) : Exception(std::move(message)), ErrorCode(code) {}
  static int MapCodeToStringID(int code) { return code < 0 ? -code : code; }
  int ErrorCode;
};

#define SIO_EXCEPTION_CLASS(cls, base) \
  class cls : public base {            \
   public:                             \
    using base::base;                  \
  };

// Families
SIO_EXCEPTION_CLASS(EGeneral, ESIOException)
SIO_EXCEPTION_CLASS(EOpenComm, ESIOException)
SIO_EXCEPTION_CLASS(ESerialIO, ESIOException)
SIO_EXCEPTION_CLASS(EModem, ESIOException)
SIO_EXCEPTION_CLASS(ETrigger, ESIOException)
SIO_EXCEPTION_CLASS(EPacket, ESIOException)
SIO_EXCEPTION_CLASS(EProtocol, ESIOException)
SIO_EXCEPTION_CLASS(EINI, ESIOException)
SIO_EXCEPTION_CLASS(EFax, ESIOException)
SIO_EXCEPTION_CLASS(ETapi, ESIOException)
SIO_EXCEPTION_CLASS(ERas, ESIOException)
SIO_EXCEPTION_CLASS(ESioTerminal, ESIOException)

// General
SIO_EXCEPTION_CLASS(EBadArgument, EGeneral)
SIO_EXCEPTION_CLASS(EGotQuitMsg, EGeneral)
SIO_EXCEPTION_CLASS(EBufferTooBig, EGeneral)
SIO_EXCEPTION_CLASS(EPortNotAssigned, EGeneral)
SIO_EXCEPTION_CLASS(EInternal, EGeneral)
SIO_EXCEPTION_CLASS(EModemNotAssigned, EGeneral)
SIO_EXCEPTION_CLASS(EPhonebookNotAssigned, EGeneral)
SIO_EXCEPTION_CLASS(ECannotUseWithWinSock, EGeneral)

// Opening a port
SIO_EXCEPTION_CLASS(EBadId, EOpenComm)
SIO_EXCEPTION_CLASS(EBaudRate, EOpenComm)
SIO_EXCEPTION_CLASS(EByteSize, EOpenComm)
SIO_EXCEPTION_CLASS(EDefault, EOpenComm)
SIO_EXCEPTION_CLASS(EHardware, EOpenComm)
SIO_EXCEPTION_CLASS(EMemory, EOpenComm)
SIO_EXCEPTION_CLASS(ECommNotOpen, EOpenComm)
SIO_EXCEPTION_CLASS(EAlreadyOpen, EOpenComm)
SIO_EXCEPTION_CLASS(ENoHandles, EOpenComm)
SIO_EXCEPTION_CLASS(ENoTimers, EOpenComm)
SIO_EXCEPTION_CLASS(ENoPortSelected, EOpenComm)
SIO_EXCEPTION_CLASS(ENotOpenedByTapi, EOpenComm)

// Serial input and output
SIO_EXCEPTION_CLASS(ENullApi, ESerialIO)
SIO_EXCEPTION_CLASS(ERegisterHandlerFailed, ESerialIO)
SIO_EXCEPTION_CLASS(EPutBlockFail, ESerialIO)
SIO_EXCEPTION_CLASS(EGetBlockFail, ESerialIO)
SIO_EXCEPTION_CLASS(EOutputBufferTooSmall, ESerialIO)
SIO_EXCEPTION_CLASS(EBufferIsEmpty, ESerialIO)
SIO_EXCEPTION_CLASS(ETracingNotEnabled, ESerialIO)
SIO_EXCEPTION_CLASS(ELoggingNotEnabled, ESerialIO)
SIO_EXCEPTION_CLASS(EBaseAddressNotSet, ESerialIO)

// Modem and dialer
SIO_EXCEPTION_CLASS(EModemNotStarted, EModem)
SIO_EXCEPTION_CLASS(EModemBusy, EModem)
SIO_EXCEPTION_CLASS(EModemNotDialing, EModem)
SIO_EXCEPTION_CLASS(ENotDialing, EModem)
SIO_EXCEPTION_CLASS(EAlreadyDialing, EModem)
SIO_EXCEPTION_CLASS(EModemNotResponding, EModem)
SIO_EXCEPTION_CLASS(EModemRejectedCommand, EModem)
SIO_EXCEPTION_CLASS(EModemStatusMismatch, EModem)

// Triggers
SIO_EXCEPTION_CLASS(ETriggerTooLong, ETrigger)
SIO_EXCEPTION_CLASS(EBadTriggerHandle, ETrigger)

// Data packets
SIO_EXCEPTION_CLASS(EInvalidProperty, EPacket)
SIO_EXCEPTION_CLASS(EStringSizeError, EPacket)

// File-transfer protocols
SIO_EXCEPTION_CLASS(ETimeout, EProtocol)
SIO_EXCEPTION_CLASS(ETooManyErrors, EProtocol)
SIO_EXCEPTION_CLASS(ESequenceError, EProtocol)

// INI database
SIO_EXCEPTION_CLASS(EKeyTooLong, EINI)
SIO_EXCEPTION_CLASS(EDataTooLarge, EINI)
SIO_EXCEPTION_CLASS(EIniWrite, EINI)
SIO_EXCEPTION_CLASS(EIniRead, EINI)
SIO_EXCEPTION_CLASS(ERecordExists, EINI)
SIO_EXCEPTION_CLASS(ERecordNotFound, EINI)
SIO_EXCEPTION_CLASS(EDatabaseFull, EINI)
SIO_EXCEPTION_CLASS(EDatabaseEmpty, EINI)
SIO_EXCEPTION_CLASS(EBadFieldList, EINI)
SIO_EXCEPTION_CLASS(EBadFieldForIndex, EINI)

// Fax
SIO_EXCEPTION_CLASS(EFaxBadFormat, EFax)
SIO_EXCEPTION_CLASS(EBadGraphicsFormat, EFax)
SIO_EXCEPTION_CLASS(EConvertAbort, EFax)
SIO_EXCEPTION_CLASS(EUnpackAbort, EFax)
SIO_EXCEPTION_CLASS(ECantMakeBitmap, EFax)
SIO_EXCEPTION_CLASS(ENoImageLoaded, EFax)
SIO_EXCEPTION_CLASS(ENoImageBlockMarked, EFax)
SIO_EXCEPTION_CLASS(EInvalidPageNumber, EFax)
SIO_EXCEPTION_CLASS(EFaxBadMachine, EFax)
SIO_EXCEPTION_CLASS(EFaxBadModemResult, EFax)
SIO_EXCEPTION_CLASS(EFaxTrainError, EFax)
SIO_EXCEPTION_CLASS(EFaxInitError, EFax)
SIO_EXCEPTION_CLASS(EFaxBusy, EFax)
SIO_EXCEPTION_CLASS(EFaxVoiceCall, EFax)
SIO_EXCEPTION_CLASS(EFaxDataCall, EFax)
SIO_EXCEPTION_CLASS(EFaxNoDialTone, EFax)
SIO_EXCEPTION_CLASS(EFaxNoCarrier, EFax)
SIO_EXCEPTION_CLASS(EFaxSessionError, EFax)
SIO_EXCEPTION_CLASS(EFaxPageError, EFax)
SIO_EXCEPTION_CLASS(EAlreadyMonitored, EFax)

// Telephony results, one class per code
#define SIO_DECLARE_TAPI_CLASS(name, code) SIO_EXCEPTION_CLASS(E##name, ETapi)
SIO_TAPI_RESULT_CLASSES(SIO_DECLARE_TAPI_CLASS)
#undef SIO_DECLARE_TAPI_CLASS

// Telephony errors of the library itself
SIO_EXCEPTION_CLASS(ETapiBusy, ETapi)
SIO_EXCEPTION_CLASS(ETapiNotSet, ETapi)
SIO_EXCEPTION_CLASS(ETapiNoSelect, ETapi)
SIO_EXCEPTION_CLASS(ETapiLoadFail, ETapi)
SIO_EXCEPTION_CLASS(ETapiGetAddrFail, ETapi)
SIO_EXCEPTION_CLASS(ETapi16Disabled, ETapi)
SIO_EXCEPTION_CLASS(ETapiUnexpected, ETapi)
SIO_EXCEPTION_CLASS(ETapiVoiceNotSupported, ETapi)
SIO_EXCEPTION_CLASS(ETapiWaveFail, ETapi)
SIO_EXCEPTION_CLASS(ETapiTranslateFail, ETapi)

// Remote access
SIO_EXCEPTION_CLASS(ERasLoadFail, ERas)

// Terminal
SIO_EXCEPTION_CLASS(ESioTermRangeError, ESioTerminal)
SIO_EXCEPTION_CLASS(ESioTermInvalidParameter, ESioTerminal)
SIO_EXCEPTION_CLASS(ESioTermTooLarge, ESioTerminal)

// ---------------------------------------------------------------------------------------
// Checking and translating
// ---------------------------------------------------------------------------------------

// Raises the exception that belongs to Code (< 0): the class listed for the code; the
// class library's out-of-memory (-8) or I/O error exception (-2 .. -162); otherwise
// ESIOException "Sio exception" with the code kept in ErrorCode.
[[noreturn]] void RaiseSioException(int code);

// Returns Code when it is 0 or positive, or when Loading is true (a component being read
// from its stored form); raises otherwise.
inline int CheckExceptionCode(int code, bool loading = false) {
  if (code < 0 && !loading) RaiseSioException(code);
  return code;
}

// Component form: Component may be null. The loading state is asked through
// ComponentIsLoading(const C&), which each component base provides.
template <class C>
int CheckException(const C* component, int code) {
  if (code >= 0) return code;
  return CheckExceptionCode(code, component != nullptr && ComponentIsLoading(*component));
}

// Library code of a caught exception: ESIOException its ErrorCode; EInOutError the negated
// error code; EOutOfMemory -8; anything else -9999. Call it inside a catch block.
int XlatException(const std::exception& e);
int XlatException(std::exception_ptr e);

// Text of Code (looked up under its absolute value) in the ANSI code page (Windows-1252),
// at most 255 characters; a code without table text gets the operating system's text
// for that number, cleaned to one line; empty when there is none. Code is taken as a
// signed 16-bit value.
std::string SioLoadStr(int code);
std::string ErrorMsg(int code);
// The same text into an 80-byte buffer: at most 79 characters and a NUL. Returns Buffer.
char* SioLoadZ(char* buffer, int code);
// UTF-8 form of the text, for messages shown to the user.
std::string SioLoadStrUtf8(int code);

// Library code for an operating-system error number (errno); 0 stays 0. Writing selects the
// write-fault code for EIO. Numbers without a closer match give -162 "General failure".
int SioErrorFromErrno(int err, bool writing = false);

// The text on one line: characters below 32 become spaces, runs of spaces become one.
std::string SioSingleLine(std::string_view text);
