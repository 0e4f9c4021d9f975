// Fuzz target: the controller's checksum reply at the end of a programming write; the bytes
// are what the controller sends once the blocks are out. Byte 0 is the checksum that was sent,
// the rest as for every transfer of the programming data. The write is Ok exactly when the two
// characters before the first "CheckSum" of the reply are that checksum in hexadecimal.
#include <cstdio>

#include "tests/programming/progdata_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  fuzz::RunProgTransfer(
      data + 1, size - 1,
      [sum = data[0]](TProgData& prog) {
        prog.HexPairPauseMs = 0;
        if (!prog.WriteProgrammingData()) return false;
        // Where the write stands when its last pair has gone out.
        prog.RemoveTriggers();
        prog.FWaitingReceiveStart = false;
        prog.FReceiveStarted = prog.FSendStarted = true;
        prog.FChecksum = sum;
        prog.FChecksumReply.clear();
        prog.FWaitingChecksum = true;
        prog.FTriggerHandle = fuzz::Bench().Bus->ArmMarker(MarkerCheckSum);
        fuzz::Bench().Bus->StartReplyTimeout();
        return true;
      },
      [](const TProgData& prog) {
        const TTransferResult result = prog.WriteResult();
        if (result == TTransferResult::Running) return result;
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", prog.GetChecksum());
        const std::string& reply = prog.FChecksumReply;
        const std::size_t at = reply.find(MarkerCheckSum);
        const bool match = at != std::string::npos && at >= 2 && reply.compare(at - 2, 2, digits) == 0;
        if (match != (result == TTransferResult::Ok)) __builtin_trap();
        return result;
      });
  return 0;
}
