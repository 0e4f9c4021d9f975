// The programming window end to end against the controller simulator with firmware 2.16
// (floats in PC order on the bus, as for a controller whose version query never got an
// answer): the same session as tests/main/programming_test.cpp, with the write at its real
// pace of 12 ms a hex pair (about 45 s).
#include "tests/main/ProgrammingDriver.h"

namespace {

using e2e::ProgrammingSession;

TEST_F(ProgrammingSession, ReadEditAndWriteAControllerWithFirmware216AtTheRealPace) { Run(216, 12); }

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Also when the tests are only listed, outside the test environment.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
