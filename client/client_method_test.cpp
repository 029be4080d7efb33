// Method execution: arguments from the signature, execution on the class or an
// instance, output values, and the completion for each way it can fail.

#include <gtest/gtest.h>

#include "client_wmi_testutil.h"

namespace {

using testutil::ClientHarness;
using testutil::executeRequest;
using testutil::FakeNvr;
using testutil::lookupRequest;
using testutil::Millis;
using testutil::statusRequest;
using testutil::subscribeRequest;
using testutil::WmiHarness;

const char* const k_NAMESPACE = "root\\Test";

const char* const k_REPOSITORY = R"(
#pragma namespace("\\\\.\\root\\Test")
class Device {
    [key] string Name;
    [key] sint32 Slot;
    uint32 Open([in] sint32 Seconds, [in] string Reason, [out] string Status, [out] sint32 Code);
    uint32 Ping();
    [ExecError(0x80041003)] uint32 Forbidden([in] string Why);
    [LatencyMs(600000)] uint32 Hang([in] string Why);
    [LatencyMs(200)] uint32 Slow();
};
class Alarm : __ExtrinsicEvent { string Zone; };
instance of Device { Name = "Lobby"; Slot = 1; };
instance of Device { Name = "Yard"; Slot = 2; };
)";

Message completion(const Message& request, const std::string& name, const std::string& value) {
    Message m = request;
    m.action = e_ACTION_COMPLETION;
    m.params_out = {{name, value, "str"}};
    return m;
}

struct MethodFixture : ::testing::Test {
    WmiHarness h{k_REPOSITORY};
    int objectsBefore = wmi::standin::liveObjects();
    int calls = 0;

    void SetUp() override {
        // Open reports what it was given and where it ran.
        h.provider().setMethodHandler("Device", "Open", [this](wmi::standin::MethodCall& call) {
            ++calls;
            std::string where = "class";
            if (call.d_target) {
                const int name = call.d_target->d_class->findProperty("Name");
                where = wmi::standin::scalarText(call.d_target->d_values[name].d_items[0]);
            }
            std::string seconds = wmi::standin::scalarText(call.input("Seconds")->d_items[0]);
            std::string reason = wmi::standin::scalarText(call.input("Reason")->d_items[0]);
            call.setOutput("Status", where + " " + seconds + " " + reason);
            call.setOutput("Code", std::to_string(std::stoi(seconds) * 3));
            call.setOutput("ReturnValue", "7");
            return S_OK;
        });
        ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE));
    }

    // Sends 'request' and a status request, and runs until the method waits
    // for WMI with the status held behind it.
    bool startWaiting(const Message& request) {
        h.harness().d_nvr.send(request);
        h.harness().d_nvr.send(statusRequest());
        return h.harness().runUntil(
            [&] { return h.client().methodWaiting() && h.client().heldRequests() == 1; },
            Millis(5000));
    }

    void TearDown() override {
        h.harness().destroyClient();
        EXPECT_EQ(wmi::standin::liveObjects(), objectsBefore);
        EXPECT_EQ(wmi::standin::liveStrings(), 0);
    }
};

TEST_F(MethodFixture, OutputsThenSuccessOnAnInstanceOrTheClass) {
    std::vector<Message> found =
        h.handle(lookupRequest("Device", {{"Name", "Yard", "str"}}, {{"__RELPATH", "", ""}}));
    ASSERT_EQ(found.size(), 1u);
    const std::string path = found[0].params_out[0].value;
    EXPECT_EQ(path, "Device.Name=\"Yard\",Slot=2");

    Message request = executeRequest("Device", "Open",
                                     {{"Seconds", "-12", "int"}, {"Reason", "fire drill", "str"}},
                                     {{"Status", "", "str"},
                                      {"Code", "", "int"},
                                      {"ReturnValue", "", "int"},
                                      {"Nope", "kept", "str"}},
                                     path);
    std::vector<Message> replies = h.handle(request);
    ASSERT_EQ(replies.size(), 2u);
    Message outputs = request;
    outputs.params_out = {{"Status", "Yard -12 fire drill", "str"},
                          {"Code", "-36", "int"},
                          {"ReturnValue", "7", "int"},
                          {"Nope", "kept", "str"}};
    EXPECT_EQ(replies[0], outputs);
    EXPECT_EQ(replies[1], completion(request, "Success", ""));
    EXPECT_EQ(h.client().counters().execute_success, 1u);
    EXPECT_TRUE(
        h.d_log.contains("Client::executeMethod - Executing method 'Open' on class "
                         "'Device'"));
    EXPECT_TRUE(h.d_log.contains(
        "Client::executeMethod - Target instance = 'Device.Name=\"Yard\",Slot=2'"));

    // On the class, without outputs asked: only the completion.
    request = executeRequest("Device", "Open",
                             {{"Seconds", "+5", "int"}, {"Reason", "ünïcode", "str"}}, {});
    replies = h.handle(request);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], completion(request, "Success", ""));
    EXPECT_EQ(calls, 2);

    // A method without inputs runs without an input object.
    request = executeRequest("Device", "Ping", {}, {{"ReturnValue", "", ""}},
                             "Device.Name=\"Lobby\",Slot=1");
    replies = h.handle(request);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].action, e_ACTION_EXECUTE);
    EXPECT_EQ(replies[0].params_out[0].value, "0");
    EXPECT_EQ(replies[1], completion(request, "Success", ""));
    EXPECT_EQ(h.client().counters().execute_success, 3u);

    // A WMI that refuses an output pointer beside the call result: the
    // class and the method are asked again without it, once each.
    wmi::standin::setFault(wmi::standin::Fault::e_SEMISYNC_OUT_POINTER,
                           static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER));
    request = executeRequest("Device", "Open", {{"Seconds", "1", "int"}, {"Reason", "r", "str"}},
                             {{"Code", "", "int"}}, path);
    replies = h.handle(request);
    wmi::standin::clearFaults();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].params_out[0].value, "3");
    EXPECT_EQ(replies[1], completion(request, "Success", ""));
    EXPECT_EQ(calls, 3);
}

TEST_F(MethodFixture, BadArgumentsAreRefusedBeforeExecution) {
    Message request =
        executeRequest("Device", "Open", {{"Reason", "x", "str"}, {"Seconds", "12a", "int"}}, {});
    std::vector<Message> replies = h.handle(request);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], completion(request, "Failed", "Failed reading setting input parameter"));
    EXPECT_TRUE(
        h.d_log.contains("Client::executeMethod - Parameter could not be converted to int: '12a'"));

    for (const char* number : {"", "-", "2147483648", "1 ", "0x10"}) {
        request = executeRequest("Device", "Open", {{"Seconds", number, "int"}}, {});
        replies = h.handle(request);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].params_out[0].value, "Failed reading setting input parameter")
            << number;
    }

    request =
        executeRequest("Device", "Open", {{"Seconds", "1", "int"}, {"Reason", "true", "bool"}}, {});
    replies = h.handle(request);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], completion(request, "Failed", "Input type not supported"));
    EXPECT_TRUE(
        h.d_log.contains("Client::executeMethod - In Parameter is an unsupported type 'bool'"));

    EXPECT_EQ(calls, 0);
    EXPECT_EQ(h.client().counters().execute_failed, 7u);
    EXPECT_EQ(h.client().counters().execute_success, 0u);
}

TEST_F(MethodFixture, PlatformFailuresCarryTheirCode) {
    struct Case {
        Message request;
        const char* code;
        const char* log;
        bool described = true;  // "Error Message: " follows
    };
    const Case cases[] = {
        {executeRequest("NoClass", "Open", {{"Seconds", "1", "int"}}, {}), "0x80041002",
         "Failed calling class object 'NoClass'", false},
        {executeRequest("Device", "Nope", {{"Seconds", "1", "int"}}, {}), "0x80041002",
         "Failed calling method 'Nope'", false},
        {executeRequest("Device", "Nope", {}, {}), "0x8004102e",
         "Could not execute method. Error code = 0x8004102e"},
        {executeRequest("Device", "Open", {{"Seconds", "1", "int"}}, {},
                        "Device.Name=\"Attic\",Slot=9"),
         "0x80041002", "Could not execute method. Error code = 0x80041002"},
        // An argument the method does not declare.
        {executeRequest("Device", "Open", {{"Seconds", "1", "int"}, {"Extra", "1", "str"}}, {}),
         "0x80041008", "Could not execute method. Error code = 0x80041008"},
        {executeRequest("Device", "Forbidden", {{"Why", "test", "str"}}, {}), "0x80041003",
         "Could not execute method. Error code = 0x80041003"},
        // A method without inputs has no signature to fill.
        {executeRequest("Device", "Ping", {{"Seconds", "1", "int"}}, {}), "0x80041008",
         "Failed getting inParameters", false},
    };
    for (const Case& c : cases) {
        h.d_log.clear();
        std::vector<Message> replies = h.handle(c.request);
        ASSERT_EQ(replies.size(), 1u) << c.log;
        EXPECT_EQ(replies[0], completion(c.request, "Failed", c.code)) << c.log;
        EXPECT_TRUE(h.d_log.contains(c.log)) << h.d_log.all();
        EXPECT_EQ(h.d_log.contains("Client::executeMethod - Error Message: "), c.described)
            << c.log;
    }
    EXPECT_EQ(h.client().counters().execute_failed, std::size(cases));
    EXPECT_EQ(calls, 0);
}

TEST_F(MethodFixture, IgnoredWithoutANamespace) {
    h.client().close();
    EXPECT_TRUE(h.handle(executeRequest("Device", "Ping", {}, {})).empty());
    EXPECT_EQ(h.client().counters().execute_failed + h.client().counters().execute_success, 0u);
    EXPECT_FALSE(h.d_log.contains("Executing method"));
}

// A method WMI takes long over holds only the requests behind it, so that
// replies keep the order of the requests; keep-alives and events go on, and
// the method completes as failed at its bound.
TEST_F(MethodFixture, AMethodWithoutResultHoldsOnlyTheRequestsBehindItUntilItsBound) {
    ASSERT_TRUE(h.handle(subscribeRequest("Alarm", {{"Zone", "", "str"}})).empty());
    const Message hang =
        executeRequest("Device", "Hang", {{"Why", "test", "str"}}, {{"ReturnValue", "", ""}});
    ASSERT_TRUE(startWaiting(hang));

    h.raise("instance of Alarm { Zone = \"North\"; };");
    std::vector<Message> got;
    ASSERT_TRUE(h.collect(1, &got));
    EXPECT_EQ(got[0].action, e_ACTION_SUBSCRIBE);
    ClientHarness::skip(Client::k_KEEPALIVE_MS);
    FakeNvr& nvr = h.harness().d_nvr;
    EXPECT_TRUE(h.harness().runUntil(
        [&] {
            nvr.pump(Millis(0));
            return nvr.keepalives() == 1;
        },
        Millis(5000)));
    EXPECT_TRUE(h.client().methodWaiting());

    ClientHarness::skip(Client::k_METHOD_WAIT_MS);
    ASSERT_TRUE(h.collect(3, &got));
    EXPECT_EQ(got[1], completion(hang, "Failed", "0x80041069"));
    EXPECT_EQ(got[2].action, e_ACTION_STATUS);
    EXPECT_FALSE(h.client().methodWaiting());
    EXPECT_EQ(h.client().counters().execute_failed, 1u);
    EXPECT_TRUE(h.d_log.contains(
        "Client::executeMethod - Method 'Hang' of class 'Device' gave no result within 120 s"));
}

TEST_F(MethodFixture, ASlowMethodAnswersInOrderAndALostLinkOrAStopDropsOneThatWaits) {
    // Done after a fifth of a second: its replies come before the status.
    const Message slow = executeRequest("Device", "Slow", {}, {{"ReturnValue", "", ""}});
    std::vector<Message> replies = h.handle(slow);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].params_out[0].value, "0");
    EXPECT_EQ(replies[1], completion(slow, "Success", ""));

    // The link goes, and the method and the request behind it with it: the
    // next link hears nothing of them.
    const Message hang = executeRequest("Device", "Hang", {{"Why", "x", "str"}}, {});
    ASSERT_TRUE(startWaiting(hang));
    FakeNvr& nvr = h.harness().d_nvr;
    nvr.closeConnection();
    ASSERT_TRUE(h.harness().runUntil([&] { return !h.client().linkUp(); }, Millis(5000)));
    EXPECT_FALSE(h.client().methodWaiting());
    EXPECT_EQ(h.client().counters().methods_abandoned, 1u);
    EXPECT_EQ(h.client().counters().requests_dropped, 1u);
    ClientHarness::skip(Client::k_RECONNECT_MS);
    ASSERT_TRUE(h.harness().runUntil(
        [&] { return (nvr.connected() || nvr.accept(Millis(0))) && h.client().linkUp(); },
        Millis(5000)));
    const Message ping = executeRequest("Device", "Ping", {}, {});
    replies = h.handle(ping);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], completion(ping, "Success", ""));

    // The stop does not wait for a method either.
    ASSERT_TRUE(startWaiting(hang));
    h.harness().requestStop();
    ClientHarness::skip(Client::k_STOP_CHECK_MS);
    EXPECT_TRUE(h.harness().runUntilStopped(Millis(5000)));
    EXPECT_EQ(h.client().counters().execute_success, 2u);
    EXPECT_EQ(h.client().counters().execute_failed, 0u);
}

}  // namespace
