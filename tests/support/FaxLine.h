// The telephony line "Faxmodem" that the alarm fax's tests choose in the settings.
#pragma once

#include <string>

#include "platform/Telephony.h"

namespace support {

// Lists the line "Faxmodem" on COM<com> in the settings, with a short guard time so that
// hanging up is quick; gives its name.
inline std::string ListFaxModemLine(int com) {
  TTelephonyLine line;
  line.Name = "Faxmodem";
  line.ComNumber = static_cast<std::uint16_t>(com);
  line.CallerID = "";
  line.EscapeGuardMs = 150;
  WriteTelephonyLine(line);
  return line.Name;
}

}  // namespace support
