#include "link/ThGetData.h"

#include <exception>
#include <string>

#include "link/BusShared.h"
#include "link/RS485BusNew.h"
#include "link/Tkorvidan.h"

namespace {

// An error of the value board or the database must not end the acquisition: it is
// reported and the cycle goes on.
template <class F>
void Guarded(const char* what, F&& step) {
  try {
    step();
  } catch (const std::exception& e) {
    LinkMessageBox(std::string(what) + ": " + LinkErrorText(e), "Datenabfrage", TBoxKind::Error);
  } catch (...) {
    LinkMessageBox(std::string(what) + ": unbekannter Fehler", "Datenabfrage", TBoxKind::Error);
  }
}

}  // namespace

ThGetData::ThGetData(TDataModule1& bus, TControllerList& list, TAcquisitionState& state)
    : TThread(false), FBus(bus), FList(list), FState(state) {
  SetFreeOnTerminate(true);
}

TThreadHandle ThGetData::Create(TDataModule1& bus, TControllerList& list, TAcquisitionState& state) {
  auto* thread = new ThGetData(bus, list, state);
  TThreadHandle handle = thread->Handle();
  thread->Start();
  return handle;
}

void ThGetData::Execute() {
  TEvent terminateEvent(false, false, "Terminate");
  terminateEvent.ResetEvent();
  LinkStatusText("Datenabfrage läuft");
  FState.SetDataCollecting(true);

  RunCycle();
  while (!Terminated()) {
    FState.SetSecondsCounter(0);
    if (!FState.WaitForInterval([this] { return Terminated(); })) break;
    RunCycle();
  }

  LinkStatusText("Datenabfrage gestoppt");
  FState.SetDataCollecting(false);
  terminateEvent.SetEvent();
}

void ThGetData::RunCycle() {
  const int count = FList.GetControllerCount();
  for (int i = 0; i < count; ++i) Guarded("Abfrage", [&] { FBus.PollController(FList, i); });

  const TLinkHooks& hooks = LinkHooks();
  if (hooks.ShowCurrentValues) Guarded("Werteanzeige", [&] { hooks.ShowCurrentValues(FList); });
  if (hooks.StoreCurrentValues) Guarded("Datenbank", [&] { hooks.StoreCurrentValues(FList); });
}
