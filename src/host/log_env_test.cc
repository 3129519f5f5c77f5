// HV_LOG_LEVELS switches severities on when the log is first used.  Alone in
// its binary, since the variable is read only once per process.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "hv/slapi-host.h"

namespace {

TEST(LogLevelsFromEnvironment, ReadAtFirstUse) {
    ASSERT_EQ(setenv("HV_LOG_LEVELS", "7, 14,x,99", 1), 0);
    EXPECT_EQ(slapi_is_loglevel_set(SLAPI_LOG_PLUGIN), 1);
    EXPECT_EQ(slapi_is_loglevel_set(SLAPI_LOG_CONFIG), 1);
    EXPECT_EQ(slapi_is_loglevel_set(SLAPI_LOG_TRACE), 0);
    hv_log_enable(SLAPI_LOG_PLUGIN, 0);
    EXPECT_EQ(slapi_is_loglevel_set(SLAPI_LOG_PLUGIN), 0);
}

}  // namespace
