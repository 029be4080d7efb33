// The service binary against what the field throws at it: an NVR that sends
// garbage, lies about lengths, floods or stops reading; a WMI
// provider that is slow or refuses; a settings file that churns, vanishes or
// holds garbage, and a log folder that cannot be made.  After each fault the
// service must still run, answer the next valid request and stay within a
// memory bound.
//
// Memory bound: the service's resident set (VmRSS) stays below 128 MiB, or
// 1 GiB in sanitizer builds (shadow memory and the quarantine of freed
// blocks).  The largest legitimate holding is the NVR link's 32 MiB send
// queue.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "core_compressor.h"
#include "testsupport_service.h"
#include "testsupport_tempdir.h"
#include "wmi_standin.h"

namespace {

using testutil::executeRequest;
using testutil::frameOf;
using testutil::lookupRequest;
using testutil::Millis;
using testutil::namespaceRequest;
using testutil::statusRequest;
using testutil::subscribeRequest;
using testutil::valueOf;

// Sanitizers multiply what memory costs (shadow memory, freed blocks held in
// quarantine), so memory bounds are checked loosely under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long k_MEMORY_FACTOR = 8;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr long k_MEMORY_FACTOR = 8;
#else
constexpr long k_MEMORY_FACTOR = 1;
#endif
#else
constexpr long k_MEMORY_FACTOR = 1;
#endif
constexpr long k_RSS_BOUND_KB = 128 * 1024 * k_MEMORY_FACTOR;

// The reconnect period after a lost link or a settings change is 10 s.
constexpr Millis k_RECONNECT{20000};

std::string xmlOf(const Message& message) {
    core::GSharedBuf frame = NS_LNL::Packer::packMessage(message);
    std::string bytes = frame.str();
    return bytes.substr(bytes.find('\x03') + 1);
}

struct FaultsFixture : ::testing::Test {
    testutil::TempDir dir;
    testutil::FakeNvr nvr;
    std::string programData = dir / "data";
    std::string folder = programData + "/Tessarin/Lumivar";
    std::map<std::string, std::string> env{{"PROGRAMDATA", programData},
                                           {"LUMIVAR_WMI_EVENT_RATE", "0"}};
    std::unique_ptr<testutil::Process> service;
    long peakRssKb = 0;

    std::string logFile() const { return folder + "/Logs/wrapper.log"; }
    std::string log() const { return testutil::readFile(logFile()); }
    // The log's size, the rotated file included.
    uintmax_t logBytes() const {
        std::error_code ignored;
        uintmax_t old = std::filesystem::file_size(logFile() + ".old", ignored);
        uintmax_t now = std::filesystem::file_size(logFile(), ignored);
        return (old == static_cast<uintmax_t>(-1) ? 0 : old) +
               (now == static_cast<uintmax_t>(-1) ? 0 : now);
    }
    // Waits until the lines logged so far are in the file: lines are written
    // in order, and the marker's (the first of its kind) comes after them.
    bool logCaughtUp() {
        Message marker = statusRequest();
        marker.action = 99;
        nvr.send(marker);
        return logged("Unsupported action");
    }
    // Whether 'text' reaches the log within 10 s (lines are written in batches).
    bool logged(const std::string& text) const {
        return testutil::waitFor([&] { return log().find(text) != std::string::npos; },
                                 Millis(10000));
    }

    void start(bool writeSettings = true, Millis connectWithin = Millis(10000)) {
        if (writeSettings) {
            testutil::writeSettings(programData, "127.0.0.1", nvr.port());
        }
        service = std::make_unique<testutil::Process>(
            std::vector<std::string>{testutil::binaryPath("TessarinLumivar"), "console"}, env,
            dir / "out.txt");
        ASSERT_TRUE(nvr.accept(connectWithin));
    }

    void TearDown() override {
        if (service) {
            service->signal(SIGKILL);
            service->wait(Millis(5000));
            // Sanitizer builds: what the service's runtime reported.
            std::string out = testutil::readFile(dir / "out.txt");
            for (const char* report : {"ThreadSanitizer", "AddressSanitizer", "runtime error"}) {
                EXPECT_EQ(out.find(report), std::string::npos) << out;
            }
        }
    }

    // The service's resident set in kB (0 when it is gone); keeps the peak.
    long rssKb() {
        std::ifstream in("/proc/" + std::to_string(service->pid()) + "/status");
        std::string line;
        long kb = 0;
        while (std::getline(in, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                kb = std::stol(line.substr(6));
            }
        }
        peakRssKb = std::max(peakRssKb, kb);
        return kb;
    }

    // Receives messages until one satisfies 'wanted'; the others are kept in
    // 'skipped' (when given).
    bool receiveUntil(const std::function<bool(const Message&)>& wanted, Message* found,
                      Millis timeout, std::vector<Message>* skipped = nullptr) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        Message m;
        for (;;) {
            auto left =
                std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !nvr.receive(&m, left)) {
                return false;
            }
            if (wanted(m)) {
                *found = m;
                return true;
            }
            if (skipped) {
                skipped->push_back(m);
            }
        }
    }

    // As 'receiveUntil', on 'peer', for up to 5 s; with a condition that
    // never holds it collects all that arrives meanwhile (and answers true).
    bool receiveUntilOn(testutil::FakeNvr& peer, const std::function<bool(const Message&)>& wanted,
                        Message* found, std::vector<Message>* seen = nullptr) {
        auto deadline = std::chrono::steady_clock::now() + Millis(5000);
        Message m;
        for (;;) {
            auto left =
                std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !peer.receive(&m, left)) {
                return seen != nullptr;
            }
            if (wanted(m)) {
                *found = m;
                return true;
            }
            if (seen) {
                seen->push_back(m);
            }
        }
    }

    // Sends a status request; answers its reply's namespace, or "<none>" when
    // no reply came.  Other messages before the reply go to 'skipped'.
    std::string status(Millis timeout = Millis(10000), std::vector<Message>* skipped = nullptr) {
        nvr.send(statusRequest());
        Message reply;
        if (!receiveUntil([](const Message& m) { return m.action == e_ACTION_STATUS; }, &reply,
                          timeout, skipped)) {
            return "<none>";
        }
        return valueOf(reply, "namespace");
    }

    // Sends 'request' and answers its completion as "<name> <value>".
    std::string execute(const Message& request) {
        nvr.send(request);
        Message completion;
        if (!receiveUntil([](const Message& m) { return m.action == e_ACTION_COMPLETION; },
                          &completion, Millis(10000)) ||
            completion.params_out.size() != 1) {
            return "<none>";
        }
        const Parameter& result = completion.params_out[0];
        return result.value.empty() ? result.name : result.name + " " + result.value;
    }

    void useFaultyRepository();

    void expectAliveAndBounded() {
        ASSERT_TRUE(service->running());
        EXPECT_LT(rssKb(), k_RSS_BOUND_KB);
        std::printf("service VmRSS now %ld kB, peak seen %ld kB (bound %ld kB)\n", rssKb(),
                    peakRssKb, k_RSS_BOUND_KB);
    }
};

// ---------------------------------------------------------------------------
// NVR faults

TEST_F(FaultsFixture, BrokenFramesAreDroppedAndTheNextRequestAnswered) {
    start();
    const std::string status = xmlOf(statusRequest());

    // Garbage between frames (no start byte in it) and keep-alive bytes.
    std::string garbage;
    for (int i = 0; i < 5000; ++i) {
        garbage.push_back(static_cast<char>(i % 2 == 0 ? 0xF7 : 'A' + i % 26));
    }
    nvr.sendRaw(garbage);
    EXPECT_EQ(this->status(), "");

    // Garbage inside a frame of the right length, and a frame holding a
    // document that is not a message.
    nvr.sendRaw(frameOf(std::string(status.size(), '\x7f')));
    nvr.sendRaw(frameOf("<?xml version=\"1.0\"?><other><action>5</action></other>"));
    nvr.sendRaw(frameOf("<root><action>5</action><class_name>"));
    EXPECT_EQ(this->status(), "");

    // A damaged stream behind a correct header: the framing holds, so only
    // this frame is lost.
    core::GSharedBuf container;
    ASSERT_TRUE(core::Compressor::compress(status.data(), status.size(), &container));
    std::string damaged = container.str();
    for (size_t i = 10; i < damaged.size(); ++i) {
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
    }
    nvr.sendRaw(frameOf(damaged));
    EXPECT_EQ(this->status(), "");

    // Deeply nested documents, as XML and as the legacy JSON form.
    const int depth = 100000;
    std::string deepXml = "<root><action>5</action><class_name/><params_in><p><name>n</name>";
    for (int i = 0; i < depth; ++i) {
        deepXml += "<a>";
    }
    for (int i = 0; i < depth; ++i) {
        deepXml += "</a>";
    }
    deepXml += "</p></params_in></root>";
    nvr.sendRaw(frameOf(deepXml));
    std::string deepJson = "{\"root\":{\"action\":\"5\",\"class_name\":\"\",\"x\":";
    deepJson += std::string(depth, '[') + std::string(depth, ']') + "}}";
    nvr.sendRaw(frameOf(deepJson));
    std::string deepObject;
    for (int i = 0; i < depth; ++i) {
        deepObject += "{\"a\":";
    }
    deepObject += "1" + std::string(depth, '}');
    nvr.sendRaw(frameOf(deepObject));
    EXPECT_EQ(this->status(), "");

    nvr.send(namespaceRequest("root\\AccessControl"));
    EXPECT_EQ(this->status(), "root\\AccessControl");
    expectAliveAndBounded();
}

// Where the framing is lost, nothing behind it can be trusted: a length
// header beyond the request limit (which once made the service skip that
// many bytes, silencing the link), and a small frame whose compressed
// payload declares 61 MiB (which once cost gigabytes).  Each closes the
// link; the service reconnects and answers on the new one.
TEST_F(FaultsFixture, LostFramingClosesTheLinkAndTheServiceReconnects) {
    start();
    ASSERT_EQ(status(), "");
    std::string bomb;
    {
        const std::string inflated(61u << 20, ' ');
        core::GSharedBuf container;
        ASSERT_TRUE(core::Compressor::compress(inflated.data(), inflated.size(), &container));
        bomb = frameOf(container.str());
    }
    for (const std::string& broken : {std::string("\x02" "99999999\x03"), bomb}) {
        nvr.sendRaw(broken + NS_LNL::Packer::packMessage(statusRequest()).str());
        ASSERT_TRUE(nvr.waitClosed(Millis(10000)));
        ASSERT_TRUE(nvr.accept(k_RECONNECT));
        EXPECT_EQ(status(), "");
        rssKb();
    }
    EXPECT_TRUE(logged("NS_LNL:Packer Error reading message size"));
    EXPECT_TRUE(logged("over the limit of 1048576, closing the NVR link"));
    EXPECT_LT(peakRssKb, 256 * 1024 * k_MEMORY_FACTOR);
    expectAliveAndBounded();
}

// What the NVR can repeat at will, payloads that do not load
// (each a failed check with a stack trace), is reported in full once a
// minute with a count: a flood of them cannot rotate the log away.
TEST_F(FaultsFixture, FloodOfRefusedFramesKeepsTheLogSmall) {
    start();
    ASSERT_EQ(status(), "");
    const uintmax_t before = logBytes();
    std::string flood;
    for (int i = 0; i < 20000; ++i) {
        flood += frameOf("x");
    }
    nvr.sendRaw(flood);
    EXPECT_EQ(status(Millis(60000)), "");
    ASSERT_TRUE(logCaughtUp());
    const uintmax_t grown = logBytes() - before;
    std::printf("log grew by %ju bytes for %zu bytes of refused frames\n", grown, flood.size());
    EXPECT_LT(grown, 2000000u);
    const std::string text = log();
    EXPECT_NE(text.find("failed checks at lnl_packer:73 [1 times"), std::string::npos);
    expectAliveAndBounded();
}

// Payloads that fail to decompress cost the NVR a few bytes each and once
// cost the service a log line each (20,000 of them grew the log by 3 MB).
// On one link, or over the reconnects when the service closes the link on
// them, they leave the log a few lines longer.
TEST_F(FaultsFixture, FloodOfUndecodablePayloadsKeepsTheLogSmall) {
    start();
    ASSERT_EQ(status(), "");
    const uintmax_t before = logBytes();
    std::string damaged(8, '\0');
    const uint32_t header[2] = {core::Compressor::k_MAGIC, 100};
    std::memcpy(&damaged[0], header, sizeof header);
    damaged += "\x78\x9c" + std::string(30, '\x7f');
    std::string flood;
    for (int i = 0; i < 10000; ++i) {
        flood += frameOf(damaged);
    }
    for (int link = 0; link < 2; ++link) {
        nvr.sendRaw(flood);
        if (status(Millis(30000)) != "") {
            ASSERT_TRUE(nvr.accept(k_RECONNECT)) << "link " << link;
            ASSERT_EQ(status(), "");
        }
    }
    ASSERT_TRUE(logCaughtUp());
    const uintmax_t grown = logBytes() - before;
    std::printf("log grew by %ju bytes for 20000 undecodable payloads\n", grown);
    EXPECT_LT(grown, 20000u);
    EXPECT_NE(
        log().find("core::Compressor::decompress - failed to uncompress summary: -3 [1 times"),
        std::string::npos);
    expectAliveAndBounded();
}

TEST_F(FaultsFixture, BurstOfTenThousandRequestsIsAnsweredInFull) {
    start();
    std::string burst;
    const std::string one = NS_LNL::Packer::packMessage(statusRequest()).str();
    for (int i = 0; i < 10000; ++i) {
        burst += one;
    }
    nvr.sendRaw(burst);
    int replies = 0;
    Message m;
    while (replies < 10000 && nvr.receive(&m, Millis(20000))) {
        if (m.action == e_ACTION_STATUS) {
            ++replies;
        }
        if (replies % 1000 == 0) {
            rssKb();
        }
    }
    EXPECT_EQ(replies, 10000);
    EXPECT_EQ(status(), "");
    expectAliveAndBounded();
}

TEST_F(FaultsFixture, NvrThatNeverReadsCostsBoundedMemory) {
    start();
    nvr.send(namespaceRequest("root\\AccessControl"));
    // Every photo of the sample, about 50 replies per request; the NVR reads
    // none of them until the service's lookups wait for the link.
    std::string burst;
    const std::string one =
        NS_LNL::Packer::packMessage(
            lookupRequest("Lnl_MultimediaObject", {}, {{"PersonID", "", ""}, {"Data", "", ""}}))
            .str();
    for (int i = 0; i < 100; ++i) {
        burst += one;
    }
    const char* waiting = "NVR link full, replies wait for it to drain";
    int requests = 0;
    for (int round = 0; round < 40 && log().find(waiting) == std::string::npos; ++round) {
        nvr.sendRaw(burst);
        requests += 100;
        testutil::waitFor([&] { return rssKb() > 0 && log().find(waiting) != std::string::npos; },
                          Millis(500));
    }
    ASSERT_NE(log().find(waiting), std::string::npos);
    EXPECT_LT(peakRssKb, k_RSS_BOUND_KB);
    // Reading again, every reply arrives, then the answer to the next request.
    std::vector<Message> replies;
    EXPECT_EQ(status(Millis(120000), &replies), "root\\AccessControl");
    EXPECT_EQ(replies.size() % static_cast<size_t>(requests), 0u);
    EXPECT_GT(replies.size(), 0u);
    EXPECT_EQ(log().find("dropping messages"), std::string::npos);
    expectAliveAndBounded();
}

// 900 instances with 64 KB of text each: about 42 MB of compressed replies,
// more than the link may hold.  An NVR that reads receives every one.
TEST_F(FaultsFixture, LargeLookupArrivesWholeToAReadingNvr) {
    const int instances = 900;
    const size_t textSize = 64 * 1024;
    {
        std::ofstream out(dir / "large.mof");
        out << R"(#pragma namespace("\\\\.\\root\\Large"))"
            << "\n"
            << "class Big { [key] sint32 ID; string Text; };\n";
        const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        uint32_t seed = 12345;
        std::string text(textSize, ' ');
        for (int i = 0; i < instances; ++i) {
            for (char& ch : text) {
                seed = seed * 1103515245u + 12345u;
                ch = alphabet[(seed >> 16) & 63];
            }
            out << "instance of Big { ID = " << i << "; Text = \"" << text << "\"; };\n";
        }
    }
    env["LUMIVAR_WMI_REPOSITORY"] = dir / "large.mof";
    // The service reads the repository before it connects: slow under the
    // sanitizers.
    start(true, Millis(120000));
    nvr.send(namespaceRequest("root\\Large"));
    ASSERT_EQ(status(), "root\\Large");
    // The stand-in's repository lives in the service's process: its 58 MB of
    // text come on top of what the lookup may cost.
    const long loadedKb = rssKb();
    nvr.send(lookupRequest("Big", {}, {{"ID", "", ""}, {"Text", "", ""}}));
    nvr.send(statusRequest());
    int replies = 0;
    bool inOrder = true;
    Message reply;
    ASSERT_TRUE(receiveUntil(
        [&](const Message& m) {
            if (m.action == e_ACTION_LOOKUP) {
                inOrder = inOrder && valueOf(m, "ID") == std::to_string(replies) &&
                          valueOf(m, "Text").size() == textSize;
                if (++replies % 100 == 0) {
                    rssKb();
                }
            }
            return m.action == e_ACTION_STATUS;
        },
        &reply, Millis(120000)));
    std::printf("lookup replies received: %d of %d; VmRSS %ld kB loaded, peak %ld kB\n", replies,
                instances, loadedKb, peakRssKb);
    EXPECT_EQ(replies, instances);
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(log().find("dropping messages"), std::string::npos);
    // What the lookup held stayed under the link's bound of 32 MiB.
    EXPECT_LT(peakRssKb - loadedKb, 32 * 1024 * k_MEMORY_FACTOR);
    ASSERT_TRUE(service->running());

    // Again, but the NVR reads nothing and drops the link while the lookup
    // waits, with a status request held behind it: nothing of that link
    // reaches the next one, whose first reply answers its own first request.
    nvr.send(lookupRequest("Big", {}, {{"ID", "", ""}, {"Text", "", ""}}));
    nvr.send(statusRequest());
    ASSERT_TRUE(logged("NVR link full, replies wait for it to drain"));
    nvr.closeConnection();
    ASSERT_TRUE(nvr.accept(k_RECONNECT));
    nvr.send(statusRequest());
    ASSERT_TRUE(nvr.receive(&reply, Millis(10000)));
    EXPECT_EQ(reply.action, e_ACTION_STATUS);
    EXPECT_EQ(valueOf(reply, "namespace"), "root\\Large");
}

// ---------------------------------------------------------------------------
// WMI faults

const char k_FAULTY_CLASSES[] = R"(
[LatencyMs(300)]
class F_Slow { [key] sint32 ID; string Text; };
[QueryError(0x80041003)]
class F_Denied { [key] sint32 ID; };
class F_Door {
    [key] string Name;
    [ExecError(0x80041001)] uint32 Break();
    uint32 Open([in] uint32 Seconds);
};
[SubscribeError(0x80041003)]
class F_Secret : __ExtrinsicEvent { string Door; };
[SubscribeError(0x80041001)]
class F_Broken : __ExtrinsicEvent { string Door; };
instance of Lnl_Person { ID = 1; FirstName = "Ada"; LastName = "Byron"; };
instance of Lnl_Badge { ID = 100037; PersonID = 1; };
instance of F_Slow { ID = 1; Text = "one"; };
instance of F_Slow { ID = 2; Text = "two"; };
instance of F_Denied { ID = 1; };
instance of F_Door { Name = "A"; };
#pragma namespace("\\\\.\\root\\Other")
class F_Other { [key] sint32 ID; };
instance of F_Other { ID = 1; };
)";

const char k_DOOR_A[] = "F_Door.Name=\"A\"";

void FaultsFixture::useFaultyRepository() {
    // The access-control classes with badge look-ups slowed down, so that
    // enriching the sample events keeps the provider busy.
    std::string access = wmi::standin::accessControlSchema();
    access.insert(access.find("class Lnl_Badge"), "[LatencyMs(5)]\n");
    std::ofstream out(dir / "faulty.mof");
    out << R"(#pragma namespace("\\\\.\\root\\Faults"))" << '\n' << access << k_FAULTY_CLASSES;
    env["LUMIVAR_WMI_REPOSITORY"] = dir / "faulty.mof";
}

TEST_F(FaultsFixture, WmiFailuresAreAnsweredAndNothingHangs) {
    useFaultyRepository();
    env["LUMIVAR_WMI_EVENT_RATE"] = "200";
    start();

    // A namespace that does not exist: no reply, and later requests are
    // ignored until a connect succeeds.
    nvr.send(namespaceRequest("root\\Nowhere"));
    nvr.send(lookupRequest("F_Slow", {}, {{"Text", "", ""}}));
    std::vector<Message> skipped;
    EXPECT_EQ(status(Millis(10000), &skipped), "");
    EXPECT_TRUE(skipped.empty());

    nvr.send(namespaceRequest("root\\Faults"));
    EXPECT_EQ(status(), "root\\Faults");

    // A refused query: counted, no reply.
    nvr.send(lookupRequest("F_Denied", {}, {{"ID", "", ""}}));
    skipped.clear();
    EXPECT_EQ(status(Millis(10000), &skipped), "root\\Faults");
    EXPECT_TRUE(skipped.empty());

    // A refused method: the completion carries the code.
    EXPECT_EQ(execute(executeRequest("F_Door", "Break", {}, {}, k_DOOR_A)), "Failed 0x80041001");

    // Subscriptions refused: access denied is answered, another code is not.
    nvr.send(subscribeRequest("F_Secret"));
    Message denied;
    ASSERT_TRUE(receiveUntil([](const Message& m) { return m.action == e_ACTION_SUBSCRIBE; },
                             &denied, Millis(10000)));
    EXPECT_EQ(denied.class_name, "F_Secret");
    EXPECT_EQ(denied.method_name, "Access Denied 0x80041003");
    nvr.send(subscribeRequest("F_Broken"));
    skipped.clear();
    EXPECT_EQ(status(Millis(10000), &skipped), "root\\Faults");
    EXPECT_TRUE(skipped.empty());

    // A slow provider while events pour in: replies come, events keep coming.
    nvr.send(subscribeRequest("Lnl_AccessEvent"));
    int events = 0;
    Message m;
    testutil::waitFor(
        [&] {
            while (nvr.receive(&m, Millis(0))) {
                events += m.action == e_ACTION_SUBSCRIBE && m.class_name == "Lnl_AccessEvent";
            }
            nvr.pump(Millis(50));
            return events >= 50;
        },
        Millis(20000));
    EXPECT_GE(events, 50);
    for (int round = 0; round < 3; ++round) {
        nvr.send(lookupRequest("F_Slow", {}, {{"Text", "", ""}}));
        std::vector<Message> replies;
        skipped.clear();
        EXPECT_EQ(status(Millis(20000), &skipped), "root\\Faults");
        for (const Message& s : skipped) {
            if (s.action == e_ACTION_LOOKUP) {
                replies.push_back(s);
            }
        }
        ASSERT_EQ(replies.size(), 2u);
        EXPECT_EQ(valueOf(replies[0], "Text"), "one");
        EXPECT_EQ(valueOf(replies[1], "Text"), "two");
    }
    expectAliveAndBounded();
}

// ---------------------------------------------------------------------------
// Settings and files

TEST_F(FaultsFixture, AllowListsLimitWhatTheNvrReaches) {
    useFaultyRepository();
    // Written as administrators do: any case, blanks around the commas, a
    // key the service does not know (line 7 of the file).
    testutil::writeSettings(programData, "127.0.0.1", nvr.port(),
                            "[security]\nnamespaces = root\\Other2 , root\\faults\n"
                            "Methods=F_DOOR.open\nColour=blue\n");
    start(false);

    // Outside the list: refused before WMI, later requests ignored.
    nvr.send(namespaceRequest("root\\Other"));
    nvr.send(lookupRequest("F_Other", {}, {{"ID", "", ""}}));
    std::vector<Message> skipped;
    EXPECT_EQ(status(Millis(10000), &skipped), "");
    EXPECT_TRUE(skipped.empty());
    const std::string refused =
        "Client::connectToNamespace - Namespace 'root\\Other' refused: not in Namespaces of "
        "section Security";
    ASSERT_TRUE(logged(refused));
    const std::string text = log();
    const size_t lineStart = text.rfind('\n', text.find(refused));
    EXPECT_NE(text.substr(lineStart, text.find(refused) - lineStart).find("[CRIT]"),
              std::string::npos);
    EXPECT_TRUE(
        logged("The NVR may use namespaces: root\\Other2, root\\faults; methods: F_DOOR.open"));
    EXPECT_TRUE(logged("line 7: unknown key 'Colour' in section Security, ignored"));
    EXPECT_EQ(log().find("The NVR is unrestricted"), std::string::npos);
    EXPECT_EQ(log().find("Connected to namespace 'root\\Other'"), std::string::npos);

    // Inside it, with the machine prefix and another case.
    nvr.send(namespaceRequest("\\\\.\\ROOT\\Faults"));
    EXPECT_EQ(status(), "\\\\.\\ROOT\\Faults");
    Message open = executeRequest("F_Door", "Open", {}, {}, k_DOOR_A);
    open.params_in.push_back({"Seconds", "5", "int"});
    EXPECT_EQ(execute(open), "Success");
    // WMI would answer Break with its own code 0x80041001.
    EXPECT_EQ(execute(executeRequest("F_Door", "Break", {}, {}, k_DOOR_A)), "Failed 0x80041003");
    // An allowed method named on one class but run on an instance of
    // another, also where a quoted key value looks like a path.
    for (const char* target : {"F_Other.ID=1", "F_Other.ID='x:F_Door.y'"}) {
        EXPECT_EQ(execute(executeRequest("F_Door", "Open", {}, {}, target)), "Failed 0x80041003")
            << target;
    }
    EXPECT_TRUE(logged("refused: the target is of class 'F_Other'"));
    // Control characters in a name never reach WMI, in the XML form or in
    // the legacy JSON form (a path cut at the NUL would be 0x8004103a, no
    // such door 0x80041002).
    EXPECT_EQ(execute(executeRequest("F_Door", "Open", {}, {}, "F_Door.Name=\"A\tB\"")),
              "Failed 0x80041003");
    nvr.sendRaw(
        frameOf("{\"action\":\"2\",\"class_name\":\"F_Door\",\"method_name\":\"Open\","
                "\"target_instance\":\"F_Door.Name=\\\"A" +
                std::string(1, '\0') + "\\\"\"}"));
    Message completion;
    ASSERT_TRUE(receiveUntil([](const Message& m) { return m.action == e_ACTION_COMPLETION; },
                             &completion, Millis(10000)));
    EXPECT_EQ(valueOf(completion, "Failed"), "0x80041003");
    EXPECT_TRUE(logged("Request 2 refused: its target holds a control character"));

    // "none" allows nothing, from the next connection on.
    testutil::writeSettings(programData, "127.0.0.1", nvr.port(), "[Security]\nNamespaces=none\n");
    ASSERT_TRUE(nvr.accept(k_RECONNECT));
    nvr.send(namespaceRequest("root\\Faults"));
    EXPECT_EQ(status(), "");
    EXPECT_TRUE(logged("The NVR may use namespaces: none; methods: none"));
    expectAliveAndBounded();
}

// Tightened lists or another NVR end what the old terms allowed: the
// namespace, its subscriptions and whatever waited to be sent.
TEST_F(FaultsFixture, ChangedEndpointOrListsEndTheWmiSession) {
    env["LUMIVAR_WMI_EVENT_RATE"] = "50";
    start();
    EXPECT_TRUE(logged("The NVR is unrestricted (no section Security in '" + folder + "/Settings"));
    testutil::FakeNvr other;
    auto setUp = [&](testutil::FakeNvr& peer) {
        peer.send(namespaceRequest("root\\AccessControl"));
        peer.send(subscribeRequest("Lnl_AccessEvent"));
        Message event;
        return receiveUntilOn(
            peer, [](const Message& m) { return m.action == e_ACTION_SUBSCRIBE; }, &event);
    };
    // After the change: no namespace, no subscription, no event.
    auto expectNothingLeft = [&](testutil::FakeNvr& peer) {
        peer.discardReceived();
        std::vector<Message> seen;
        Message reply;
        peer.send(statusRequest());
        peer.pump(Millis(2000));
        peer.send(lookupRequest("Lnl_Person", {}, {{"FIRSTNAME", "", ""}}));
        peer.send(statusRequest());
        ASSERT_TRUE(receiveUntilOn(
            peer, [](const Message&) { return false; }, &reply, &seen));
        size_t statuses = 0;
        for (const Message& m : seen) {
            EXPECT_NE(m.action, e_ACTION_SUBSCRIBE) << "an event of the old session arrived";
            EXPECT_NE(m.action, e_ACTION_LOOKUP) << "a lookup was answered";
            if (m.action == e_ACTION_STATUS) {
                ++statuses;
                EXPECT_EQ(valueOf(m, "namespace"), "");
                EXPECT_EQ(testutil::outParam(m, "event_sink"), nullptr);
            }
        }
        EXPECT_EQ(statuses, 2u);
    };

    // A plain reconnect keeps the session.
    ASSERT_TRUE(setUp(nvr));
    nvr.closeConnection();
    ASSERT_TRUE(nvr.accept(k_RECONNECT));
    EXPECT_EQ(status(), "root\\AccessControl");

    // Another endpoint, the same lists.
    testutil::writeSettings(programData, "127.0.0.1", other.port());
    ASSERT_TRUE(other.accept(k_RECONNECT));
    expectNothingLeft(other);

    // The same endpoint, tightened lists.
    ASSERT_TRUE(setUp(other));
    testutil::writeSettings(programData, "127.0.0.1", other.port(),
                            "[Security]\nNamespaces=none\nMethods=none\n");
    ASSERT_TRUE(other.accept(k_RECONNECT));
    expectNothingLeft(other);
    EXPECT_EQ(log().find("The NVR is unrestricted", log().find("Namespaces=none")),
              std::string::npos);
    expectAliveAndBounded();
}

TEST_F(FaultsFixture, SettingsOthersMayWriteAreNotFollowed) {
    start();
    const std::string settings = folder + "/Settings";
    testutil::FakeNvr other;
    auto refusals = [&] {
        std::string text = log();
        size_t count = 0;
        for (size_t at = text.find("not used, keeping NVR"); at != std::string::npos;
             at = text.find("not used, keeping NVR", at + 1)) {
            ++count;
        }
        return count;
    };

    // Rewritten by someone else: the last good endpoint stays, once logged.
    testutil::writeSettings(programData, "127.0.0.1", other.port(), "",
                            std::filesystem::perms(0666));
    ASSERT_TRUE(nvr.accept(k_RECONNECT));
    EXPECT_FALSE(other.connected());
    EXPECT_TRUE(logged("'" + settings + "' is writable by group or others (mode 666)"));
    EXPECT_EQ(refusals(), 1u);

    // Protected again: trusted, and followed.
    std::filesystem::permissions(settings, std::filesystem::perms(0600));
    ASSERT_TRUE(other.accept(k_RECONNECT));
    EXPECT_EQ(refusals(), 1u);

    if (::geteuid() == 0) {
        // Owned by another user, as is a folder others may write.
        testutil::writeSettings(programData, "127.0.0.1", nvr.port());
        ASSERT_EQ(::chown(settings.c_str(), 65534, 65534), 0);
        ASSERT_TRUE(other.accept(k_RECONNECT));
        EXPECT_TRUE(logged("'" + settings + "' is owned by user 65534"));
        ASSERT_EQ(::chown(settings.c_str(), 0, 0), 0);
        ASSERT_TRUE(nvr.accept(k_RECONNECT));
    }
    // The change is read 10 s after it is seen.
    testutil::writeSettings(programData, "127.0.0.1", other.port());
    std::filesystem::permissions(folder, std::filesystem::perms(0777));
    ASSERT_TRUE(nvr.accept(k_RECONNECT));
    EXPECT_TRUE(logged("'" + folder + "' is writable by group or others (mode 777)"));
    std::filesystem::permissions(folder, std::filesystem::perms(0755));
    ASSERT_TRUE(other.accept(k_RECONNECT));

    // A link in place of the file is not followed, even to a protected file.
    {
        std::ofstream out(folder + "/Elsewhere");
        out << "[NVR]\nAddress=127.0.0.1\nPort=" << nvr.port() << "\n";
    }
    std::filesystem::permissions(folder + "/Elsewhere", std::filesystem::perms(0600));
    std::filesystem::remove(settings);
    std::filesystem::create_symlink("Elsewhere", settings);
    ASSERT_TRUE(other.accept(k_RECONNECT));
    EXPECT_TRUE(logged("'" + settings + "' is a symbolic link"));

    // A folder above the data folder that others may write: they could
    // swap the whole folder.
    std::filesystem::remove(settings);
    std::filesystem::permissions(programData, std::filesystem::perms(0777));
    testutil::writeSettings(programData, "127.0.0.1", nvr.port());
    ASSERT_TRUE(other.accept(k_RECONNECT));
    EXPECT_TRUE(logged("'" + programData + "' is writable by group or others (mode 777)"));
    expectAliveAndBounded();
}

TEST_F(FaultsFixture, BrokenSettingsFileKeepsTheLastGoodEndpoint) {
    start();
    const std::string settings = folder + "/Settings";
    const std::string good = "[NVR]\nAddress=127.0.0.1\nPort=" + std::to_string(nvr.port()) + "\n";

    // Rewritten many times per second, in place, ending with the good text.
    for (int i = 0; i < 200; ++i) {
        std::ofstream out(settings, std::ios::trunc | std::ios::binary);
        if (i % 2 == 0) {
            out << "[NVR]\nAddress=127.0.0.1\n";
        } else {
            out << good;
        }
        usleep(5000);
    }
    {
        std::ofstream out(settings, std::ios::trunc);
        out << good;
    }
    ASSERT_TRUE(nvr.accept(k_RECONNECT));
    EXPECT_EQ(status(), "");

    // Deleted.
    std::filesystem::remove(settings);
    ASSERT_TRUE(nvr.accept(k_RECONNECT));
    EXPECT_EQ(status(), "");

    // Unreadable: a link to itself cannot be opened, even by root.
    std::filesystem::create_symlink("Settings", settings);
    ASSERT_TRUE(nvr.accept(k_RECONNECT));
    EXPECT_EQ(status(), "");
    std::filesystem::remove(settings);

    // Without the section, as an edit may leave it: said, endpoint kept.
    {
        std::ofstream out(settings, std::ios::trunc);
        out << "Address=127.0.0.2\nPort=" << nvr.port() << "\n";
    }
    ASSERT_TRUE(nvr.accept(k_RECONNECT));
    EXPECT_TRUE(logged("Client::readSettings - Settings file '" + settings +
                       "' has no section [NVR], keeping NVR 127.0.0.1:" +
                       std::to_string(nvr.port())));

    // Binary garbage.
    {
        std::ofstream out(settings, std::ios::trunc | std::ios::binary);
        for (int i = 0; i < 4096; ++i) {
            out.put(static_cast<char>((i * 7919) % 251));
        }
    }
    ::chmod(settings.c_str(), 0);
    ASSERT_TRUE(nvr.accept(k_RECONNECT));
    EXPECT_EQ(status(), "");
    std::filesystem::remove(settings);

    // Not a file at all: a pipe nobody writes to, and an endless device.
    ASSERT_EQ(::mkfifo(settings.c_str(), 0600), 0);
    ASSERT_TRUE(nvr.accept(k_RECONNECT));
    EXPECT_EQ(status(), "");
    std::filesystem::remove(settings);
    std::filesystem::create_symlink("/dev/zero", settings);
    ASSERT_TRUE(nvr.accept(k_RECONNECT));
    EXPECT_EQ(status(), "");
    expectAliveAndBounded();
}

TEST_F(FaultsFixture, LogFolderThatCannotBeMadeDoesNotStopTheService) {
    std::filesystem::create_directories(folder);
    {
        // A file where the log folder should be.
        std::ofstream out(folder + "/Logs");
        out << "not a folder";
    }
    start();
    nvr.send(namespaceRequest("root\\AccessControl"));
    EXPECT_EQ(status(), "root\\AccessControl");
    expectAliveAndBounded();
}

}  // namespace
