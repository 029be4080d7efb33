#include "client_eventsink.h"

#include "client.h"
#include "client_variant.h"
#include "core_v2masterlogger.h"

EventSink::EventSink(const Message& request) : d_template(request) {}

EventSink::~EventSink() = default;

void EventSink::setOwner(EventSinkOwner* owner) {
    std::lock_guard<std::mutex> lock(d_owner_mutex);
    d_owner = owner;
}

HRESULT STDMETHODCALLTYPE EventSink::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_IWbemObjectSink) {
        *ppv = static_cast<IWbemObjectSink*>(this);
        AddRef();
        return WBEM_S_NO_ERROR;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE EventSink::AddRef() {
    return static_cast<ULONG>(++d_ref_count);
}

ULONG STDMETHODCALLTYPE EventSink::Release() {
    LONG count = --d_ref_count;
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE EventSink::Indicate(long lObjectCount, IWbemClassObject** apObjArray) {
    d_event_count.fetch_add(1, std::memory_order_relaxed);
    if (lObjectCount <= 0 || !apObjArray) {
        return WBEM_S_NO_ERROR;
    }
    for (LONG i = 0; i < lObjectCount; ++i) {
        IWbemClassObject* object = apObjArray[i];
        Message event = d_template;
        for (Parameter& p : event.params_out) {
            if (object) {
                eventValueOf(object, p);
            }
        }
        std::lock_guard<std::mutex> lock(d_owner_mutex);
        if (d_owner) {
            d_owner->queueEvent(event);
        }
    }
    return WBEM_S_NO_ERROR;
}

HRESULT STDMETHODCALLTYPE EventSink::SetStatus(long lFlags, HRESULT hResult, BSTR,
                                               IWbemClassObject*) {
    const char* tag = "EventSink::SetStatus";
    LOG_INFO(tag, "0x%x", static_cast<uint32_t>(lFlags));
    if (lFlags == WBEM_STATUS_COMPLETE) {
        LOG_INFO(tag, "Call complete. hResult = 0x%X\n", static_cast<uint32_t>(hResult));
        // Cancelled by us, it is no news; any other failure means WMI ended
        // the subscription and nothing more will come.
        if (FAILED(hResult) && hResult != static_cast<HRESULT>(WBEM_E_CALL_CANCELLED)) {
            std::lock_guard<std::mutex> lock(d_owner_mutex);
            if (d_owner) {
                d_owner->handleSubscriptionEnded(d_template.class_name, hResult);
            }
        }
    } else if (lFlags == WBEM_STATUS_PROGRESS) {
        LOG_INFO(tag, "Call in progress.\n");
    }
    return WBEM_S_NO_ERROR;
}
