// Instance lookups: the query text, one reply per instance with values carried
// over, the conversion of values (byte arrays to Base64), failures, and
// 'getInfo' with its diagnostics.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "client_variant.h"
#include "client_wmi_testutil.h"

namespace {

using testutil::lookupRequest;
using testutil::Millis;
using testutil::outParam;
using testutil::WmiHarness;

const char* const k_NAMESPACE = "root\\Test";

// Bytes that need every Base64 padding case and the "+" and "/" letters.
const std::string k_BLOB("\x89PNG\r\n\x1a\n\0\xfb\xff\xfe", 12);

std::string repository() {
    return R"(
#pragma namespace("\\\\.\\root\\Test")
class Thing {
    [key] string Name;
    sint32 Rank;
    string Note;
    uint8 Blob[];
    uint8 Empty[];
    sint32 Numbers[];
    boolean Flag;
    real64 Ratio;
    sint8 Small;
    uint32 Big;
    sint64 Huge;
};
instance of Thing { Name = "a"; Rank = 1; Note = "first"; Blob = )" +
           testutil::mofArray(k_BLOB) + R"(; Empty = {}; Numbers = {1, 2};
    Flag = true; Ratio = 1.5; Small = -5; Big = 4000000000; Huge = 12345678901; };
instance of Thing { Name = "b"; Rank = 2; Note = "second"; Blob = {1}; };
instance of Thing { Name = "c"; Rank = 2; };
instance of Thing { Name = "d"; Rank = 2; Note = "fourth"; Blob = {1, 2}; };
[QueryError(0x80041017)]
class Broken { [key] string Name; };
[LatencyMs(1200)]
class Slow { [key] sint32 Id; };
instance of Slow { Id = 1; };
instance of Slow { Id = 2; };
class Lnl_MultimediaObject { [key] sint32 ID; uint8 Data[]; string MimeType; };
instance of Lnl_MultimediaObject { ID = 1; Data = {104, 105}; MimeType = "image/png"; };
)";
}

TEST(ClientLookup, QueryText) {
    Message m = lookupRequest("Lnl_Badge", {{"id", "12", "int"}}, {});
    EXPECT_EQ(Client::buildQuery(m), "SELECT * FROM Lnl_Badge WHERE id = '12'");
    m = lookupRequest("X", {{"a", "1", "int"}, {"b", "", "str"}, {"", "3", "str"}}, {});
    EXPECT_EQ(Client::buildQuery(m), "SELECT * FROM X WHERE a = '1'");
    m = lookupRequest("X", {{"a", "", ""}, {"b", "it's", "int"}, {"c", "3", ""}}, {});
    EXPECT_EQ(Client::buildQuery(m), "SELECT * FROM X WHERE b = 'it's' AND c = '3'");
    EXPECT_EQ(Client::buildQuery(lookupRequest("X", {}, {})), "SELECT * FROM X");
}

TEST(ClientLookup, Base64) {
    // RFC 4648 test vectors, and the two letters beyond the alphanumerics.
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xfb\xff", "+/8="},
        {std::string(60, 'x'), std::string(80, 'e')}};
    for (const auto& [bytes, text] : cases) {
        if (bytes.size() == 60) {
            // No line breaks, however long.
            EXPECT_EQ(base64Encode(bytes).find('\n'), std::string::npos);
            EXPECT_EQ(base64Encode(bytes).size(), 80u);
            continue;
        }
        EXPECT_EQ(base64Encode(bytes), text);
    }
    // Every byte value at every offset of the blocks the encoder takes.
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all += static_cast<char>(i);
    }
    for (size_t cut = 0; cut < 9; ++cut) {
        const std::string bytes = k_BLOB + all.substr(cut);
        std::string decoded;
        ASSERT_TRUE(testutil::base64Decode(base64Encode(bytes), &decoded));
        EXPECT_EQ(decoded, bytes);
    }
}

TEST(ClientLookup, RepliesPerInstanceWithValuesCarriedOver) {
    WmiHarness h(repository());
    const int objectsBefore = wmi::standin::liveObjects();
    ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE));

    Message request = lookupRequest("Thing", {{"Rank", "2", "int"}, {"Name", "", "str"}},
                                    {{"Name", "", "str"},
                                     {"Note", "none", "str"},
                                     {"Blob", "", ""},
                                     {"Nope", "as sent", "str"}});
    request.target_instance = "t";
    request.method_name = "m";
    std::vector<Message> replies = h.handle(request);
    ASSERT_EQ(replies.size(), 3u);
    for (const Message& reply : replies) {
        EXPECT_EQ(reply.action, e_ACTION_LOOKUP);
        EXPECT_EQ(reply.class_name, "Thing");
        EXPECT_EQ(reply.target_instance, "t");
        EXPECT_EQ(reply.method_name, "m");
        EXPECT_EQ(reply.params_in, request.params_in);
        ASSERT_EQ(reply.params_out.size(), 4u);
        EXPECT_EQ(reply.params_out[3], (Parameter{"Nope", "as sent", "str"}));
    }
    EXPECT_EQ(replies[0].params_out[0].value, "b");
    EXPECT_EQ(replies[0].params_out[1].value, "second");
    EXPECT_EQ(replies[0].params_out[2].value, "AQ==");
    // "c" has neither note nor blob: it keeps what "b" had.
    EXPECT_EQ(replies[1].params_out[0].value, "c");
    EXPECT_EQ(replies[1].params_out[1].value, "second");
    EXPECT_EQ(replies[1].params_out[2].value, "AQ==");
    EXPECT_EQ(replies[2].params_out[1].value, "fourth");
    EXPECT_EQ(replies[2].params_out[2].value, "AQI=");
    EXPECT_EQ(h.d_log.count("Client::lookupInstancesOfClass - Failed finding value for the "
                            "field 'Nope'"),
              3);
    EXPECT_EQ(h.client().counters().lookups_success, 1u);
    EXPECT_EQ(h.client().counters().arrays, 2u);

    // Nothing matches: no reply, still a lookup that ran.
    EXPECT_TRUE(h.handle(lookupRequest("Thing", {{"Rank", "9", "int"}}, {})).empty());
    EXPECT_EQ(h.client().counters().lookups_success, 2u);
    EXPECT_EQ(h.client().counters().lookups_failed, 0u);

    h.harness().destroyClient();
    EXPECT_EQ(wmi::standin::liveObjects(), objectsBefore);
    EXPECT_EQ(wmi::standin::liveArrays(), 0);
}

TEST(ClientLookup, ValueConversions) {
    WmiHarness h(repository());
    ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE));
    std::vector<Message> replies = h.handle(lookupRequest("Thing", {{"Name", "a", "str"}},
                                                          {{"Note", "", ""},
                                                           {"Blob", "", ""},
                                                           {"Empty", "x", ""},
                                                           {"Numbers", "x", ""},
                                                           {"Flag", "kept", "bool"},
                                                           {"Ratio", "kept", ""},
                                                           {"Small", "", ""},
                                                           {"Big", "", ""},
                                                           {"Huge", "", ""},
                                                           {"Rank", "", ""}}));
    ASSERT_EQ(replies.size(), 1u);
    const Message& r = replies[0];
    EXPECT_EQ(outParam(r, "Note")->value, "first");
    EXPECT_EQ(outParam(r, "Blob")->value, base64Encode(k_BLOB));
    EXPECT_EQ(outParam(r, "Blob")->value, "iVBORw0KGgoA+//+");
    EXPECT_EQ(outParam(r, "Empty")->value, "");
    EXPECT_EQ(outParam(r, "Numbers")->value, "");
    EXPECT_EQ(outParam(r, "Flag")->value, "kept");
    EXPECT_EQ(outParam(r, "Ratio")->value, "kept");
    EXPECT_EQ(outParam(r, "Small")->value, "-5");
    // Integers of 32 bits are read as signed.
    EXPECT_EQ(outParam(r, "Big")->value, "-294967296");
    EXPECT_EQ(outParam(r, "Huge")->value, "12345678901");
    EXPECT_EQ(outParam(r, "Rank")->value, "1");
    // Three arrays, two of which gave no bytes; the wrong element type is
    // reported with its place only.
    EXPECT_EQ(h.client().counters().arrays, 3u);
    EXPECT_EQ(h.client().counters().array_failed, 2u);
    EXPECT_EQ(h.d_log.count("Log at client:"), 1) << h.d_log.all();
    // A lookup logs nothing for types it leaves alone.
    EXPECT_FALSE(h.d_log.contains("Unhandled type"));
}

TEST(ClientLookup, FailuresAndRequestsBeforeANamespace) {
    WmiHarness h(repository());
    ASSERT_TRUE(h.start());
    EXPECT_TRUE(h.handle(lookupRequest("Thing", {}, {{"Name", "", ""}})).empty());
    EXPECT_EQ(h.client().counters().lookups_success, 0u);
    EXPECT_EQ(h.client().counters().lookups_failed, 0u);
    EXPECT_FALSE(h.d_log.contains("Client::lookupInstancesOfClass"));

    ASSERT_TRUE(h.harness().connectNamespace(k_NAMESPACE));
    EXPECT_TRUE(h.handle(lookupRequest("Broken", {}, {{"Name", "", ""}})).empty());
    EXPECT_TRUE(h.d_log.contains(
        "Client::lookupInstancesOfClass - Failed to execute query. Error code = 0x80041017"));
    EXPECT_TRUE(h.d_log.contains("Client::lookupInstancesOfClass - Error Message: "));
    EXPECT_TRUE(h.handle(lookupRequest("NoSuchClass", {}, {})).empty());
    EXPECT_TRUE(h.d_log.contains("Error code = 0x80041010"));
    // A quote in a value is passed on as is; the server refuses the query.
    EXPECT_TRUE(h.handle(lookupRequest("Thing", {{"Name", "a' OR Name = 'b", "str"}}, {})).empty());
    EXPECT_EQ(h.client().counters().lookups_failed, 3u);
    EXPECT_EQ(h.client().counters().lookups_success, 0u);

    wmi::standin::setFault(wmi::standin::Fault::e_PROXY_BLANKET, E_ACCESSDENIED);
    EXPECT_TRUE(h.handle(lookupRequest("Thing", {}, {})).empty());
    wmi::standin::clearFaults();
    EXPECT_TRUE(
        h.d_log.contains("Could not set proxy blanket on enumerator. Error code = 0x80070005"));
    EXPECT_EQ(h.client().counters().lookups_failed, 4u);
}

// A provider slower than one wait (here 1.2 s for the query and for every
// instance) never holds the loop longer than that wait: the lookup gives the
// loop back and goes on, the enrichment lookup gives up after its budget.
std::atomic<int> s_longest_wait{0};

TEST(ClientLookup, ASlowProviderNeverHoldsTheLoopLongerThanOneWait) {
    WmiHarness h(repository());
    ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE));
    wmi::standin::setLatencySleep(
        [](int ms) { s_longest_wait = std::max(s_longest_wait.load(), ms); });
    std::vector<Message> replies = h.handle(lookupRequest("Slow", {}, {{"Id", "", ""}}));
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1].params_out[0].value, "2");
    Message enrichment = lookupRequest("Slow", {}, {{"Id", "kept", ""}});
    h.client().getInfo(enrichment);
    wmi::standin::setLatencySleep(nullptr);
    EXPECT_EQ(enrichment.params_out[0].value, "kept");
    EXPECT_TRUE(h.d_log.contains("Client::getInfo - WMI too slow, event sent without it"));
    EXPECT_EQ(s_longest_wait.load(), Client::k_WMI_WAIT_MS);
}

// The replies of a link are for its NVR only.  A lookup waiting for room on
// a full link, with a status request held behind it, ends with the link,
// counted: the next link's first reply answers that link's own first request.
// After the settings name another NVR, it receives nothing of the old one's.
TEST(ClientLookup, AWaitingLookupEndsWithItsLink) {
    // More replies than the link and its socket take.
    std::string mof = repository() + "class Big { [key] sint32 ID; string Text; };\n";
    for (int i = 0; i < 160; ++i) {
        mof += "instance of Big { ID = " + std::to_string(i) + "; Text = \"" +
               testutil::noise(64 * 1024, i) + "\"; };\n";
    }
    WmiHarness h(mof);
    Client& c = h.client();
    testutil::FakeNvr& nvr = h.harness().d_nvr;
    // Above a quarter of the limit the link is full.
    const int64_t limit = 1 << 20;
    c.setSendQueueLimit(limit);
    ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE));
    const auto lookupWaitsOnAFullLink = [&] {
        nvr.send(lookupRequest("Big", {}, {{"ID", "", ""}, {"Text", "", ""}}));
        nvr.send(testutil::statusRequest());
        return h.harness().runUntil(
            [&] {
                return c.lookupWaiting() && c.heldRequests() == 1 &&
                       c.connection()->queuedBytes() > limit / 4;
            },
            Millis(20000));
    };

    ASSERT_TRUE(lookupWaitsOnAFullLink());
    nvr.closeConnection();
    ASSERT_TRUE(h.harness().runUntil([&] { return !c.linkUp(); }, Millis(5000)));
    EXPECT_FALSE(c.lookupWaiting());
    EXPECT_EQ(c.heldRequests(), 0u);
    EXPECT_EQ(c.counters().lookups_abandoned, 1u);
    EXPECT_EQ(c.counters().requests_dropped, 1u);
    testutil::ClientHarness::skip(Client::k_RECONNECT_MS);
    ASSERT_TRUE(h.harness().runUntilConnected(nvr));
    const std::vector<Message> replies =
        h.handle(lookupRequest("Thing", {{"Name", "a", "str"}}, {{"Rank", "", ""}}));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].class_name, "Thing");
    EXPECT_EQ(outParam(replies[0], "Rank")->value, "1");

    ASSERT_TRUE(lookupWaitsOnAFullLink());
    testutil::FakeNvr second;
    testutil::writeSettings(h.harness().d_dir.path(), "127.0.0.1", second.port());
    testutil::ClientHarness::skip(Client::k_SETTINGS_WATCH_MS);
    ASSERT_TRUE(h.harness().runUntil([&] { return !c.linkUp(); }, Millis(5000)));
    EXPECT_EQ(c.counters().lookups_abandoned, 2u);
    EXPECT_EQ(c.counters().requests_dropped, 2u);
    testutil::ClientHarness::skip(Client::k_RECONNECT_MS);
    ASSERT_TRUE(h.harness().runUntilConnected(second));
    second.send(testutil::namespaceRequest(k_NAMESPACE));
    second.send(testutil::statusRequest());
    Message first;
    ASSERT_TRUE(
        h.harness().runUntil([&] { return second.receive(&first, Millis(0)); }, Millis(5000)));
    EXPECT_EQ(first.action, e_ACTION_STATUS);
    EXPECT_EQ(testutil::valueOf(first, "namespace"), k_NAMESPACE);
}

TEST(ClientLookup, GetInfoTakesTheFirstInstance) {
    WmiHarness h(repository());
    ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE));

    Message lookup = lookupRequest("Thing", {{"Rank", "2", "int"}},
                                   {{"Name", "", ""}, {"Flag", "kept", ""}, {"Nope", "", ""}});
    h.client().getInfo(lookup);
    EXPECT_EQ(lookup.params_out[0].value, "b");
    EXPECT_EQ(lookup.params_out[1].value, "kept");
    EXPECT_TRUE(h.d_log.contains("Client::getInfo - Unhandled type '1' for field Flag"));
    EXPECT_TRUE(h.d_log.contains("Client::getInfo - Failed finding value for the field 'Nope'"));
    EXPECT_FALSE(h.d_log.contains("is type"));

    // No instance: the values stay.
    Message none = lookupRequest("Thing", {{"Rank", "7", "int"}}, {{"Name", "x", ""}});
    h.client().getInfo(none);
    EXPECT_EQ(none.params_out[0].value, "x");
    Message broken = lookupRequest("Broken", {}, {{"Name", "x", ""}});
    h.client().getInfo(broken);
    EXPECT_EQ(broken.params_out[0].value, "x");
    EXPECT_TRUE(
        h.d_log.contains("Client::getInfo - Failed to execute query. Error code = "
                         "0x80041017"));
    EXPECT_EQ(h.client().counters().lookups_failed, 0u);

    // The photo class explains the types it meets.
    h.d_log.clear();
    Message photo =
        lookupRequest("Lnl_MultimediaObject", {{"ID", "1", "int"}},
                      {{"Data", "", ""}, {"MimeType", "", ""}, {"ID", "", ""}, {"Nope", "", ""}});
    h.client().getInfo(photo);
    EXPECT_EQ(photo.params_out[0].value, "aGk=");
    EXPECT_EQ(photo.params_out[1].value, "image/png");
    EXPECT_EQ(photo.params_out[2].value, "1");
    std::vector<std::string> expected = {
        "Client::getInfo - 'Data' is type '8209'",
        "Client::getInfo - 'Data' is type VT_ARRAY",
        "Client::getInfo - 'MimeType' is type '8'",
        "Client::getInfo - 'MimeType' is type VT_BSTR",
        "Client::getInfo - 'ID' is type '3'",
        "Client::getInfo - 'ID' is type VT_INT",
        "Client::getInfo - 'Nope' is type '0'",
        "Client::getInfo - Failed finding value for the field 'Nope'",
    };
    EXPECT_EQ(h.d_log.texts(), expected);
}

}  // namespace
