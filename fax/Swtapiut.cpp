// Wrappers of the telephony service's line functions and readers of its records.
#include "fax/Swtapiut.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string_view>

#include "serial/Sioexcept.h"

namespace {

constexpr const char* kEntryNames[] = {"lineGenerateTone",
                                       "lineMonitorTones",
                                       "lineSetCallParams",
                                       "lineHandoff",
                                       "lineMonitorMedia",
                                       "lineGenerateDigits",
                                       "lineMonitorDigits",
                                       "lineInitialize",
                                       "lineShutdown",
                                       "lineNegotiateAPIVersion",
                                       "lineGetDevCaps",
                                       "lineOpen",
                                       "lineMakeCall",
                                       "lineAccept",
                                       "lineAnswer",
                                       "lineDeallocateCall",
                                       "lineDrop",
                                       "lineClose",
                                       "lineGetCountry",
                                       "lineConfigDialog",
                                       "lineConfigDialogEdit",
                                       "lineGetID",
                                       "lineSetStatusMessages",
                                       "lineGetStatusMessages",
                                       "lineGetAddressStatus",
                                       "lineGetDevConfig",
                                       "lineSetDevConfig",
                                       "lineGetCallInfo",
                                       "lineGetCallStatus",
                                       "lineSetMediaMode",
                                       "lineTranslateAddress",
                                       "lineTranslateDialog",
                                       "lineSetCurrentLocation",
                                       "lineSetTollList",
                                       "lineGetTranslateCaps"};

struct TLibrary {
  std::mutex m;
  bool loaded = false;
  std::map<std::string, void*, std::less<>> entries;
};

TLibrary& Library() {
  static TLibrary* l = new TLibrary;
  return *l;
}

// The entry point of that name, loading the library first when needed. Null with error set
// to ecTapiLoadFail or ecTapiGetAddrFail when there is none.
void* Entry(std::string_view name, LONG& error) {
  TLibrary& lib = Library();
  std::lock_guard<std::mutex> g(lib.m);
  if (!lib.loaded) {
    if (!TelephonyLoad()) {
      error = ecTapiLoadFail;
      return nullptr;
    }
    for (const char* n : kEntryNames) lib.entries[n] = TelephonyGetProc(n);
    lib.loaded = true;
  }
  auto it = lib.entries.find(name);
  if (it == lib.entries.end() || it->second == nullptr) {
    error = ecTapiGetAddrFail;
    return nullptr;
  }
  return it->second;
}

template <auto Fn, class... Args>
LONG Forward(const char* name, Args... args) {
  LONG error = 0;
  void* p = Entry(name, error);
  if (p == nullptr) return error;
  return reinterpret_cast<decltype(Fn)>(p)(args...);
}

#define TU_FORWARD(fn, ...) Forward<&fn>(#fn, __VA_ARGS__)

// Reads a variable-size record: first the initial size, then 1024 bytes when the service
// calls that too small, then the size it says it needs.
template <class T, class Call>
LONG ReadRecord(std::uint32_t initial, bool zeroNeeded, TTapiRecord<T>& out, Call&& call) {
  out.reset();
  auto allocate = [](std::uint32_t size, bool zero) {
    // Never less than the fixed part, so that its fields can be read.
    const std::size_t n = std::max<std::size_t>(size, sizeof(T));
    void* p = zero ? std::calloc(1, n) : std::malloc(n);
    if (p != nullptr && !zero) std::memset(p, 0, sizeof(T));
    if (p != nullptr) *static_cast<std::uint32_t*>(p) = size;
    return TTapiRecord<T>(static_cast<T*>(p));
  };
  TTapiRecord<T> rec = allocate(initial, true);
  if (!rec) return LINEERR_NOMEM;
  LONG r = call(rec.get());
  if (r == LINEERR_STRUCTURETOOSMALL) {
    rec = allocate(1024, true);
    if (!rec) return LINEERR_NOMEM;
    r = call(rec.get());
    if (r != 0) return r;
  } else if (r != 0) {
    out = std::move(rec);  // the caller frees it
    return r;
  }
  const auto* head = reinterpret_cast<const std::uint32_t*>(rec.get());
  if (head[0] >= head[1]) {
    out = std::move(rec);
    return r;
  }
  const std::uint32_t needed = head[1];
  rec = allocate(needed, zeroNeeded);
  if (!rec) return LINEERR_NOMEM;
  r = call(rec.get());
  if (r != 0) return r;
  out = std::move(rec);
  return r;
}

}  // namespace

void tuUnloadLibrary() {
  TLibrary& lib = Library();
  std::lock_guard<std::mutex> g(lib.m);
  lib.loaded = false;
  lib.entries.clear();
}

int TapiResultToCode(LONG result) {
  if (result == 0) return 0;
  // The layer's own codes (no library, no entry point) are library codes already.
  if (result < 0 && result > -100000) return result;
  return -(13800 + static_cast<int>(static_cast<std::uint32_t>(result) & 0x7FFFFFFFu));
}

LONG tuLineGenerateTones(HCALL call, std::uint32_t toneMode, std::uint32_t duration, std::uint32_t numTones,
                         const void* tones) {
  return Forward<&lineGenerateTone>("lineGenerateTone", call, toneMode, duration, numTones, tones);
}
LONG tuLineMonitorTones(HCALL call, const void* toneList, std::uint32_t numEntries) {
  return TU_FORWARD(lineMonitorTones, call, toneList, numEntries);
}
LONG tuLineSetCallParams(HCALL call, std::uint32_t bearerMode, std::uint32_t minRate, std::uint32_t maxRate,
                         const LINEDIALPARAMS* dialParams) {
  return TU_FORWARD(lineSetCallParams, call, bearerMode, minRate, maxRate, dialParams);
}
LONG tuLineHandoff(HCALL call, const char* fileName, std::uint32_t mediaMode) {
  return TU_FORWARD(lineHandoff, call, fileName, mediaMode);
}
LONG tuLineMonitorMedia(HCALL call, std::uint32_t mediaModes) {
  return TU_FORWARD(lineMonitorMedia, call, mediaModes);
}
LONG tuLineGenerateDigits(HCALL call, std::uint32_t digitMode, const char* digits, std::uint32_t duration) {
  return TU_FORWARD(lineGenerateDigits, call, digitMode, digits, duration);
}
LONG tuLineMonitorDigits(HCALL call, std::uint32_t digitModes) {
  return TU_FORWARD(lineMonitorDigits, call, digitModes);
}
LONG tuLineInitialize(HLINEAPP* lineApp, const void* instance, LINECALLBACK callback, const char* appName,
                      std::uint32_t* numDevs) {
  return TU_FORWARD(lineInitialize, lineApp, instance, callback, appName, numDevs);
}
LONG tuLineShutdown(HLINEAPP lineApp) { return TU_FORWARD(lineShutdown, lineApp); }
LONG tuLineNegotiateApiVersion(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiLowVersion,
                               std::uint32_t apiHighVersion, std::uint32_t* apiVersion,
                               LINEEXTENSIONID* extensionId) {
  return TU_FORWARD(lineNegotiateAPIVersion, lineApp, deviceId, apiLowVersion, apiHighVersion, apiVersion,
                    extensionId);
}
LONG tuLineGetDevCaps(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion,
                      std::uint32_t extVersion, LINEDEVCAPS* caps) {
  return TU_FORWARD(lineGetDevCaps, lineApp, deviceId, apiVersion, extVersion, caps);
}
LONG tuLineOpen(HLINEAPP lineApp, std::uint32_t deviceId, HLINE* line, std::uint32_t apiVersion,
                std::uint32_t extVersion, DWORD_PTR callbackInstance, std::uint32_t privileges,
                std::uint32_t mediaModes, const LINECALLPARAMS* callParams) {
  return TU_FORWARD(lineOpen, lineApp, deviceId, line, apiVersion, extVersion, callbackInstance, privileges,
                    mediaModes, callParams);
}
LONG tuLineMakeCall(HLINE line, HCALL* call, const char* destAddress, std::uint32_t countryCode,
                    const LINECALLPARAMS* callParams) {
  return TU_FORWARD(lineMakeCall, line, call, destAddress, countryCode, callParams);
}
LONG tuLineAccept(HCALL call, const char* userUserInfo, std::uint32_t size) {
  return TU_FORWARD(lineAccept, call, userUserInfo, size);
}
LONG tuLineAnswer(HCALL call, const char* userUserInfo, std::uint32_t size) {
  return TU_FORWARD(lineAnswer, call, userUserInfo, size);
}
LONG tuLineDeallocateCall(HCALL call) { return TU_FORWARD(lineDeallocateCall, call); }
LONG tuLineDrop(HCALL call, const char* userUserInfo, std::uint32_t size) {
  return TU_FORWARD(lineDrop, call, userUserInfo, size);
}
LONG tuLineClose(HLINE line) { return TU_FORWARD(lineClose, line); }
LONG tuLineGetCountry(std::uint32_t countryId, std::uint32_t apiVersion, LINECOUNTRYLIST* list) {
  return TU_FORWARD(lineGetCountry, countryId, apiVersion, list);
}
LONG tuLineConfigDialog(std::uint32_t deviceId, DWORD_PTR ownerWindow, const char* deviceClass) {
  return TU_FORWARD(lineConfigDialog, deviceId, ownerWindow, deviceClass);
}
LONG tuLineConfigDialogEdit(std::uint32_t deviceId, DWORD_PTR ownerWindow, const char* deviceClass,
                            const void* configIn, std::uint32_t sizeIn, VARSTRING* configOut) {
  return TU_FORWARD(lineConfigDialogEdit, deviceId, ownerWindow, deviceClass, configIn, sizeIn, configOut);
}
LONG tuLineGetID(HLINE line, std::uint32_t addressId, HCALL call, std::uint32_t select, VARSTRING* deviceId,
                 const char* deviceClass) {
  return TU_FORWARD(lineGetID, line, addressId, call, select, deviceId, deviceClass);
}
LONG tuLineSetStatusMessages(HLINE line, std::uint32_t lineStates, std::uint32_t addressStates) {
  return TU_FORWARD(lineSetStatusMessages, line, lineStates, addressStates);
}
LONG tuLineGetStatusMessages(HLINE line, std::uint32_t* lineStates, std::uint32_t* addressStates) {
  return TU_FORWARD(lineGetStatusMessages, line, lineStates, addressStates);
}
LONG tuLineGetAddressStatus(HLINE line, std::uint32_t addressId, LINEADDRESSSTATUS* status) {
  return TU_FORWARD(lineGetAddressStatus, line, addressId, status);
}
LONG tuLineGetDevConfig(std::uint32_t deviceId, VARSTRING* config, const char* deviceClass) {
  return TU_FORWARD(lineGetDevConfig, deviceId, config, deviceClass);
}
LONG tuLineSetDevConfig(std::uint32_t deviceId, const void* config, std::uint32_t size,
                        const char* deviceClass) {
  return TU_FORWARD(lineSetDevConfig, deviceId, config, size, deviceClass);
}
LONG tuLineGetCallInfo(HCALL call, LINECALLINFO* info) { return TU_FORWARD(lineGetCallInfo, call, info); }
LONG tuLineGetCallStatus(HCALL call, LINECALLSTATUS* status) {
  return TU_FORWARD(lineGetCallStatus, call, status);
}
LONG tuLineSetMediaMode(HCALL call, std::uint32_t mediaModes) {
  return TU_FORWARD(lineSetMediaMode, call, mediaModes);
}
LONG tuLineSetCurrentLocation(HLINEAPP lineApp, std::uint32_t location) {
  return TU_FORWARD(lineSetCurrentLocation, lineApp, location);
}
LONG tuLineSetTollList(HLINEAPP lineApp, std::uint32_t deviceId, const char* addressIn,
                       std::uint32_t option) {
  return TU_FORWARD(lineSetTollList, lineApp, deviceId, addressIn, option);
}

LONG tuLineTranslateDialog(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion,
                           DWORD_PTR ownerWindow, const std::string& address) {
  LONG error = 0;
  void* p = Entry("lineTranslateDialog", error);
  if (p == nullptr) return error == ecTapiLoadFail ? error : -1;
  const std::string copy = address;  // NUL-terminated
  return reinterpret_cast<decltype(&lineTranslateDialog)>(p)(lineApp, deviceId, apiVersion, ownerWindow,
                                                             copy.c_str());
}

LONG tuLineGetDevCapsDyn(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion,
                         std::uint32_t extVersion, TTapiRecord<LINEDEVCAPS>& caps) {
  return ReadRecord<LINEDEVCAPS>(kDevCapsInitialSize, false, caps, [&](LINEDEVCAPS* rec) {
    return tuLineGetDevCaps(lineApp, deviceId, apiVersion, extVersion, rec);
  });
}

LONG tuLineGetCallInfoDyn(HCALL call, TTapiRecord<LINECALLINFO>& info) {
  return ReadRecord<LINECALLINFO>(kCallInfoInitialSize, true, info,
                                  [&](LINECALLINFO* rec) { return tuLineGetCallInfo(call, rec); });
}

LONG tuLineGetCallStatusDyn(HCALL call, TTapiRecord<LINECALLSTATUS>& status) {
  return ReadRecord<LINECALLSTATUS>(kCallStatusInitialSize, false, status,
                                    [&](LINECALLSTATUS* rec) { return tuLineGetCallStatus(call, rec); });
}

LONG tuLineTranslateAddressDyn(HLINEAPP lineApp, std::uint32_t deviceId, std::uint32_t apiVersion,
                               TTapiRecord<LINETRANSLATEOUTPUT>& output, std::uint32_t options,
                               std::uint32_t card, const std::string& address) {
  output.reset();
  LONG error = 0;
  void* p = Entry("lineTranslateAddress", error);
  if (p == nullptr) return error;
  auto fn = reinterpret_cast<decltype(&lineTranslateAddress)>(p);
  const std::string copy = address;
  auto call = [&](LINETRANSLATEOUTPUT* rec) {
    return fn(lineApp, deviceId, apiVersion, copy.c_str(), card, options, rec);
  };
  // No second try with 1024 bytes here: the initial record, then the size needed.
  auto allocate = [](std::uint32_t size) {
    void* m = std::calloc(1, std::max<std::size_t>(size, sizeof(LINETRANSLATEOUTPUT)));
    if (m != nullptr) *static_cast<std::uint32_t*>(m) = size;
    return TTapiRecord<LINETRANSLATEOUTPUT>(static_cast<LINETRANSLATEOUTPUT*>(m));
  };
  auto rec = allocate(kTranslateOutputInitialSize);
  if (!rec) return LINEERR_NOMEM;
  LONG r = call(rec.get());
  if (r != 0) {
    output = std::move(rec);
    return r;
  }
  if (rec->dwTotalSize < rec->dwNeededSize) {
    rec = allocate(rec->dwNeededSize);
    if (!rec) return LINEERR_NOMEM;
    r = call(rec.get());
    if (r != 0) return r;
  }
  output = std::move(rec);
  return r;
}

std::string TapiRecordString(const void* record, std::uint32_t size, std::uint32_t offset) {
  if (record == nullptr || size == 0) return {};
  const std::uint32_t total = *static_cast<const std::uint32_t*>(record);
  if (offset < 12 || offset > total || size > total - offset) return {};
  const char* p = static_cast<const char*>(record) + offset;
  const std::size_t n = strnlen(p, size);
  return std::string(p, n);
}
