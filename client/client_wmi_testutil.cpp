#include "client_wmi_testutil.h"

#include <gtest/gtest.h>

namespace testutil {

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

}  // namespace testutil
