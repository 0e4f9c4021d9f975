#pragma once
// Test helpers for faxes against a peer: an independent Class 1 fax machine (tools/faxpeer,
// libspandsp) or our fax modem simulator, the send and receive components on a port to it,
// fax files of text and noise pages, and the rows of TIFF and PBM files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "FaxTestUtil.h"
#include "fax/SioFax.h"
#include "fax/Swfaxcvt.h"
#include "fax/Swtxtcvt.h"
#include "platform/Messages.h"
#include "tests/support/Child.h"
#include "tests/support/Sanitizer.h"
#include "tests/support/TempDir.h"

namespace peertest {

using faxtest::Picture;
using faxtest::Row;

// The last line of a faxpeer run: "T.30 result <code> "<text>" pages <n> rate <bps> remote "<id>"".
struct PeerResult {
  int code = -1;
  std::string text;
  int pages = -1;
  int rate = 0;
  std::string remote;
};

inline bool ParseResult(const std::string& line, PeerResult& r) {
  static const std::regex re(
      "T\\.30 result (-?[0-9]+) \"([^\"]*)\" pages ([0-9]+) rate ([0-9]+) remote \"([^\"]*)\"");
  std::smatch m;
  if (!std::regex_search(line, m, re)) return false;
  r.code = std::stoi(m[1]);
  r.text = m[2];
  r.pages = std::stoi(m[3]);
  r.rate = std::stoi(m[4]);
  r.remote = m[5];
  return true;
}

// A peer program that prints its port's path first (faxpeer, faxmodem-sim).
class Peer {
 public:
  Peer(const std::string& tool, std::vector<std::string> args)
      : proc_(support::Tool(tool), std::move(args), true) {
    path_ = proc_.ReadLine(10000);
  }
  const std::string& Path() const { return path_; }
  support::ChildProcess& Process() { return proc_; }
  // The result lines of the calls, read until the peer ends (or timeoutMs ran out).
  std::vector<PeerResult> Results(int timeoutMs = 60000) {
    std::vector<PeerResult> out;
    for (;;) {
      const std::string line = proc_.ReadLine(timeoutMs);
      if (line.empty()) break;
      PeerResult r;
      if (ParseResult(line, r)) out.push_back(r);
    }
    return out;
  }

 private:
  support::ChildProcess proc_;
  std::string path_;
};

// The components on one port, the way a data module holds them.
struct FaxStation : TSioComponentOwner {
  TSioComPort* port = nullptr;
  TSioCustomAbstractFax* fax = nullptr;
  TSioFaxLog* log = nullptr;
  bool finished = false;
  int finishCode = 1;
  std::vector<int> errors;
  std::vector<int> logs;
  std::vector<int> progress;

  FaxStation(const std::string& devicePath, int com, bool receive, const std::string& history) {
    ::setenv(("SIO_COM" + std::to_string(com)).c_str(), devicePath.c_str(), 1);
    port = new TSioComPort(this);
    port->SetComNumber(static_cast<std::uint16_t>(com));
    port->SetAutoOpen(false);
    log = new TSioFaxLog(this);
    log->SetFaxHistoryName(history);
    if (receive)
      fax = new TSioReceiveFax(this);
    else
      fax = new TSioSendFax(this);
    fax->SetOnFaxFinish([this](TSioCustomAbstractFax*, int code) {
      finished = true;
      finishCode = code;
    });
    fax->SetOnFaxError([this](TSioCustomAbstractFax*, int code) { errors.push_back(code); });
    fax->SetOnFaxLog([this](TSioCustomAbstractFax*, TLogFaxCode code) { logs.push_back(code); });
    fax->SetOnFaxStatus(
        [this](TSioCustomAbstractFax* cp, bool, bool) { progress.push_back(cp->GetFaxProgress()); });
    port->SetOpen(true);
  }
  ~FaxStation() override {
    delete fax;
    delete log;
    delete port;
  }
  TSioSendFax* Sender() { return static_cast<TSioSendFax*>(fax); }
  TSioReceiveFax* Receiver() { return static_cast<TSioReceiveFax*>(fax); }
  bool WaitFinish(int ms) {
    return PumpUntil([this] { return finished; }, static_cast<DWORD>(ms));
  }
};

// A fax file of one text page made by the converter with the standard built-in font.
inline std::string TextFaxFile(const support::TempDir& dir, const std::string& name, const std::string& text,
                               bool fine) {
  const std::string in = dir.Write(name + ".txt", text);
  TAbsFaxCvt* cvt = nullptr;
  EXPECT_EQ(0, fcInitTextConverter(cvt));
  acOptionsOff(cvt, coYield);
  EXPECT_EQ(0, fcLoadFont(cvt, "SWFAX.FNT", ffStandardFontHandle, fine));
  acSetResolutionMode(cvt, fine ? 1 : 0);
  const std::string out = dir / (name + ".fxf");
  EXPECT_EQ(0, acConvertToFile(cvt, in, out));
  fcDoneTextConverter(cvt);
  return out;
}

// A fax file of one page of random pixels.
inline std::string NoiseFaxFile(const support::TempDir& dir, const std::string& name, int rows,
                                unsigned seed) {
  const std::string out = dir / (name + ".fxf");
  EXPECT_EQ(0, faxtest::WriteFaxFile(out, {faxtest::RandomPicture(1728, rows, seed)}, false, false));
  return out;
}

// How many pixel rows the header line takes (built-in small font).
inline int HeaderRows(bool fine) {
  TAbsFaxCvt* cvt = nullptr;
  EXPECT_EQ(0, fcInitTextConverter(cvt));
  EXPECT_EQ(0, fcLoadFont(cvt, "SWFAX.FNT", ffSmallFontHandle, fine));
  const int rows = fcFontRows(cvt);
  fcDoneTextConverter(cvt);
  return rows;
}

// The rows of a PBM file (P4) or of netpbm's output.
inline Picture ReadPbm(const std::string& bytes) {
  int w = 0, h = 0, consumed = 0;
  if (std::sscanf(bytes.c_str(), "P4 %d %d%n", &w, &h, &consumed) != 2) return {};
  const std::size_t pos = static_cast<std::size_t>(consumed) + 1;
  const std::size_t rowBytes = static_cast<std::size_t>((w + 7) / 8);
  if (bytes.size() < pos + rowBytes * static_cast<std::size_t>(h)) return {};
  Picture p;
  for (int y = 0; y < h; ++y) {
    Row r(static_cast<std::size_t>(w));
    for (int x = 0; x < w; ++x)
      r[static_cast<std::size_t>(x)] =
          (static_cast<std::uint8_t>(
               bytes[pos + static_cast<std::size_t>(y) * rowBytes + static_cast<std::size_t>(x / 8)]) >>
           (7 - x % 8)) &
          1;
    p.push_back(std::move(r));
  }
  return p;
}

// Runs a shell command and gives its standard output.
inline std::string Capture(const std::string& cmd) {
  std::string out;
  if (std::FILE* p = ::popen((cmd + " 2>/dev/null").c_str(), "r")) {
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

// The pages of a TIFF file as rows (tiffsplit, then tifftopnm).
inline std::vector<Picture> TiffPages(const support::TempDir& dir, const std::string& tiff) {
  std::vector<Picture> pages;
  const std::string split = dir / "split";
  std::filesystem::create_directories(split);
  if (!faxtest::Shell("tiffsplit '" + tiff + "' '" + split + "/p'")) return pages;
  std::vector<std::string> parts;
  for (const auto& e : std::filesystem::directory_iterator(split)) parts.push_back(e.path().string());
  std::sort(parts.begin(), parts.end());
  for (const std::string& part : parts) pages.push_back(ReadPbm(Capture("tifftopnm '" + part + "'")));
  std::filesystem::remove_all(split);
  return pages;
}

// The rows where two pictures differ first (-1: none); different sizes differ at the end
// of the shorter.
inline int FirstDifference(const Picture& a, const Picture& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return static_cast<int>(i);
  return a.size() == b.size() ? -1 : static_cast<int>(n);
}

}  // namespace peertest
