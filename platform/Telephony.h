#pragma once
// The telephony service: line devices, calls and their events over modems.
//
// A line device is a modem on a serial port, listed in the settings under kTelephonyLinesKey,
// one subkey a line (the subkeys' creation order gives the device ids 0, 1, ...):
//   [Software\Nordhaven\SIO\Lines\1]
//   "Name"=sz:"MicroLink 33.6TQV"      line name (required; a line without one is left out)
//   "ComNumber"=dword:2                 the modem's port, COM<n> as the serial layer maps it
//   "Init"=sz:"ATE0V1Q0"                initialisation, one command a line or separated by '|'
//   "CallerID"=sz:"AT+VCID=1"           switches caller-id reports on ("" for none)
//   "Voice"=dword:1                     the modem has a voice mode (+FCLASS=8)
//   "Baud"=dword:57600                  line speed towards the modem
//   "EscapeGuard"=dword:1000            guard time around "+++" in ms
//   "DialTimeout"=dword:60              seconds to wait for the result of a dial
//   "RingTimeout"=dword:8000            ms without a RING after which an unanswered call is gone
// The list is read by lineInitialize.
//
// The functions and records follow the published line-device interface: results are 0, a
// positive request id for an asynchronous function (its result arrives as LINE_REPLY), or
// 0x80000000 + n (LINEERR_...). Events reach the callback given to lineInitialize on the
// thread that called it, while that thread handles its messages (platform/Messages.h).
//
// Opening a line with owner privilege opens the modem, initialises it and watches it for
// incoming calls (RING, caller id). A call made on a line opens the modem when needed,
// initialises it and dials with ATD; a call with the pass-through bearer mode is connected at
// once without a word to the modem, so that its owner talks to the modem itself. The
// connected call's serial descriptor (lineGetID, class "comm/datamodem") is a duplicate of
// the service's own, below 65536, for a port component to adopt; the service does not read
// the modem while the call is handed over. Dropping a call hangs up (DTR off, escape to
// command mode where needed, ATH).
//
// Voice lines offer automated voice: a connected voice call has a wave device (lineGetID,
// class "wave/out") served through platform/WaveIO.h with the modem's voice commands (+VSM,
// +VTX, +VRX), DTMF reports (<DLE> digit) and DTMF generation (+VTS).
//
// The module: TelephonyLoad() stands in for loading the system's telephony library and
// TelephonyGetProc() for looking up its entry points by name. Tests can make the library
// missing, or replace or hide entry points, before it is loaded.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using LONG = std::int32_t;
using DWORD_PTR = std::uintptr_t;
using HLINEAPP = std::uint32_t;
using HLINE = std::uint32_t;
using HCALL = std::uint32_t;

constexpr const char* kTelephonyLinesKey = "\\Software\\Nordhaven\\SIO\\Lines";

// ---------------------------------------------------------------------------------------
// Records. Each variable-size record starts with its total, needed and used size; strings
// inside it are given by a size (bytes, with the terminating NUL) and an offset from the
// record's start.
// ---------------------------------------------------------------------------------------

struct LINEEXTENSIONID {
  std::uint32_t dwExtensionID0, dwExtensionID1, dwExtensionID2, dwExtensionID3;
};

struct VARSTRING {
  std::uint32_t dwTotalSize, dwNeededSize, dwUsedSize;
  std::uint32_t dwStringFormat, dwStringSize, dwStringOffset;
};

struct LINEDEVCAPS {
  std::uint32_t dwTotalSize, dwNeededSize, dwUsedSize;
  std::uint32_t dwProviderInfoSize, dwProviderInfoOffset;
  std::uint32_t dwSwitchInfoSize, dwSwitchInfoOffset;
  std::uint32_t dwPermanentLineID;
  std::uint32_t dwLineNameSize, dwLineNameOffset;
  std::uint32_t dwStringFormat;
  std::uint32_t dwAddressModes, dwNumAddresses;
  std::uint32_t dwBearerModes, dwMaxRate, dwMediaModes;
  std::uint32_t dwGenerateDigitModes, dwMonitorDigitModes;
  std::uint32_t dwDevCapFlags, dwMaxNumActiveCalls, dwAnswerMode, dwRingModes;
  std::uint32_t dwLineStates;
  std::uint32_t dwTerminalCapsSize, dwTerminalCapsOffset;
  std::uint32_t dwDevSpecificSize, dwDevSpecificOffset;
  std::uint32_t dwLineFeatures;
};

struct LINECALLINFO {
  std::uint32_t dwTotalSize, dwNeededSize, dwUsedSize;
  HLINE hLine;
  std::uint32_t dwLineDeviceID, dwAddressID;
  std::uint32_t dwBearerMode, dwRate, dwMediaMode;
  std::uint32_t dwAppSpecific, dwCallID, dwRelatedCallID, dwCallParamFlags;
  std::uint32_t dwCallStates;
  std::uint32_t dwMonitorDigitModes, dwMonitorMediaModes;
  std::uint32_t dwOrigin, dwReason;
  std::uint32_t dwCompletionID, dwNumOwners, dwNumMonitors;
  std::uint32_t dwCountryCode, dwTrunk;
  std::uint32_t dwCallerIDFlags, dwCallerIDSize, dwCallerIDOffset, dwCallerIDNameSize, dwCallerIDNameOffset;
  std::uint32_t dwCalledIDFlags, dwCalledIDSize, dwCalledIDOffset, dwCalledIDNameSize, dwCalledIDNameOffset;
  std::uint32_t dwDisplaySize, dwDisplayOffset;
};

struct LINECALLSTATUS {
  std::uint32_t dwTotalSize, dwNeededSize, dwUsedSize;
  std::uint32_t dwCallState, dwCallStateMode, dwCallPrivilege, dwCallFeatures;
  std::uint32_t dwDevSpecificSize, dwDevSpecificOffset;
};
static_assert(sizeof(LINECALLSTATUS) == 36);

struct LINETRANSLATEOUTPUT {
  std::uint32_t dwTotalSize, dwNeededSize, dwUsedSize;
  std::uint32_t dwDialableStringSize, dwDialableStringOffset;
  std::uint32_t dwDisplayableStringSize, dwDisplayableStringOffset;
  std::uint32_t dwCurrentCountry, dwDestCountry, dwTranslateResults;
};
static_assert(sizeof(LINETRANSLATEOUTPUT) == 40);

struct LINEADDRESSSTATUS {
  std::uint32_t dwTotalSize, dwNeededSize, dwUsedSize;
  std::uint32_t dwNumInUse, dwNumActiveCalls, dwNumOnHoldCalls, dwNumOnHoldPendCalls;
  std::uint32_t dwAddressFeatures;
};

struct LINECOUNTRYLIST {
  std::uint32_t dwTotalSize, dwNeededSize, dwUsedSize;
  std::uint32_t dwNumCountries, dwCountryListSize, dwCountryListOffset;
};

struct LINETRANSLATECAPS {
  std::uint32_t dwTotalSize, dwNeededSize, dwUsedSize;
  std::uint32_t dwNumLocations, dwLocationListSize, dwLocationListOffset, dwCurrentLocationID;
};

struct LINEDIALPARAMS {
  std::uint32_t dwDialPause, dwDialSpeed, dwDigitDuration, dwWaitForDialtone;
};

// Call parameters of lineMakeCall (112 bytes; the fields the service reads first).
struct LINECALLPARAMS {
  std::uint32_t dwTotalSize;
  std::uint32_t dwBearerMode, dwMinRate, dwMaxRate, dwMediaMode;
  std::uint32_t dwCallParamFlags, dwAddressMode, dwAddressID;
  std::uint32_t dwReserved[20];
};
static_assert(sizeof(LINECALLPARAMS) == 112);

// ---------------------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------------------

// Messages to the line callback: (hDevice, message, instance, param1, param2, param3).
constexpr std::uint32_t LINE_ADDRESSSTATE = 0;
constexpr std::uint32_t LINE_CALLINFO = 1;   // call, info states changed
constexpr std::uint32_t LINE_CALLSTATE = 2;  // call, state, state detail, privilege
constexpr std::uint32_t LINE_CLOSE = 3;      // line
constexpr std::uint32_t LINE_DEVSPECIFIC = 4;
constexpr std::uint32_t LINE_DEVSPECIFICFEATURE = 5;
constexpr std::uint32_t LINE_GATHERDIGITS = 6;
constexpr std::uint32_t LINE_GENERATE = 7;       // call, LINEGENERATETERM_..., tick
constexpr std::uint32_t LINE_LINEDEVSTATE = 8;   // line, state, detail, detail (ring count)
constexpr std::uint32_t LINE_MONITORDIGITS = 9;  // call, digit, digit mode, tick
constexpr std::uint32_t LINE_MONITORMEDIA = 10;
constexpr std::uint32_t LINE_MONITORTONE = 11;
constexpr std::uint32_t LINE_REPLY = 12;  // 0, request id, result
constexpr std::uint32_t LINE_REQUEST = 13;
constexpr std::uint32_t LINE_CREATE = 19;  // 0, new device id

constexpr std::uint32_t LINECALLSTATE_IDLE = 0x1;
constexpr std::uint32_t LINECALLSTATE_OFFERING = 0x2;
constexpr std::uint32_t LINECALLSTATE_ACCEPTED = 0x4;
constexpr std::uint32_t LINECALLSTATE_DIALTONE = 0x8;
constexpr std::uint32_t LINECALLSTATE_DIALING = 0x10;
constexpr std::uint32_t LINECALLSTATE_RINGBACK = 0x20;
constexpr std::uint32_t LINECALLSTATE_BUSY = 0x40;
constexpr std::uint32_t LINECALLSTATE_SPECIALINFO = 0x80;
constexpr std::uint32_t LINECALLSTATE_CONNECTED = 0x100;
constexpr std::uint32_t LINECALLSTATE_PROCEEDING = 0x200;
constexpr std::uint32_t LINECALLSTATE_ONHOLD = 0x400;
constexpr std::uint32_t LINECALLSTATE_CONFERENCED = 0x800;
constexpr std::uint32_t LINECALLSTATE_ONHOLDPENDCONF = 0x1000;
constexpr std::uint32_t LINECALLSTATE_ONHOLDPENDTRANSFER = 0x2000;
constexpr std::uint32_t LINECALLSTATE_DISCONNECTED = 0x4000;
constexpr std::uint32_t LINECALLSTATE_UNKNOWN = 0x8000;

constexpr std::uint32_t LINEDISCONNECTMODE_NORMAL = 0x1;
constexpr std::uint32_t LINEDISCONNECTMODE_UNKNOWN = 0x2;
constexpr std::uint32_t LINEDISCONNECTMODE_REJECT = 0x4;
constexpr std::uint32_t LINEDISCONNECTMODE_BUSY = 0x20;
constexpr std::uint32_t LINEDISCONNECTMODE_NOANSWER = 0x40;
constexpr std::uint32_t LINEDISCONNECTMODE_BADADDRESS = 0x80;
constexpr std::uint32_t LINEDISCONNECTMODE_UNAVAIL = 0x800;
constexpr std::uint32_t LINEDISCONNECTMODE_NODIALTONE = 0x1000;

constexpr std::uint32_t LINEDIALTONEMODE_NORMAL = 0x1;
constexpr std::uint32_t LINEBUSYMODE_UNAVAIL = 0x4;

constexpr std::uint32_t LINEDEVSTATE_OTHER = 0x1;
constexpr std::uint32_t LINEDEVSTATE_RINGING = 0x2;
constexpr std::uint32_t LINEDEVSTATE_CONNECTED = 0x4;
constexpr std::uint32_t LINEDEVSTATE_DISCONNECTED = 0x8;
constexpr std::uint32_t LINEDEVSTATE_INSERVICE = 0x40;
constexpr std::uint32_t LINEDEVSTATE_OUTOFSERVICE = 0x80;
constexpr std::uint32_t LINEDEVSTATE_MAINTENANCE = 0x100;
constexpr std::uint32_t LINEDEVSTATE_OPEN = 0x200;
constexpr std::uint32_t LINEDEVSTATE_CLOSE = 0x400;
constexpr std::uint32_t LINEDEVSTATE_REINIT = 0x40000;
constexpr std::uint32_t LINEDEVSTATE_ALL = 0x1FFFFFF;
constexpr std::uint32_t LINEADDRESSSTATE_ALL = 0x1FF;

constexpr std::uint32_t LINEMEDIAMODE_UNKNOWN = 0x2;
constexpr std::uint32_t LINEMEDIAMODE_INTERACTIVEVOICE = 0x4;
constexpr std::uint32_t LINEMEDIAMODE_AUTOMATEDVOICE = 0x8;
constexpr std::uint32_t LINEMEDIAMODE_DATAMODEM = 0x10;
constexpr std::uint32_t LINEMEDIAMODE_G3FAX = 0x20;

constexpr std::uint32_t LINEBEARERMODE_VOICE = 0x1;
constexpr std::uint32_t LINEBEARERMODE_DATA = 0x10;
constexpr std::uint32_t LINEBEARERMODE_PASSTHROUGH = 0x40;

constexpr std::uint32_t LINECALLPRIVILEGE_NONE = 0x1;
constexpr std::uint32_t LINECALLPRIVILEGE_MONITOR = 0x2;
constexpr std::uint32_t LINECALLPRIVILEGE_OWNER = 0x4;

constexpr std::uint32_t LINECALLPARAMFLAGS_IDLE = 0x2;
constexpr std::uint32_t LINEADDRESSMODE_ADDRESSID = 0x1;

constexpr std::uint32_t LINECALLSELECT_LINE = 0x1;
constexpr std::uint32_t LINECALLSELECT_ADDRESS = 0x2;
constexpr std::uint32_t LINECALLSELECT_CALL = 0x4;

constexpr std::uint32_t LINECALLINFOSTATE_RATE = 0x8;
constexpr std::uint32_t LINECALLINFOSTATE_MEDIAMODE = 0x10;
constexpr std::uint32_t LINECALLINFOSTATE_CALLERID = 0x8000;

constexpr std::uint32_t LINECALLORIGIN_OUTBOUND = 0x1;
constexpr std::uint32_t LINECALLORIGIN_INBOUND = 0x40;

constexpr std::uint32_t LINECALLPARTYID_BLOCKED = 0x1;
constexpr std::uint32_t LINECALLPARTYID_OUTOFAREA = 0x2;
constexpr std::uint32_t LINECALLPARTYID_NAME = 0x4;
constexpr std::uint32_t LINECALLPARTYID_ADDRESS = 0x8;
constexpr std::uint32_t LINECALLPARTYID_PARTIAL = 0x10;
constexpr std::uint32_t LINECALLPARTYID_UNKNOWN = 0x20;
constexpr std::uint32_t LINECALLPARTYID_UNAVAIL = 0x40;

constexpr std::uint32_t LINEDIGITMODE_PULSE = 0x1;
constexpr std::uint32_t LINEDIGITMODE_DTMF = 0x2;
constexpr std::uint32_t LINEGENERATETERM_DONE = 0x1;
constexpr std::uint32_t LINEGENERATETERM_CANCEL = 0x2;

constexpr std::uint32_t STRINGFORMAT_ASCII = 0x1;
constexpr std::uint32_t STRINGFORMAT_BINARY = 0x4;

constexpr std::uint32_t LINETRANSLATEOPTION_CARDOVERRIDE = 0x1;
constexpr std::uint32_t LINETRANSLATEOPTION_CANCELCALLWAITING = 0x2;
constexpr std::uint32_t LINETRANSLATERESULT_CANONICAL = 0x1;
constexpr std::uint32_t LINETRANSLATERESULT_INTERNATIONAL = 0x2;
constexpr std::uint32_t LINETRANSLATERESULT_LONGDISTANCE = 0x4;
constexpr std::uint32_t LINETRANSLATERESULT_LOCAL = 0x8;

constexpr std::uint32_t kTelephonyApiVersion = 0x00010004;

// Error results.
constexpr LONG LineErr(std::uint32_t n) { return static_cast<LONG>(0x80000000u + n); }
constexpr LONG LINEERR_ALLOCATED = LineErr(0x01);
constexpr LONG LINEERR_BADDEVICEID = LineErr(0x02);
constexpr LONG LINEERR_BEARERMODEUNAVAIL = LineErr(0x03);
constexpr LONG LINEERR_CALLUNAVAIL = LineErr(0x05);
constexpr LONG LINEERR_INCOMPATIBLEAPIVERSION = LineErr(0x0C);
constexpr LONG LINEERR_INUSE = LineErr(0x0F);
constexpr LONG LINEERR_INVALADDRESS = LineErr(0x10);
constexpr LONG LINEERR_INVALAPPHANDLE = LineErr(0x14);
constexpr LONG LINEERR_INVALBEARERMODE = LineErr(0x16);
constexpr LONG LINEERR_INVALCALLHANDLE = LineErr(0x18);
constexpr LONG LINEERR_INVALCALLSELECT = LineErr(0x1B);
constexpr LONG LINEERR_INVALCALLSTATE = LineErr(0x1C);
constexpr LONG LINEERR_INVALDEVICECLASS = LineErr(0x23);
constexpr LONG LINEERR_INVALDIGITMODE = LineErr(0x27);
constexpr LONG LINEERR_INVALDIGITS = LineErr(0x28);
constexpr LONG LINEERR_INVALLINEHANDLE = LineErr(0x2B);
constexpr LONG LINEERR_INVALMEDIAMODE = LineErr(0x2F);
constexpr LONG LINEERR_INVALPARAM = LineErr(0x32);
constexpr LONG LINEERR_INVALPOINTER = LineErr(0x35);
constexpr LONG LINEERR_INVALPRIVSELECT = LineErr(0x36);
constexpr LONG LINEERR_NODEVICE = LineErr(0x42);
constexpr LONG LINEERR_NOMEM = LineErr(0x44);
constexpr LONG LINEERR_NOTOWNER = LineErr(0x46);
constexpr LONG LINEERR_OPERATIONFAILED = LineErr(0x48);
constexpr LONG LINEERR_OPERATIONUNAVAIL = LineErr(0x49);
constexpr LONG LINEERR_RESOURCEUNAVAIL = LineErr(0x4B);
constexpr LONG LINEERR_STRUCTURETOOSMALL = LineErr(0x4D);
constexpr LONG LINEERR_UNINITIALIZED = LineErr(0x50);
constexpr LONG LINEERR_REINIT = LineErr(0x52);

// ---------------------------------------------------------------------------------------
// Functions
// ---------------------------------------------------------------------------------------

using LINECALLBACK = void (*)(DWORD_PTR hDevice, std::uint32_t dwMessage, DWORD_PTR dwInstance,
                              DWORD_PTR dwParam1, DWORD_PTR dwParam2, DWORD_PTR dwParam3);

LONG lineInitialize(HLINEAPP* lineApp, const void* instance, LINECALLBACK callback, const char* appName,
                    std::uint32_t* numDevs);
LONG lineShutdown(HLINEAPP lineApp);
LONG lineNegotiateAPIVersion(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiLowVersion,
                             std::uint32_t apiHighVersion, std::uint32_t* apiVersion,
                             LINEEXTENSIONID* extensionId);
LONG lineGetDevCaps(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion,
                    std::uint32_t extVersion, LINEDEVCAPS* caps);
LONG lineOpen(HLINEAPP lineApp, std::uint32_t deviceId, HLINE* line, std::uint32_t apiVersion,
              std::uint32_t extVersion, DWORD_PTR callbackInstance, std::uint32_t privileges,
              std::uint32_t mediaModes, const LINECALLPARAMS* callParams);
LONG lineClose(HLINE line);
LONG lineSetStatusMessages(HLINE line, std::uint32_t lineStates, std::uint32_t addressStates);
LONG lineGetStatusMessages(HLINE line, std::uint32_t* lineStates, std::uint32_t* addressStates);
LONG lineGetAddressStatus(HLINE line, std::uint32_t addressId, LINEADDRESSSTATUS* status);
LONG lineMakeCall(HLINE line, HCALL* call, const char* destAddress, std::uint32_t countryCode,
                  const LINECALLPARAMS* callParams);
LONG lineAccept(HCALL call, const char* userUserInfo, std::uint32_t size);
LONG lineAnswer(HCALL call, const char* userUserInfo, std::uint32_t size);
LONG lineDrop(HCALL call, const char* userUserInfo, std::uint32_t size);
LONG lineDeallocateCall(HCALL call);
LONG lineHandoff(HCALL call, const char* fileName, std::uint32_t mediaMode);
LONG lineGetID(HLINE line, std::uint32_t addressId, HCALL call, std::uint32_t select, VARSTRING* deviceId,
               const char* deviceClass);
LONG lineGetCallInfo(HCALL call, LINECALLINFO* info);
LONG lineGetCallStatus(HCALL call, LINECALLSTATUS* status);
LONG lineSetMediaMode(HCALL call, std::uint32_t mediaModes);
LONG lineSetCallParams(HCALL call, std::uint32_t bearerMode, std::uint32_t minRate, std::uint32_t maxRate,
                       const LINEDIALPARAMS* dialParams);
LONG lineMonitorDigits(HCALL call, std::uint32_t digitModes);
LONG lineMonitorMedia(HCALL call, std::uint32_t mediaModes);
LONG lineMonitorTones(HCALL call, const void* toneList, std::uint32_t numEntries);
LONG lineGenerateDigits(HCALL call, std::uint32_t digitMode, const char* digits, std::uint32_t duration);
LONG lineGenerateTone(HCALL call, std::uint32_t toneMode, std::uint32_t duration, std::uint32_t numTones,
                      const void* tones);
LONG lineGetCountry(std::uint32_t countryId, std::uint32_t apiVersion, LINECOUNTRYLIST* list);
LONG lineGetDevConfig(std::uint32_t deviceId, VARSTRING* config, const char* deviceClass);
LONG lineSetDevConfig(std::uint32_t deviceId, const void* config, std::uint32_t size,
                      const char* deviceClass);
LONG lineConfigDialog(std::uint32_t deviceId, DWORD_PTR ownerWindow, const char* deviceClass);
LONG lineConfigDialogEdit(std::uint32_t deviceId, DWORD_PTR ownerWindow, const char* deviceClass,
                          const void* configIn, std::uint32_t sizeIn, VARSTRING* configOut);
LONG lineTranslateAddress(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion,
                          const char* addressIn, std::uint32_t card, std::uint32_t options,
                          LINETRANSLATEOUTPUT* output);
LONG lineTranslateDialog(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion,
                         DWORD_PTR ownerWindow, const char* addressIn);
LONG lineSetCurrentLocation(HLINEAPP lineApp, std::uint32_t location);
LONG lineSetTollList(HLINEAPP lineApp, std::uint32_t deviceId, const char* addressIn, std::uint32_t option);
LONG lineGetTranslateCaps(HLINEAPP lineApp, std::uint32_t apiVersion, LINETRANSLATECAPS* caps);

// ---------------------------------------------------------------------------------------
// Line configuration, dialing location and dialogs
// ---------------------------------------------------------------------------------------

// One line device as the settings list it.
struct TTelephonyLine {
  std::string Name;
  std::uint16_t ComNumber = 0;
  std::string Init = "ATE0V1Q0";
  std::string CallerID = "AT+VCID=1";
  bool Voice = false;
  std::uint32_t Baud = 57600;
  std::uint32_t EscapeGuardMs = 1000;
  std::uint32_t DialTimeoutS = 60;
  std::uint32_t RingTimeoutMs = 8000;
};

// The lines listed in the settings now, in device-id order.
std::vector<TTelephonyLine> ReadTelephonyLines();
// Writes a line under kTelephonyLinesKey: an existing entry of the same name is replaced,
// else a new one is added at the end.
void WriteTelephonyLine(const TTelephonyLine& line);

// The device configuration of "comm/datamodem" (lineGetDevConfig): the line's settings as
// "Key=Value" lines (ComNumber, Init, CallerID, Baud, EscapeGuard, DialTimeout, RingTimeout).
std::string TelephonyLineConfigText(const TTelephonyLine& line);
// Applies such a text to a line; false (line unchanged) when a line of it is malformed.
bool ApplyTelephonyLineConfigText(std::string_view text, TTelephonyLine& line);

// The dialing location under "\Software\Nordhaven\SIO\Location": "CountryCode" (49),
// "AreaCode" (""), "OutsideLine" (""), "LongDistance" ("0"), "International" ("00"),
// "CancelCallWaiting" ("").
struct TDialingLocation {
  std::uint32_t CountryCode = 49;
  std::string AreaCode;
  std::string OutsideLine;
  std::string LongDistance = "0";
  std::string International = "00";
  std::string CancelCallWaiting;
};
TDialingLocation ReadDialingLocation();
void WriteDialingLocation(const TDialingLocation& location);

// The service's dialogs are windows, which this layer leaves to the window layer: it shows
// them through these hooks. Without a hook lineConfigDialog, lineConfigDialogEdit and
// lineTranslateDialog fail with LINEERR_OPERATIONUNAVAIL.
struct TTelephonyDialogs {
  // Edits a line's settings; false when cancelled.
  bool (*EditLine)(DWORD_PTR ownerWindow, TTelephonyLine& line) = nullptr;
  // Edits the dialing location, showing the address's dialable form; false when cancelled.
  bool (*EditLocation)(DWORD_PTR ownerWindow, const std::string& address,
                       TDialingLocation& location) = nullptr;
};
void SetTelephonyDialogs(const TTelephonyDialogs& dialogs);

// ---------------------------------------------------------------------------------------
// The module
// ---------------------------------------------------------------------------------------

// True when the telephony library is there (false while a test made it missing).
bool TelephonyLoad();
// The entry point of that name; null for a name the library does not export.
void* TelephonyGetProc(std::string_view name);

// Test aids: make the library missing (or present again), replace an entry point (null
// hides it), and return to the real entry points.
void TelephonySetAvailable(bool available);
void TelephonySetProc(std::string_view name, void* proc);
void TelephonyResetProcs();
