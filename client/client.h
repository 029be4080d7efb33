// client.h                                                        -*-C++-*-
//
// 'Client', the one application object of the bridge service.  One exists per
// kernel cycle of the service host and lives on the kernel's loop thread.  It
// reads the NVR endpoint from the settings file, keeps the NVR link (connect,
// reconnect, keep-alive), queues outbound messages while the link is down,
// drains the event queue filled by WMI event sinks, watches the settings file,
// polls the service's stop flag and reports statistics every 30 minutes.  Its
// WMI work (namespace, subscriptions, lookups, methods, access-event
// enrichment) lives in the client_*.cpp files beside this one.
//
// Thread safety: loop thread only, except 'queueEvent', which event sinks call
// on WMI's threads.
#ifndef INCLUDED_CLIENT
#define INCLUDED_CLIENT

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client_droplog.h"
#include "client_eventsink.h"
#include "client_security.h"
#include "com_tcpconnection.h"
#include "kern_timers.h"
#include "kutl_filechecker.h"
#include "lnl_message.h"
#include "lnl_packer.h"
#include "wmi_com.h"
#include "wmi_comptr.h"

namespace kern {
class Kernel;
}

// Receives the events of the sinks, on any thread.
class EventSinkOwner {
  public:
    virtual ~EventSinkOwner();
    virtual void queueEvent(const Message& message) = 0;
    // WMI ended the subscription of 'className' with the failure 'hr' (not
    // a cancel of ours): it delivers nothing more.
    virtual void handleSubscriptionEnded(const std::string& className, HRESULT hr) = 0;
};

// The COM references of one subscription.  Released in field order when the
// record goes: the stub before the sink it wraps, the sink cut off from its
// owner before its last reference goes, the services proxy last.
struct EventSinkRecord {
    EventSinkRecord() = default;
    EventSinkRecord(EventSinkRecord&&) = default;
    ~EventSinkRecord();

    wmi::ComPtr<IUnknown> stub_unknown;
    wmi::ComPtr<IUnsecuredApartment> apartment;
    wmi::ComPtr<IWbemObjectSink> stub_sink;
    wmi::ComPtr<EventSink> event_sink;
    // The services proxy the subscription was registered on: WMI cancels it
    // only through that one, whatever namespace is connected since.
    wmi::ComPtr<IWbemServices> services;
};

class Client : public EventSinkOwner,
               public com::TcpConnectionOwner,
               public kern::TimerInterface,
               public NS_LNL::PackerOwner,
               public kutl::FileCheckerOwner {
  public:
    static constexpr const char* k_VERSION = "tag_lumivar_2_1_rc_1_220329-103018";

    // Periods in ms.
    static constexpr int k_KEEPALIVE_MS = 9000;
    static constexpr int k_FIRST_CONNECT_MS = 1000;
    static constexpr int k_RECONNECT_MS = 10000;
    static constexpr int k_EVENT_DRAIN_MS = 50;
    static constexpr int k_STOP_CHECK_MS = 5000;
    static constexpr int64_t k_STATS_MS = 1800000;
    static constexpr int k_SETTINGS_WATCH_MS = 1000;
    // Between two attempts to reconnect a WMI session that was lost.
    static constexpr int k_WMI_RECONNECT_MS = 5000;
    // The longest one wait for WMI holds the loop: a lookup's 'Next' gives
    // up after it (WBEM_S_TIMEDOUT) and the lookup goes on from the next
    // pass, as it does after producing replies for that long.
    static constexpr int k_WMI_WAIT_MS = 500;
    // What one enrichment lookup may wait for its instance in all.
    static constexpr int k_ENRICHMENT_WAIT_MS = 1000;
    // A method runs while the loop goes on: its result is asked for every
    // k_METHOD_POLL_MS without waiting; one that has none after
    // k_METHOD_WAIT_MS (the two minutes WMI itself gives a connect) completes
    // as failed with WBEM_E_TIMED_OUT.
    static constexpr int k_METHOD_POLL_MS = 20;
    static constexpr int k_METHOD_WAIT_MS = 120000;

    // The link's budgets, all in one place (README "Memory bounds").  Each
    // queue is bounded in count and in bytes, whichever is reached first;
    // together they stay well below 128 MiB, whatever the NVR sends or
    // stops reading.
    //
    // Messages waiting for the link while it is down (events only: replies
    // end with the link that asked for them).
    static constexpr size_t k_MAX_MESSAGE_QUEUE = 501;
    static constexpr int64_t k_MAX_MESSAGE_QUEUE_BYTES = 16 * 1024 * 1024;
    static constexpr int k_DRAIN_PER_TICK = 49;
    // Events waiting for the loop; beyond either bound the oldest is dropped.
    // An event is its subscription's template with values filled in (before
    // enrichment), so the template limits below keep one small.
    static constexpr size_t k_MAX_EVENT_QUEUE = 50000;
    static constexpr int64_t k_MAX_EVENT_QUEUE_BYTES = 32 * 1024 * 1024;
    // Requests read while a lookup waits for room; beyond either bound the
    // service stops reading and the NVR waits in TCP flow control.
    static constexpr size_t k_MAX_HELD_REQUESTS = 256;
    static constexpr int64_t k_MAX_HELD_BYTES = 1024 * 1024;
    // Bytes the NVR link may hold unsent; beyond this frames are dropped.
    // Nothing but a single huge reply comes near it: the producers stop at
    // the high-water mark.
    static constexpr int k_MAX_SEND_QUEUE_BYTES = 32 * 1024 * 1024;
    // Flow control of the link.  Above the high-water mark a lookup stops
    // producing replies and the event drain stops; both go on once the link
    // has drained to the low-water mark, requests first.  The high-water
    // mark bounds how long a reply waits behind events: 2 MiB is one second
    // of a slow (2 MB/s) NVR, and still more than one drain tick of events
    // at the full drain rate with 30 KB photos (49 x 41 KB).
    static constexpr int64_t k_LINK_HIGH_WATER = 2 * 1024 * 1024;
    // A link holding bytes that make no progress for this long is dropped.
    static constexpr int64_t k_STALL_MS = 120000;
    // Checks per stall time-out: a stall is found within 5/4 of it.
    static constexpr int k_STALL_CHECKS = 4;
    // Subscriptions: per session, and the size of one template (its
    // parameters come back in every event).
    static constexpr size_t k_MAX_SUBSCRIPTIONS = 64;
    static constexpr size_t k_MAX_TEMPLATE_PARAMS = 64;
    static constexpr int64_t k_MAX_TEMPLATE_BYTES = 16 * 1024;

    // Why a link ended.
    enum class LinkLoss {
        e_PEER_DROP,         // the connection reported down
        e_SETTINGS_CHANGED,  // the settings file changed
        e_PROTOCOL_ERROR,    // the NVR sent what cannot be decoded
        e_STALLED,           // queued bytes made no progress
        e_POLICY_CHANGED,    // endpoint or allow-lists changed
    };

    struct Counters {
        uint32_t lookups_success = 0;
        uint32_t lookups_failed = 0;
        uint32_t execute_success = 0;
        uint32_t execute_failed = 0;
        uint32_t arrays = 0;
        uint64_t total_image_size = 0;
        uint32_t get_all_info = 0;
        uint32_t card_id = 0;
        uint32_t person_id = 0;
        uint32_t photo = 0;
        uint32_t sinks_destroyed = 0;
        uint32_t array_failed = 0;
        // Losses beyond the queue bounds, never silent.
        uint64_t events_dropped = 0;
        uint64_t frames_dropped = 0;
        uint64_t messages_discarded = 0;
        // What ended with a link.
        uint64_t links_lost = 0;
        uint64_t lookups_abandoned = 0;
        uint64_t methods_abandoned = 0;
        uint64_t requests_dropped = 0;
        uint64_t replies_dropped = 0;
        uint64_t protocol_errors = 0;
        uint64_t links_stalled = 0;
        uint64_t requests_refused = 0;
    };

    // CREATORS
    // 'stopMutex' and 'stopRequested' belong to the service host.
    Client(std::mutex* stopMutex, unsigned char* stopRequested);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // MANIPULATORS
    // Prepares COM on this thread and creates the WMI locator; arms the stop
    // check and, on success, the first connect.  False: rebuild later.
    bool start();

    // Reads the settings and opens a new NVR connection.
    void connectToNVR();

    // Sends 'message' now, or queues it (at most 501) while the link is down.
    void sendToServer(const Message& message);

    // Cancels every subscription and releases the namespace.
    void close();

    // Logs the statistics report.
    void printStats();

    // Ends the current link, whatever ended it: closes the connection if
    // still open, and everything tied to the link goes with it (the waiting
    // lookup, held requests, queued replies, the event drain), each counted.
    // The decoder starts afresh; the next connect comes after the reconnect
    // period.  Events stay queued for the next link.
    void linkLost(LinkLoss reason);

    // Bytes the NVR link may hold unsent (default k_MAX_SEND_QUEUE_BYTES);
    // a limit below four high-water marks lowers the marks with it.
    void setSendQueueLimit(int64_t bytes) { d_send_queue_limit = bytes; }
    // How long queued bytes may make no progress (default k_STALL_MS); takes
    // effect at the next link up.
    void setStallTimeout(int64_t ms) { d_stall_ms = ms; }

    // EventSinkOwner (any thread)
    void queueEvent(const Message& message) override;
    void handleSubscriptionEnded(const std::string& className, HRESULT hr) override;

    // The codes with which WMI says the session is gone (its service
    // restarted): RPC_E_DISCONNECTED, RPC_S_SERVER_UNAVAILABLE,
    // WBEM_E_SHUTTING_DOWN.
    static bool isSessionLost(HRESULT hr);

    // ACCESSORS
    const std::string& namespacePath() const { return d_namespace_path; }
    bool linkUp() const { return d_link_up; }
    const Counters& counters() const { return d_counters; }
    // The period the statistics report is armed with, in ms.
    int64_t statsPeriod() const { return d_stats_timer.timerId().period(); }
    size_t messageQueueLength() const { return d_message_queue.size(); }
    int64_t messageQueueBytes() const { return d_message_queue_bytes; }
    size_t heldRequests() const { return d_deferred_requests.size(); }
    bool lookupWaiting() const { return static_cast<bool>(d_lookup_enumerator); }
    // A method's WMI call is still running.
    bool methodWaiting() const { return static_cast<bool>(d_method_call); }
    size_t eventQueueLength() const;
    int64_t eventQueueBytes() const;
    // Events dropped at the queue's bound (any thread).
    uint64_t eventsDropped() const;
    const std::map<std::string, EventSinkRecord>& eventSinks() const { return d_event_sinks; }
    // The session is being reconnected after WMI went away.
    bool recoveringWmi() const { return d_recovering_wmi; }
    const std::string& nvrAddress() const { return d_nvr_address; }
    // What the NVR may reach, as read with the endpoint.
    const SecurityPolicy& securityPolicy() const { return d_policy; }
    int nvrPort() const { return d_nvr_port; }
    com::TcpConnection* connection() const { return d_connection.get(); }
    // The settings file: <data folder>/Tessarin/Lumivar/Settings.
    static std::string settingsFolder();
    static std::string settingsPath();

    // WMI work, one request each (loop thread).
    bool connectToNamespace(const Message& message);
    void createEventSink(const Message& request);
    void lookupInstancesOfClass(const Message& request);
    void getInfo(Message& lookup);
    void executeMethod(const Message& request);
    Message getAllAccessEventInfo(const Message& event);
    void sendStatus();

    // "SELECT * FROM <class>" with " WHERE"/" AND" " name = 'value'" for every
    // input parameter whose name and value are both set.
    static std::string buildQuery(const Message& lookup);

    // PackerOwner
    void handleProcessData(const Message& message) override;
    void handleProtocolError(const std::string& what) override;
    void handleBadFrame(const std::string& what) override;

  private:
    // TcpConnectionOwner
    void handleConnectionUp(com::TcpConnection* connection) override;
    void handleConnectionDown(com::TcpConnection* connection, const std::string& peer, int error,
                              const std::string& reason) override;
    void handleReceivedData(com::TcpConnection* connection, const core::GSharedBuf& data) override;
    void handleSendQueueEmpty(com::TcpConnection* connection) override;
    void handleSendLowWater(com::TcpConnection* connection, int64_t queuedBytes) override;

    // TimerInterface
    bool handleTimeout(int64_t id) override;

    // FileCheckerOwner
    void handleFileChanged(kutl::FileChecker* checker, int kind, const std::string& path) override;

    void dispatch(const Message& message);
    // Answers 'request', whose 'field' holds a control character, as refused.
    void refuseRequest(const Message& request, const char* field);
    // Sends the replies of the current lookup until it ends or the link is
    // full (or down); then it waits, and reading from the NVR with it.
    void continueLookup();
    void endLookup();
    // The one scheduler of the link: the waiting lookup, then the requests
    // held behind it, then (only when no request waits) the event drain.
    void pumpLink();
    // Goes on with the waiting lookup, then the requests behind it; reads
    // from the NVR while the held requests are within their budget.
    void resumeRequests();
    // The link holds more than its high-water mark.
    bool linkFull() const;
    // The link has drained to its low-water mark.
    bool linkDrained() const;
    // The marks: k_LINK_HIGH_WATER, or a quarter of a smaller send queue
    // limit; the low-water mark is half the high one.
    int64_t highWater() const;
    int64_t lowWater() const;
    void checkStall();
    // Reads endpoint and allow-lists from the settings file when it is
    // trusted; otherwise keeps what was read last (client_security.cpp).
    void readSettings();
    // While the settings are refused: once they are protected again, they
    // count as changed.
    void recheckSettingsTrust();
    // A change of endpoint or allow-lists since the last connect ends the
    // WMI session and drops what waited for the old NVR; a plain reconnect
    // keeps both.
    void endSessionIfRevoked();
    void sendKeepalive();
    void drainEventQueue();
    void checkStop();
    // What a wake of the loop is for: a stop, or a subscription WMI ended.
    void handleWake();
    // After a WMI call: a code of a lost session starts the recovery.
    void noteWmiResult(HRESULT hr);
    // Drops the dead session and its subscriptions (remembering what the NVR
    // asked for) and arms the recovery (client_wmisession.cpp).
    void loseWmiSession(HRESULT hr);
    // Reconnects the namespace the NVR chose and subscribes again; retried
    // every k_WMI_RECONNECT_MS until it succeeds.
    void recoverWmiSession();
    void endWmiRecovery();
    // Keeps 'request' for the renewal (the latest per class).
    void rememberSubscription(const Message& request);
    // 'event', when the frame carries one, is noted for the drop log.
    void sendFrame(const core::GSharedBuf& frame, const Message* event = nullptr);
    // Forgets the event frames the link has written whole, remembering the
    // serial of the last.
    void noteWritten();
    // Writes the serials of the events lost since the last call, by site.
    void flushDropLogs();
    // Cancels the subscription through the proxy that registered it.
    static void cancelRecord(const EventSinkRecord& record);
    // Runs the WQL query of 'lookup' and secures the enumerator; null (after
    // the WARN lines) when either step fails.
    wmi::ComPtr<IEnumWbemClassObject> runQuery(const Message& lookup, const char* tag);
    // Converts a property value to text: strings as they are, byte arrays in
    // Base64, integers up to 32 bits in decimal; false for any other type.
    // 'branch' names the conversion taken.
    bool convertValue(const VARIANT& value, std::string* text, const char** branch);
    std::string arrayToText(const VARIANT& value);
    void finishMethod(Message& reply, bool success, const std::string& failure);
    // Method execution in steps (client_method.cpp): the class definition,
    // then the execution.  Each WMI call is semisynchronous; its result is
    // polled from the loop, which serves everything else meanwhile.
    enum class MethodStep { e_CLASS, e_EXECUTE };
    // After the call of 'step': waits for 'call', or goes on at once with
    // 'hr' and 'object' (a failure, or a WMI that answered synchronously).
    void awaitMethodStep(MethodStep step, HRESULT hr, wmi::ComPtr<IWbemClassObject> object,
                         wmi::ComPtr<IWbemCallResult> call);
    void methodStepDone(MethodStep step, HRESULT hr, wmi::ComPtr<IWbemClassObject> object);
    // Builds the input object from the signature in 'classObject' (null: no
    // inputs) and starts the execution.
    void runMethod(IWbemClassObject* classObject, HRESULT lastCode);
    void pollMethod();
    void methodTimedOut();
    // Completes the current method as "Failed" with 'failure'.
    void failMethod(const std::string& failure);
    // Drops the current method: its call, its timers and its reply.
    void endMethod();
    void printSinkStats();

    wmi::ComPtr<IWbemServices> d_services;
    wmi::ComPtr<IWbemLocator> d_locator;
    std::unique_ptr<com::TcpConnection> d_connection;
    mutable std::mutex d_event_queue_mutex;
    std::mutex* d_stop_mutex;
    unsigned char* d_stop_requested;
    kern::TimerId d_keepalive_timer;
    kern::TimerId d_connect_timer;
    kern::TimerId d_event_queue_timer;
    kern::TimerId d_stop_check_timer;
    kern::TimerId d_trust_recheck_timer;
    kern::TimerId d_stall_timer;
    kern::TimerId d_wmi_recovery_timer;
    // Resumes a lookup that yielded the loop to a slow provider.
    kern::TimerId d_lookup_wait_timer;
    // Polls the running method, and bounds it.
    kern::TimerId d_method_poll_timer;
    kern::TimerId d_method_wait_timer;
    // The loop's kernel, which a sink wakes from WMI's thread (set by 'start').
    kern::Kernel* d_kernel = nullptr;
    // A failure a sink reported, for the loop (S_OK: none).
    std::atomic<HRESULT> d_subscription_end{S_OK};
    bool d_recovering_wmi = false;
    // The subscription requests to renew once the session is back.
    std::vector<Message> d_lost_subscriptions;
    kern::RepeatTimer d_stats_timer;
    std::string d_nvr_address;
    int d_nvr_port = 0;
    bool d_link_up = false;
    NS_LNL::Packer d_packer;
    std::map<std::string, EventSinkRecord> d_event_sinks;
    std::string d_namespace_path;
    std::deque<Message> d_message_queue;
    int64_t d_message_queue_bytes = 0;
    std::deque<Message> d_event_queue;
    int64_t d_event_queue_bytes = 0;  // under the event-queue mutex
    std::unique_ptr<kutl::FileChecker> d_settings_watch;
    Counters d_counters;
    // The serials of lost events, one log per site and cause, so that each
    // gap the NVR sees can be tied to its cause.  The first is guarded by
    // the event-queue mutex.
    DropLog d_event_drops{"Client::queueEvent", "event queue full"};
    DropLog d_discards{"Client::sendToServer", "message queue full"};
    DropLog d_send_drops{"Client::sendToServer", "NVR not reading"};
    DropLog d_session_drops{"Client::linkLost", "session ended"};
    DropLog d_close_drops{"Client::linkLost", "queued on the lost link"};
    // The event frames handed to the link and not yet written whole: where
    // each ends in the link's byte stream, and its serial.
    struct LinkFrame {
        int64_t end;
        uint64_t serial;
        bool numbered;
    };
    std::deque<LinkFrame> d_link_frames;
    // The serial of the last event written whole to the current link.
    uint64_t d_last_written_serial = 0;
    bool d_written_serial = false;
    // The lookup whose replies wait for the link to drain (null: none), and
    // the requests that arrived behind it.
    wmi::ComPtr<IEnumWbemClassObject> d_lookup_enumerator;
    Message d_lookup_request;
    Message d_lookup_reply;
    std::deque<Message> d_deferred_requests;
    int64_t d_deferred_bytes = 0;
    // The method whose WMI call runs (null: none), the step it is in and the
    // reply it completes; requests behind it are held as behind a lookup.
    wmi::ComPtr<IWbemCallResult> d_method_call;
    MethodStep d_method_step = MethodStep::e_CLASS;
    Message d_method_reply;
    // Stall detection: bytes sent when last checked, and the checks since
    // the last progress.
    int64_t d_stall_ms = k_STALL_MS;
    int64_t d_stall_sent = -1;
    int d_stall_checks = 0;
    SecurityPolicy d_policy;
    bool d_policy_logged = false;
    std::string d_settings_text;  // the settings file as read last
    // The endpoint and lists of the last connect: the WMI session's terms.
    std::string d_session_nvr_address;
    int d_session_nvr_port = 0;
    SecurityPolicy d_session_policy;
    bool d_session_started = false;
    std::string d_trust_problem;  // why the settings were refused last
    int64_t d_send_queue_limit = k_MAX_SEND_QUEUE_BYTES;
};

#endif
