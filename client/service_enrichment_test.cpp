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
#include "wmi_standin.h"

namespace {

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
        std::ofstream(dir / "repository.mof")
            << R"(#pragma namespace("\\\\.\\root\\Site"))" << '\n'
            << wmi::standin::accessControlSchema() << R"(
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

// The parameters the peer printed for the event of 'card' (the line's tail
// after "out:"), or "" when no such event arrived.
std::string eventParams(const std::string& peerOutput, const std::string& card) {
    const size_t at = peerOutput.find("class=Lnl_AccessEvent out: cardnumber=" + card + "(");
    if (at == std::string::npos) {
        return "";
    }
    const size_t from = peerOutput.find(" out:", at) + 5;
    return peerOutput.substr(from, peerOutput.find('\n', from) - from);
}

TEST_F(ServiceEnrichment, DroppedAccessEventsReachThePeerWithPersonAndPhoto) {
    const std::string photos = dir / "photos";
    std::filesystem::create_directories(photos);
    testutil::Process peer({testutil::binaryPath("nvrpeer"), "--listen", "127.0.0.1:0",
                            "--photos", photos, "--request", "namespace root\\Site", "--request",
                            "subscribe Lnl_AccessEvent cardnumber:int Description:str",
                            "--request", "status", "--count", "3", "--seconds", "60"},
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

    // One file, two events: a known card and an unknown one.
    dropEvents("ev1",
               "instance of Lnl_AccessEvent { CardNumber = 4711; Description = \"in\"; };\n"
               "instance of Lnl_AccessEvent { CardNumber = 99; Description = \"out\"; };\n");
    EXPECT_EQ(peer.wait(Millis(15000)), 0) << testutil::readFile(dir / "peer.txt");
    const std::string out = testutil::readFile(dir / "peer.txt");

    // The known card: what it carried, then the photo and the person, in order.
    const std::string known = eventParams(out, "4711");
    EXPECT_EQ(known.rfind(" cardnumber=4711(int) Description=in(str) Data=", 0), 0u) << out;
    const size_t first = known.find(" firstname=Grace");
    const size_t last = known.find(" lastname=Hopper");
    const size_t ssno = known.find(" ssno=555-12-3456");
    EXPECT_TRUE(first != std::string::npos && first < last && last < ssno &&
                ssno != std::string::npos)
        << known;
    const std::string saved = photos + "/1_Grace_Hopper.png";
    ASSERT_TRUE(std::filesystem::exists(saved)) << out;
    EXPECT_EQ(testutil::readFile(saved), k_PHOTO);

    // The unknown card arrives as it was raised.
    EXPECT_EQ(eventParams(out, "99"), " cardnumber=99(int) Description=out(str)") << out;
    EXPECT_FALSE(std::filesystem::exists(drop + "/ev1.mof"));

    service.signal(SIGKILL);
    service.wait(Millis(5000));
}

}  // namespace
