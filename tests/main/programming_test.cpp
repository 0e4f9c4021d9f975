// The programming window end to end, offscreen, against the controller simulator with
// firmware 2.19 (floats byte-reversed on the bus): opened from the menu "korvidan
// konfigurieren", read, every page and tab checked, one field of each kind changed, written;
// the simulator's memory then differs in exactly those bytes. The hex pairs go out without
// their pause here; tests/main/programming_slow_test.cpp writes at the real pace.
#include "tests/main/ProgrammingDriver.h"

namespace {

using e2e::ProgrammingSession;

TEST_F(ProgrammingSession, ReadEditAndWriteAControllerWithFirmware219) { Run(219, 0); }

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Also when the tests are only listed, outside the test environment.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
