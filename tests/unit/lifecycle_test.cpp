#include "test_support.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(HostTest, Placeholder)
{
    auto plugin = make_plugin();
    ASSERT_NE(plugin, nullptr);
}
