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
    if (kern::Kernel* kernel = kern::Kernel::current()) {
        kernel->setWakeHandler([this] { checkStop(); });
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
        LOG_CRIT(tag, "Namespace '%s' refused: not in Namespaces of section Security",
                 message.class_name);
        return false;
    }
    wmi::Bstr path = wmi::toBstr(message.class_name);
    HRESULT hr = d_locator->ConnectServer(path.get(), nullptr, nullptr, nullptr, 0, nullptr,
                                          nullptr, d_services.out());
    if (FAILED(hr)) {
        d_services.reset();
        LOG_CRIT(tag, "Could not connect to namespace '%s'. Error code = 0x%x", message.class_name,
                 static_cast<uint32_t>(hr));
        return false;
    }
    LOG_INFO(tag, "Connected to namespace '%s'", message.class_name);

    hr = CoSetProxyBlanket(d_services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                           RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hr)) {
        LOG_CRIT(tag, "Could not set proxy blanket. Security problem. Error code = 0x%x",
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
    d_deferred_requests.clear();
    // Each subscription is cancelled and released before the next one.
    while (!d_event_sinks.empty()) {
        cancelRecord(d_event_sinks.begin()->second);
        d_event_sinks.erase(d_event_sinks.begin());
    }
    // The subscriptions hold the services proxy too: it goes after them.
    d_services.reset();
    d_namespace_path.clear();
}
