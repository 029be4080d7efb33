// nvrpeer: plays the NVR for the bridge service.  Listens for the service's
// connection, sends requests, prints every message received, and reports
// rates and latencies.  See --help.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core_varargs.h"
#include "lnl_packer.h"
#include "nvrpeer_events.h"
#include "nvrpeer_output.h"
#include "nvrpeer_script.h"

namespace {

using Clock = std::chrono::steady_clock;

const char k_USAGE[] =
    "usage: nvrpeer [options]\n"
    "\n"
    "Plays the NVR: waits for the bridge service to connect, sends it requests and\n"
    "prints every message it sends back.\n"
    "\n"
    "Options:\n"
    "  --listen ADDR:PORT   address to listen on (default 127.0.0.1:5040; port 0 picks one)\n"
    "  --request LINE       a request to send once the service is connected (repeatable)\n"
    "  --script FILE        requests from FILE, one per line (after --request ones)\n"
    "  --json               print one JSON object per received message\n"
    "  --quiet              print no messages, only the summary\n"
    "  --photos DIR         save the photo of every enriched access event into DIR\n"
    "  --count N            stop after N received messages\n"
    "  --seconds S          stop after S seconds\n"
    "  --drop-every S       close the service's connection every S seconds\n"
    "  --drop-until S       no more closing on purpose after S seconds\n"
    "  --away S             after closing on purpose, stop listening for S seconds\n"
    "                       (an NVR outage: the service's connects are refused)\n"
    "  --rerun              send the requests again on every new connection\n"
    "  --summary            print rates and latencies at the end (to stderr)\n"
    "  --summary-json FILE  write the end summary as one JSON object into FILE\n"
    "  --events-file FILE   write one line per received event into FILE: seconds\n"
    "                       since start, SerialNumber, raise-to-receipt delay in us\n"
    "  --help               this text\n"
    "\n"
    "Requests:\n"
    "  namespace <path>                        connect a WMI namespace\n"
    "  status                                  ask for the service's status\n"
    "  subscribe <Class> [prop[:type] ...]     subscribe to an event class\n"
    "  lookup <Class> [name=value ...] [-- prop[:type] ...]\n"
    "                                          look up instances, returning props\n"
    "  execute <Class> <Method> [@<instance path>] [name:type=value ...]\n"
    "                                          execute a method (type: str or int)\n"
    "  sleep <ms>                              pause before the next request\n"
    "  raw <text>                              send <text> as a raw frame payload\n"
    "\n"
    "Example:\n"
    "  nvrpeer --listen 127.0.0.1:5040 --request 'namespace root\\AccessControl' \\\n"
    "          --request 'subscribe Lnl_AccessEvent cardnumber Data:str' --photos /tmp/p\n"
    "\n"
    "Event delays: when a subscription asks for TIME_CREATED (the time WMI raised\n"
    "the event) the peer measures raise-to-receipt delays; with SerialNumber it\n"
    "counts events that never arrived.  Both are in the summary.\n"
    "\n"
    "The first line on stdout is \"listening on ADDR:PORT\".  Exit code 0 on a\n"
    "normal stop, 2 for bad options, 1 when the address cannot be used.\n";

volatile sig_atomic_t s_stop = 0;
void onSignal(int) {
    s_stop = 1;
}

struct Options {
    std::string address = "127.0.0.1";
    int port = 5040;
    std::vector<nvrpeer::Step> steps;
    bool json = false;
    bool quiet = false;
    std::string photos;
    long count = -1;
    double seconds = -1;
    double drop_every = -1;
    double drop_until = -1;
    double away = -1;
    bool rerun = false;
    bool summary = false;
    std::string summary_json;
    std::string events_file;
};

int usageError(const std::string& text) {
    std::fprintf(stderr, "nvrpeer: %s\n(see nvrpeer --help)\n", text.c_str());
    return 2;
}

bool parseNumber(const char* text, double* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && *value >= 0;
}

// Parses the command line; answers -1 to go on, else the exit code.
int parseOptions(int argc, char** argv, Options* o) {
    std::vector<std::string> requests;
    std::string script;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc) {
                return false;
            }
            *out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        double number = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(k_USAGE, stdout);
            return 0;
        } else if (a == "--json") {
            o->json = true;
        } else if (a == "--quiet") {
            o->quiet = true;
        } else if (a == "--rerun") {
            o->rerun = true;
        } else if (a == "--summary") {
            o->summary = true;
        } else if (a == "--listen") {
            if (!value(&v)) {
                return usageError("--listen needs ADDR:PORT");
            }
            std::string s = v;
            size_t colon = s.rfind(':');
            if (colon == std::string::npos || !parseNumber(s.c_str() + colon + 1, &number) ||
                number > 65535) {
                return usageError("--listen '" + s +
                                  "' is not ADDR:PORT (for example 127.0.0.1:5040)");
            }
            o->address = s.substr(0, colon);
            o->port = static_cast<int>(number);
            in_addr probe;
            if (inet_pton(AF_INET, o->address.c_str(), &probe) != 1) {
                return usageError("--listen address '" + o->address + "' is not dotted IPv4");
            }
        } else if (a == "--request") {
            if (!value(&v)) {
                return usageError("--request needs a request line");
            }
            requests.push_back(v);
        } else if (a == "--script") {
            if (!value(&v)) {
                return usageError("--script needs a file name");
            }
            script = v;
        } else if (a == "--summary-json" || a == "--events-file") {
            if (!value(&v)) {
                return usageError(a + " needs a file name");
            }
            (a == "--summary-json" ? o->summary_json : o->events_file) = v;
        } else if (a == "--photos") {
            if (!value(&v)) {
                return usageError("--photos needs a folder");
            }
            o->photos = v;
        } else if (a == "--count" || a == "--seconds" || a == "--drop-every" ||
                   a == "--drop-until" || a == "--away") {
            if (!value(&v) || !parseNumber(v, &number)) {
                return usageError(a + " needs a non-negative number");
            }
            if (a == "--count") {
                o->count = static_cast<long>(number);
            } else if (a == "--seconds") {
                o->seconds = number;
            } else if (a == "--drop-until") {
                o->drop_until = number;
            } else if (a == "--away") {
                o->away = number;
            } else {
                o->drop_every = number;
            }
        } else {
            return usageError("unknown option '" + a + "'");
        }
    }
    for (const std::string& r : requests) {
        nvrpeer::Step step;
        bool skip = false;
        std::string error;
        if (!nvrpeer::parseLine(r, &step, &skip, &error)) {
            return usageError("--request '" + r + "': " + error);
        }
        if (!skip) {
            o->steps.push_back(step);
        }
    }
    if (!script.empty()) {
        std::ifstream in(script, std::ios::binary);
        if (!in) {
            return usageError("cannot read script '" + script + "'");
        }
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (!nvrpeer::parseScript(text.str(), &o->steps, &error)) {
            return usageError("script '" + script + "', " + error);
        }
    }
    return -1;
}

// The peer: one service connection at a time.
class Peer : public NS_LNL::PackerOwner {
  public:
    explicit Peer(const Options& o) : d_o(o), d_packer(this), d_output(o.json, o.quiet, o.photos) {}

    int run();

  private:
    bool listenOn(sockaddr_in* addr);
    void handleProcessData(const Message& m) override {
        ++d_received;
        auto now = Clock::now();
        // A reply to a request we sent: latency from the send.
        auto it = d_pending.find(m.action);
        if (it != d_pending.end() && !it->second.empty()) {
            d_latencies_us.push_back(
                std::chrono::duration_cast<std::chrono::microseconds>(now - it->second.front())
                    .count());
            it->second.erase(it->second.begin());
        }
        const double seconds = std::chrono::duration<double>(now - d_start).count();
        d_events.add(m, nvrpeer::fileTimeNow(), seconds);
        d_output.print(m, seconds);
    }

    void sendFrame(const core::GSharedBuf& frame) { d_out.append(frame.data(), frame.size()); }
    bool flush();
    void closeConnection(const char* why);
    void readAvailable(std::vector<char>* chunk, bool* closed);
    void runSteps(Clock::time_point now);

    const Options& d_o;
    NS_LNL::Packer d_packer;
    nvrpeer::Output d_output;
    nvrpeer::EventLog d_events;
    int d_listen = -1;
    int d_conn = -1;
    std::string d_out;
    size_t d_next_step = 0;
    Clock::time_point d_step_due;
    Clock::time_point d_start;
    Clock::time_point d_connected_at;
    Clock::time_point d_back_at;  // while away: when to listen again
    long d_received = 0;
    long d_sent = 0;
    long d_connections = 0;
    long d_drops = 0;
    std::map<int, std::vector<Clock::time_point>> d_pending;
    std::vector<int64_t> d_latencies_us;
};

bool Peer::flush() {
    while (!d_out.empty()) {
        ssize_t n = ::send(d_conn, d_out.data(), d_out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            d_out.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return true;
        } else {
            return false;
        }
    }
    return true;
}

void Peer::readAvailable(std::vector<char>* chunk, bool* closed) {
    // Bounded, so a fast sender cannot keep the loop from its other work.
    for (int i = 0; i < 64; ++i) {
        ssize_t got = ::recv(d_conn, chunk->data(), chunk->size(), MSG_DONTWAIT);
        if (got > 0) {
            d_packer.addReceivedData(
                core::GSharedBuf::copyOf(chunk->data(), static_cast<size_t>(got)));
            if (static_cast<size_t>(got) < chunk->size()) {
                return;
            }
        } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            *closed = true;
            return;
        } else {
            return;
        }
    }
}

void Peer::closeConnection(const char* why) {
    if (d_conn >= 0) {
        ::close(d_conn);
        d_conn = -1;
        d_out.clear();
        std::fprintf(stderr, "nvrpeer: connection closed (%s)\n", why);
    }
}

void Peer::runSteps(Clock::time_point now) {
    while (d_conn >= 0 && d_next_step < d_o.steps.size() && now >= d_step_due) {
        const nvrpeer::Step& step = d_o.steps[d_next_step++];
        if (step.kind == nvrpeer::Step::e_SLEEP) {
            d_step_due = now + std::chrono::milliseconds(step.sleep_ms);
            return;
        }
        if (step.kind == nvrpeer::Step::e_RAW) {
            std::string header =
                core::strFormat("%c%05d%c", '\x02', static_cast<int64_t>(step.raw.size()), '\x03');
            d_out += header + step.raw;
        } else {
            sendFrame(NS_LNL::Packer::packMessage(step.message));
            if (step.message.action != e_ACTION_NAMESPACE) {
                d_pending[step.message.action].push_back(now);
            }
        }
        ++d_sent;
    }
}

bool Peer::listenOn(sockaddr_in* addr) {
    d_listen = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(d_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(d_listen, reinterpret_cast<sockaddr*>(addr), sizeof *addr) != 0 ||
        ::listen(d_listen, 4) != 0) {
        std::fprintf(stderr, "nvrpeer: cannot listen on %s:%d: %s\n", d_o.address.c_str(),
                     ntohs(addr->sin_port), std::strerror(errno));
        return false;
    }
    return true;
}

int Peer::run() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(d_o.port));
    inet_pton(AF_INET, d_o.address.c_str(), &addr.sin_addr);
    if (!listenOn(&addr)) {
        return 1;
    }
    socklen_t len = sizeof addr;
    getsockname(d_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    std::printf("listening on %s:%d\n", d_o.address.c_str(), ntohs(addr.sin_port));
    std::fflush(stdout);

    d_start = Clock::now();
    std::vector<char> chunk(65536);
    while (!s_stop) {
        Clock::time_point now = Clock::now();
        if (d_o.seconds >= 0 && now - d_start >= std::chrono::duration<double>(d_o.seconds)) {
            break;
        }
        if (d_o.count >= 0 && d_received >= d_o.count) {
            break;
        }
        if (d_conn >= 0 && d_o.drop_every > 0 &&
            now - d_connected_at >= std::chrono::duration<double>(d_o.drop_every) &&
            (d_o.drop_until < 0 || now - d_start < std::chrono::duration<double>(d_o.drop_until))) {
            // What has already arrived is taken first, as an NVR would before
            // hanging up; only bytes still in transit are lost with the link.
            bool closed = false;
            readAvailable(&chunk, &closed);
            closeConnection(closed ? "closed by the service" : "dropped on purpose");
            ++d_drops;
            if (d_o.away > 0) {
                ::close(d_listen);
                d_listen = -1;
                d_back_at = now + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(d_o.away));
                std::fprintf(stderr, "nvrpeer: away for %g s\n", d_o.away);
            }
        }
        if (d_listen < 0 && now >= d_back_at) {
            if (!listenOn(&addr)) {
                break;
            }
            std::fprintf(stderr, "nvrpeer: listening again\n");
        }
        runSteps(now);
        pollfd fds[2] = {{d_listen, POLLIN, 0}, {d_conn, 0, 0}};
        if (d_conn >= 0) {
            fds[1].events = POLLIN | (d_out.empty() ? 0 : POLLOUT);
        }
        int n = ::poll(fds, d_conn >= 0 ? 2 : 1, 20);
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents & POLLIN) {
            int c = ::accept(d_listen, nullptr, nullptr);
            if (c >= 0) {
                closeConnection("replaced by a new connection");
                d_conn = c;
                // A frame cut off with the last connection is never completed.
                d_packer.reset();
                ++d_connections;
                d_connected_at = Clock::now();
                std::fprintf(stderr, "nvrpeer: service connected\n");
                if (d_connections == 1 || d_o.rerun) {
                    d_next_step = 0;
                    d_step_due = d_connected_at;
                }
            }
        }
        if (d_conn >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            bool closed = false;
            readAvailable(&chunk, &closed);
            if (closed) {
                closeConnection("closed by the service");
            }
        }
        if (d_conn >= 0 && !d_out.empty() && !flush()) {
            closeConnection("send failed");
        }
    }
    if (d_conn >= 0) {
        flush();
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - d_start).count();
    if (d_o.summary) {
        std::sort(d_latencies_us.begin(), d_latencies_us.end());
        auto pct = [&](double p) -> double {
            if (d_latencies_us.empty()) {
                return 0;
            }
            size_t i = static_cast<size_t>(p * (d_latencies_us.size() - 1));
            return d_latencies_us[i] / 1000.0;
        };
        std::fprintf(stderr,
                     "nvrpeer: %ld requests sent, %ld messages received in %.2f s (%.1f/s), "
                     "%ld connections\n",
                     d_sent, d_received, elapsed, elapsed > 0 ? d_received / elapsed : 0.0,
                     d_connections);
        std::fprintf(stderr, "nvrpeer: reply latency ms: n=%zu median=%.3f p99=%.3f max=%.3f\n",
                     d_latencies_us.size(), pct(0.5), pct(0.99), pct(1.0));
        if (d_events.events() > 0) {
            std::fprintf(stderr,
                         "nvrpeer: events: %ld, raise-to-receipt ms: n=%zu median=%.3f p99=%.3f "
                         "max=%.3f; serials %llu..%llu, %llu missing\n",
                         d_events.events(), d_events.latencies().size(), d_events.latencyMs(0.5),
                         d_events.latencyMs(0.99), d_events.latencyMs(1.0),
                         static_cast<unsigned long long>(d_events.firstSerial()),
                         static_cast<unsigned long long>(d_events.lastSerial()),
                         static_cast<unsigned long long>(d_events.missingSerials()));
        }
        d_output.printSummary();
    }
    if (!d_o.events_file.empty() && !d_events.writeEvents(d_o.events_file)) {
        std::fprintf(stderr, "nvrpeer: cannot write %s\n", d_o.events_file.c_str());
    }
    if (!d_o.summary_json.empty()) {
        std::string json = d_events.summaryJson(elapsed);
        json.pop_back();
        json += core::strFormat(",\"received\":%d,\"sent\":%d,\"connections\":%d,\"drops\":%d}\n",
                                static_cast<int64_t>(d_received), static_cast<int64_t>(d_sent),
                                static_cast<int64_t>(d_connections), static_cast<int64_t>(d_drops));
        FILE* f = std::fopen(d_o.summary_json.c_str(), "w");
        if (f == nullptr || std::fputs(json.c_str(), f) < 0 || std::fclose(f) != 0) {
            std::fprintf(stderr, "nvrpeer: cannot write %s\n", d_o.summary_json.c_str());
        }
    }
    closeConnection("stopping");
    if (d_listen >= 0) {
        ::close(d_listen);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int rc = parseOptions(argc, argv, &options);
    if (rc >= 0) {
        return rc;
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    Peer peer(options);
    return peer.run();
}
