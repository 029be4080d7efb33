// The Client on a real loop in this process, with the NVR played by the test.
// Waits of several seconds (connect retry, keep-alive, stop check) are
// skipped on the timers' clock rather than waited for.

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client_loop_testutil.h"
#include "testsupport_logcapture.h"
#include "wmi_standin.h"

namespace {

using testutil::ClientHarness;
using testutil::FakeNvr;
using testutil::Millis;
using testutil::noise;
using testutil::valueOf;

// An event as a sink hands it over, numbered by 'n'.
Message event(int n, const std::string& source = "") {
    Message m;
    m.action = e_ACTION_SUBSCRIBE;
    m.class_name = "Lnl_DoorEvent";
    m.params_out.push_back({"n", std::to_string(n), "str"});
    m.params_out.push_back({"SerialNumber", std::to_string(n), "str"});
    if (!source.empty()) {
        m.params_out.push_back({"source", source, "str"});
    }
    return m;
}

// The serials the log names as dropped for 'cause', over all its lines
// ("... dropped <n> events with serials <a>-<b>, <c>-<d> (<cause>)").
std::vector<int> droppedSerials(const testutil::LogLines& log, const std::string& cause) {
    const std::string marker = "dropped ";
    const std::string serials = " events with serials ";
    const std::string tail = " (" + cause + ")";
    std::vector<int> out;
    for (const std::string& text : log.texts(core::LOG_WARN)) {
        const size_t at = text.find(serials);
        if (text.find(marker) == std::string::npos || at == std::string::npos ||
            text.size() < at + serials.size() + tail.size() ||
            text.compare(text.size() - tail.size(), tail.size(), tail) != 0) {
            continue;
        }
        const size_t from = at + serials.size();
        std::istringstream ranges(text.substr(from, text.size() - tail.size() - from));
        int first = 0;
        int last = 0;
        char dash = 0;
        char comma = 0;
        while (ranges >> first >> dash >> last) {
            for (int n = first; n <= last; ++n) {
                out.push_back(n);
            }
            ranges >> comma;
        }
    }
    return out;
}

// Runs the loop until 'nvr' has received 'count' messages, appended to 'out'.
bool receiveCount(ClientHarness& h, FakeNvr& nvr, size_t count, std::vector<Message>* out,
                  Millis timeout = Millis(10000)) {
    return h.runUntil(
        [&] {
            Message m;
            while (out->size() < count && nvr.receive(&m, Millis(0))) {
                out->push_back(m);
            }
            return out->size() >= count;
        },
        timeout);
}

// Each refusal of the WMI session is logged with its code.  A failed start
// still arms the stop check (the host must be able to stop a Client whose
// start keeps failing); a failed connect leaves no namespace, whatever was
// held before, and the locator usable for the next request.
TEST(ClientCore, WmiSessionFailuresAreReportedAndLeaveNoNamespace) {
    using wmi::standin::Fault;
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    const std::pair<Fault, const char*> startFaults[] = {
        {Fault::e_CO_INITIALIZE, "Failed to initialize COM library. Error code = 0x80004005"},
        {Fault::e_CO_INITIALIZE_SECURITY, "Failed to initialize security. Error code = 0x80004005"},
        {Fault::e_CREATE_LOCATOR, "Failed to create IWbemLocator object. Error code = 0x80004005"},
    };
    for (const auto& [fault, line] : startFaults) {
        ClientHarness h;
        wmi::standin::setFault(fault, E_FAIL);
        EXPECT_FALSE(h.client().start());
        wmi::standin::clearFaults();
        EXPECT_EQ(log.count(std::string("Client::start - ") + line), 1) << line;
        h.requestStop();
        ClientHarness::skip(Client::k_STOP_CHECK_MS);
        EXPECT_TRUE(h.runUntilStopped(Millis(5000))) << line;
    }

    ClientHarness h;
    ASSERT_TRUE(h.startAndConnect());
    // The namespace the status reply names after a connect to 'path' (none
    // when null).
    const auto namespaceAfter = [&](const char* path) -> std::string {
        if (path) {
            h.d_nvr.send(testutil::namespaceRequest(path));
        }
        h.d_nvr.send(testutil::statusRequest());
        Message reply;
        if (!h.receive(&reply, Millis(5000))) {
            return "no reply";
        }
        EXPECT_EQ(reply.action, e_ACTION_STATUS);
        return valueOf(reply, "namespace");
    };
    EXPECT_EQ(namespaceAfter(nullptr), "");
    wmi::standin::setFault(Fault::e_CONNECT_SERVER, WBEM_E_ACCESS_DENIED);
    EXPECT_EQ(namespaceAfter("root\\AccessControl"), "");
    EXPECT_EQ(1, log.count("Client::connectToNamespace - Could not connect to namespace "
                           "'root\\AccessControl'. Error code = 0x80041003"));
    wmi::standin::clearFaults();
    wmi::standin::setFault(Fault::e_PROXY_BLANKET, E_ACCESSDENIED);
    EXPECT_EQ(namespaceAfter("root\\AccessControl"), "");
    EXPECT_EQ(1, log.count("Client::connectToNamespace - Could not set proxy blanket. Security "
                           "problem. Error code = 0x80070005"));
    wmi::standin::clearFaults();
    EXPECT_EQ(namespaceAfter("root\\AccessControl"), "root\\AccessControl");
    EXPECT_EQ(namespaceAfter("root\\NoSuchNamespace"), "");
}

TEST(ClientCore, WhileDownTheNewest501AreKeptAndStatusRepliesAreDroppedAtLinkUp) {
    ClientHarness h;
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    Client& c = h.client();
    for (int i = 0; i < 502; ++i) {
        Message m = event(i);
        if (i == 250) {
            m.action = e_ACTION_STATUS;
        }
        c.sendToServer(m);
    }
    EXPECT_EQ(c.messageQueueLength(), 501u);
    EXPECT_EQ(c.counters().messages_discarded, 1u);
    EXPECT_EQ(log.count("Client::sendToServer - Message queue full, discarding oldest messages",
                        core::LOG_WARN),
              1);
    c.sendToServer(event(502));
    EXPECT_EQ(c.messageQueueLength(), 501u);
    EXPECT_EQ(c.counters().messages_discarded, 2u);

    ASSERT_TRUE(h.startAndConnect());
    EXPECT_EQ(c.messageQueueLength(), 0u);
    // The stop check writes the serials of what was discarded.
    ClientHarness::skip(Client::k_STOP_CHECK_MS);
    ASSERT_TRUE(h.runUntil([&] { return !droppedSerials(log, "message queue full").empty(); },
                           Millis(5000)));
    EXPECT_EQ(droppedSerials(log, "message queue full"), (std::vector<int>{0, 1})) << log.all();
    c.sendToServer(event(1000));
    std::vector<Message> got;
    ASSERT_TRUE(receiveCount(h, h.d_nvr, 501, &got));
    // 0 and 1 were discarded, 250 was a status reply; the rest in order, then
    // the one sent after link up.
    std::vector<std::string> expected;
    for (int i = 2; i <= 502; ++i) {
        if (i != 250) {
            expected.push_back(std::to_string(i));
        }
    }
    expected.push_back("1000");
    std::vector<std::string> seen;
    for (const Message& m : got) {
        EXPECT_EQ(m.action, e_ACTION_SUBSCRIBE);
        seen.push_back(valueOf(m, "n"));
    }
    EXPECT_EQ(seen, expected);
}

// Events handed over while the link is down, more than the message queue
// holds.
const int k_OUTAGE_EVENTS = static_cast<int>(Client::k_MAX_MESSAGE_QUEUE) + 10;

// Nothing drains while the link is down, whatever ended it: the events handed
// over meanwhile wait in their queue, and the drain ticks that pass (enough
// to fill the message queue) neither discard nor warn.
void expectOutageKeepsEvents(ClientHarness& h, const testutil::LogLines& log, int first) {
    Client& c = h.client();
    const size_t messages = c.messageQueueLength();
    for (int i = 0; i < k_OUTAGE_EVENTS; ++i) {
        c.queueEvent(event(first + i));
    }
    for (size_t tick = 0; tick <= Client::k_MAX_MESSAGE_QUEUE / Client::k_DRAIN_PER_TICK; ++tick) {
        ClientHarness::skip(Client::k_EVENT_DRAIN_MS);
        ASSERT_TRUE(h.runUntil([] { return true; }, Millis(5000)));
    }
    EXPECT_EQ(c.eventQueueLength(), static_cast<size_t>(k_OUTAGE_EVENTS));
    EXPECT_EQ(c.messageQueueLength(), messages);
    EXPECT_EQ(c.counters().messages_discarded, 0u);
    EXPECT_EQ(log.count("Message queue full"), 0);
}

TEST(ClientCore, ALostLinkIsRetriedLaterAndWhatWaitedIsSentThen) {
    ClientHarness h;
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    Client& c = h.client();
    ASSERT_TRUE(h.startAndConnect());
    // The link is lost in the middle of a request: the new link's first
    // request must not be taken for the rest of it.
    const std::string request = NS_LNL::Packer::packMessage(testutil::statusRequest()).str();
    h.d_nvr.sendRaw(request.substr(0, 40));
    ASSERT_TRUE(h.runUntil([&] { return c.connection()->totalReceived() == 40; }, Millis(5000)));
    h.d_nvr.closeConnection();
    ASSERT_TRUE(h.runUntil([&] { return !c.linkUp(); }, Millis(5000)));
    EXPECT_EQ(log.count("Client::handleConnectionDown - Connection to NVR Down", core::LOG_WARN),
              1);

    // Replies and events wait; events are drained no longer.
    c.sendToServer(event(1));
    Message status;
    status.action = e_ACTION_STATUS;
    c.sendToServer(status);
    expectOutageKeepsEvents(h, log, 2);
    EXPECT_EQ(c.messageQueueLength(), 2u);
    EXPECT_FALSE(h.d_nvr.accept(Millis(0)));

    ClientHarness::skip(Client::k_RECONNECT_MS);
    ASSERT_TRUE(h.runUntilConnected(h.d_nvr));
    EXPECT_EQ(log.count("Client::handleConnectionUp - Connection to NVR up", core::LOG_INFO), 2);
    std::vector<Message> got;
    ASSERT_TRUE(receiveCount(h, h.d_nvr, 1 + k_OUTAGE_EVENTS, &got));
    for (int i = 0; i <= k_OUTAGE_EVENTS; ++i) {
        EXPECT_EQ(valueOf(got[i], "n"), std::to_string(1 + i));
    }
    h.d_nvr.sendRaw(request);
    ASSERT_TRUE(receiveCount(h, h.d_nvr, 2 + k_OUTAGE_EVENTS, &got));
    EXPECT_EQ(got.back().action, e_ACTION_STATUS);
}

TEST(ClientCore, ASettingsFolderThatCannotBeMadeIsReportedAndRetried) {
    ClientHarness h;
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    core::Assert::setStopOnFailedCheck(true);
    // The data folder is a plain file: nothing can be made below it.
    std::ofstream(h.d_dir / "plain") << "x";
    ::setenv("PROGRAMDATA", (h.d_dir / "plain").c_str(), 1);
    ASSERT_TRUE(h.client().start());
    ClientHarness::skip(Client::k_FIRST_CONNECT_MS);
    ASSERT_TRUE(h.runUntil([&] { return log.count("Connection to NVR Down") == 1; }, Millis(5000)));
    EXPECT_EQ(log.count("Client::connectToNVR - Could not create directory [" + h.d_dir.path() +
                            "/plain/Tessarin/Lumivar]",
                        core::LOG_CRIT),
              1)
        << log.all();
    ClientHarness::skip(Client::k_RECONNECT_MS);
    ASSERT_TRUE(h.runUntil([&] { return log.count("Connection to NVR Down") == 2; }, Millis(5000)));
}

TEST(ClientCore, KeepaliveOnlyWhenIdleAndAStalledNvrCostsBoundedMemory) {
    ClientHarness h;
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    Client& c = h.client();
    ASSERT_TRUE(h.startAndConnect());

    // A keep-alive period passes; the NVR reads until it has seen 'n' in all.
    auto periodUntilKeepalives = [&](size_t n) {
        ClientHarness::skip(Client::k_KEEPALIVE_MS);
        return h.runUntil(
            [&] {
                h.d_nvr.pump(Millis(0));
                return h.d_nvr.keepalives() == n;
            },
            Millis(5000));
    };

    // Idle: one 0xF7 per keep-alive period.
    ASSERT_TRUE(periodUntilKeepalives(1));

    // The NVR stops reading: the link's queue grows to the bound, then whole
    // frames are dropped, counted and reported once.
    const int64_t limit = 1 << 20;
    c.setSendQueueLimit(limit);
    int sent = 0;
    int64_t maxQueued = 0;
    ASSERT_TRUE(h.runUntil(
        [&] {
            for (int i = 0; i < 8; ++i) {
                Message m = event(sent++);
                m.params_out.push_back({"blob", noise(64 * 1024, sent), "str"});
                c.sendToServer(m);
                maxQueued = std::max(maxQueued, c.connection()->queuedBytes());
            }
            return c.counters().frames_dropped >= 20;
        },
        Millis(60000)));
    EXPECT_LE(maxQueued, limit);
    EXPECT_GT(c.connection()->queuedBytes(), 0);
    EXPECT_EQ(log.count("NVR not reading, dropping messages", core::LOG_WARN), 1) << log.all();

    // A keep-alive period passes with output pending: nothing is added.  The
    // check timer below is due after the keep-alive, so it has run by then.
    ClientHarness::skip(Client::k_KEEPALIVE_MS);
    ASSERT_TRUE(h.runUntil([] { return true; }, Millis(5000)));
    EXPECT_EQ(droppedSerials(log, "NVR not reading").size(), c.counters().frames_dropped);

    // The NVR reads again: every frame not dropped arrives whole, in order.
    std::vector<Message> got;
    const size_t expected = static_cast<size_t>(sent) - c.counters().frames_dropped;
    ASSERT_TRUE(receiveCount(h, h.d_nvr, expected, &got, Millis(30000)));
    EXPECT_EQ(c.connection()->queuedBytes(), 0);
    int last = -1;
    for (const Message& m : got) {
        int n = std::stoi(valueOf(m, "n"));
        EXPECT_GT(n, last);
        last = n;
    }
    EXPECT_EQ(h.d_nvr.keepalives(), 1u);

    // Events handed over while the NVR is behind wait in their queue and
    // are not dropped at the link; they all arrive once it reads.
    const uint64_t droppedBefore = c.counters().frames_dropped;
    const int events = 200;
    for (int i = 0; i < events; ++i) {
        Message m = event(i);
        m.params_out.push_back({"blob", noise(64 * 1024, i), "str"});
        c.queueEvent(m);
    }
    ASSERT_TRUE(
        h.runUntil([&] { return c.connection()->queuedBytes() > limit / 4; }, Millis(10000)));
    ClientHarness::skip(Client::k_EVENT_DRAIN_MS);
    ASSERT_TRUE(h.runUntil([] { return true; }, Millis(5000)));
    EXPECT_GT(c.eventQueueLength(), 0u);
    got.clear();
    ASSERT_TRUE(receiveCount(h, h.d_nvr, events, &got, Millis(30000)));
    EXPECT_EQ(c.counters().frames_dropped, droppedBefore);
    EXPECT_EQ(valueOf(got.back(), "n"), std::to_string(events - 1));

    // Idle again: the next period sends one, and the link still answers.
    ASSERT_TRUE(periodUntilKeepalives(2));
    h.d_nvr.send(testutil::statusRequest());
    Message reply;
    ASSERT_TRUE(h.receive(&reply, Millis(5000)));
    EXPECT_EQ(reply.action, e_ACTION_STATUS);
}

// Requests go before events: with more events queued than the link takes, a
// one-instance lookup and the status request behind it are answered as soon
// as the link has room, before any event that was still queued; the events
// follow, none lost.
TEST(ClientCore, RequestsAreAnsweredBeforeEventsThatOutpaceTheLink) {
    ClientHarness h;
    Client& c = h.client();
    // Above a quarter of the limit the link is full.
    const int64_t limit = 1 << 20;
    c.setSendQueueLimit(limit);
    ASSERT_TRUE(h.startAndConnect());
    ASSERT_TRUE(h.connectNamespace("root\\AccessControl"));
    const int events = 300;
    for (int i = 0; i < events; ++i) {
        Message m = event(i);
        m.params_out.push_back({"blob", noise(64 * 1024, i), "str"});
        c.queueEvent(m);
    }
    // The NVR reads nothing until the link is full: the socket takes no more
    // over several passes of the loop, and the drain has stopped.
    int64_t sent = -1;
    int still = 0;
    ASSERT_TRUE(h.runUntil(
        [&] {
            still = c.connection()->totalSent() == sent ? still + 1 : 0;
            sent = c.connection()->totalSent();
            return still >= 3 && c.connection()->queuedBytes() > limit / 4;
        },
        Millis(20000)));
    h.d_nvr.send(
        testutil::lookupRequest("Lnl_Badge", {{"ID", "100037", "int"}}, {{"PersonID", "", ""}}));
    h.d_nvr.send(testutil::statusRequest());
    ASSERT_TRUE(
        h.runUntil([&] { return c.lookupWaiting() && c.heldRequests() == 1; }, Millis(5000)));
    const size_t ahead = events - c.eventQueueLength();
    std::vector<Message> got;
    ASSERT_TRUE(h.runUntil(
        [&] {
            Message m;
            while (h.d_nvr.receive(&m, Millis(0))) {
                got.push_back(m);
                if (m.action == e_ACTION_STATUS) {
                    return true;
                }
            }
            return false;
        },
        Millis(30000)));
    EXPECT_GT(c.eventQueueLength(), 0u);
    ASSERT_EQ(got.size(), ahead + 2);
    for (size_t i = 0; i < ahead; ++i) {
        EXPECT_EQ(valueOf(got[i], "n"), std::to_string(i));
    }
    EXPECT_EQ(got[ahead].action, e_ACTION_LOOKUP);
    EXPECT_EQ(valueOf(got[ahead], "PersonID"), "1");
    got.clear();
    ASSERT_TRUE(receiveCount(h, h.d_nvr, events - ahead, &got, Millis(30000)));
    EXPECT_EQ(valueOf(got.front(), "n"), std::to_string(ahead));
    EXPECT_EQ(valueOf(got.back(), "n"), std::to_string(events - 1));
    EXPECT_EQ(c.counters().frames_dropped + c.eventsDropped(), 0u);
}

// Frames still waiting in the link when it is lost are gone with it: they
// are counted with the drops, so that every message handed to the link is
// either received by the NVR or counted, and the log names each lost
// event's serial and the last one written to the link.
TEST(ClientCore, FramesLostWithTheLinkAreCounted) {
    ClientHarness h;
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    Client& c = h.client();
    ASSERT_TRUE(h.startAndConnect());
    c.setSendQueueLimit(1 << 20);
    int sent = 0;
    ASSERT_TRUE(h.runUntil(
        [&] {
            for (int i = 0; i < 8; ++i) {
                Message m = event(sent++);
                m.params_out.push_back({"blob", std::string(32 * 1024, 'x'), "str"});
                c.sendToServer(m);
            }
            return c.connection()->numQueuedBuffers() > 10;
        },
        Millis(60000)));
    // The loop is not running: the NVR takes every frame written whole (all
    // but those still queued, the first of which may be written in part),
    // then hangs up with the rest still queued on the service's side.
    const size_t whole = static_cast<size_t>(sent) - c.connection()->numQueuedBuffers() -
                         c.counters().frames_dropped;
    std::vector<Message> got;
    Message m;
    while (got.size() < whole && h.d_nvr.receive(&m, Millis(10000))) {
        got.push_back(m);
    }
    ASSERT_EQ(got.size(), whole);
    h.d_nvr.closeConnection();
    ASSERT_TRUE(h.runUntil([&] { return !c.linkUp(); }, Millis(5000)));
    EXPECT_GT(c.counters().frames_dropped, 0u);
    EXPECT_EQ(got.size() + c.counters().frames_dropped, static_cast<size_t>(sent));
    std::vector<int> serials = droppedSerials(log, "queued on the lost link");
    EXPECT_FALSE(serials.empty());
    for (int n : droppedSerials(log, "NVR not reading")) {
        serials.push_back(n);
    }
    for (const Message& m : got) {
        serials.push_back(std::stoi(valueOf(m, "n")));
    }
    std::sort(serials.begin(), serials.end());
    std::vector<int> all(static_cast<size_t>(sent));
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(serials, all);
    EXPECT_EQ(log.count("Client::linkLost - events up to serial " + valueOf(got.back(), "n") +
                            " were written to the lost link",
                        core::LOG_WARN),
              1)
        << log.all();
}

// A connected NVR that reads nothing is dropped once its queued bytes have
// made no progress for the stall time, and not before; the next link starts
// with nothing of the stalled one.
TEST(ClientCore, AStalledLinkIsClosedAfterTheStallTime) {
    ClientHarness h;
    Client& c = h.client();
    ASSERT_TRUE(h.startAndConnect());
    int sent = 0;
    ASSERT_TRUE(h.runUntil(
        [&] {
            Message m = event(sent++);
            m.params_out.push_back({"blob", noise(64 * 1024, sent), "str"});
            c.sendToServer(m);
            return c.connection()->queuedBytes() > (1 << 20);
        },
        Millis(60000)));
    // The first check records where the link stands; the stall time after it
    // at the earliest the link goes (later while the socket's buffers still
    // take bytes).
    const int64_t check = Client::k_STALL_MS / Client::k_STALL_CHECKS;
    int checks = 0;
    while (c.linkUp() && checks < 40) {
        ClientHarness::skip(check);
        ASSERT_TRUE(h.runUntil([] { return true; }, Millis(5000)));
        ++checks;
    }
    EXPECT_GT(checks, Client::k_STALL_CHECKS);
    EXPECT_FALSE(c.linkUp());
    EXPECT_EQ(c.counters().links_stalled, 1u);
    EXPECT_EQ(c.counters().links_lost, 1u);
    EXPECT_GT(c.counters().frames_dropped, 0u);
    EXPECT_TRUE(h.d_nvr.waitClosed(Millis(5000)));
}

TEST(ClientCore, SettingsChangeClosesQuietlyAndReconnectsLaterToTheNewEndpoint) {
    ClientHarness h;
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    core::MasterLogger::enable(core::LOG_NORM);
    Client& c = h.client();
    ASSERT_TRUE(h.startAndConnect());

    FakeNvr second;
    testutil::writeSettings(h.d_dir.path(), "127.0.0.1", second.port());
    ClientHarness::skip(Client::k_SETTINGS_WATCH_MS);
    ASSERT_TRUE(h.runUntil([&] { return !c.linkUp(); }, Millis(5000)));
    EXPECT_TRUE(h.d_nvr.waitClosed(Millis(5000)));
    EXPECT_EQ(log.count("Client::handleFileChanged - Configuration changed, closing old TCP "
                        "connection",
                        core::LOG_INFO),
              1);
    EXPECT_EQ(log.count("Connection to NVR Down"), 0) << log.all();

    // The drain ends with the link, as after a peer drop.
    expectOutageKeepsEvents(h, log, 0);
    EXPECT_FALSE(second.accept(Millis(0)));

    // The retry period later, the new endpoint is used.
    ClientHarness::skip(Client::k_RECONNECT_MS);
    ASSERT_TRUE(h.runUntilConnected(second));
    EXPECT_EQ(
        log.count(core::strFormat("Attempting to connect to NVR at 127.0.0.1:%d", second.port()),
                  core::LOG_NORM),
        1)
        << log.all();
    // What waited for the old NVR is not the new one's: it goes, counted.
    EXPECT_EQ(c.eventQueueLength(), 0u);
    EXPECT_EQ(c.eventsDropped(), static_cast<uint64_t>(k_OUTAGE_EVENTS));

    // Removing the file also reconnects, with the endpoint read before.
    std::filesystem::remove(Client::settingsPath());
    ClientHarness::skip(Client::k_SETTINGS_WATCH_MS);
    ASSERT_TRUE(h.runUntil([&] { return !c.linkUp(); }, Millis(5000)));
    EXPECT_TRUE(second.waitClosed(Millis(5000)));
    ClientHarness::skip(Client::k_RECONNECT_MS);
    ASSERT_TRUE(h.runUntilConnected(second));
    EXPECT_EQ(c.nvrPort(), second.port());
    EXPECT_EQ(log.count("Connection to NVR Down"), 0) << log.all();
}

TEST(ClientCore, MissingOrMalformedSettingsAreRetriedWithoutStopping) {
    ClientHarness h;
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    // Values from the file must not stop the service.
    core::Assert::setStopOnFailedCheck(true);
    core::MasterLogger::enable(core::LOG_NORM);
    Client& c = h.client();
    std::filesystem::remove(Client::settingsPath());
    ASSERT_TRUE(c.start());
    auto changes = [&] { return log.count("Configuration changed"); };
    auto downs = [&] { return log.count("Connection to NVR Down"); };

    // The watch reports the removal; then, with no file, an empty host and
    // port 0 fail and are retried.
    ClientHarness::skip(Client::k_SETTINGS_WATCH_MS);
    ASSERT_TRUE(h.runUntil([&] { return changes() == 1; }, Millis(5000)));
    ClientHarness::skip(Client::k_RECONNECT_MS);
    ASSERT_TRUE(h.runUntil([&] { return downs() >= 1; }, Millis(5000)));
    EXPECT_GE(log.count("Attempting to connect to NVR at :0"), 1) << log.all();

    // Each new file is read at the next attempt, a retry period after the change.
    auto rewrite = [&](const std::string& text) {
        const int changed = changes();
        const int down = downs();
        {
            std::ofstream out(Client::settingsPath());
            out << text;
        }
        ClientHarness::skip(Client::k_SETTINGS_WATCH_MS);
        EXPECT_TRUE(h.runUntil([&] { return changes() > changed; }, Millis(5000)));
        ClientHarness::skip(Client::k_RECONNECT_MS);
        EXPECT_TRUE(h.runUntil([&] { return downs() > down; }, Millis(5000)));
    };
    rewrite("; written by hand\n[NVR]\nAddress=not-an-address\nPort=12ab\n");
    EXPECT_EQ(log.count("Attempting to connect to NVR at not-an-address:12"), 1) << log.all();
    EXPECT_EQ(c.nvrAddress(), "not-an-address");
    EXPECT_EQ(c.nvrPort(), 12);

    rewrite("[NVR]\nAddress=0.0.0.0\nPort=-5\n");
    EXPECT_EQ(log.count("Attempting to connect to NVR at 0.0.0.0:-5"), 1) << log.all();

    // A file without section NVR leaves the values as they were.
    rewrite("[Other]\nAddress=127.0.0.1\nPort=1\n");
    EXPECT_EQ(log.count("Attempting to connect to NVR at 0.0.0.0:-5"), 2) << log.all();

    const int changed = changes();
    testutil::writeSettings(h.d_dir.path(), "127.0.0.1", h.d_nvr.port());
    ClientHarness::skip(Client::k_SETTINGS_WATCH_MS);
    ASSERT_TRUE(h.runUntil([&] { return changes() > changed; }, Millis(5000)));
    ClientHarness::skip(Client::k_RECONNECT_MS);
    ASSERT_TRUE(h.runUntilConnected(h.d_nvr));
}

TEST(ClientCore, EventQueueIsBoundedAndDrainsInArrivalOrder) {
    ClientHarness h;
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    Client& c = h.client();
    // Four sinks deliver at once while the link is down.
    const int perThread = static_cast<int>(Client::k_MAX_EVENT_QUEUE / 4) + 10;
    std::vector<std::thread> sinks;
    for (int t = 0; t < 4; ++t) {
        sinks.emplace_back([&c, t, perThread] {
            for (int i = 0; i < perThread; ++i) {
                c.queueEvent(event(i, std::to_string(t)));
            }
        });
    }
    for (std::thread& t : sinks) {
        t.join();
    }
    EXPECT_EQ(c.eventQueueLength(), Client::k_MAX_EVENT_QUEUE);
    EXPECT_EQ(c.counters().events_dropped, 4u * perThread - Client::k_MAX_EVENT_QUEUE);
    EXPECT_EQ(log.count("event queue full, dropping oldest events", core::LOG_WARN), 1)
        << log.all();
    const std::string dropLine = "Client::queueEvent - dropped " +
                                 std::to_string(4 * perThread - Client::k_MAX_EVENT_QUEUE) +
                                 " events with serials ";

    // Nothing drains while the link is down; once up, several ticks' worth
    // arrive with each sink's events in the order they were handed over.
    ASSERT_TRUE(h.startAndConnect());
    std::vector<Message> got;
    ASSERT_TRUE(receiveCount(h, h.d_nvr, 3 * Client::k_DRAIN_PER_TICK + 5, &got));
    ClientHarness::skip(Client::k_STOP_CHECK_MS);
    ASSERT_TRUE(h.runUntil([&] { return log.count(dropLine) == 1; }, Millis(5000))) << log.all();
    std::map<std::string, int> last;
    for (const Message& m : got) {
        const std::string source = valueOf(m, "source");
        const int n = std::stoi(valueOf(m, "n"));
        auto it = last.find(source);
        if (it != last.end()) {
            EXPECT_GT(n, it->second) << source;
        }
        last[source] = n;
    }
}

TEST(ClientCore, StopFlagEndsTheLoopAtTheNextStopCheck) {
    ClientHarness h;
    ASSERT_TRUE(h.startAndConnect());
    // Without the flag the check does nothing: the condition below runs on a
    // timer due after the check, so the check has run by then (in the same
    // pass at the latest) and left the kernel running.
    ClientHarness::skip(Client::k_STOP_CHECK_MS);
    EXPECT_TRUE(h.runUntil([&] { return h.kernel().isRunning(); }, Millis(5000)));
    h.requestStop();
    ClientHarness::skip(Client::k_STOP_CHECK_MS);
    EXPECT_TRUE(h.runUntilStopped(Millis(10000)));
}

// The report's lines after the tag, in order.
std::vector<std::string> statsLines(const testutil::LogLines& log) {
    std::vector<std::string> out;
    const std::string prefix = "Client::printStats - ";
    for (const std::string& text : log.texts(core::LOG_INFO)) {
        if (text.rfind(prefix, 0) == 0) {
            out.push_back(text.substr(prefix.size()));
        }
    }
    return out;
}

TEST(ClientCore, StatisticsReportEveryLineInOrder) {
    ClientHarness h;
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    Client& c = h.client();
    for (int i = 0; i < 503; ++i) {
        c.sendToServer(event(i));
    }
    c.queueEvent(event(1));
    c.queueEvent(event(2));

    // The zone is the process's: put back what the other tests run with.
    const char* zoneBefore = ::getenv("TZ");
    const std::optional<std::string> savedZone =
        zoneBefore ? std::optional<std::string>(zoneBefore) : std::nullopt;
    struct RestoreZone {
        const std::optional<std::string>& d_zone;
        ~RestoreZone() {
            if (d_zone) {
                ::setenv("TZ", d_zone->c_str(), 1);
            } else {
                ::unsetenv("TZ");
            }
            ::tzset();
        }
    } restoreZone{savedZone};
    ::setenv("TZ", "XST-5:30", 1);
    ::tzset();
    c.printStats();
    std::vector<std::string> lines = statsLines(log);
    ASSERT_GE(lines.size(), 20u) << log.all();
    EXPECT_EQ(lines[0], "tag_lumivar_2_1_rc_1_220329-103018");
    EXPECT_EQ(lines[1], "NS='' Event sinks 0 dto=11");
    // Then the memory use (this test program is not the service, so the task
    // list), then the counters.
    size_t first = 2;
    while (first < lines.size() && lines[first].rfind("lookups_success", 0) != 0) {
        ++first;
    }
    EXPECT_GT(first, 2u);
    std::vector<std::string> counters(lines.begin() + static_cast<long>(first), lines.end());
    int64_t queued = 0;
    for (int i = 2; i < 503; ++i) {
        queued += messageBytes(event(i));
    }
    const std::vector<std::string> expected = {
        "lookups_success 0",
        "lookups_failed 0",
        "execute_success 0",
        "execute_failed 0",
        "total_image_size 0",
        "event_queue 2",
        "msg_queue 501",
        "arrays 0",
        "get_all_info 0",
        "card_id 0",
        "person_id 0",
        "photo 0",
        "sinks_destroyed 0",
        "array_failed 0",
        "events_dropped 0",
        "frames_dropped 0",
        "messages_discarded 2",
        "event_queue_bytes " + std::to_string(messageBytes(event(1)) + messageBytes(event(2))),
        "msg_queue_bytes " + std::to_string(queued),
        "links_lost 0",
        "lookups_abandoned 0",
        "methods_abandoned 0",
        "requests_dropped 0",
        "replies_dropped 0",
        "protocol_errors 0",
        "links_stalled 0",
        "requests_refused 0"};
    EXPECT_EQ(counters, expected);

    // West of UTC the offset is negative.
    ::setenv("TZ", "XST+3", 1);
    ::tzset();
    log.clear();
    c.printStats();
    lines = statsLines(log);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "NS='' Event sinks 0 dto=-6");

    // Nothing at all while INFO is off.
    core::MasterLogger::disable(core::LOG_INFO);
    log.clear();
    c.printStats();
    core::MasterLogger::enable(core::LOG_INFO);
    EXPECT_TRUE(statsLines(log).empty());
}

}  // namespace
