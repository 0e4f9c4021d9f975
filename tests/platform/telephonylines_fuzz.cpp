// Fuzz target: what a telephony line's modem sends, taken apart as the line's worker takes it:
// the bytes into result lines, DLE codes and voice samples, the lines into final results and
// caller-id reports. Byte 0: bits 0-5 the size of the pieces in which the bytes come (1 to
// 64); with bit 6 a CONNECT starts a voice recording, as the one that answers AT+VRX.
#include <algorithm>
#include <cstdint>
#include <string>

#include "platform/ModemReplies.h"
#include "platform/Telephony.h"

namespace {

constexpr std::uint32_t kNoParty = LINECALLPARTYID_UNKNOWN | LINECALLPARTYID_UNAVAIL;

void CallerId(const std::string& line, std::uint32_t& flags, std::string& number, std::string& name) {
  const std::uint32_t before = flags;
  const std::string oldNumber = number, oldName = name;
  if (!ApplyCallerIdReport(line, flags, number, name)) {
    if (flags != before || number != oldNumber || name != oldName) __builtin_trap();
    return;
  }
  // A report only adds what it says; the caller is no longer unknown.
  if ((flags & kNoParty) || (flags & before) != (before & ~kNoParty)) __builtin_trap();
  if (number != oldNumber && !(flags & LINECALLPARTYID_ADDRESS)) __builtin_trap();
  if (name != oldName && !(flags & LINECALLPARTYID_NAME)) __builtin_trap();
  // The value without the blanks, '=' and ':' in front and the blanks behind.
  const std::string& value = number != oldNumber ? number : name;
  if (!value.empty() &&
      (value.back() == ' ' || value.front() == ' ' || value.front() == '=' || value.front() == ':'))
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = 1 + (data[0] & 0x3F);
  const bool voice = (data[0] & 0x40) != 0;
  TModemInput in;
  std::uint32_t flags = LINECALLPARTYID_UNKNOWN;
  std::string number, name;
  for (std::size_t at = 1; at < size; at += piece) {
    const std::size_t n = std::min(piece, size - at);
    const std::string codes = in.Feed(reinterpret_cast<const char*>(data + at), n);
    // A code is the byte after a DLE; DLE DLE and DLE ETX are none.
    if (codes.size() > (n + 1) / 2 || codes.find_first_of("\x10\x03") != std::string::npos) __builtin_trap();
    if (in.samples.size() > at + n) __builtin_trap();
    while (!in.lines.empty()) {
      const std::string line = in.lines.front();
      in.lines.pop_front();
      if (line.empty() || line.size() > 256 || line.find_first_of("\r\n") != std::string::npos)
        __builtin_trap();
      if (!IsFinalResult(line)) {
        if (VerbalResult(line) != line) __builtin_trap();
        CallerId(line, flags, number, name);
        continue;
      }
      // In words, and still final.
      const std::string verbal = VerbalResult(line);
      if (!IsFinalResult(verbal) || (verbal[0] >= '0' && verbal[0] <= '9')) __builtin_trap();
      if (voice && !in.recording && verbal.rfind("CONNECT", 0) == 0) in.StartRecording();
    }
  }
  return 0;
}
