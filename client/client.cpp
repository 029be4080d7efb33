#include "client.h"
#include "client_tasklist.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "core_v2masterlogger.h"
#include "cutl_environment.h"
#include "kern_kernel.h"
#include "utl_fileutils.h"

EventSinkOwner::~EventSinkOwner() = default;

namespace {

// Fixed numbers in the log that operators grep for: never __LINE__, which moves.
namespace client_loc {
constexpr const char* k_STATS_TIMER = "client:109";
}  // namespace client_loc

// The statistics period: k_STATS_MS, or LUMIVAR_STATS_PERIOD_MS when that holds
// a positive number of milliseconds (soak runs read the counters every minute
// instead of every half hour).  Anything else keeps the default.
int64_t statsPeriodMs() {
    const char* text = std::getenv("LUMIVAR_STATS_PERIOD_MS");
    if (text == nullptr || *text == '\0') {
        return Client::k_STATS_MS;
    }
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (*end != '\0' || value <= 0) {
        return Client::k_STATS_MS;
    }
    return value;
}

}  // namespace

Client::Client(std::mutex* stopMutex, unsigned char* stopRequested)
    : d_stop_mutex(stopMutex),
      d_stop_requested(stopRequested),
      d_stats_timer(client_loc::k_STATS_TIMER,
                    [this] {
                        printStats();
                        return true;
                    }),
      d_packer(this, NS_LNL::Packer::k_MAX_REQUEST_PAYLOAD) {
    LOG_INFO("Client::Client", "");
    d_settings_watch =
        std::make_unique<kutl::FileChecker>(settingsPath(), this, k_SETTINGS_WATCH_MS);
    d_stats_timer.start(statsPeriodMs());
}

Client::~Client() {
    LOG_INFO("Client::~Client", "");
    if (kern::Kernel* kernel = kern::Kernel::current()) {
        kernel->setWakeHandler(nullptr);
    }
    flushDropLogs();
    close();
    // The locator goes after the namespace it opened (in 'close') and before
    // the rest of the Client.
    d_locator.reset();
}

std::string Client::settingsFolder() {
    return cutl::productDataDir();
}

std::string Client::settingsPath() {
    return cutl::settingsFilePath();
}

// ---------------------------------------------------------------------------
// NVR link

void Client::connectToNVR() {
    const std::string folder = settingsFolder();
    if (!utl::FileUtils::isDirectory(folder) && !utl::FileUtils::createDir(folder)) {
        LOG_CRIT("Client::connectToNVR", "Could not create directory [%s]", folder);
    }
    readSettings();
    endSessionIfRevoked();
    // Named after the read, so the line shows the endpoint actually tried.
    LOG_NORM("Client::connectToNVR", "Attempting to connect to NVR at %s:%d", d_nvr_address,
             d_nvr_port);
    d_connection = std::make_unique<com::TcpConnection>(this);
    d_connection->connectTo(d_nvr_address, d_nvr_port);
}

void Client::endSessionIfRevoked() {
    const bool changed = d_session_nvr_address != d_nvr_address ||
                         d_session_nvr_port != d_nvr_port || d_session_policy != d_policy;
    d_session_nvr_address = d_nvr_address;
    d_session_nvr_port = d_nvr_port;
    d_session_policy = d_policy;
    if (changed && d_session_started) {
        LOG_INFO("Client::connectToNVR",
                 "NVR endpoint or allow-lists changed: ending the WMI session");
        linkLost(LinkLoss::e_POLICY_CHANGED);
    }
    d_session_started = true;
}

void Client::handleConnectionUp(com::TcpConnection*) {
    LOG_INFO("Client::handleConnectionUp", "Connection to NVR up");
    d_connection->readStream();
    d_connection->setLowWater(lowWater());
    // The link lost last left a fresh decoder; this is for the first link.
    d_packer.reset();
    restartTimer(d_keepalive_timer, k_KEEPALIVE_MS);
    restartTimer(d_event_queue_timer, k_EVENT_DRAIN_MS);
    restartTimer(d_stall_timer, std::max<int64_t>(d_stall_ms / k_STALL_CHECKS, 1));
    d_stall_sent = -1;
    d_stall_checks = 0;
    killTimer(d_connect_timer);
    d_link_up = true;
    while (!d_message_queue.empty() && d_link_up) {
        Message message = std::move(d_message_queue.front());
        d_message_queue.pop_front();
        d_message_queue_bytes -= messageBytes(message);
        if (message.action != e_ACTION_STATUS) {
            sendFrame(NS_LNL::Packer::packMessage(message), &message);
        }
    }
    d_message_queue_bytes = 0;
    pumpLink();
}

void Client::handleConnectionDown(com::TcpConnection*, const std::string&, int,
                                  const std::string&) {
    LOG_WARN("Client::handleConnectionDown", "Connection to NVR Down");
    linkLost(LinkLoss::e_PEER_DROP);
}

void Client::linkLost(LinkLoss reason) {
    if (d_connection) {
        // What the link still held is lost with it: count it with the other
        // drops (a keep-alive byte in transit counts as one).  A connection
        // that reported down closed itself just before.
        if (d_connection->hasConnection()) {
            noteWritten();
            d_connection->close();
            d_counters.frames_dropped += d_connection->numDiscardedAtClose();
        } else if (reason == LinkLoss::e_PEER_DROP) {
            noteWritten();
            d_counters.frames_dropped += d_connection->numDiscardedAtClose();
        }
    }
    // The events the link had not written whole are gone; those written may
    // still have been lost in transit (the NVR names the last it read).
    for (const LinkFrame& frame : d_link_frames) {
        if (frame.numbered) {
            d_close_drops.addSerial(frame.serial);
        } else {
            d_close_drops.addUnnumbered();
        }
    }
    d_link_frames.clear();
    if (d_written_serial) {
        LOG_WARN("Client::linkLost", "events up to serial %u were written to the lost link",
                 d_last_written_serial);
        d_written_serial = false;
    }
    if (d_link_up) {
        ++d_counters.links_lost;
    }
    d_link_up = false;
    killTimer(d_keepalive_timer);
    killTimer(d_event_queue_timer);
    killTimer(d_stall_timer);
    restartTimer(d_connect_timer, k_RECONNECT_MS);
    // The requests of this link, answered or not, belong to its NVR: none of
    // their replies may reach the next one.
    if (d_lookup_enumerator) {
        ++d_counters.lookups_abandoned;
        endLookup();
    }
    if (d_method_call) {
        // WMI finishes it on its own; nobody is told.
        ++d_counters.methods_abandoned;
    }
    endMethod();
    d_counters.requests_dropped += d_deferred_requests.size();
    d_deferred_requests.clear();
    d_deferred_bytes = 0;
    for (auto it = d_message_queue.begin(); it != d_message_queue.end();) {
        if (it->action == e_ACTION_SUBSCRIBE) {
            ++it;
            continue;
        }
        ++d_counters.replies_dropped;
        d_message_queue_bytes -= messageBytes(*it);
        it = d_message_queue.erase(it);
    }
    d_packer.reset();
    if (reason == LinkLoss::e_POLICY_CHANGED) {
        // What the old NVR set up or was owed never reaches the new one, nor
        // what the old lists allowed: the namespace, its subscriptions and
        // every event not yet sent go too.
        close();
        d_counters.messages_discarded += d_message_queue.size();
        for (const Message& message : d_message_queue) {
            d_session_drops.add(message);
        }
        d_message_queue.clear();
        d_message_queue_bytes = 0;
        std::lock_guard<std::mutex> lock(d_event_queue_mutex);
        d_counters.events_dropped += d_event_queue.size();
        for (const Message& message : d_event_queue) {
            d_session_drops.add(message);
        }
        d_event_queue.clear();
        d_event_queue_bytes = 0;
    }
    switch (reason) {
        case LinkLoss::e_PROTOCOL_ERROR:
            ++d_counters.protocol_errors;
            break;
        case LinkLoss::e_STALLED:
            ++d_counters.links_stalled;
            break;
        default:
            break;
    }
    flushDropLogs();
}

void Client::flushDropLogs() {
    {
        std::lock_guard<std::mutex> lock(d_event_queue_mutex);
        d_event_drops.flush();
    }
    d_discards.flush();
    d_send_drops.flush();
    d_session_drops.flush();
    d_close_drops.flush();
}

void Client::handleReceivedData(com::TcpConnection*, const core::GSharedBuf& data) {
    d_packer.addReceivedData(data);
}

void Client::handleProtocolError(const std::string& what) {
    core::MasterLogger::logRate(6, core::LOG_WARN, "Client::handleProtocolError", [&] {
        return core::strFormat("Client::handleProtocolError - %s, closing the NVR link", what);
    });
    linkLost(LinkLoss::e_PROTOCOL_ERROR);
}

void Client::handleSendQueueEmpty(com::TcpConnection*) {
    pumpLink();
}

void Client::handleSendLowWater(com::TcpConnection*, int64_t) {
    pumpLink();
}

void Client::sendKeepalive() {
    if (d_connection && d_connection->hasConnection() && d_connection->queuedBytes() <= 0) {
        static const char k_KEEPALIVE = static_cast<char>(0xF7);
        d_connection->sendBuffer(core::GSharedBuf::copyOf(&k_KEEPALIVE, 1));
    }
}

void Client::checkStall() {
    if (!d_connection) {
        return;
    }
    const int64_t sent = d_connection->totalSent();
    if (d_connection->queuedBytes() <= 0 || sent != d_stall_sent) {
        d_stall_sent = sent;
        d_stall_checks = 0;
        return;
    }
    if (++d_stall_checks < k_STALL_CHECKS) {
        return;
    }
    LOG_WARN("Client::checkStall", "NVR read nothing of %d queued bytes for %d s, closing the link",
             d_connection->queuedBytes(), d_stall_ms / 1000);
    linkLost(LinkLoss::e_STALLED);
}

void Client::noteWritten() {
    if (!d_connection) {
        return;
    }
    const int64_t written = d_connection->totalSent();
    while (!d_link_frames.empty() && d_link_frames.front().end <= written) {
        if (d_link_frames.front().numbered) {
            d_last_written_serial = d_link_frames.front().serial;
            d_written_serial = true;
        }
        d_link_frames.pop_front();
    }
}

void Client::sendFrame(const core::GSharedBuf& frame, const Message* event) {
    if (!d_connection) {
        return;
    }
    if (event && event->action != e_ACTION_SUBSCRIBE) {
        event = nullptr;
    }
    // An NVR that stops reading must not make us grow without bound: beyond
    // the limit frames are dropped, counted and reported.
    // A single frame larger than the bound still goes when nothing waits.
    const int64_t queued = d_connection->queuedBytes();
    if (queued > 0 && queued + static_cast<int64_t>(frame.size()) > d_send_queue_limit) {
        ++d_counters.frames_dropped;
        if (event) {
            d_send_drops.add(*event);
        }
        LOG_RATE(6, core::LOG_WARN, "Client::sendToServer - NVR not reading, dropping messages");
        return;
    }
    noteWritten();
    if (d_connection->sendBuffer(frame) && event && !frame.empty()) {
        uint64_t serial = 0;
        const bool numbered = DropLog::serialOf(*event, &serial);
        d_link_frames.push_back(
            {d_connection->totalSent() + d_connection->queuedBytes(), serial, numbered});
    }
}

void Client::sendToServer(const Message& message) {
    if (d_link_up) {
        sendFrame(NS_LNL::Packer::packMessage(message), &message);
        return;
    }
    const int64_t bytes = messageBytes(message);
    while (!d_message_queue.empty() &&
           (d_message_queue.size() >= k_MAX_MESSAGE_QUEUE ||
            d_message_queue_bytes + bytes > k_MAX_MESSAGE_QUEUE_BYTES)) {
        d_message_queue_bytes -= messageBytes(d_message_queue.front());
        d_discards.add(d_message_queue.front());
        d_message_queue.pop_front();
        ++d_counters.messages_discarded;
        LOG_RATE(6, core::LOG_WARN,
                 "Client::sendToServer - Message queue full, discarding oldest messages");
    }
    d_message_queue.push_back(message);
    d_message_queue_bytes += bytes;
}

// ---------------------------------------------------------------------------
// Settings watch

void Client::handleFileChanged(kutl::FileChecker*, int, const std::string&) {
    LOG_INFO("Client::handleFileChanged", "Configuration changed, closing old TCP connection");
    linkLost(LinkLoss::e_SETTINGS_CHANGED);
    // A refused file that changed is reported again.
    d_trust_problem.clear();
}

// ---------------------------------------------------------------------------
// Events

void Client::queueEvent(const Message& message) {
    const int64_t bytes = messageBytes(message);
    std::lock_guard<std::mutex> lock(d_event_queue_mutex);
    while (!d_event_queue.empty() && (d_event_queue.size() >= k_MAX_EVENT_QUEUE ||
                                      d_event_queue_bytes + bytes > k_MAX_EVENT_QUEUE_BYTES)) {
        d_event_queue_bytes -= messageBytes(d_event_queue.front());
        d_event_drops.add(d_event_queue.front());
        d_event_queue.pop_front();
        ++d_counters.events_dropped;
        LOG_RATE(6, core::LOG_WARN,
                 "Client::queueEvent - event queue full, dropping oldest events");
    }
    d_event_queue.push_back(message);
    d_event_queue_bytes += bytes;
}

uint64_t Client::eventsDropped() const {
    // Counted by the delivering threads under the queue's lock.
    std::lock_guard<std::mutex> lock(d_event_queue_mutex);
    return d_counters.events_dropped;
}

size_t Client::eventQueueLength() const {
    std::lock_guard<std::mutex> lock(d_event_queue_mutex);
    return d_event_queue.size();
}

int64_t Client::eventQueueBytes() const {
    std::lock_guard<std::mutex> lock(d_event_queue_mutex);
    return d_event_queue_bytes;
}

int64_t Client::highWater() const {
    return std::min(k_LINK_HIGH_WATER, d_send_queue_limit / 4);
}

int64_t Client::lowWater() const {
    return highWater() / 2;
}

bool Client::linkFull() const {
    return d_link_up && d_connection && d_connection->queuedBytes() > highWater();
}

bool Client::linkDrained() const {
    return d_link_up && d_connection && d_connection->queuedBytes() <= lowWater();
}

void Client::pumpLink() {
    if (!d_link_up) {
        return;
    }
    noteWritten();
    // Requests first: their replies go before any further event.
    if (d_lookup_enumerator && !linkDrained()) {
        return;
    }
    resumeRequests();
    // Requests held behind a running method cannot go before it ends:
    // events do not wait for them.
    if (!d_lookup_enumerator && (d_deferred_requests.empty() || d_method_call) && linkDrained()) {
        drainEventQueue();
    }
}

void Client::drainEventQueue() {
    // While the NVR is behind, events wait in their queue (bounded, oldest
    // dropped) rather than be dropped at the link: an NVR that reads gets
    // them all once it has caught up.
    for (int i = 0; i < k_DRAIN_PER_TICK && d_link_up && !linkFull(); ++i) {
        Message message;
        {
            std::lock_guard<std::mutex> lock(d_event_queue_mutex);
            if (d_event_queue.empty()) {
                return;
            }
            message = std::move(d_event_queue.front());
            d_event_queue.pop_front();
            d_event_queue_bytes -= messageBytes(message);
        }
        if (message.action == e_ACTION_SUBSCRIBE && message.class_name == "Lnl_AccessEvent") {
            sendToServer(getAllAccessEventInfo(message));
        } else {
            sendToServer(message);
        }
    }
}

// ---------------------------------------------------------------------------
// Timers

void Client::checkStop() {
    // The drop logs go out at this pace: one line per site at most.
    flushDropLogs();
    std::lock_guard<std::mutex> lock(*d_stop_mutex);
    if (*d_stop_requested) {
        kern::Kernel::current()->stopKernel();
    }
}

bool Client::handleTimeout(int64_t id) {
    if (id == d_keepalive_timer.id()) {
        sendKeepalive();
    } else if (id == d_connect_timer.id()) {
        connectToNVR();
    } else if (id == d_event_queue_timer.id()) {
        pumpLink();
    } else if (id == d_stall_timer.id()) {
        checkStall();
    } else if (id == d_stop_check_timer.id()) {
        checkStop();
    } else if (id == d_trust_recheck_timer.id()) {
        recheckSettingsTrust();
    } else if (id == d_wmi_recovery_timer.id()) {
        recoverWmiSession();
    } else if (id == d_lookup_wait_timer.id()) {
        killTimer(d_lookup_wait_timer);
        resumeRequests();
    } else if (id == d_method_poll_timer.id()) {
        pollMethod();
    } else if (id == d_method_wait_timer.id()) {
        methodTimedOut();
    } else {
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Requests

void Client::handleProcessData(const Message& message) {
    LOG_NORM("Client::handleProcessData", "Data from wrapper %d %s ", message.action,
             core::logSafe(message.class_name));
    // Requests are answered in arrival order, a status request behind a
    // waiting lookup too: an NVR may match replies to its requests by their
    // order, so nothing overtakes the lookup's replies.  Requests go on being
    // read meanwhile, within the held budget, so that a link lost is seen
    // and protocol errors are found; the lookup resumes at the low-water
    // mark, before any further event, so the wait is bounded by the link.
    // Behind a running method they wait for its end, at most
    // k_METHOD_WAIT_MS.
    if (d_lookup_enumerator || d_method_call || !d_deferred_requests.empty()) {
        d_deferred_requests.push_back(message);
        d_deferred_bytes += messageBytes(message);
        if (d_connection && (d_deferred_requests.size() >= k_MAX_HELD_REQUESTS ||
                             d_deferred_bytes >= k_MAX_HELD_BYTES)) {
            d_connection->pauseReading(true);
        }
        return;
    }
    dispatch(message);
}

void Client::handleBadFrame(const std::string& what) {
    ++d_counters.requests_refused;
    core::MasterLogger::logRate(6, core::LOG_WARN, "Client::handleBadFrame", [&] {
        return core::strFormat("Client::handleBadFrame - request refused: %s", what);
    });
}

void Client::resumeRequests() {
    continueLookup();
    while (!d_lookup_enumerator && !d_method_call && !d_deferred_requests.empty() && d_link_up) {
        Message message = std::move(d_deferred_requests.front());
        d_deferred_requests.pop_front();
        d_deferred_bytes -= messageBytes(message);
        dispatch(message);
    }
    if (d_connection && d_link_up && d_deferred_requests.size() < k_MAX_HELD_REQUESTS &&
        d_deferred_bytes < k_MAX_HELD_BYTES) {
        d_connection->pauseReading(false);
    }
}

void Client::dispatch(const Message& message) {
    if (const char* field = fieldWithControlCharacter(message)) {
        refuseRequest(message, field);
        return;
    }
    switch (message.action) {
        case e_ACTION_LOOKUP:
            lookupInstancesOfClass(message);
            break;
        case e_ACTION_EXECUTE:
            executeMethod(message);
            break;
        case e_ACTION_SUBSCRIBE:
            createEventSink(message);
            break;
        case e_ACTION_NAMESPACE:
            // The NVR's own choice of a namespace ends a recovery.
            endWmiRecovery();
            if (connectToNamespace(message)) {
                d_namespace_path = message.class_name;
            } else {
                d_namespace_path.clear();
            }
            break;
        case e_ACTION_STATUS:
            sendStatus();
            break;
        default:
            LOG_RATE_SITE(6, core::LOG_WARN, "Client::handleProcessData", "Unsupported action");
            break;
    }
}

void Client::refuseRequest(const Message& request, const char* field) {
    // WMI would cut the name at a NUL or read it otherwise than it was
    // checked: the request never reaches it.
    LOG_RATE_SITE(6, core::LOG_WARN, "Client::handleProcessData",
                  "Request %d refused: its %s holds a control character", request.action, field);
    switch (request.action) {
        case e_ACTION_NAMESPACE:
            // As a refused connect: the namespace held before is dropped.
            d_services.reset();
            d_namespace_path.clear();
            break;
        case e_ACTION_EXECUTE:
            if (!d_namespace_path.empty()) {
                // The completion names the request, but a NUL cannot be
                // written into the reply: its control characters become '?'.
                Message reply = request;
                for (std::string* text :
                     {&reply.class_name, &reply.method_name, &reply.target_instance}) {
                    for (char& c : *text) {
                        c = static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
                    }
                }
                finishMethod(reply, false,
                             core::strFormat("0x%x", static_cast<uint32_t>(WBEM_E_ACCESS_DENIED)));
            }
            break;
        case e_ACTION_LOOKUP:
            ++d_counters.lookups_failed;
            break;
        default:
            break;
    }
}

void Client::sendStatus() {
    Message reply;
    reply.action = e_ACTION_STATUS;
    reply.params_out.push_back({"namespace", d_namespace_path, "str"});
    reply.params_out.push_back({"version", k_VERSION, "str"});
    for (const auto& entry : d_event_sinks) {
        reply.params_out.push_back({"event_sink", entry.first, "str"});
    }
    sendToServer(reply);
}

// ---------------------------------------------------------------------------
// Statistics

namespace {

// The local zone's offset from UTC now, in units of 30 minutes.
int timeZoneOffsetHalfHours() {
    time_t now = std::time(nullptr);
    struct tm utc;
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    utc.tm_isdst = -1;
    time_t asLocal = std::mktime(&utc);
    return static_cast<int>((now - asLocal) / 1800);
}

}  // namespace

void Client::printStats() {
    if (!core::isLogEnabled(core::LOG_INFO)) {
        return;
    }
    const char* tag = "Client::printStats";
    LOG_INFO(tag, "%s", k_VERSION);
    LOG_INFO(tag, "NS='%s' Event sinks %d dto=%d", core::logSafe(d_namespace_path),
             static_cast<int>(d_event_sinks.size()), timeZoneOffsetHalfHours());
    std::vector<TaskInfo> tasks = loadTaskList();
    if (const TaskInfo* self = findTask(tasks, "TessarinLumivar")) {
        LOG_INFO(tag, "%s uses %u kB", self->image_name, static_cast<uint32_t>(self->memory_kb));
    } else {
        for (const TaskInfo& task : tasks) {
            LOG_INFO(tag, "task %s pid=%u %u kB", task.image_name, task.pid,
                     static_cast<uint32_t>(task.memory_kb));
        }
    }
    const Counters& c = d_counters;
    LOG_INFO(tag, "lookups_success %u", c.lookups_success);
    LOG_INFO(tag, "lookups_failed %u", c.lookups_failed);
    LOG_INFO(tag, "execute_success %u", c.execute_success);
    LOG_INFO(tag, "execute_failed %u", c.execute_failed);
    LOG_INFO(tag, "total_image_size %u", c.total_image_size);
    LOG_INFO(tag, "event_queue %u", static_cast<uint32_t>(eventQueueLength()));
    LOG_INFO(tag, "msg_queue %u", static_cast<uint32_t>(d_message_queue.size()));
    LOG_INFO(tag, "arrays %u", c.arrays);
    LOG_INFO(tag, "get_all_info %u", c.get_all_info);
    LOG_INFO(tag, "card_id %u", c.card_id);
    LOG_INFO(tag, "person_id %u", c.person_id);
    LOG_INFO(tag, "photo %u", c.photo);
    LOG_INFO(tag, "sinks_destroyed %u", c.sinks_destroyed);
    LOG_INFO(tag, "array_failed %u", c.array_failed);
    // Losses at the bounds we added to the queues.
    LOG_INFO(tag, "events_dropped %u", eventsDropped());
    LOG_INFO(tag, "frames_dropped %u", c.frames_dropped);
    LOG_INFO(tag, "messages_discarded %u", c.messages_discarded);
    LOG_INFO(tag, "event_queue_bytes %u", eventQueueBytes());
    LOG_INFO(tag, "msg_queue_bytes %u", d_message_queue_bytes);
    LOG_INFO(tag, "links_lost %u", c.links_lost);
    LOG_INFO(tag, "lookups_abandoned %u", c.lookups_abandoned);
    LOG_INFO(tag, "methods_abandoned %u", c.methods_abandoned);
    LOG_INFO(tag, "requests_dropped %u", c.requests_dropped);
    LOG_INFO(tag, "replies_dropped %u", c.replies_dropped);
    LOG_INFO(tag, "protocol_errors %u", c.protocol_errors);
    LOG_INFO(tag, "links_stalled %u", c.links_stalled);
    LOG_INFO(tag, "requests_refused %u", c.requests_refused);
    printSinkStats();
}
