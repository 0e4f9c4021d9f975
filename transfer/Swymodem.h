#pragma once
// YModem engine: batches of files, each announced by a header block with its name, length
// and date; the data go through the XModem machines with CRC-16 and 1024-byte blocks.
#include <cstdint>

#include "transfer/Swabspcl.h"

int ypInit(TProtocolData*& P, TSioCustomComPort* port, bool oneK, bool g, std::uint32_t options);
int ypReinit(TProtocolData& P, bool oneK, bool g);
void ypDone(TProtocolData*& P);
void ypDonePart(TProtocolData& P);

void ypPrepareTransmit(TProtocolData& P);
void ypTransmit(UINT msg, WPARAM wParam, LPARAM lParam);
void ypPrepareReceive(TProtocolData& P);
void ypReceive(UINT msg, WPARAM wParam, LPARAM lParam);

// Builds the header block of the file in SavedPathName (length SavedFileLength, date
// FileDate) into HeaderBlock; the result is its length, 128 or 1024.
std::uint32_t ypBuildHeader(TProtocolData& P);
// Reads a received header block (len data bytes) into PathName, FileLength and HeaderDate;
// false when the block ends the batch.
bool ypReadHeader(TProtocolData& P, const std::uint8_t* data, std::uint32_t len);
