// Method execution: arguments from the signature, execution on the class or an
// instance, output values, and the completion for each way it can fail.

#include <gtest/gtest.h>

#include "client_wmi_testutil.h"

namespace {

using testutil::executeRequest;
using testutil::lookupRequest;
using testutil::Millis;
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
};
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

}  // namespace
