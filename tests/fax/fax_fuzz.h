#pragma once
// The bench of the fax fuzz targets: a send or receive session on a fuzz line whose bytes are
// what the modem answers, the notices answered as the fax components answer them, a two-page
// fax file to send and a scratch directory for the received ones (emptied after every run).
//
// Byte 0 of the input: bits 0-5 the size of the pieces in which the modem's bytes arrive (1 to
// 64), bit 6 set for a send; the rest is the modem's side. A session that has not ended ten
// minutes (of the line's clock) after the modem fell silent is cancelled; one that a cancel
// does not end within the hour is a fault. A fax reported sent went out whole: the last
// transmission of each of its pages, as our side put it on the line, decodes to the eight
// white lead lines and the page's lines. A received fax file reads whole, page by page.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fax/Swfax.h"
#include "fax/Swfaxcvt.h"
#include "fax/Swtxtcvt.h"
#include "tests/fax/faxlines_fuzz.h"
#include "tests/support/FuzzLine.h"
#include "tests/support/TempDir.h"

namespace fuzz {

class TFaxBench {
 public:
  TFaxBench() {
    const std::string text = Dir.Write("page.txt", "Alarm im Becken 1\r\n\x10 pH 9,1\fSeite zwei\r\n");
    TAbsFaxCvt* cvt = nullptr;
    if (fcInitTextConverter(cvt) != 0 || fcLoadFont(cvt, "SWFAX.FNT", ffStandardFontHandle, false) != 0)
      std::abort();
    acOptionsOff(cvt, coYield);
    if (acConvertToFile(cvt, text, FaxFile()) != 0) std::abort();
    fcDoneTextConverter(cvt);
    // What each page of it must come to on the line: the lead lines, then its own.
    TFaxHeaderRec header;
    if (fxfReadFaxHeader(FaxFile(), header) != 0) std::abort();
    for (unsigned p = 1; p <= header.PageCount; ++p) {
      TLines lines;
      if (DecodeLines(FaxFile(), p, lines) != 0) std::abort();
      lines.insert(lines.begin(), 8, std::vector<std::uint8_t>(StandardWidth / 8, 0));
      PageLines.push_back(lines);
    }
    RegisterClass("FuzzFaxNotices", [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
      return static_cast<TFaxBench*>(GetWindowUserData(h))->Notice(m, w, l);
    });
    Window = CreateWindow("FuzzFaxNotices", this);
  }
  ~TFaxBench() { DestroyWindow(Window); }
  std::string FaxFile() const { return Dir / "send.fxf"; }

  // One session against the input.
  void Run(const std::uint8_t* data, std::size_t size, ClassType cls) {
    if (size < 1) return;
    const bool send = (data[0] & 0x40) != 0;
    TFuzzLine line;
    if (line.Open() != 0) std::abort();
    line.Play({data + 1, size - 1}, 1 + (data[0] & 0x3F));
    TFaxRec* fax = nullptr;
    const int r = send ? fInitC12SendFax(fax, "KORVIDAN FUZZ", &line, Window)
                       : fInitC12ReceiveFax(fax, "KORVIDAN FUZZ", &line, Window);
    if (r != 0) std::abort();
    // Each transmission of a page, from its lead lines on: the page and what was written.
    std::vector<std::pair<unsigned, std::vector<std::uint8_t>>> sent;
    std::uint8_t lastState = tfNone;
    if (send)
      line.Written = [&](const std::uint8_t* bytes, std::size_t count) {
        const std::uint8_t state = fax->State;
        if (state == tfSendPageHeader && lastState != tfSendPageHeader)
          sent.push_back({fax->PData->CurrentPage, {}});
        if (!sent.empty() && (state == tfSendPageHeader || state == tfSendPage || state == tfDrainPage))
          sent.back().second.insert(sent.back().second.end(), bytes, bytes + count);
        lastState = state;
      };
    fSetClassType(fax, cls);
    fax->PData->StatusInterval = 3600;  // no status rounds between the time-outs
    Finished = false;
    Entries = 1;
    Logs.clear();
    if (send) {
      afStartFax(fax, fPrepareFaxTransmit, fFaxTransmit);
    } else {
      afSetDestinationDir(fax, In.str() + "/");
      fSetOneFax(fax, true);
      afStartFax(fax, fPrepareFaxReceive, fFaxReceive);
    }
    ProcessMessages();
    while (!Finished && !line.Exhausted()) {
      line.Round();
      ProcessMessages();
    }
    bool cancelled = false;
    for (std::uint32_t silent = 0; !Finished;) {
      if (silent > 600 * 1000 && !cancelled) {
        cancelled = true;
        (send ? fFaxTransmit : fFaxReceive)(apw_FaxCancel, 0, static_cast<LPARAM>(line.Handle()) << 16);
      }
      if (silent > 4200 * 1000) __builtin_trap();
      silent += line.Idle();
      ProcessMessages();
    }
    line.Written = nullptr;
    send ? fDoneC12SendFax(fax) : fDoneC12ReceiveFax(fax);
    const bool reported =
        FinishCode == 0 && std::find(Logs.begin(), Logs.end(), lfaxTransmitOk) != Logs.end();
    if (send && reported) CheckSent(sent);
    if (!send) CheckReceived();
    In.Clear();
  }

  support::TempDir Dir{"korvidan-fax-fuzz", support::TmpfsOrTemp()};
  support::TempDir In{"in", Dir.path()};
  HWND Window = 0;
  bool Finished = false;
  int Entries = 0;
  std::int16_t FinishCode = 0;
  std::vector<unsigned> Logs;
  std::vector<TLines> PageLines;

 private:
  void CheckSent(const std::vector<std::pair<unsigned, std::vector<std::uint8_t>>>& sent) {
    for (unsigned p = 1; p <= PageLines.size(); ++p) {
      auto last = std::find_if(sent.rbegin(), sent.rend(), [p](const auto& t) { return t.first == p; });
      if (last == sent.rend()) __builtin_trap();
      // The page data as a raw page of a fax file: DLE doubling undone, up to DLE ETX.
      std::vector<std::uint8_t> data;
      const std::vector<std::uint8_t>& bytes = last->second;
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == 0x10 && i + 1 < bytes.size() && bytes[++i] != 0x10) break;
        data.push_back(bytes[i]);
      }
      std::vector<std::uint8_t> file(FaxHeaderSize + PageHeaderSize);
      TFaxHeaderRec header;
      header.Signature = DefFXFSig;
      header.PageCount = 1;
      header.FirstPageOffset = DefFirstPageOffset;
      header.Store(file.data());
      TPageHeaderRec page;
      page.ImageLength = static_cast<std::uint32_t>(data.size());
      page.Store(file.data() + FaxHeaderSize);
      file.insert(file.end(), data.begin(), data.end());
      TLines lines;
      if (DecodeLines(Dir.Write("sent.fxf", file), 1, lines) != 0 || lines != PageLines[p - 1])
        __builtin_trap();
    }
  }
  void CheckReceived() {
    static std::uint8_t buffer[4096];
    for (const auto& entry : std::filesystem::directory_iterator(In.path())) {
      TFaxFileReader reader;
      if (reader.Open(entry.path()) != 0) __builtin_trap();
      for (unsigned p = 1; p <= reader.Header().PageCount; ++p) {
        int len = 0, rc = reader.SeekPage(p);
        while (rc == 0 && (rc = reader.ReadPageData(buffer, sizeof buffer, len)) == 0 && len > 0) {
        }
        if (rc != 0) __builtin_trap();
      }
    }
  }

  LRESULT Notice(UINT m, WPARAM w, LPARAM l) {
    auto* fax = reinterpret_cast<TFaxRec*>(l);
    switch (m) {
      case apw_FaxNextfile:
        if (Entries == 0) return 0;
        --Entries;
        afSetNextFax(fax, "4711", FaxFile(), "");
        return 1;
      case apw_FaxName:
        afSetFaxName(fax, afFaxNameCount(fax));
        return 0;
      case apw_FaxAccept:
        return 1;
      case apw_FaxLog:
        Logs.push_back(static_cast<unsigned>(w));
        return 0;
      case apw_FaxFinish:
        Finished = true;
        FinishCode = static_cast<std::int16_t>(w);
        return 0;
      default:
        return 0;
    }
  }
};

}  // namespace fuzz
