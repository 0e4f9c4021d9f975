// The firmware version query: at the first showing of the main window the controller is
// asked for its firmware version ("DV"), before any acquisition starts.  The version
// decides which programming commands are offered and, as FFirmwareVersion (version times
// 100), the byte order of the floats in programming transfers.
//
// TTKorvidanVersion is the logic of the version dialog; its window (app/KorvidanVersionForm)
// installs the hooks through which the logic shows, enables and closes things.  The one-shot
// thread ThKorvidanVersion starts the query and waits for its end; the retry timer, the
// bus module's trigger handlers and the parse all run on the window thread.  The two named
// auto-reset events connect them: "KorvidanVersion" releases the thread, and
// "KorvidanVersionTerminate" tells the main window that the query has ended.
//
// The reply is "korvidan", a blank, "v" and the version ("korvidan v2.19") up to its line
// end.  It is collected up to that line end before it is parsed: on a real line the marker
// and the version often arrive in separate chunks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "link/RS485BusNew.h"
#include "platform/Messages.h"
#include "platform/Threads.h"

// Names of the events that connect the query, its thread and the main window.
inline constexpr const char* VersionEventName = "KorvidanVersion";
inline constexpr const char* VersionTerminateEventName = "KorvidanVersionTerminate";

// FFirmwareVersion before any reply was parsed.
constexpr int UnknownFirmwareVersion = 216;
// The version that this program is made for (2.19).
constexpr int SupportedFirmwareVersion = 219;
// Retry timer: interval and the tick at which the query gives up.
constexpr DWORD VersionRetryIntervalMs = 295;
constexpr int VersionRetryLimit = 25;

// Texts of the query.
extern const char* const VersionNoAnswerCaption;
extern const char* const VersionNoAnswerText;
extern const char* const VersionReadErrorCaption;
extern const char* const VersionReadErrorText;
extern const char* const VersionConvertErrorText;
extern const char* const VersionCheckCaption;
extern const char* const VersionCheckText;

// What the version dialog's logic does to windows (all on the window thread).  A hook that
// is not installed does nothing.
struct TKorvidanVersionHooks {
  // The dialog's OK button.
  std::function<void(bool enabled)> SetOkEnabled;
  // Shows the button "Auf Menüpunkt verzichten !".
  std::function<void()> ShowVerzichten;
  // Closes the dialog.
  std::function<void()> CloseDialog;
  // The programming window's commands for a firmware of 2.19 or later: reading enabled,
  // writing disabled (until an image has been read).  Installed with the programming
  // window.
  std::function<void()> EnableProgrammingRead;
  // The main window's menu item "korvidan konfigurieren".
  std::function<void()> DisableProgrammingMenu;
  // Ends the application ("dralmit beenden ").
  std::function<void()> Terminate;
};

class TTKorvidanVersion {
 public:
  // Made on the window thread, after the bus module.  Attaches itself to the bus module
  // (its version flags and the reply parse).
  TTKorvidanVersion(TDataModule1& bus, TAcquisitionState& state);
  ~TTKorvidanVersion();
  TTKorvidanVersion(const TTKorvidanVersion&) = delete;
  TTKorvidanVersion& operator=(const TTKorvidanVersion&) = delete;

  TKorvidanVersionHooks Hooks;

  // Version times 100 (2.19 gives 219); 216 until a reply was parsed.
  int GetFirmwareVersion() const { return FFirmwareVersion; }

  // ----- handlers (window thread) -----
  // Disables OK and starts the query thread.
  void OkButtonClick();
  // Every 295 ms while a query runs: sends the request again, gives up at the 25th tick.
  void GetVersionTimerTimer();
  // Called by the bus module's avail handler once the marker was seen.  Waits for the
  // reply's line end (the marker is then looked for again on the next chunk); with force
  // it parses what has come.
  void ParseVersionReply(bool force = false);
  // Gives up the programming menu and closes the dialog.
  void verzichtenClick();
  // Ends the application.
  void dm_beendenClick();

  // The first steps of the query thread, run on the window thread: resets the events and
  // flags, opens the bus port when needed, arms the marker, sends the request and starts
  // the retry timer.  False (reported, the thread released) when the port cannot be used.
  bool StartQuery();

  // State, for the window and for tests.
  const TVersionQueryState& Flags() const { return FFlags; }
  bool TimerEnabled() const { return FTimerEnabled; }
  int RetryCount() const { return FRetryCount; }
  TThreadHandle VersionThread() const { return FVersionThread; }

  // The version text of a reply (the text from the marker on): the up to 4 characters
  // behind the first "v" after the marker, or the marker's first 4 characters when no "v"
  // follows within the 16 characters counted from the marker; the reply's line ends it.
  static std::string VersionText(const std::string& fromMarker);
  // The version times 100 of a version text, with "." or "," as the decimal separator,
  // whatever the locale; false when it is no number.
  static bool ConvertVersion(const std::string& versionText, int& version);

 private:
  static LRESULT TimerWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void EnableTimer(bool on);
  void RemoveVersionMarker();
  void FinishQuery();

  TDataModule1& FBus;
  TAcquisitionState& FState;
  TVersionQueryState FFlags;
  TEvent FVersionEvent;
  TEvent FVersionTerminateEvent;
  TThreadHandle FVersionThread;
  HWND FTimerWindow = 0;
  bool FTimerEnabled = false;
  int FFirmwareVersion = UnknownFirmwareVersion;
  int FRetryCount = 0;
  std::uint16_t FTriggerHandle = 0;
  bool FClosing = false;
  bool FInTimer = false;
};

// The version dialog's logic of the running application (for the programming transfer, which
// reads GetFirmwareVersion); null while there is none.
extern TTKorvidanVersion* KorvidanVersionQuery;

// The one-shot query thread: runs the first steps of the query on the window thread, waits
// for "KorvidanVersion" and then sets "KorvidanVersionTerminate".  Frees itself.
class ThKorvidanVersion : public TThread {
 public:
  static TThreadHandle Create(TTKorvidanVersion& dialog);

 protected:
  void Execute() override;

 private:
  explicit ThKorvidanVersion(TTKorvidanVersion& dialog);
  TTKorvidanVersion& FDialog;
};
