// client_eventsink.h                                              -*-C++-*-
//
// 'EventSink', the COM callback object of one event subscription.  WMI calls
// 'Indicate' on its own threads with the raised objects; each object becomes a
// copy of the subscription's template message with the wanted property values
// filled in, handed to the owner's 'queueEvent'.  The owner is cleared before
// the owner lets go of the sink, so that late deliveries go nowhere.
//
// Thread safety: 'Indicate', 'SetStatus' and the reference counting may run on
// any thread; 'setOwner' on the loop thread.  The owner pointer is read and
// cleared under a lock of the sink, so a delivery never reaches an owner that
// has let go.
#ifndef INCLUDED_CLIENT_EVENTSINK
#define INCLUDED_CLIENT_EVENTSINK

#include <atomic>
#include <cstdint>
#include <mutex>

#include "lnl_message.h"
#include "wmi_com.h"

class EventSinkOwner;

class EventSink final : public IWbemObjectSink {
  public:
    // CREATORS
    // A sink with count 0 and no owner; 'request' is the template of events.
    explicit EventSink(const Message& request);

    // MANIPULATORS
    // Sets or clears (null) the receiver of events.
    void setOwner(EventSinkOwner* owner);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IWbemObjectSink
    HRESULT STDMETHODCALLTYPE Indicate(long lObjectCount, IWbemClassObject** apObjArray) override;
    HRESULT STDMETHODCALLTYPE SetStatus(long lFlags, HRESULT hResult, BSTR strParam,
                                        IWbemClassObject* pObjParam) override;

    // ACCESSORS
    const Message& eventTemplate() const { return d_template; }
    uint32_t eventCount() const { return d_event_count.load(std::memory_order_relaxed); }

  private:
    ~EventSink();

    std::atomic<LONG> d_ref_count{0};
    std::mutex d_owner_mutex;
    EventSinkOwner* d_owner = nullptr;
    Message d_template;
    std::atomic<uint32_t> d_event_count{0};
};

#endif
