// Event subscriptions of the Client: one EventSink per event class, registered
// with an asynchronous notification query through an unsecured apartment.

#include "client.h"
#include "client_eventsink.h"
#include "core_assert.h"
#include "core_v2masterlogger.h"

namespace {

Message refusalReply(const Message& request, const std::string& why) {
    Message reply;
    reply.action = request.action;
    reply.class_name = request.class_name;
    reply.method_name = why;
    return reply;
}

Message accessDeniedReply(const Message& request) {
    return refusalReply(request, "Access Denied 0x80041003");
}

// Why a subscription request is refused, or null.  Every event of the
// subscription is a copy of its request (the NVR gets its own parameters
// back), so the request's size is what each event costs.
const char* templateProblem(const Message& request, size_t subscriptions, bool replacing) {
    if (!replacing && subscriptions >= Client::k_MAX_SUBSCRIPTIONS) {
        return "Refused: too many subscriptions";
    }
    if (request.params_in.size() + request.params_out.size() > Client::k_MAX_TEMPLATE_PARAMS) {
        return "Refused: too many parameters";
    }
    if (messageBytes(request) > Client::k_MAX_TEMPLATE_BYTES) {
        return "Refused: subscription request too large";
    }
    return nullptr;
}

}  // namespace

void Client::createEventSink(const Message& request) {
    const char* tag = "Client::createEventSink";
    if (!CHECKF(request.action == e_ACTION_SUBSCRIBE, "%d", request.action)) {
        return;
    }
    if (d_recovering_wmi) {
        rememberSubscription(request);
        return;
    }
    if (d_namespace_path.empty() || !d_services) {
        return;
    }
    if (!d_policy.allowsNamespace(d_namespace_path)) {
        LOG_WARN(tag,
                 "Subscription to '%s' refused: namespace '%s' is not in Namespaces of "
                 "section Security",
                 request.class_name, d_namespace_path);
        sendToServer(accessDeniedReply(request));
        return;
    }
    auto existing = d_event_sinks.find(request.class_name);
    if (const char* problem =
            templateProblem(request, d_event_sinks.size(), existing != d_event_sinks.end())) {
        ++d_counters.requests_refused;
        core::MasterLogger::logRate(6, core::LOG_WARN, tag, [&] {
            return core::strFormat("%s - %s (%d bytes, %d parameters)", tag, problem,
                                   messageBytes(request),
                                   request.params_in.size() + request.params_out.size());
        });
        sendToServer(refusalReply(request, problem));
        return;
    }
    if (existing != d_event_sinks.end()) {
        cancelRecord(existing->second);
        d_event_sinks.erase(existing);
        ++d_counters.sinks_destroyed;
    }

    // The record releases what it holds, on every way out of here.
    EventSinkRecord record;
    record.event_sink = wmi::ComPtr<EventSink>(new EventSink(request));
    record.event_sink->setOwner(this);
    record.event_sink->AddRef();

    HRESULT hr =
        CoCreateInstance(CLSID_UnsecuredApartment, nullptr, CLSCTX_LOCAL_SERVER,
                         IID_IUnsecuredApartment, reinterpret_cast<void**>(record.apartment.out()));
    if (FAILED(hr) || !record.apartment) {
        LOG_CRIT(tag, "Failed subscribing for event notifications");
        sendToServer(accessDeniedReply(request));
        return;
    }

    // The checked stub lets only WMI's account call the sink, so that no
    // other local process can forge access events; a system without it
    // gets the unchecked stub, as the platform documents.
    wmi::ComPtr<IWbemUnsecuredApartment> checked;
    hr = record.apartment->QueryInterface(IID_IWbemUnsecuredApartment,
                                          reinterpret_cast<void**>(checked.out()));
    if (SUCCEEDED(hr) && checked) {
        hr = checked->CreateSinkStub(record.event_sink.get(), WBEM_FLAG_UNSECAPP_CHECK_ACCESS,
                                     nullptr, record.stub_sink.out());
    } else {
        LOG_WARN(tag, "No access check on the callbacks of '%s' (0x%x)", request.class_name,
                 static_cast<uint32_t>(hr));
        hr = record.apartment->CreateObjectStub(record.event_sink.get(), record.stub_unknown.out());
        if (SUCCEEDED(hr) && record.stub_unknown) {
            hr = record.stub_unknown->QueryInterface(
                IID_IWbemObjectSink, reinterpret_cast<void**>(record.stub_sink.out()));
        }
    }
    if (FAILED(hr) || !record.stub_sink) {
        // Without a stub sink there is nothing WMI could call.
        LOG_RATE_SITE(6, core::LOG_CRIT, tag,
                      "Failed subscribing for event notifications from '%s' Error code = 0x%x",
                      core::logSafe(request.class_name), static_cast<uint32_t>(hr));
        return;
    }

    std::string query = core::strFormat("SELECT * FROM %s", request.class_name);
    wmi::Bstr language = wmi::toBstr("WQL");
    wmi::Bstr queryText = wmi::toBstr(query);
    hr = d_services->ExecNotificationQueryAsync(
        language.get(), queryText.get(), WBEM_FLAG_SEND_STATUS, nullptr, record.stub_sink.get());
    noteWmiResult(hr);
    if (d_recovering_wmi) {
        rememberSubscription(request);
        return;
    }
    if (SUCCEEDED(hr)) {
        LOG_INFO(tag, "Successfully registered for notifications from '%s'",
                 core::logSafe(request.class_name));
        record.services = d_services;
        d_event_sinks.emplace(request.class_name, std::move(record));
        return;
    }
    if (hr == static_cast<HRESULT>(WBEM_E_ACCESS_DENIED)) {
        LOG_RATE_SITE(6, core::LOG_CRIT, tag,
                      "Failed subscribing for event notifications from '%s' Permission denied",
                      core::logSafe(request.class_name));
        sendToServer(accessDeniedReply(request));
    } else {
        LOG_RATE_SITE(6, core::LOG_CRIT, tag,
                      "Failed subscribing for event notifications from '%s' Error code = 0x%x",
                      core::logSafe(request.class_name), static_cast<uint32_t>(hr));
    }
}

void Client::rememberSubscription(const Message& request) {
    for (Message& lost : d_lost_subscriptions) {
        if (lost.class_name == request.class_name) {
            lost = request;
            return;
        }
    }
    d_lost_subscriptions.push_back(request);
}

void Client::printSinkStats() {
    for (const auto& entry : d_event_sinks) {
        const EventSink* sink = entry.second.event_sink.get();
        LOG_INFO("Client::printStats", "%s received %u events", core::logSafe(entry.first),
                 sink ? sink->eventCount() : 0u);
    }
}
