#include <gtest/gtest.h>
#include "common/syslog.hpp"
TEST(Skeleton, Builds) { EXPECT_EQ(framework::Syslog::get_log_level(), 6); }
