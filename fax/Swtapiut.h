#pragma once
// The library's way to the telephony service: one wrapper per line function, the readers of
// the service's variable-size records, and the mapping of its results to library codes.
//
// The first wrapper call loads the telephony library (platform/Telephony.h) and looks up its
// entry points by name; while it cannot be loaded every call tries again and gives
// ecTapiLoadFail (-13931), and a function the library does not export gives
// ecTapiGetAddrFail (-13932). Otherwise a wrapper passes its arguments on unchanged and
// returns the service's result. Nothing here raises.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/Telephony.h"

// Lets the library go, as at the end of the program; the next wrapper call loads it again.
void tuUnloadLibrary();

// ----- results -----

// A synchronous result as a library code: 0 stays 0, 0x80000000 + n becomes -(13800 + n).
int TapiResultToCode(LONG result);

// ----- wrappers -----

LONG tuLineGenerateTones(HCALL call, std::uint32_t toneMode, std::uint32_t duration, std::uint32_t numTones,
                         const void* tones);
LONG tuLineMonitorTones(HCALL call, const void* toneList, std::uint32_t numEntries);
LONG tuLineSetCallParams(HCALL call, std::uint32_t bearerMode, std::uint32_t minRate, std::uint32_t maxRate,
                         const LINEDIALPARAMS* dialParams);
LONG tuLineHandoff(HCALL call, const char* fileName, std::uint32_t mediaMode);
LONG tuLineMonitorMedia(HCALL call, std::uint32_t mediaModes);
LONG tuLineGenerateDigits(HCALL call, std::uint32_t digitMode, const char* digits, std::uint32_t duration);
LONG tuLineMonitorDigits(HCALL call, std::uint32_t digitModes);
LONG tuLineInitialize(HLINEAPP* lineApp, const void* instance, LINECALLBACK callback, const char* appName,
                      std::uint32_t* numDevs);
LONG tuLineShutdown(HLINEAPP lineApp);
LONG tuLineNegotiateApiVersion(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiLowVersion,
                               std::uint32_t apiHighVersion, std::uint32_t* apiVersion,
                               LINEEXTENSIONID* extensionId);
LONG tuLineGetDevCaps(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion,
                      std::uint32_t extVersion, LINEDEVCAPS* caps);
LONG tuLineOpen(HLINEAPP lineApp, std::uint32_t deviceId, HLINE* line, std::uint32_t apiVersion,
                std::uint32_t extVersion, DWORD_PTR callbackInstance, std::uint32_t privileges,
                std::uint32_t mediaModes, const LINECALLPARAMS* callParams);
LONG tuLineMakeCall(HLINE line, HCALL* call, const char* destAddress, std::uint32_t countryCode,
                    const LINECALLPARAMS* callParams);
LONG tuLineAccept(HCALL call, const char* userUserInfo, std::uint32_t size);
LONG tuLineAnswer(HCALL call, const char* userUserInfo, std::uint32_t size);
LONG tuLineDeallocateCall(HCALL call);
LONG tuLineDrop(HCALL call, const char* userUserInfo, std::uint32_t size);
LONG tuLineClose(HLINE line);
LONG tuLineGetCountry(std::uint32_t countryId, std::uint32_t apiVersion, LINECOUNTRYLIST* list);
LONG tuLineConfigDialog(std::uint32_t deviceId, DWORD_PTR ownerWindow, const char* deviceClass);
LONG tuLineConfigDialogEdit(std::uint32_t deviceId, DWORD_PTR ownerWindow, const char* deviceClass,
                            const void* configIn, std::uint32_t sizeIn, VARSTRING* configOut);
LONG tuLineGetID(HLINE line, std::uint32_t addressId, HCALL call, std::uint32_t select, VARSTRING* deviceId,
                 const char* deviceClass);
LONG tuLineSetStatusMessages(HLINE line, std::uint32_t lineStates, std::uint32_t addressStates);
LONG tuLineGetStatusMessages(HLINE line, std::uint32_t* lineStates, std::uint32_t* addressStates);
LONG tuLineGetAddressStatus(HLINE line, std::uint32_t addressId, LINEADDRESSSTATUS* status);
LONG tuLineGetDevConfig(std::uint32_t deviceId, VARSTRING* config, const char* deviceClass);
LONG tuLineSetDevConfig(std::uint32_t deviceId, const void* config, std::uint32_t size,
                        const char* deviceClass);
LONG tuLineGetCallInfo(HCALL call, LINECALLINFO* info);
LONG tuLineGetCallStatus(HCALL call, LINECALLSTATUS* status);
LONG tuLineSetMediaMode(HCALL call, std::uint32_t mediaModes);
LONG tuLineSetCurrentLocation(HLINEAPP lineApp, std::uint32_t location);
LONG tuLineSetTollList(HLINEAPP lineApp, std::uint32_t deviceId, const char* addressIn, std::uint32_t option);
// The address is copied into a NUL-terminated buffer; -13931 without the library and -1
// without the entry point.
LONG tuLineTranslateDialog(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion,
                           DWORD_PTR ownerWindow, const std::string& address);

// ----- variable-size records -----

struct TTapiFree {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using TTapiRecord = std::unique_ptr<T, TTapiFree>;

// Initial sizes of the readers' first try.
constexpr std::uint32_t kDevCapsInitialSize = 240;
constexpr std::uint32_t kCallInfoInitialSize = 296;
constexpr std::uint32_t kCallStatusInitialSize = 36;
constexpr std::uint32_t kTranslateOutputInitialSize = 40;

// Each reader gives the service's result and, with it, a record of the size the service
// needs (none when it failed; when the first call fails with anything but "structure too
// small" the first record comes back with that result). These three expect the library to
// be loaded (they run inside a started session).
LONG tuLineGetDevCapsDyn(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion,
                         std::uint32_t extVersion, TTapiRecord<LINEDEVCAPS>& caps);
LONG tuLineGetCallInfoDyn(HCALL call, TTapiRecord<LINECALLINFO>& info);
LONG tuLineGetCallStatusDyn(HCALL call, TTapiRecord<LINECALLSTATUS>& status);
// Loads the library itself (-13931 / -13932 like the wrappers).
LONG tuLineTranslateAddressDyn(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion,
                               TTapiRecord<LINETRANSLATEOUTPUT>& output, std::uint32_t options,
                               std::uint32_t card, const std::string& address);

// A string of a variable-size record by its size and offset. The bytes must lie inside the
// record (its total size); a size of 0 or one that does not fit gives an empty string; a
// terminating NUL and anything after it is dropped.
std::string TapiRecordString(const void* record, std::uint32_t size, std::uint32_t offset);
