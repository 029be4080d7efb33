// The Client on a real loop in this process, with the NVR played by the test.

#include <gtest/gtest.h>

#include "client_loop_testutil.h"
#include "wmi_standin.h"

namespace {

using testutil::ClientHarness;
using testutil::Millis;

TEST(ClientCore, StatusAndNamespaceConnect) {
    ClientHarness h;
    const int objectsBefore = wmi::standin::liveObjects();
    ASSERT_TRUE(h.startAndConnect());
    Message reply;
    h.d_nvr.send(testutil::statusRequest());
    ASSERT_TRUE(h.receive(&reply, Millis(5000)));
    EXPECT_EQ(reply.action, e_ACTION_STATUS);
    EXPECT_EQ(testutil::valueOf(reply, "namespace"), "");

    EXPECT_TRUE(h.connectNamespace("root\\AccessControl"));
    h.d_nvr.send(testutil::namespaceRequest("root\\NoSuchNamespace"));
    h.d_nvr.send(testutil::statusRequest());
    ASSERT_TRUE(h.receive(&reply, Millis(5000)));
    EXPECT_EQ(testutil::valueOf(reply, "namespace"), "");

    // The Client gives back every COM object it made, its locator included.
    EXPECT_TRUE(h.connectNamespace("root\\AccessControl"));
    h.destroyClient();
    EXPECT_EQ(wmi::standin::liveObjects(), objectsBefore);
}

}  // namespace
