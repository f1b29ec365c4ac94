// Built only from the include path that quarn_lib exports through catkin.
#include <gtest/gtest.h>

#include <quarn_common/BhResponse.h>

TEST(ExportedHeaders, MessagesAreReachable)
{
  EXPECT_EQ(10, quarn_common::BhResponse().priority + 10);
}
