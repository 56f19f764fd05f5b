// smoke_test.cpp: the shortest road through the daemon.
#include "daemon_harness.h"

namespace vellumd::e2e {
namespace {

class SmokeTest : public DaemonTest {};

// A file written into the target is handled once, with its full path.
TEST_F(SmokeTest, HandlesAFileWrittenIntoTheTarget) {
  startDaemon();
  writeFile("a.txt", "hello");
  ASSERT_TRUE(waitForHandledPath(inTree("a.txt")));
  EXPECT_TRUE(waitForLog("Call handler " + handlerPath() + " with argument: " + inTree("a.txt")));
}

}  // namespace
}  // namespace vellumd::e2e
