// Event subscriptions: the sink, its registration and replacement, the replies
// for refused subscriptions, and events delivered on the provider's thread
// while the Client closes.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client_eventsink.h"
#include "client_wmi_testutil.h"
#include "core_v2masterlogger.h"

namespace {

using testutil::Millis;
using testutil::outParam;
using testutil::subscribeRequest;
using testutil::WmiHarness;

const char* const k_NAMESPACE = "root\\Test";

const std::string k_REPOSITORY = std::string(R"(
#pragma namespace("\\\\.\\root\\Test")
class Door_Event : __ExtrinsicEvent {
    string Door;
    sint32 Serial;
    boolean Forced;
    uint8 Floor;
    real64 Level;
    sint64 CardNumber;
};
[SubscribeError(0x80041003)]
class Secret_Event : __ExtrinsicEvent { string Door; };
[SubscribeError(0x80041010)]
class Broken_Event : __ExtrinsicEvent { string Door; };
#pragma namespace("\\\\.\\root\\Other")
class Gate_Event : __ExtrinsicEvent { string Gate; };
#pragma namespace("\\\\.\\root\\Test")
)") + [] {
    // More event classes than a session may subscribe to.
    std::string classes;
    for (size_t i = 0; i <= Client::k_MAX_SUBSCRIPTIONS; ++i) {
        classes += "class Many_" + std::to_string(i) + " : __ExtrinsicEvent { string Door; };\n";
    }
    return classes;
}();

std::string doorEvent(int serial, const std::string& door = "Lobby", bool forced = true) {
    return "instance of Door_Event { Door = \"" + door + "\"; Serial = " + std::to_string(serial) +
           "; Forced = " + (forced ? "true" : "false") +
           "; Floor = 3; Level = 2.5; CardNumber = 100037; };\n";
}

// Receives events through EventSinkOwner.
struct Collector : EventSinkOwner {
    std::vector<Message> d_events;
    std::vector<HRESULT> d_ended;
    void queueEvent(const Message& message) override { d_events.push_back(message); }
    void handleSubscriptionEnded(const std::string&, HRESULT hr) override { d_ended.push_back(hr); }
};

TEST(EventSink, InterfacesCountingAndIndicate) {
    testutil::LogLines log;
    Message request = subscribeRequest("Door_Event", {{"Door", "", ""}});
    EventSink* sink = new EventSink(request);
    Collector owner;
    sink->setOwner(&owner);
    EXPECT_EQ(sink->AddRef(), 1u);

    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(sink->QueryInterface(IID_IWbemLocator, &out), E_NOINTERFACE);
    EXPECT_EQ(out, reinterpret_cast<void*>(0x1));
    for (const IID* iid : {&IID_IUnknown, &IID_IWbemObjectSink}) {
        out = nullptr;
        EXPECT_EQ(sink->QueryInterface(*iid, &out), S_OK);
        EXPECT_EQ(out, static_cast<IWbemObjectSink*>(sink));
        EXPECT_EQ(sink->Release(), 1u);
    }
    // Nothing logged per call: Indicate runs on WMI's threads, and a line
    // there may flush the log file.
    for (const char* call : {"AddRef", "Release", "QueryInterface", "Indicate"}) {
        EXPECT_EQ(log.count(std::string("EventSink::") + call), 0) << log.all();
    }

    // An empty delivery still counts as one call and hands nothing over.
    EXPECT_EQ(sink->Indicate(0, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(sink->eventCount(), 1u);
    EXPECT_TRUE(owner.d_events.empty());

    EXPECT_EQ(sink->SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED, nullptr, nullptr), 0);
    EXPECT_EQ(sink->SetStatus(WBEM_STATUS_PROGRESS, S_OK, nullptr, nullptr), 0);
    EXPECT_EQ(sink->SetStatus(1, S_OK, nullptr, nullptr), 0);
    EXPECT_TRUE(log.contains("EventSink::SetStatus - Call complete. hResult = 0x80041032\n"));
    EXPECT_TRUE(log.contains("EventSink::SetStatus - Call in progress.\n"));
    EXPECT_EQ(log.count("EventSink::SetStatus - 0x"), 3);
    EXPECT_EQ(log.count("EventSink::SetStatus"), 5) << log.all();
    // Only a final failure other than our own cancel ends the subscription.
    EXPECT_TRUE(owner.d_ended.empty());
    sink->SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_SHUTTING_DOWN, nullptr, nullptr);
    EXPECT_EQ(owner.d_ended, std::vector<HRESULT>{WBEM_E_SHUTTING_DOWN});

    sink->setOwner(nullptr);
    EXPECT_EQ(sink->Release(), 0u);
}

// A Client in front of the repository above; every test ends with the
// Client gone, no registration left and every object it took released.
struct ClientSubscription : ::testing::Test {
    WmiHarness h{k_REPOSITORY};
    int objectsBefore = wmi::standin::liveObjects();

    void TearDown() override {
        h.harness().destroyClient();
        EXPECT_EQ(h.provider().subscriptionCount(), 0u);
        EXPECT_EQ(wmi::standin::liveObjects(), objectsBefore);
    }
};

TEST_F(ClientSubscription, EventsReachTheNvrInOrderWithConvertedValues) {
    ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE));

    Message request = subscribeRequest("Door_Event", {{"Door", "", "str"},
                                                      {"Serial", "", "int"},
                                                      {"Forced", "", "bool"},
                                                      {"Forced", "", "str"},
                                                      {"Floor", "", "int"},
                                                      {"Level", "kept", "real"},
                                                      {"Missing", "as sent", "str"},
                                                      {"CardNumber", "", "int"}});
    request.params_in = {{"filter", "x", "str"}};
    request.method_name = "m";
    request.target_instance = "t";
    EXPECT_TRUE(h.handle(request).empty());
    ASSERT_EQ(h.client().eventSinks().count("Door_Event"), 1u);
    EXPECT_TRUE(h.d_log.contains(
        "Client::createEventSink - Successfully registered for notifications from 'Door_Event'"));

    // Three objects in one delivery, then single deliveries.
    h.raise(doorEvent(1) + doorEvent(2, "Yard", false) + doorEvent(3));
    for (int serial = 4; serial <= 30; ++serial) {
        h.raise(doorEvent(serial));
    }
    std::vector<Message> events;
    ASSERT_TRUE(h.collect(30, &events, Millis(10000)));
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(events[i].action, e_ACTION_SUBSCRIBE);
        EXPECT_EQ(events[i].class_name, "Door_Event");
        EXPECT_EQ(outParam(events[i], "Serial")->value, std::to_string(i + 1));
    }
    const Message& second = events[1];
    EXPECT_EQ(second.params_in, request.params_in);
    EXPECT_EQ(second.method_name, "m");
    EXPECT_EQ(second.target_instance, "t");
    ASSERT_EQ(second.params_out.size(), request.params_out.size());
    EXPECT_EQ(second.params_out[0], (Parameter{"Door", "Yard", "str"}));
    EXPECT_EQ(second.params_out[2], (Parameter{"Forced", "false", "bool"}));
    EXPECT_EQ(second.params_out[3], (Parameter{"Forced", "", "str"}));
    EXPECT_EQ(second.params_out[4], (Parameter{"Floor", "3", "int"}));
    EXPECT_EQ(second.params_out[5], (Parameter{"Level", "kept", "real"}));
    EXPECT_EQ(second.params_out[6], (Parameter{"Missing", "as sent", "str"}));
    EXPECT_EQ(second.params_out[7], (Parameter{"CardNumber", "100037", "int"}));
    EXPECT_EQ(outParam(events[0], "Forced")->value, "true");

    // 28 calls of Indicate.
    const EventSink* sink = h.client().eventSinks().at("Door_Event").event_sink.get();
    EXPECT_EQ(sink->eventCount(), 28u);
}

TEST_F(ClientSubscription, EmptyPropertyListAndReplacement) {
    ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE));

    h.handle(subscribeRequest("Door_Event", {}));
    h.raise(doorEvent(1));
    std::vector<Message> events;
    ASSERT_TRUE(h.collect(1, &events));
    EXPECT_EQ(events[0], subscribeRequest("Door_Event", {}));

    // A second request for the class replaces the first subscription.
    h.handle(subscribeRequest("Door_Event", {{"Door", "", ""}}));
    EXPECT_EQ(h.client().counters().sinks_destroyed, 1u);
    EXPECT_EQ(h.client().eventSinks().size(), 1u);
    EXPECT_EQ(h.provider().subscriptionCount(), 1u);
    EXPECT_TRUE(h.d_log.contains("EventSink::SetStatus - Call complete. hResult = 0x80041032"));
    h.raise(doorEvent(2, "Gate"));
    events.clear();
    ASSERT_TRUE(h.collect(1, &events));
    EXPECT_EQ(events[0].params_out, (std::vector<Parameter>{{"Door", "Gate", ""}}));
    EXPECT_EQ(h.client().eventSinks().at("Door_Event").event_sink->eventCount(), 1u);
}

TEST_F(ClientSubscription, RefusedSubscriptionsLeaveNoEntry) {
    ASSERT_TRUE(h.start());

    // Before any namespace: ignored without a word.
    EXPECT_TRUE(h.handle(subscribeRequest("Door_Event", {})).empty());
    EXPECT_TRUE(h.client().eventSinks().empty());
    EXPECT_FALSE(h.d_log.contains("Client::createEventSink"));
    ASSERT_TRUE(h.harness().connectNamespace(k_NAMESPACE));

    auto refusal = [](const std::string& className, const std::string& why) {
        Message reply;
        reply.action = e_ACTION_SUBSCRIBE;
        reply.class_name = className;
        reply.method_name = why;
        return reply;
    };
    const Message denied = refusal("Secret_Event", "Access Denied 0x80041003");
    std::vector<Message> replies = h.handle(subscribeRequest("Secret_Event", {{"Door", "", ""}}));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], denied);
    EXPECT_TRUE(
        h.d_log.contains("Client::createEventSink - Failed subscribing for event "
                         "notifications from 'Secret_Event' Permission denied"));

    // Another code is logged but not answered.
    EXPECT_TRUE(h.handle(subscribeRequest("Broken_Event", {})).empty());
    EXPECT_TRUE(
        h.d_log.contains("Failed subscribing for event notifications from "
                         "'Broken_Event' Error code = 0x80041010"));

    // No apartment: the same reply as a refusal.
    wmi::standin::setFault(wmi::standin::Fault::e_CREATE_APARTMENT, E_ACCESSDENIED);
    replies = h.handle(subscribeRequest("Secret_Event", {}));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], denied);
    EXPECT_EQ(h.d_log.count("Client::createEventSink - Failed subscribing for event notifications"),
              3);

    // No stub, of either form: nothing to register, nothing answered.
    wmi::standin::clearFaults();
    wmi::standin::setFault(wmi::standin::Fault::e_CREATE_SINK_STUB, E_OUTOFMEMORY);
    EXPECT_TRUE(h.handle(subscribeRequest("Door_Event", {})).empty());
    wmi::standin::setFault(wmi::standin::Fault::e_CHECKED_APARTMENT, E_NOINTERFACE);
    wmi::standin::setFault(wmi::standin::Fault::e_CREATE_OBJECT_STUB, E_OUTOFMEMORY);
    EXPECT_TRUE(h.handle(subscribeRequest("Door_Event", {})).empty());
    wmi::standin::clearFaults();

    // Every event copies its request: a fat one, or one with too many
    // parameters, is refused with a reply naming why.
    Message fat = subscribeRequest("Door_Event", {{"Door", "", ""}});
    fat.params_in.push_back({"junk", std::string(Client::k_MAX_TEMPLATE_BYTES, 'j'), "str"});
    Message many = subscribeRequest("Door_Event", {});
    many.params_out.assign(Client::k_MAX_TEMPLATE_PARAMS + 1, Parameter{"Door", "", ""});
    for (const auto& [request, why] :
         {std::pair{fat, "Refused: subscription request too large"},
          std::pair{many, "Refused: too many parameters"}}) {
        replies = h.handle(request);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0], refusal("Door_Event", why));
    }
    EXPECT_EQ(h.client().counters().requests_refused, 2u);
    EXPECT_TRUE(h.d_log.contains("Client::createEventSink - Refused: subscription request too "
                                 "large"));

    EXPECT_TRUE(h.client().eventSinks().empty());
    EXPECT_EQ(h.provider().subscriptionCount(), 0u);
    EXPECT_EQ(h.client().counters().sinks_destroyed, 0u);
}

TEST_F(ClientSubscription, ASessionHoldsAtMostItsLimitOfSubscriptions) {
    ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE));
    for (size_t i = 0; i < Client::k_MAX_SUBSCRIPTIONS; ++i) {
        EXPECT_TRUE(h.handle(subscribeRequest("Many_" + std::to_string(i), {})).empty());
    }
    const std::string last = "Many_" + std::to_string(Client::k_MAX_SUBSCRIPTIONS);
    std::vector<Message> replies = h.handle(subscribeRequest(last, {}));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].method_name, "Refused: too many subscriptions");
    // Replacing one that is held is no new subscription.
    EXPECT_TRUE(h.handle(subscribeRequest("Many_0", {{"Door", "", ""}})).empty());
    EXPECT_EQ(h.client().eventSinks().size(), Client::k_MAX_SUBSCRIPTIONS);
    EXPECT_EQ(h.client().eventSinks().count(last), 0u);
}

// The sink's stub lets only WMI call it: another local process cannot forge
// access events.  Where the system has only the unchecked stub it is used,
// with a warning.
TEST_F(ClientSubscription, OnlyWmiMayCallTheSinkWhereTheSystemChecks) {
    ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE));
    wmi::ComPtr<IWbemClassObject> forged;
    h.handle(subscribeRequest("Door_Event", {{"Door", "", ""}}));
    EXPECT_EQ(wmi::standin::forgeIndicate(h.client().eventSinks().at("Door_Event").stub_sink.get(),
                                          forged.get()),
              E_ACCESSDENIED);

    wmi::standin::setFault(wmi::standin::Fault::e_CHECKED_APARTMENT, E_NOINTERFACE);
    h.handle(subscribeRequest("Door_Event", {{"Door", "", ""}}));
    wmi::standin::clearFaults();
    EXPECT_TRUE(
        h.d_log.contains("Client::createEventSink - No access check on the callbacks of "
                         "'Door_Event' (0x80004002)"));
    EXPECT_EQ(wmi::standin::forgeIndicate(h.client().eventSinks().at("Door_Event").stub_sink.get(),
                                          forged.get()),
              S_OK);
    h.raise(doorEvent(1, "Real"));
    std::vector<Message> events;
    ASSERT_TRUE(h.collect(2, &events));
    EXPECT_EQ(events[0].params_out[0].value, "");
    EXPECT_EQ(events[1].params_out[0].value, "Real");
}

// A restart of the WMI service ends every subscription and leaves the old
// proxies dead.  The Client drops them, reconnects the namespace once WMI
// answers again and subscribes anew what the NVR asked for, including a
// request that came during the outage; without subscriptions, the first call
// that fails tells.
TEST_F(ClientSubscription, AWmiRestartIsFollowedByANewSessionWithTheSameSubscriptions) {
    using wmi::standin::Fault;
    ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE));
    h.handle(subscribeRequest("Door_Event", {{"Door", "", ""}}));
    wmi::standin::setFault(Fault::e_CONNECT_SERVER, RPC_S_SERVER_UNAVAILABLE_HR);
    h.provider().restart();
    ASSERT_TRUE(h.harness().runUntil([&] { return h.client().recoveringWmi(); }, Millis(5000)));
    EXPECT_TRUE(h.client().eventSinks().empty());
    EXPECT_EQ(h.client().namespacePath(), k_NAMESPACE);
    EXPECT_TRUE(h.handle(subscribeRequest("Door_Event", {{"Serial", "", ""}})).empty());
    EXPECT_TRUE(h.handle(testutil::lookupRequest("Door_Event", {}, {})).empty());

    wmi::standin::clearFaults();
    testutil::ClientHarness::skip(Client::k_WMI_RECONNECT_MS);
    ASSERT_TRUE(h.harness().runUntil(
        [&] { return !h.client().recoveringWmi() && !h.client().eventSinks().empty(); },
        Millis(5000)));
    h.raise(doorEvent(7));
    std::vector<Message> events;
    ASSERT_TRUE(h.collect(1, &events));
    EXPECT_EQ(events[0].params_out, (std::vector<Parameter>{{"Serial", "7", ""}}));
    EXPECT_TRUE(h.d_log.contains(
        "Client::recoverWmiSession - WMI session lost (0x80041033): reconnecting to 'root\\Test'"));
    EXPECT_TRUE(
        h.d_log.contains("Client::recoverWmiSession - WMI session back: 1 subscriptions "
                         "renewed"));

    h.client().close();
    ASSERT_TRUE(h.harness().connectNamespace(k_NAMESPACE));
    h.provider().restart();
    const uint32_t failed = h.client().counters().lookups_failed;
    h.handle(testutil::lookupRequest("Door_Event", {}, {}));
    EXPECT_EQ(h.client().counters().lookups_failed, failed + 1);
    EXPECT_TRUE(h.d_log.contains("WMI session lost (0x80010108)"));
    ASSERT_TRUE(h.harness().runUntil([&] { return !h.client().recoveringWmi(); }, Millis(5000)));
    EXPECT_EQ(h.client().namespacePath(), k_NAMESPACE);
}

// WMI cancels a subscription only through the proxy that registered it: the
// record keeps that proxy, so neither a failed re-connect (no proxy at all)
// nor a change of namespace leaves a registration behind.
TEST_F(ClientSubscription, CancelledThroughTheRegisteringProxy) {
    ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE));
    h.handle(subscribeRequest("Door_Event", {}));
    h.handle(testutil::namespaceRequest("root\\Nope"));
    ASSERT_TRUE(h.client().namespacePath().empty());
    h.client().close();
    EXPECT_EQ(h.provider().subscriptionCount(), 0u);

    ASSERT_TRUE(h.harness().connectNamespace(k_NAMESPACE));
    h.handle(subscribeRequest("Door_Event", {}));
    ASSERT_TRUE(h.harness().connectNamespace("root\\Other"));
    h.handle(subscribeRequest("Gate_Event", {}));
    EXPECT_EQ(h.provider().subscriptionCount(), 2u);
    // Replaced from the new namespace (where the class is unknown): the old
    // registration still ends.
    h.handle(subscribeRequest("Door_Event", {}));
    EXPECT_EQ(h.client().counters().sinks_destroyed, 1u);
    EXPECT_EQ(h.provider().subscriptionCount(), 1u);
}

TEST_F(ClientSubscription, CloseWhileDeliveriesRun) {
    ASSERT_TRUE(h.startWithNamespace(k_NAMESPACE));
    h.handle(subscribeRequest("Door_Event", {{"Serial", "", ""}}));

    // Events are raised from another thread without pause while the loop
    // drains them and then closes.
    std::atomic<bool> stop{false};
    std::atomic<int> raised{0};
    std::thread raiser([&] {
        while (!stop.load() && raised.load() < 20000) {
            std::string mof;
            for (int i = 0; i < 5; ++i) {
                mof += doorEvent(raised.fetch_add(1));
            }
            h.provider().raiseEvents(mof, nullptr);
        }
    });
    std::vector<Message> events;
    EXPECT_TRUE(h.collect(20, &events, Millis(10000)));
    for (size_t i = 1; i < events.size(); ++i) {
        EXPECT_LT(std::stoi(events[i - 1].params_out[0].value),
                  std::stoi(events[i].params_out[0].value));
    }
    h.client().close();
    EXPECT_TRUE(h.client().eventSinks().empty());
    EXPECT_TRUE(h.client().namespacePath().empty());
    const size_t queuedAtClose = h.client().eventQueueLength();
    // Deliveries after the close go nowhere.
    const int raisedAtClose = raised.load();
    ASSERT_TRUE(
        testutil::waitFor([&] { return raised.load() >= raisedAtClose + 50; }, Millis(10000)));
    stop = true;
    raiser.join();
    EXPECT_TRUE(h.provider().waitForDeliveries(Millis(10000)));
    EXPECT_EQ(h.client().eventQueueLength(), queuedAtClose);
    EXPECT_EQ(h.provider().subscriptionCount(), 0u);
}

}  // namespace
