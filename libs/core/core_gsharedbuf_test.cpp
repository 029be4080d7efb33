#include "core_gsharedbuf.h"

#include <gtest/gtest.h>

namespace core {
namespace {

TEST(GSharedBuf, CopiesAndSlicesShareOneBlock) {
    GSharedBuf b = GSharedBuf::copyOf("hello world");
    GSharedBuf copy = b;
    GSharedBuf word = b.slice(6, 5);
    EXPECT_EQ(word.view(), "world");
    EXPECT_EQ(word.data(), b.data() + 6);
    EXPECT_EQ(b.useCount(), 3);
    EXPECT_EQ(b.slice(20, 5).size(), 0u);
    EXPECT_EQ(b.slice(9, 50).view(), "ld");
    copy.shrink(5);
    EXPECT_EQ(copy.view(), "hello");
    EXPECT_EQ(b.view(), "hello world");
    EXPECT_TRUE(GSharedBuf().empty());
    EXPECT_EQ(GSharedBuf().data(), nullptr);
}

}  // namespace
}  // namespace core
