// The acquisition thread: once per interval it listens to every registered controller in
// turn, converts the controllers' value output into their sensors, has the value board
// refresh and evaluate alarms, and the database store one row per controller.
//
// The thread frees itself when it ends.  Stop it through its handle: Terminate(), then
// WaitFor().  A stop is noticed between cycles: a cycle that has begun (its listening
// included) is completed first, so no controller is left with half of its values.
#pragma once

#include "platform/Threads.h"

class TDataModule1;
class TControllerList;
class TAcquisitionState;

class ThGetData : public TThread {
 public:
  // Creates and starts the thread with normal priority; the handle stays valid after the
  // thread has freed itself.
  static TThreadHandle Create(TDataModule1& bus, TControllerList& list, TAcquisitionState& state);

 protected:
  void Execute() override;

 private:
  ThGetData(TDataModule1& bus, TControllerList& list, TAcquisitionState& state);
  void RunCycle();

  TDataModule1& FBus;
  TControllerList& FList;
  TAcquisitionState& FState;
};
