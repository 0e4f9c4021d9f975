#include "platform/ModemReplies.h"

#include <cstring>

#include "platform/Telephony.h"

namespace {
constexpr char kDLE = 0x10;
constexpr char kETX = 0x03;
constexpr std::size_t kMaxLine = 256;
}  // namespace

std::string TModemInput::Feed(const char* p, std::size_t n) {
  std::string codes;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = p[i];
    if (dlePending) {
      dlePending = false;
      if (c == kDLE) {
        if (recording) samples += kDLE;
      } else if (c == kETX) {
        if (recording) samplesEnded = true;
      } else {
        codes += c;
      }
      continue;
    }
    if (c == kDLE) {
      dlePending = true;
      continue;
    }
    if (recording && !samplesEnded) {
      samples += c;
      continue;
    }
    if (c == '\r' || c == '\n') {
      if (!line.empty()) lines.push_back(line);
      line.clear();
    } else if (line.size() < kMaxLine) {
      line += c;
    }
  }
  return codes;
}

void TModemInput::StartRecording() {
  samples += line;
  line.clear();
  recording = true;
  samplesEnded = false;
}

void TModemInput::Clear() {
  line.clear();
  lines.clear();
  dlePending = false;
}

bool IsFinalResult(const std::string& l) {
  static const char* const finals[] = {
      "OK", "ERROR", "NO CARRIER", "BUSY", "NO DIALTONE", "NO DIAL TONE", "NO ANSWER", "VCON", "0", "3",
      "4",  "6",     "7",          "8"};
  for (const char* f : finals)
    if (l == f) return true;
  return l.rfind("CONNECT", 0) == 0 || l == "1" || l == "+FCERROR";
}

std::string VerbalResult(const std::string& l) {
  if (l == "0") return "OK";
  if (l == "1") return "CONNECT";
  if (l == "3") return "NO CARRIER";
  if (l == "4") return "ERROR";
  if (l == "6" || l == "NO DIAL TONE") return "NO DIALTONE";
  if (l == "7") return "BUSY";
  if (l == "8") return "NO ANSWER";
  return l;
}

bool ApplyCallerIdReport(const std::string& line, std::uint32_t& flags, std::string& number,
                         std::string& name) {
  auto field = [&](const char* key, std::string& value) {
    const std::size_t k = std::strlen(key);
    if (line.size() < k || line.compare(0, k, key) != 0) return false;
    std::size_t i = k;
    while (i < line.size() && (line[i] == ' ' || line[i] == '=' || line[i] == ':')) ++i;
    value = line.substr(i);
    while (!value.empty() && value.back() == ' ') value.pop_back();
    return true;
  };
  std::string value;
  const bool isNumber = field("NMBR", value);
  if (!isNumber && !field("NAME", value)) return false;
  flags &= ~(LINECALLPARTYID_UNKNOWN | LINECALLPARTYID_UNAVAIL);
  if (value == "P") {
    flags |= LINECALLPARTYID_BLOCKED;
  } else if (value == "O") {
    flags |= LINECALLPARTYID_OUTOFAREA;
  } else if (isNumber) {
    number = value;
    flags |= LINECALLPARTYID_ADDRESS;
  } else {
    name = value;
    flags |= LINECALLPARTYID_NAME;
  }
  return true;
}
