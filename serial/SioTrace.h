#pragma once
// The trace and the dispatch log of one port.
//
// The trace records every byte that the application takes from the port ('R') or queues
// for output ('T'), and special entries of any other kind, in a buffer of two bytes an
// entry that wraps around (the oldest entries are overwritten). The dispatch log keeps what
// the dispatcher did, and what the engines and the application report to it, as records
// with their bytes in a ring of bytes (the oldest records make room for new ones).
// Both are written to text files on demand ("SIO.TRC", "SIO.LOG" by default), with CR LF
// line ends.
//
// A TSioTraceLog is bound to one dispatcher at a time (Bind), which hands it its entries
// while its tracing or logging flag is on; the flags follow the state of the buffers here.
// All operations are safe from any thread; every operation returns 0 or a negative library
// code, the dumps the negated file error.
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "serial/SioDispatch.h"

// One dispatch-log record as it is kept in the ring, followed by its bytes.
#pragma pack(push, 1)
struct TDispatchRecord {
  std::uint8_t EventType;  // TDispatchType
  std::uint16_t SubType;   // TDispatchSubType
  std::uint32_t Time;      // milliseconds since the port opened
  std::uint32_t Data;
  std::uint32_t MoreData;  // number of bytes that follow the record
};
#pragma pack(pop)
static_assert(sizeof(TDispatchRecord) == 15);

class TSioTraceLog : public TSioDispatchRecorder {
 public:
  TSioTraceLog() = default;
  ~TSioTraceLog() override;
  TSioTraceLog(const TSioTraceLog&) = delete;
  TSioTraceLog& operator=(const TSioTraceLog&) = delete;

  // Binds to a dispatcher (null: none): installs itself as its recorder and sets its flags
  // from the state here. A bound dispatcher must be unbound before it is freed.
  void Bind(TSioBaseDispatcher* dispatcher);
  TSioBaseDispatcher* Bound() const { return FDispatcher; }

  // ----- trace -----
  int InitTracing(std::uint32_t numEntries);
  void AddTraceEntry(char kind, std::uint8_t c);
  int StartTracing();
  int StopTracing();
  int ClearTracing();
  int AbortTracing();
  int DumpTrace(std::string_view fileName, bool inHex, bool allHex);
  int AppendTrace(std::string_view fileName, bool inHex, bool allHex);
  int DumpTracePrim(std::string_view fileName, bool append, bool inHex, bool allHex);
  bool HasTraceBuffer();
  bool TracingOn();

  // ----- dispatch log -----
  int InitDispatchLogging(std::uint32_t size);
  void AddDispatchEntry(TDispatchType type, TDispatchSubType subType, std::uint32_t data, const void* bytes,
                        std::uint32_t count);
  void AddStringToLog(std::string_view text);
  int StartDispatchLogging();
  int StopDispatchLogging();
  int ClearDispatchLogging();
  int AbortDispatchLogging();
  int DumpDispatchLog(std::string_view fileName, bool inHex, bool allHex);
  int AppendDispatchLog(std::string_view fileName, bool inHex, bool allHex);
  int DumpDispatchLogPrim(std::string_view fileName, bool append, bool inHex, bool allHex);
  bool HasLogRing();
  bool LoggingOn();
  // Milliseconds since the bound dispatcher's port opened (0 without one).
  std::uint32_t GetDispatchTime();

  // Ring primitives (call with the lock held; public for the tests).
  // Stores a record and its bytes as one entry; false when it can never fit.
  bool PushDLEntry(const TDispatchRecord& record, const void* bytes);
  // Takes the oldest entry; true when the ring is empty.
  bool PopLastDLEntry(TDispatchRecord& record, std::vector<std::uint8_t>& bytes);
  std::uint32_t LogFree() const { return FLogFree; }

  // The time column of the log: milliseconds as seconds with three decimals,
  // at least four digits before the point (65 -> "0000.065").
  static std::string FormatLogTime(std::uint32_t ms);

  // TSioDispatchRecorder
  void TraceEntry(char kind, std::uint8_t c) override;
  void DispatchEntry(TDispatchType type, TDispatchSubType subType, std::uint32_t data, const void* bytes,
                     std::uint32_t count) override;

 private:
  void PushBytes(const void* bytes, std::uint32_t count);
  void PopBytes(void* bytes, std::uint32_t count);
  void FreeTrace();
  void FreeLog();
  void SyncFlags();

  std::recursive_mutex FLock;
  TSioBaseDispatcher* FDispatcher = nullptr;

  // Trace.
  std::vector<std::uint8_t> FTraceQueue;  // pairs of kind and byte
  std::uint32_t FTraceIndex = 0;
  std::uint32_t FTraceMax = 0;
  bool FTraceWrapped = false;
  bool FTraceOn = false;

  // Dispatch log.
  std::vector<std::uint8_t> FLogRing;
  std::uint32_t FLogHead = 0;
  std::uint32_t FLogTail = 0;
  std::uint32_t FLogFree = 0;
  bool FLogOn = false;
};
