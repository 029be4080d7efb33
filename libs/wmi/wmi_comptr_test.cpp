// wmi_comptr_test.cpp
#include "wmi_comptr.h"
#include "wmi_testutil.h"

#include <gtest/gtest.h>

#include <utility>

using namespace wmi;
using namespace wmi::test;

namespace {

TEST(ComPtrTest, EveryHolderOwnsExactlyOneReference) {
    auto* sink = new RecordingSink("Name");  // one reference, the test's own
    sink->AddRef();                          // one for the holders below
    {
        ComPtr<IWbemObjectSink> a(sink);
        ComPtr<IWbemObjectSink> b = a;  // a copy counts
        EXPECT_EQ(sink->refs(), 3u);
        ComPtr<IWbemObjectSink> c = std::move(b);  // a move does not
        EXPECT_FALSE(b);
        EXPECT_EQ(c.get(), sink);
        c = a;
        EXPECT_EQ(sink->refs(), 3u);
        c.out();  // an output slot lets go of what it held
        EXPECT_EQ(sink->refs(), 2u);
        {
            // A variant holding the reference releases it when it goes.
            Variant v;
            V_VT(v.get()) = VT_UNKNOWN;
            V_UNKNOWN(v.get()) = ComPtr<IWbemObjectSink>(a).release();
            EXPECT_EQ(sink->refs(), 3u);
        }
        EXPECT_EQ(sink->refs(), 2u);
    }
    EXPECT_EQ(sink->refs(), 1u);
    sink->Release();
}

}  // namespace
