#include "tarnwick/app/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace tarnwick {
namespace {

TEST(ProcessTest, HardeningKeepsThePasswordOutOfCoresAndKeyLogs) {
  setenv("SSLKEYLOGFILE", "/tmp/keys", 1);
  harden_process();
  struct rlimit core;
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &core), 0);
  EXPECT_EQ(core.rlim_cur, 0u);
  EXPECT_EQ(core.rlim_max, 0u);
  EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);
  EXPECT_EQ(getenv("SSLKEYLOGFILE"), nullptr);
  struct sigaction pipe_action;
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &pipe_action), 0);
  EXPECT_EQ(pipe_action.sa_handler, SIG_IGN);
}

}  // namespace
}  // namespace tarnwick
