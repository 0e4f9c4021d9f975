#pragma once
// ASCII transfer engine: a text file goes out as plain characters, with optional pauses after
// each character and each line and with translation of line ends; received characters go
// into a file until a Ctrl-Z or a pause in the data ends it. No blocks on the line, no check
// values, no acknowledgements.
#include <cstdint>

#include "transfer/Swabspcl.h"

enum TAsciiState : std::uint8_t {
  taInitial,
  taGetBlock,
  taWaitFreeSpace,
  taSendBlock,
  taSendDelay,
  taFinishDrain,
  taFinished,
  taDone,
  raInitial,
  raCollectBlock,
  raProcessBlock,
  raFinished,
  raDone
};

enum TAsciiEOLTranslation : std::uint8_t { aetNone, aetStrip, aetAddCRBefore, aetAddLFAfter };

constexpr std::uint32_t spDataBlockSize = 1024;
constexpr std::uint8_t cCtrlZ = 0x1A;

// The ASCII part of a run's state. It lives behind the 1024 bytes of the record's DataBlock,
// which spInit and spReinit allocate together with it.
struct TAsciiTail {
  bool CtrlZFound = false;
  std::uint32_t CharDelay = 0;  // ms after every character sent
  std::uint32_t LineDelay = 0;  // ms after every end-of-line character sent
  std::uint32_t CharDelayTicks = 0, LineDelayTicks = 0;
  std::uint32_t MaxBusyDelay = 250;  // most ms waited in place within one call
  std::int32_t SendIndex = 0;
  TAsciiEOLTranslation CRTranslation = aetNone;
  TAsciiEOLTranslation LFTranslation = aetNone;
  std::uint8_t EOLChar = 13;
  TAsciiState AsciiState = taInitial;
  std::uint32_t CollectCount = 0;  // characters of the block collected so far
};

// The ASCII part of the record, or null when the record has no ASCII block.
TAsciiTail* spTail(TProtocolData& P);

int spInit(TProtocolData*& P, TSioCustomComPort* port, std::uint32_t options);
int spReinit(TProtocolData& P);
void spDonePart(TProtocolData& P);
void spDone(TProtocolData*& P);

int spSetDelays(TProtocolData& P, std::uint32_t charDelay, std::uint32_t lineDelay);
int spSetEOLChar(TProtocolData& P, std::uint8_t c);
int spSetEOLTranslation(TProtocolData& P, TAsciiEOLTranslation cr, TAsciiEOLTranslation lf);
int spSetEOFTimeout(TProtocolData& P, std::uint32_t ticks);
std::int32_t spGetLineNumber(TProtocolData& P);

void spPrepareTransmit(TProtocolData& P);
void spTransmit(UINT msg, WPARAM wParam, LPARAM lParam);
void spPrepareReceive(TProtocolData& P);
void spReceive(UINT msg, WPARAM wParam, LPARAM lParam);
