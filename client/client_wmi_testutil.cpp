#include "client_wmi_testutil.h"

#include <gtest/gtest.h>

#include "core_v2masterlogger.h"

namespace testutil {

// ---------------------------------------------------------------- LogLines

struct LogLines::Store {
    mutable std::mutex d_mutex;
    std::vector<std::string> d_lines;
    std::vector<unsigned> d_threads;
};

namespace {

class CaptureImpl : public core::LogImpl {
  public:
    explicit CaptureImpl(std::shared_ptr<LogLines::Store> store) : d_store(std::move(store)) {}
    void log(int, unsigned thread, const char*, int, std::string_view text) override {
        std::lock_guard<std::mutex> lock(d_store->d_mutex);
        d_store->d_lines.emplace_back(text);
        d_store->d_threads.push_back(thread);
    }

  private:
    std::shared_ptr<LogLines::Store> d_store;
};

}  // namespace

LogLines::LogLines() : d_store(std::make_shared<Store>()) {
    for (int type : {core::LOG_CRIT, core::LOG_WARN, core::LOG_INFO, core::LOG_NORM}) {
        core::MasterLogger::enable(type);
    }
    core::MasterLogger::setConsoleEcho(core::LOG_CRIT, false);
    core::MasterLogger::setImpl(std::make_unique<CaptureImpl>(d_store));
}

LogLines::~LogLines() {
    core::MasterLogger::setImpl(nullptr);
}

int LogLines::count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(d_store->d_mutex);
    int n = 0;
    for (const std::string& line : d_store->d_lines) {
        n += line.find(text) != std::string::npos;
    }
    return n;
}

std::set<unsigned> LogLines::threadsOf(const std::string& text) const {
    std::lock_guard<std::mutex> lock(d_store->d_mutex);
    std::set<unsigned> threads;
    for (size_t i = 0; i < d_store->d_lines.size(); ++i) {
        if (d_store->d_lines[i].find(text) != std::string::npos) {
            threads.insert(d_store->d_threads[i]);
        }
    }
    return threads;
}

std::vector<std::string> LogLines::lines() const {
    std::lock_guard<std::mutex> lock(d_store->d_mutex);
    return d_store->d_lines;
}

std::string LogLines::all() const {
    std::string out;
    for (const std::string& line : lines()) {
        out += line;
        out += '\n';
    }
    return out;
}

void LogLines::clear() {
    std::lock_guard<std::mutex> lock(d_store->d_mutex);
    d_store->d_lines.clear();
    d_store->d_threads.clear();
}

// ---------------------------------------------------------------- WmiHarness

WmiHarness::WmiHarness(const std::string& mof) : d_provider(wmi::standin::Provider::acquire()) {
    d_provider->setEventRate(0);
    wmi::standin::MofError error;
    EXPECT_TRUE(d_provider->loadRepository(mof, &error)) << error.text();
}

WmiHarness::~WmiHarness() {
    d_harness.destroyClient();
}

bool WmiHarness::startWithNamespace(const std::string& nameSpace) {
    return d_harness.startAndConnect() && d_harness.connectNamespace(nameSpace);
}

bool WmiHarness::collect(size_t n, std::vector<Message>* out, Millis timeout) {
    return d_harness.runUntil(
        [&] {
            Message m;
            while (out->size() < n && d_harness.d_nvr.receive(&m, Millis(0))) {
                out->push_back(m);
            }
            return out->size() >= n;
        },
        timeout);
}

bool WmiHarness::exchange(const Message& request, size_t n, std::vector<Message>* replies,
                          Millis timeout) {
    replies->clear();
    d_harness.d_nvr.send(request);
    return collect(n, replies, timeout);
}

std::vector<Message> WmiHarness::handle(const Message& request) {
    d_harness.d_nvr.send(request);
    d_harness.d_nvr.send(statusRequest());
    std::vector<Message> before;
    bool answered = d_harness.runUntil(
        [&] {
            Message m;
            while (d_harness.d_nvr.receive(&m, Millis(0))) {
                if (m.action == e_ACTION_STATUS) {
                    return true;
                }
                before.push_back(m);
            }
            return false;
        },
        Millis(5000));
    EXPECT_TRUE(answered) << "no status reply";
    return before;
}

void WmiHarness::raise(const std::string& mof) {
    wmi::standin::MofError error;
    EXPECT_TRUE(d_provider->raiseEvents(mof, &error)) << error.text();
}

// ---------------------------------------------------------------- messages

Message subscribeRequest(const std::string& className, std::vector<Parameter> wanted) {
    Message m;
    m.action = e_ACTION_SUBSCRIBE;
    m.class_name = className;
    m.params_out = std::move(wanted);
    return m;
}

Message lookupRequest(const std::string& className, std::vector<Parameter> conditions,
                      std::vector<Parameter> wanted) {
    Message m;
    m.action = e_ACTION_LOOKUP;
    m.class_name = className;
    m.params_in = std::move(conditions);
    m.params_out = std::move(wanted);
    return m;
}

Message executeRequest(const std::string& className, const std::string& method,
                       std::vector<Parameter> arguments, std::vector<Parameter> wanted,
                       const std::string& target) {
    Message m;
    m.action = e_ACTION_EXECUTE;
    m.class_name = className;
    m.method_name = method;
    m.target_instance = target;
    m.params_in = std::move(arguments);
    m.params_out = std::move(wanted);
    return m;
}

const Parameter* outParam(const Message& message, const std::string& name) {
    for (const Parameter& p : message.params_out) {
        if (p.name == name) {
            return &p;
        }
    }
    return nullptr;
}

}  // namespace testutil

void PrintTo(const Parameter& p, std::ostream* out) {
    *out << "{" << p.name << "=\"" << p.value << "\" " << p.type << "}";
}

void PrintTo(const Message& m, std::ostream* out) {
    *out << "action " << m.action << " class '" << m.class_name << "' target '" << m.target_instance
         << "' method '" << m.method_name << "' in:";
    for (const Parameter& p : m.params_in) {
        PrintTo(p, out);
    }
    *out << " out:";
    for (const Parameter& p : m.params_out) {
        PrintTo(p, out);
    }
}
