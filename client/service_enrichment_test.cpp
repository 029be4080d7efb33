// The service binary end to end: an access event dropped into the provider's
// event folder reaches the NVR with the badge holder's name and photo, and the
// photo is the repository's bytes.

#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "client_photo_testutil.h"
#include "testsupport_service.h"
#include "testsupport_tempdir.h"

namespace {

using testutil::base64Decode;
using testutil::Millis;
using testutil::mofArray;

// A photo with bytes of every value class (NUL, high bit, Base64 padding).
const std::string k_PHOTO("\x89PNG\r\n\x1a\n\0\x01\xff\xfe\x7f\x80", 14);

struct ServiceEnrichment : ::testing::Test {
    testutil::TempDir dir;
    std::string programData = dir / "data";
    std::string drop = dir / "drop";
    std::map<std::string, std::string> env{{"PROGRAMDATA", programData},
                                           {"LUMIVAR_WMI_EVENT_RATE", "0"},
                                           {"LUMIVAR_WMI_REPOSITORY", dir / "repository.mof"},
                                           {"LUMIVAR_WMI_EVENT_DIR", drop}};

    void SetUp() override {
        std::filesystem::create_directories(drop);
        std::ofstream(dir / "repository.mof") << R"(
#pragma namespace("\\\\.\\root\\Site")
class Lnl_Person { [key] sint32 ID; string FirstName; string LastName; string SSNO; };
class Lnl_Badge { [key] sint64 ID; sint32 PersonID; };
class Lnl_MultimediaObject {
    [key] sint32 ID; sint32 PersonID; sint32 ObjectType; sint32 DataType; uint8 Data[];
};
class Lnl_AccessEvent : __ExtrinsicEvent { sint64 CardNumber; string Description; };
instance of Lnl_Person { ID = 7; FirstName = "Grace"; LastName = "Hopper"; SSNO = "555-12-3456"; };
instance of Lnl_Badge { ID = 4711; PersonID = 7; };
instance of Lnl_MultimediaObject { ID = 1; PersonID = 7; ObjectType = 1; DataType = 0; Data = )"
                                              << mofArray(k_PHOTO) << "; };\n";
    }

    // Places an event file the way a writer must: complete, then renamed.
    void dropEvents(const std::string& name, const std::string& mof) {
        const std::string tmp = drop + "/." + name + ".tmp";
        std::ofstream(tmp) << mof;
        std::filesystem::rename(tmp, drop + "/" + name + ".mof");
    }
};

TEST_F(ServiceEnrichment, DroppedAccessEventArrivesWithPersonAndPhoto) {
    testutil::FakeNvr nvr;
    testutil::writeSettings(programData, "127.0.0.1", nvr.port());
    testutil::Process service({testutil::binaryPath("TessarinLumivar"), "console"}, env,
                              dir / "out.txt");
    ASSERT_TRUE(nvr.accept(Millis(10000)));
    nvr.send(testutil::namespaceRequest("root\\Site"));
    Message subscribe;
    subscribe.action = e_ACTION_SUBSCRIBE;
    subscribe.class_name = "Lnl_AccessEvent";
    subscribe.params_out = {{"cardnumber", "", "int"}, {"Description", "", "str"}};
    nvr.send(subscribe);
    nvr.send(testutil::statusRequest());
    Message reply;
    ASSERT_TRUE(nvr.receive(&reply, Millis(5000)));
    ASSERT_EQ(testutil::valueOf(reply, "event_sink"), "Lnl_AccessEvent");

    // One file, two events: a known card and an unknown one.
    dropEvents("ev1",
               "instance of Lnl_AccessEvent { CardNumber = 4711; Description = \"in\"; };\n"
               "instance of Lnl_AccessEvent { CardNumber = 99; Description = \"out\"; };\n");
    Message event;
    ASSERT_TRUE(nvr.receive(&event, Millis(10000)));
    EXPECT_EQ(event.action, e_ACTION_SUBSCRIBE);
    EXPECT_EQ(event.class_name, "Lnl_AccessEvent");
    ASSERT_EQ(event.params_out.size(), 6u);
    EXPECT_EQ(testutil::valueOf(event, "cardnumber"), "4711");
    EXPECT_EQ(testutil::valueOf(event, "Description"), "in");
    std::string photo;
    ASSERT_TRUE(base64Decode(testutil::valueOf(event, "Data"), &photo));
    EXPECT_EQ(photo, k_PHOTO);
    EXPECT_EQ(testutil::valueOf(event, "firstname"), "Grace");
    EXPECT_EQ(testutil::valueOf(event, "lastname"), "Hopper");
    EXPECT_EQ(testutil::valueOf(event, "ssno"), "555-12-3456");

    ASSERT_TRUE(nvr.receive(&event, Millis(10000)));
    EXPECT_EQ(event.params_out,
              (std::vector<Parameter>{{"cardnumber", "99", "int"}, {"Description", "out", "str"}}));
    EXPECT_FALSE(std::filesystem::exists(drop + "/ev1.mof"));

    service.signal(SIGKILL);
    service.wait(Millis(5000));
}

TEST_F(ServiceEnrichment, PeerSavesThePhotoOfTheRepository) {
    const std::string photos = dir / "photos";
    std::filesystem::create_directories(photos);
    testutil::Process peer(
        {testutil::binaryPath("nvrpeer"), "--listen", "127.0.0.1:0", "--photos", photos,
         "--request", "namespace root\\Site", "--request", "subscribe Lnl_AccessEvent cardnumber",
         "--request", "status", "--count", "2", "--seconds", "60"},
        {}, dir / "peer.txt");
    int port = 0;
    ASSERT_TRUE(testutil::waitFor(
        [&] {
            std::string out = testutil::readFile(dir / "peer.txt");
            size_t at = out.find("listening on 127.0.0.1:");
            if (at == std::string::npos || out.find('\n', at) == std::string::npos) {
                return false;
            }
            port = std::atoi(out.c_str() + at + 23);
            return true;
        },
        Millis(10000)));
    testutil::writeSettings(programData, "127.0.0.1", port);
    testutil::Process service({testutil::binaryPath("TessarinLumivar"), "console"}, env,
                              dir / "out.txt");
    ASSERT_TRUE(testutil::waitFor(
        [&] {
            return testutil::readFile(dir / "peer.txt").find("event_sink=Lnl_AccessEvent") !=
                   std::string::npos;
        },
        Millis(15000)))
        << testutil::readFile(dir / "peer.txt");

    dropEvents("ev1", "instance of Lnl_AccessEvent { CardNumber = 4711; };\n");
    EXPECT_EQ(peer.wait(Millis(15000)), 0) << testutil::readFile(dir / "peer.txt");
    const std::string saved = photos + "/1_Grace_Hopper.png";
    ASSERT_TRUE(std::filesystem::exists(saved)) << testutil::readFile(dir / "peer.txt");
    EXPECT_EQ(testutil::readFile(saved), k_PHOTO);
    EXPECT_NE(testutil::readFile(dir / "peer.txt").find("firstname=Grace"), std::string::npos);

    service.signal(SIGKILL);
    service.wait(Millis(5000));
}

}  // namespace
