#pragma once
// The terminal's part at the start of a B+ session, as the fuzz target and the capture of its
// seeds play it: the host's ENQ and ESC I are answered, and its DLE starts the walk through
// its "+" and "T" packets.
#include <cstdint>

#include "serial/SioDispatch.h"
#include "transfer/Swbplus.h"

namespace fuzz {

class TBPlusStart {
 public:
  // Takes what waits on the line; true once the host's transfer request has been read, Send
  // then telling the direction.
  bool Take(TProtocolData& P, TSioBaseDispatcher& line, bool& send) {
    for (;;) {
      if (inDle_) {
        bool start = false, error = false;
        bpProcessDLE(P, false, start, send, error);
        if (error) inDle_ = false;
        if (start || !error) return start;
        continue;
      }
      std::uint8_t c = 0;
      if (line.GetChar(c) != 0) return false;
      if (c == bpENQ) {
        bpProcessENQ(P);
      } else if (escape_ && c == 'I') {
        bpProcessESCI(P, 25, 80);
      } else if (c == bpDLE) {
        std::uint32_t handle = 0;
        inDle_ = bpPrepareProcessDLE(P, handle) == 0;
      }
      escape_ = c == bpESC;
    }
  }

 private:
  bool inDle_ = false, escape_ = false;
};

}  // namespace fuzz
