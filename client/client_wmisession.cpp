// The WMI session of the Client: COM on the loop thread, the locator, the
// namespace connection, and the release of everything at close.

#include "client.h"
#include "client_eventsink.h"
#include "core_v2masterlogger.h"
#include "kern_kernel.h"

bool Client::start() {
    const char* tag = "Client::start";
    restartTimer(d_stop_check_timer, k_STOP_CHECK_MS);
    // The service host wakes the loop when a stop arrives; the timer is
    // what is left if the wake is lost.
    d_kernel = kern::Kernel::current();
    if (d_kernel) {
        d_kernel->setWakeHandler([this] { handleWake(); });
    }

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        LOG_CRIT(tag, "Failed to initialize COM library. Error code = 0x%x",
                 static_cast<uint32_t>(hr));
        return false;
    }
    LOG_NORM(tag, "COM Library initialized");

    hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    // Process security can be set once per process; a rebuilt Client finds
    // it already in place, which is what it asked for.
    if (FAILED(hr) && hr != RPC_E_TOO_LATE) {
        LOG_CRIT(tag, "Failed to initialize security. Error code = 0x%x",
                 static_cast<uint32_t>(hr));
        CoUninitialize();
        return false;
    }
    LOG_NORM(tag, "CoInitializeSecurity succeeded");

    hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                          reinterpret_cast<LPVOID*>(d_locator.out()));
    if (FAILED(hr)) {
        d_locator.reset();  // no COM reference may outlive CoUninitialize
        LOG_CRIT(tag, "Failed to create IWbemLocator object. Error code = 0x%x",
                 static_cast<uint32_t>(hr));
        CoUninitialize();
        return false;
    }
    LOG_NORM(tag, "CoCreateInstance Succeeded");

    restartTimer(d_connect_timer, k_FIRST_CONNECT_MS);
    return true;
}

bool Client::connectToNamespace(const Message& message) {
    const char* tag = "Client::connectToNamespace";
    if (message.action != e_ACTION_NAMESPACE || !d_locator) {
        return false;
    }
    d_services.reset();
    if (!d_policy.allowsNamespace(message.class_name)) {
        LOG_RATE_SITE(6, core::LOG_CRIT, tag,
                      "Namespace '%s' refused: not in Namespaces of section Security",
                      core::logSafe(message.class_name));
        return false;
    }
    wmi::Bstr path = wmi::toBstr(message.class_name);
    // Without the flag a WMI that does not answer holds the loop for good;
    // with it for at most the two minutes the platform promises.
    HRESULT hr = d_locator->ConnectServer(path.get(), nullptr, nullptr, nullptr,
                                          WBEM_FLAG_CONNECT_USE_MAX_WAIT, nullptr, nullptr,
                                          d_services.out());
    if (FAILED(hr)) {
        d_services.reset();
        LOG_RATE_SITE(6, core::LOG_CRIT, tag,
                      "Could not connect to namespace '%s'. Error code = 0x%x",
                      core::logSafe(message.class_name), static_cast<uint32_t>(hr));
        return false;
    }
    LOG_INFO(tag, "Connected to namespace '%s'", core::logSafe(message.class_name));

    hr = CoSetProxyBlanket(d_services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                           RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hr)) {
        LOG_RATE_SITE(6, core::LOG_CRIT, tag,
                      "Could not set proxy blanket. Security problem. Error code = 0x%x",
                      static_cast<uint32_t>(hr));
        d_services.reset();
        return false;
    }
    return true;
}

void Client::cancelRecord(const EventSinkRecord& record) {
    if (record.stub_sink && record.services) {
        record.services->CancelAsyncCall(record.stub_sink.get());
    }
}

EventSinkRecord::~EventSinkRecord() {
    stub_unknown.reset();
    apartment.reset();
    stub_sink.reset();
    if (event_sink) {
        // Late deliveries must no longer reach the owner.
        event_sink->setOwner(nullptr);
        event_sink.reset();
    }
    services.reset();
}

void Client::close() {
    LOG_INFO("Client::close", "Wrapper closing connections to WMI");
    // A lookup still waiting for the link ends unanswered, and so do the
    // requests behind it: they belong to the namespace being dropped.
    endLookup();
    if (d_method_call) {
        ++d_counters.methods_abandoned;
    }
    endMethod();
    d_deferred_requests.clear();
    // Each subscription is cancelled and released before the next one.
    while (!d_event_sinks.empty()) {
        cancelRecord(d_event_sinks.begin()->second);
        d_event_sinks.erase(d_event_sinks.begin());
    }
    // The subscriptions hold the services proxy too: it goes after them.
    d_services.reset();
    d_namespace_path.clear();
    endWmiRecovery();
}

// ---------------------------------------------------------------------------
// A WMI service that went away (a restart, for an update): its proxies and
// subscriptions are dead, so they are dropped and made anew.

bool Client::isSessionLost(HRESULT hr) {
    constexpr HRESULT k_RPC_DISCONNECTED = static_cast<HRESULT>(0x80010108u);
    constexpr HRESULT k_RPC_SERVER_UNAVAILABLE = static_cast<HRESULT>(0x800706BAu);
    return hr == k_RPC_DISCONNECTED || hr == k_RPC_SERVER_UNAVAILABLE ||
           hr == static_cast<HRESULT>(WBEM_E_SHUTTING_DOWN);
}

void Client::handleSubscriptionEnded(const std::string& className, HRESULT hr) {
    LOG_WARN("Client::handleSubscriptionEnded", "WMI ended the subscription of '%s': 0x%x",
             className, static_cast<uint32_t>(hr));
    HRESULT none = S_OK;
    d_subscription_end.compare_exchange_strong(none, hr);
    if (d_kernel) {
        d_kernel->wake();
    }
}

void Client::handleWake() {
    checkStop();
    const HRESULT ended = d_subscription_end.exchange(S_OK);
    if (FAILED(ended)) {
        // Whatever ended it, the subscription is gone: the session is
        // renewed as after a lost connection.
        loseWmiSession(ended);
    }
}

void Client::noteWmiResult(HRESULT hr) {
    if (isSessionLost(hr)) {
        loseWmiSession(hr);
    }
}

void Client::loseWmiSession(HRESULT hr) {
    if (d_recovering_wmi || d_namespace_path.empty()) {
        return;
    }
    LOG_WARN("Client::recoverWmiSession", "WMI session lost (0x%x): reconnecting to '%s'",
             static_cast<uint32_t>(hr), d_namespace_path);
    d_recovering_wmi = true;
    while (!d_event_sinks.empty()) {
        d_lost_subscriptions.push_back(d_event_sinks.begin()->second.event_sink->eventTemplate());
        cancelRecord(d_event_sinks.begin()->second);
        d_event_sinks.erase(d_event_sinks.begin());
    }
    d_services.reset();
    // The first attempt on the next pass, outside the call that failed.
    restartTimer(d_wmi_recovery_timer, 0);
}

void Client::recoverWmiSession() {
    Message connect;
    connect.action = e_ACTION_NAMESPACE;
    connect.class_name = d_namespace_path;
    if (!connectToNamespace(connect)) {
        restartTimer(d_wmi_recovery_timer, k_WMI_RECONNECT_MS);
        return;
    }
    killTimer(d_wmi_recovery_timer);
    d_recovering_wmi = false;
    std::vector<Message> renew;
    renew.swap(d_lost_subscriptions);
    for (const Message& request : renew) {
        createEventSink(request);
    }
    LOG_INFO("Client::recoverWmiSession", "WMI session back: %u subscriptions renewed",
             static_cast<uint32_t>(renew.size()));
}

void Client::endWmiRecovery() {
    d_recovering_wmi = false;
    d_lost_subscriptions.clear();
    killTimer(d_wmi_recovery_timer);
}
