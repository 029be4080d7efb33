// Access-event enrichment: badge, photo and person appended to access events,
// and each missing link.

#include <gtest/gtest.h>

#include "client_wmi_testutil.h"

namespace {

using testutil::Millis;
using testutil::outParam;
using testutil::subscribeRequest;
using testutil::WmiHarness;

const char* const k_NAMESPACE = "root\\Test";

// A photo with bytes of every value class (NUL, high bit, Base64 padding).
const std::string k_PHOTO("\x89PNG\r\n\x1a\n\0\x01\xff\xfe\x7f", 13);

std::string repository() {
    return R"(#pragma namespace("\\\\.\\root\\Test"))"
           "\n" +
           std::string(wmi::standin::accessControlSchema()) + R"(
class Door_Event : __ExtrinsicEvent { sint64 CardNumber; };

instance of Lnl_Person { ID = 1; FirstName = "Ada"; LastName = "Lovelace"; SSNO = "123-45-6789"; };
instance of Lnl_Person { ID = 2; FirstName = "Alan"; LastName = "Turing"; SSNO = "987-65-4321"; };
instance of Lnl_Badge { ID = 100; PersonID = 1; };
instance of Lnl_Badge { ID = 200; PersonID = 2; };
instance of Lnl_Badge { ID = 300; PersonID = 99; };
instance of Lnl_Badge { ID = 400; };
// Other objects of person 1 come first: only the photo may be taken.
instance of Lnl_MultimediaObject { ID = 1; PersonID = 1; ObjectType = 2; DataType = 0; Data = {1, 2, 3}; };
instance of Lnl_MultimediaObject { ID = 2; PersonID = 1; ObjectType = 1; DataType = 1; Data = {4, 5, 6}; };
instance of Lnl_MultimediaObject { ID = 3; PersonID = 1; ObjectType = 1; DataType = 0; Data = )" +
           testutil::mofArray(k_PHOTO) + R"(; };
instance of Lnl_MultimediaObject { ID = 4; PersonID = 2; ObjectType = 2; DataType = 0; Data = {7}; };
)";
}

Message accessEvent(const std::string& card) {
    Message m = subscribeRequest("Lnl_AccessEvent",
                                 {{"cardnumber", card, "int"}, {"Description", "Granted", ""}});
    return m;
}

// A Client connected to the namespace of the repository above; every test
// ends with the Client gone and every object it took released.
struct ClientEnrichment : ::testing::Test {
    WmiHarness h{repository()};
    int objectsBefore = wmi::standin::liveObjects();

    void SetUp() override { ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE)); }

    void TearDown() override {
        h.harness().destroyClient();
        EXPECT_EQ(wmi::standin::liveObjects(), objectsBefore);
    }
};

TEST_F(ClientEnrichment, EventsReachTheNvrWithPersonAndPhoto) {
    h.handle(
        subscribeRequest("Lnl_AccessEvent", {{"cardnumber", "", "int"}, {"Description", "", ""}}));
    h.raise("instance of Lnl_AccessEvent { CardNumber = 100; Description = \"Granted\"; };");

    std::vector<Message> events;
    ASSERT_TRUE(h.collect(1, &events));
    const Message& e = events[0];
    EXPECT_EQ(e.action, e_ACTION_SUBSCRIBE);
    EXPECT_EQ(e.class_name, "Lnl_AccessEvent");
    ASSERT_EQ(e.params_out.size(), 6u);
    EXPECT_EQ(e.params_out[0], (Parameter{"cardnumber", "100", "int"}));
    EXPECT_EQ(e.params_out[1], (Parameter{"Description", "Granted", ""}));
    EXPECT_EQ(e.params_out[2].name, "Data");
    EXPECT_EQ(e.params_out[2].type, "");
    std::string photo;
    ASSERT_TRUE(testutil::base64Decode(e.params_out[2].value, &photo));
    EXPECT_EQ(photo, k_PHOTO);
    EXPECT_EQ(e.params_out[3], (Parameter{"firstname", "Ada", ""}));
    EXPECT_EQ(e.params_out[4], (Parameter{"lastname", "Lovelace", ""}));
    EXPECT_EQ(e.params_out[5], (Parameter{"ssno", "123-45-6789", ""}));

    const Client::Counters& c = h.client().counters();
    EXPECT_EQ(c.get_all_info, 1u);
    EXPECT_EQ(c.card_id, 1u);
    EXPECT_EQ(c.person_id, 1u);
    EXPECT_EQ(c.photo, 1u);
    EXPECT_EQ(c.total_image_size, e.params_out[2].value.size());
    EXPECT_EQ(c.arrays, 1u);
    EXPECT_EQ(h.d_log.count("Client::getAllAccessEventInfo - Stopwatch "), 1);
    EXPECT_TRUE(h.d_log.contains("Client::getInfo - 'Data' is type VT_ARRAY"));
}

TEST_F(ClientEnrichment, MissingLinksLeaveTheEventAsItCame) {
    Client& client = h.client();
    const Client::Counters& c = client.counters();

    // No card number asked for, or none given.
    Message noCard = subscribeRequest("Lnl_AccessEvent", {{"Description", "x", ""}});
    EXPECT_EQ(client.getAllAccessEventInfo(noCard), noCard);
    EXPECT_EQ(client.getAllAccessEventInfo(accessEvent("")), accessEvent(""));
    EXPECT_EQ(h.d_log.count("Client::getAllAccessEventInfo - Empty card_id Stopwatch "), 2);
    EXPECT_EQ(c.get_all_info, 2u);
    EXPECT_EQ(c.card_id, 0u);

    // No such badge, and a badge without a person.
    EXPECT_EQ(client.getAllAccessEventInfo(accessEvent("999")), accessEvent("999"));
    EXPECT_EQ(client.getAllAccessEventInfo(accessEvent("400")), accessEvent("400"));
    EXPECT_EQ(h.d_log.count("Client::getAllAccessEventInfo - Failed getting person id - "
                            "Stopwatch "),
              2);
    EXPECT_EQ(c.card_id, 2u);
    EXPECT_EQ(c.person_id, 0u);

    // A person without a photo: "Data" comes without a value.
    Message noPhoto = accessEvent("200");
    noPhoto.params_out.push_back({"Data", "", ""});
    noPhoto.params_out.push_back({"firstname", "Alan", ""});
    noPhoto.params_out.push_back({"lastname", "Turing", ""});
    noPhoto.params_out.push_back({"ssno", "987-65-4321", ""});
    EXPECT_EQ(client.getAllAccessEventInfo(accessEvent("200")), noPhoto);
    EXPECT_EQ(c.photo, 0u);
    EXPECT_EQ(c.total_image_size, 0u);

    // A badge naming a person who is not on file.
    Message noPerson = accessEvent("300");
    for (const char* name : {"Data", "firstname", "lastname", "ssno"}) {
        noPerson.params_out.push_back({name, "", ""});
    }
    EXPECT_EQ(client.getAllAccessEventInfo(accessEvent("300")), noPerson);
    EXPECT_EQ(c.get_all_info, 6u);
    EXPECT_EQ(c.card_id, 4u);
    EXPECT_EQ(c.person_id, 2u);
    EXPECT_EQ(c.photo, 0u);
    EXPECT_EQ(h.d_log.count("Client::getAllAccessEventInfo - Stopwatch "), 2);
}

TEST_F(ClientEnrichment, OnlyTheExactClassNameIsEnriched) {
    // Class names reach WMI without regard to case, the enrichment only with.
    h.handle(subscribeRequest("lnl_accessevent", {{"cardnumber", "", ""}}));
    h.handle(subscribeRequest("Door_Event", {{"cardnumber", "", ""}}));
    ASSERT_EQ(h.client().eventSinks().size(), 2u);
    h.raise("instance of Lnl_AccessEvent { CardNumber = 100; };");
    h.raise("instance of Door_Event { CardNumber = 100; };");

    std::vector<Message> events;
    ASSERT_TRUE(h.collect(2, &events));
    EXPECT_EQ(events[0], subscribeRequest("lnl_accessevent", {{"cardnumber", "100", ""}}));
    EXPECT_EQ(events[1], subscribeRequest("Door_Event", {{"cardnumber", "100", ""}}));
    EXPECT_EQ(h.client().counters().get_all_info, 0u);
}

}  // namespace
