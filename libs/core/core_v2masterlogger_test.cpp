#include "core_v2masterlogger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "testsupport_logcapture.h"

namespace core {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::atomic<int64_t> s_now_ms{1000000};
int64_t testClock() {
    return s_now_ms.load();
}

// Runs 'f' on a new thread and waits for it.
template <class F>
void onOtherThread(F f) {
    std::thread t(f);
    t.join();
}

TEST(MasterLogger, DefaultTypesMaskAndConsoleEcho) {
    testutil::LogLines log;
    EXPECT_FALSE(isLogEnabled(LOG_NORM));
    EXPECT_TRUE(isLogEnabled(LOG_2STRING));
    EXPECT_EQ(g_log_mask[0], 2 | 4 | 8);
    EXPECT_EQ(MasterLogger::numTypes(), 5);
    EXPECT_STREQ(MasterLogger::typeColour(LOG_CRIT), "1;31");

    testing::internal::CaptureStdout();
    LOG_NORM("T", "skipped %d", 1);
    LOG_INFO("T", "info %d", 2);
    LOG_CRIT("NS_XML::XNode::load", "crit");
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(out, "[CRIT] XML::XNode::load - crit\n");
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].d_type, LOG_INFO);
    EXPECT_EQ(lines[0].d_type_name, "INFO");
    EXPECT_EQ(lines[0].d_code, 4);
    EXPECT_EQ(lines[0].d_thread, 0u);
    EXPECT_EQ(lines[0].d_text, "T - info 2");
    EXPECT_EQ(lines[1].d_code, 1);
}

TEST(MasterLogger, JoinsTagAndMessage) {
    testutil::LogLines log;
    MasterLogger::log(LOG_WARN, "ControlHandler", "SERVICE_CONTROL_STOP");
    MasterLogger::log(LOG_WARN, "Tag", ": colon");
    MasterLogger::log(LOG_WARN, "Tag", "(paren)");
    MasterLogger::log(LOG_WARN, "Tag", "-dash");
    MasterLogger::log(LOG_WARN, "Tag", "");
    MasterLogger::log(LOG_WARN, "NSX", "kept");
    EXPECT_THAT(log.texts(), ElementsAre("ControlHandler - SERVICE_CONTROL_STOP", "Tag: colon",
                                         "Tag(paren)", "Tag-dash", "Tag", "NSX - kept"));
    // The formatting call sites join the same way.
    log.clear();
    LOG_WARN("NS_LNL::Packer::unpack", "%s", ":x");
    LOG_WARN("Tag", "(%d)", 1);
    LOG_WARN("Tag", "%s", "");
    LOG_WARN("Tag", "%d items", 2);
    LOG_WARN("", "%s", "untagged");
    EXPECT_THAT(log.texts(), ElementsAre("LNL::Packer::unpack:x", "Tag(1)", "Tag", "Tag - 2 items",
                                         " - untagged"));
}

TEST(MasterLogger, UnregisteredTypeGoesToStandardOutput) {
    testutil::LogLines log;
    testing::internal::CaptureStdout();
    MasterLogger::log(7, "Tag", "text");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nERROR in core_v2masterlogger:387[7??] Tag - text\n");
    EXPECT_TRUE(log.lines().empty());
}

TEST(MasterLogger, RegistersTypesAndCutsNames) {
    const int a = MasterLogger::registerType("ABCDEFGHIJKLMNOPQRST", "1;32;45");
    EXPECT_EQ(a, 5);
    EXPECT_STREQ(MasterLogger::typeName(a), "ABCDEFGHIJKLMNO");
    EXPECT_STREQ(MasterLogger::typeColour(a), "1;32;");
    // Bytes 15 and 16 form one two-byte character: it is left out whole.
    const int b = MasterLogger::registerType("abcdefghijklmn\xc3\xa9xyz", "");
    EXPECT_STREQ(MasterLogger::typeName(b), "abcdefghijklmn");
    EXPECT_EQ(MasterLogger::findType("abcdefghijklmn"), b);
    EXPECT_EQ(MasterLogger::findType("ABCDEFGHIJKLMNO"), a);
    EXPECT_EQ(MasterLogger::findType("abcdefghijklm"), 0);
    EXPECT_EQ(MasterLogger::findType("crit"), 0);  // case-sensitive
    EXPECT_EQ(MasterLogger::findType("NORM"), LOG_NORM);
    // Registering a name again answers the first number.
    EXPECT_EQ(MasterLogger::registerType("ABCDEFGHIJKLMNOPQRST", ""), a);
    EXPECT_EQ(MasterLogger::registerType("NORM", ""), LOG_NORM);
    EXPECT_EQ(MasterLogger::numTypes(), 7);

    // A registered type is off until enabled with an output code.
    testutil::LogLines log;
    EXPECT_FALSE(isLogEnabled(a));
    CORE_LOG(a, "T", "dropped");
    MasterLogger::enable(a, 4);
    EXPECT_TRUE(isLogEnabled(a));
    EXPECT_EQ(MasterLogger::code(a), 4);
    MasterLogger::enable(a, 1);
    EXPECT_EQ(MasterLogger::code(a), 5);
    CORE_LOG(a, "T", "kept");
    MasterLogger::disable(a);
    EXPECT_FALSE(isLogEnabled(a));
    CORE_LOG(a, "T", "dropped again");
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].d_type_name, "ABCDEFGHIJKLMNO");
    EXPECT_EQ(lines[0].d_code, 5);

    // Codes of the standard types below NORM cannot be changed.
    testing::internal::CaptureStdout();
    MasterLogger::setCode(LOG_WARN, 0);
    MasterLogger::setCode(99, 1);
    EXPECT_EQ(MasterLogger::code(99), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nERROR in core_v2masterlogger:350\nERROR in core_v2masterlogger:350"
              "\nERROR in core_v2masterlogger:369");
    EXPECT_EQ(MasterLogger::code(LOG_WARN), 2);
    MasterLogger::setCode(LOG_NORM, 8);
    EXPECT_TRUE(isLogEnabled(LOG_NORM));
    MasterLogger::setCode(LOG_NORM, 0);
    EXPECT_FALSE(isLogEnabled(LOG_NORM));

    // Enabling without a code gives the standard one.
    MasterLogger::disable(LOG_WARN);
    EXPECT_FALSE(isLogEnabled(LOG_WARN));
    MasterLogger::enable(LOG_WARN);
    MasterLogger::enable(LOG_NORM);
    MasterLogger::enable(b);
    EXPECT_EQ(MasterLogger::code(LOG_WARN), 2);
    EXPECT_EQ(MasterLogger::code(LOG_NORM), 4);
    EXPECT_EQ(MasterLogger::code(b), 4);
    EXPECT_TRUE(isLogEnabled(LOG_NORM) && isLogEnabled(b) && isLogEnabled(LOG_WARN));
}

TEST(MasterLogger, TableHoldsAtMost1024Types) {
    char name[16];
    for (int i = MasterLogger::numTypes(); i < k_MAX_LOG_TYPES; ++i) {
        std::snprintf(name, sizeof name, "T%d", i);
        ASSERT_EQ(MasterLogger::registerType(name, ""), i);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(MasterLogger::registerType("ONE_TOO_MANY", ""), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nERROR in core_v2masterlogger:235");
    MasterLogger::enable(1023, 2);
    EXPECT_TRUE(isLogEnabled(1023));
    EXPECT_EQ(g_log_mask[127], 0x80);
    EXPECT_FALSE(isLogEnabled(1024));
}

TEST(MasterLogger, AdministrationIsConfinedToTheCreatingThread) {
    const int before = MasterLogger::numTypes();
    std::string out;
    testing::internal::CaptureStdout();
    onOtherThread([] {
        EXPECT_FALSE(MasterLogger::isAdminThread());
        EXPECT_EQ(MasterLogger::registerType("X", ""), 0);
        EXPECT_EQ(MasterLogger::findType("CRIT"), 0);
        MasterLogger::enable(LOG_NORM, 4);
        MasterLogger::setConsoleEcho(LOG_INFO, true);
        MasterLogger::setCode(LOG_NORM, 4);
        MasterLogger::setImpl(nullptr);
    });
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "\nERROR in core_v2masterlogger:229\nERROR in core_v2masterlogger:438"
              "\nERROR in core_v2masterlogger:632\nERROR in core_v2masterlogger:253"
              "\nERROR in core_v2masterlogger:344\nERROR in core_v2masterlogger:464");
    EXPECT_EQ(MasterLogger::numTypes(), before);
    EXPECT_FALSE(isLogEnabled(LOG_NORM));
    EXPECT_FALSE(MasterLogger::consoleEcho(LOG_INFO));
}

TEST(MasterLogger, ConsoleEchoNumbersOtherThreads) {
    testutil::LogLines log;
    MasterLogger::setConsoleEcho(LOG_NORM, true);  // enables NORM, but not for the output
    EXPECT_TRUE(isLogEnabled(LOG_NORM));
    EXPECT_EQ(MasterLogger::typeFlags(LOG_NORM), e_LOG_ENABLED | e_LOG_ECHO);
    std::vector<std::string> hooked;
    MasterLogger::setConsoleHook([&](std::string_view line) {
        hooked.emplace_back(line);
        LOG_CRIT("Hook", "inside");  // echoed, but the hook is not re-entered
    });
    testing::internal::CaptureStdout();
    LOG_NORM("Main", "zero");
    onOtherThread([] {
        EXPECT_EQ(MasterLogger::threadNumber(), 1u);
        LOG_NORM("Other", "one");
    });
    onOtherThread([] { EXPECT_EQ(MasterLogger::threadNumber(), 2u); });
    const std::string out = testing::internal::GetCapturedStdout();
    MasterLogger::setConsoleHook(nullptr);
    EXPECT_EQ(out,
              "[NORM] Main - zero\n[CRIT] Hook - inside\n[NORM] {1} Other - one\n"
              "[CRIT] {1} Hook - inside\n");
    EXPECT_THAT(hooked, ElementsAre("[NORM] Main - zero", "[NORM] {1} Other - one"));
    EXPECT_THAT(log.texts(LOG_NORM), ElementsAre());
    EXPECT_EQ(log.texts(LOG_CRIT).size(), 2u);
}

class SelfLoggingImpl : public LogImpl {
  public:
    void log(int, unsigned, const char*, int, std::string_view text) override {
        d_seen.emplace_back(text);
        LOG_INFO("Inner", "from impl");
    }
    ~SelfLoggingImpl() override { LOG_WARN("SelfLoggingImpl", "going"); }
    std::vector<std::string> d_seen;
};

TEST(MasterLogger, ImplementationThatLogsIsNotReentered) {
    auto owned = std::make_unique<SelfLoggingImpl>();
    SelfLoggingImpl* impl = owned.get();
    MasterLogger::setImpl(std::move(owned));
    testing::internal::CaptureStderr();
    LOG_WARN("Outer", "x");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "MasterLogger:implLog - called recursively!\n  <[INFO] {0} Inner - from impl>\n");
    EXPECT_THAT(impl->d_seen, ElementsAre("Outer - x"));
}

TEST(MasterLogger, LineLoggedWhileReplacingGoesToStandardOutput) {
    MasterLogger::setImpl(std::make_unique<SelfLoggingImpl>());
    testing::internal::CaptureStdout();
    auto log = std::make_unique<testutil::LogLines>();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "MasterLogger:implLog - log while setting impl\n"
              "  <[WARN] {0} SelfLoggingImpl - going>\n");
    LOG_WARN("After", "delivered");
    EXPECT_THAT(log->texts(), ElementsAre("After - delivered"));
}

// An implementation that fails in its destructor while it is being replaced
// brings the release before the abort in with the logger mutex held by this
// very thread.  The mutex is not recursive: the release must leave it alone,
// and must not count as done.
TEST(MasterLogger, ReleaseBeforeAbortLeavesAMutexThisThreadHolds) {
    struct ReleasingWhenDestroyed : LogImpl {
        void log(int, unsigned, const char*, int, std::string_view) override {}
        ~ReleasingWhenDestroyed() override { MasterLogger::releaseImplForAbort(); }
    };
    struct FlagWhenDestroyed : LogImpl {
        explicit FlagWhenDestroyed(bool* gone) : d_gone(gone) {}
        void log(int, unsigned, const char*, int, std::string_view) override {}
        ~FlagWhenDestroyed() override { *d_gone = true; }
        bool* d_gone;
    };
    bool gone = false;
    MasterLogger::setImpl(std::make_unique<ReleasingWhenDestroyed>());
    MasterLogger::setImpl(std::make_unique<FlagWhenDestroyed>(&gone));
    EXPECT_FALSE(gone);
    MasterLogger::releaseImplForAbort();
    EXPECT_TRUE(gone);
    MasterLogger::setImpl(nullptr);
}

class Watcher : public GlobalLogObserver {
  public:
    using GlobalLogObserver::GlobalLogObserver;
    void notify(int type, unsigned thread, const char* name, std::string_view text) override {
        d_seen.push_back(std::to_string(type) + "/" + std::to_string(thread) + "/" + name + "/" +
                         std::string(text));
    }
    std::vector<std::string> d_seen;
};

TEST(MasterLogger, ObserversSeeTheirTypes) {
    testutil::LogLines log;
    {
        Watcher watcher({LOG_NORM, LOG_WARN});
        MasterLogger::addObserver(&watcher);
        EXPECT_TRUE(isLogEnabled(LOG_NORM));  // wanted by an observer
        LOG_NORM("T", "norm");
        LOG_WARN("T", "warn");
        LOG_INFO("T", "info");
        EXPECT_THAT(watcher.d_seen, ElementsAre("4/0/NORM/T - norm", "2/0/WARN/T - warn"));
        // NORM has no output code: only the observer got it.
        EXPECT_THAT(log.texts(), ElementsAre("T - warn", "T - info"));
    }  // the watcher removes itself
    EXPECT_FALSE(isLogEnabled(LOG_NORM));
    EXPECT_EQ(MasterLogger::typeFlags(LOG_WARN), e_LOG_ENABLED | e_LOG_TO_IMPL);
    LOG_WARN("T", "after");
    EXPECT_EQ(log.texts().size(), 3u);
}

TEST(MasterLogger, HistoryKeepsTheLatestEntries) {
    MasterLogger::setMonotonicClock(&testClock);
    MasterLogger::setHistory(LOG_NORM, true);
    MasterLogger::setHistoryCapacity(3);
    EXPECT_TRUE(isLogEnabled(LOG_NORM));
    for (int i = 0; i < 5; ++i) {
        s_now_ms = 1000 + i;
        LOG_NORM("T", "n%d", i);
    }
    LOG_INFO("T", "not kept");
    const auto h = MasterLogger::history();
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h[0].d_text, "T - n2");
    EXPECT_EQ(h[0].d_monotonic_ms, 1002);
    EXPECT_EQ(h[2].d_text, "T - n4");
    EXPECT_EQ(h[2].d_type_name, "NORM");
    MasterLogger::setHistoryCapacity(1);
    EXPECT_EQ(MasterLogger::history().size(), 1u);
    MasterLogger::setMonotonicClock(nullptr);
}

TEST(MasterLogger, CaptureCollectsTypeZeroOnItsThread) {
    testutil::LogLines log;
    LogCapture outer;
    {
        LogCapture inner(2);
        CORE_LOG(LOG_2STRING, "A", "one");
        CORE_LOG(LOG_2STRING, "B", "two %d", 2);
        CORE_LOG(LOG_2STRING, "C", "three");  // beyond the inner limit
        onOtherThread([] { CORE_LOG(LOG_2STRING, "X", "elsewhere"); });
        EXPECT_EQ(inner.text(), "A - one\nB - two 2");
        EXPECT_EQ(inner.lineCount(), 2);
    }
    LogCapture none(0);
    CORE_LOG(LOG_2STRING, "D", "four");
    EXPECT_EQ(none.lineCount(), 0);
    EXPECT_EQ(outer.text(), "A - one\nB - two 2\nC - three\nD - four");
    EXPECT_EQ(outer.lineCount(), 4);
    EXPECT_TRUE(log.lines().empty());
}

TEST(MasterLogger, LogAtForms) {
    testutil::LogLines log;
    MasterLogger::logAt(LOG_WARN, "file", 12, "", "");
    MasterLogger::logAt(LOG_WARN, "file", 12, "", "msg");
    MasterLogger::logAt(LOG_WARN, "file", 12, "fn", "");
    MasterLogger::logAt(LOG_WARN, "file", 12, "fn", "msg");
    EXPECT_THAT(log.texts(), ElementsAre("Log at file:12", "Log at file:12 - msg",
                                         "Log at file:12 (fn)", "Log at file:12 (fn) - msg"));
}

TEST(MasterLogger, RateLimitByCountOrTime) {
    testutil::LogLines log;
    MasterLogger::setMonotonicClock(&testClock);
    for (int i = 0; i < 25; ++i) {
        LOG_RATE(1, LOG_WARN, "failed %s", "x");
        if (i == 15) {
            LOG_RATE(1, LOG_INFO, "failed %s", "x");  // another type: another key
        }
    }
    LOG_RATE(2, LOG_NORM, "disabled type");  // not counted, not written
    LOG_RATE(0, LOG_WARN, "plain");
    LOG_RATE(13, LOG_WARN, "no limiter");
    EXPECT_THAT(log.texts(),
                ElementsAre("failed x [1 times in 0 seconds]", "failed x [10 times in 0 seconds]",
                            "failed x [1 times in 0 seconds]", "failed x [10 times in 0 seconds]",
                            "plain", "no limiter"));
    EXPECT_EQ(log.lines()[2].d_type, LOG_INFO);

    // Time classes: the first line, then one at the end of each period.
    const int seconds[] = {60, 300, 900, 1800, 3600, 21600, 86400};
    for (int rateClass = 6; rateClass <= 12; ++rateClass) {
        const int period = seconds[rateClass - 6];
        log.clear();
        s_now_ms = 5000000;
        LOG_RATE(rateClass, LOG_WARN, "busy");
        s_now_ms += (period - 1) * 1000LL;
        LOG_RATE(rateClass, LOG_WARN, "busy");
        LOG_RATE(rateClass, LOG_WARN, "busy");
        s_now_ms += 1000;
        LOG_RATE(rateClass, LOG_WARN, "busy");
        s_now_ms += 1000;
        LOG_RATE(rateClass, LOG_WARN, "busy");
        EXPECT_THAT(log.texts(),
                    ElementsAre("busy [1 times in 0 seconds]",
                                "busy [3 times in " + std::to_string(period) + " seconds]"))
            << "class " << rateClass;
    }
    // Count classes: 50, 100, 500, 1000.
    const int counts[] = {50, 100, 500, 1000};
    for (int rateClass = 2; rateClass <= 5; ++rateClass) {
        log.clear();
        for (int i = 0; i <= counts[rateClass - 2]; ++i) {
            LOG_RATE(rateClass, LOG_WARN, "n");
        }
        EXPECT_EQ(log.texts().size(), 2u) << "class " << rateClass;
    }
    MasterLogger::setMonotonicClock(nullptr);
}

// A site the NVR can trigger at will counts as one key whatever it quotes,
// and the count of a burst is written once its period has passed, or at
// shutdown, even when the site is never called again.
TEST(MasterLogger, RateLimitPerSiteReportsWhatItHeldBack) {
    testutil::LogLines log;
    MasterLogger::setRImpl(nullptr);
    MasterLogger::setMonotonicClock(&testClock);
    s_now_ms = 7000000;
    for (int i = 0; i < 20000; ++i) {
        LOG_RATE_SITE(6, LOG_WARN, "NS_Client::f", "Failed for '%s'", std::to_string(i));
    }
    LOG_RATE_SITE(6, LOG_WARN, "Client::g", "(%d)", 1);
    for (int i = 0; i < 15; ++i) {
        LOG_RATE(1, LOG_INFO, "counted");
    }
    MasterLogger::reportPendingRates();  // nothing has waited long enough
    s_now_ms += 59000;
    MasterLogger::reportPendingRates();
    s_now_ms += 1000;
    MasterLogger::reportPendingRates();
    MasterLogger::reportPendingRates();  // reported once only
    LOG_RATE_SITE(6, LOG_WARN, "Client::f", "Failed for '%s'", "late");
    MasterLogger::reportPendingRates(true);
    EXPECT_THAT(log.texts(),
                ElementsAre("Client::f - Failed for '0' [1 times in 0 seconds]",
                            "Client::g(1) [1 times in 0 seconds]", "counted [1 times in 0 seconds]",
                            "counted [10 times in 0 seconds]", "counted [4 times in 60 seconds]",
                            "Client::f - Failed for '%s' [19999 times in 60 seconds]",
                            "Client::f - Failed for '%s' [1 times in 0 seconds]"));
    MasterLogger::setMonotonicClock(nullptr);
    MasterLogger::setRImpl(nullptr);
}

TEST(MasterLogger, LogSafeEscapesAndCutsOutsideText) {
    EXPECT_EQ(logSafe("root\\AccessControl"), "root\\AccessControl");
    EXPECT_EQ(logSafe("a\nb\r\tc\x1b\x7f\x01\xc3\xa9"), "a\\nb\\r\\tc\\x1b\\x7f\\x01\xc3\xa9");
    const std::string huge(1048576, 'n');
    EXPECT_EQ(logSafe(huge), std::string(256, 'n') + "\xE2\x80\xA6(1048576 bytes)");
    // Neither an escape nor a UTF-8 sequence is cut in two.
    EXPECT_EQ(logSafe(std::string(255, 'a') + "\n"),
              std::string(255, 'a') + "\xE2\x80\xA6(256 bytes)");
    EXPECT_EQ(logSafe("ab\xc3\xa9", 3), "ab\xE2\x80\xA6(4 bytes)");
    EXPECT_EQ(logSafe("ab\xc3\xa9", 4), "ab\xc3\xa9");
    EXPECT_EQ(logSafe("a\xe2\x80\xa6"
                      "bc",
                      3),
              "a\xE2\x80\xA6(6 bytes)");
}

TEST(MasterLogger, ManyThreadsLogAtOnce) {
    testutil::LogLines log;
    constexpr int k_THREADS = 4;
    constexpr int k_LINES = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < k_THREADS; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < k_LINES; ++i) {
                LOG_INFO("Worker", "%d %d", t, i);
                LOG_RATE(1, LOG_WARN, "shared %d", i % 3);
                if (i % 50 == 0) {
                    LogCapture capture;
                    CORE_LOG(LOG_2STRING, "C", "%d", i);
                    EXPECT_EQ(capture.text(), "C - " + std::to_string(i));
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::map<int, int> next;          // worker -> next expected line
    std::map<int, unsigned> numbers;  // worker -> thread number
    for (const testutil::LoggedLine& l : log.lines()) {
        if (l.d_type != LOG_INFO) {
            continue;
        }
        int t = 0;
        int i = 0;
        ASSERT_EQ(std::sscanf(l.d_text.c_str(), "Worker - %d %d", &t, &i), 2);
        EXPECT_EQ(next[t]++, i);
        auto [it, inserted] = numbers.emplace(t, l.d_thread);
        EXPECT_EQ(it->second, l.d_thread);
        (void)inserted;
    }
    ASSERT_EQ(numbers.size(), size_t{k_THREADS});
    for (auto& [t, n] : next) {
        EXPECT_EQ(n, k_LINES);
    }
    std::vector<unsigned> distinct;
    for (auto& [t, n] : numbers) {
        distinct.push_back(n);
    }
    std::sort(distinct.begin(), distinct.end());
    EXPECT_EQ(std::unique(distinct.begin(), distinct.end()), distinct.end());
    EXPECT_NE(distinct[0], 0u);
    // Keys 0, 1, 2 occur 668, 668 and 664 times: every 10th is written.
    EXPECT_EQ(log.texts(LOG_WARN).size(), 67u * 3u);
}

TEST(MasterLogger, GlobalsInstallAndRestore) {
    auto store = std::make_unique<testutil::LogLines>();
    {
        // Globals owns an implementation for its lifetime.
        DefaultGlobals globals;
        LOG_WARN("T", "discarded");
    }
    EXPECT_TRUE(store->lines().empty());
    // After teardown failed checks go to standard error and never stop.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(CHECKF_AT(false, "file", 3, "why"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "GASSERT failed at file:3 (why)\n");
}

}  // namespace
}  // namespace core
