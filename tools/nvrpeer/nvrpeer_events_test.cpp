#include "nvrpeer_events.h"

#include <gtest/gtest.h>

namespace {

Message event(const std::string& serial, const std::string& created) {
    Message m;
    m.action = e_ACTION_SUBSCRIBE;
    m.class_name = "Lnl_AccessEvent";
    m.params_out.push_back({"SerialNumber", serial, "str"});
    m.params_out.push_back({"time_created", created, "str"});
    return m;
}

TEST(NvrpeerEvents, DelaysAndLostSerials) {
    nvrpeer::EventLog log;
    const uint64_t now = 133000000000000000ull;
    // Serials 10..15 with 12 and 14 lost and 11 twice; delays of 1, 2, 3, 4 ms.
    log.add(event("10", std::to_string(now - 10000)), now, 0.1);
    log.add(event("11", std::to_string(now - 20000)), now, 0.2);
    log.add(event("11", std::to_string(now - 30000)), now, 0.3);
    log.add(event("13", std::to_string(now - 40000)), now, 0.4);
    log.add(event("15", ""), now, 0.5);
    // A raise stamped after the receipt (clock step) counts as no delay.
    log.add(event("9", std::to_string(now + 10)), now, 0.6);
    Message status;
    status.action = e_ACTION_STATUS;
    log.add(status, now, 0.7);

    EXPECT_EQ(log.events(), 6);
    ASSERT_EQ(log.latencies().size(), 5u);
    EXPECT_EQ(log.latencies()[0], 1000);
    EXPECT_EQ(log.latencies()[4], 0);
    EXPECT_DOUBLE_EQ(log.latencyMs(0.5), 2.0);
    EXPECT_DOUBLE_EQ(log.latencyMs(1.0), 4.0);
    EXPECT_EQ(log.firstSerial(), 9u);
    EXPECT_EQ(log.lastSerial(), 15u);
    EXPECT_EQ(log.duplicateSerials(), 1u);
    // Counted from the first serial seen (10): 12 and 14 never arrived.
    EXPECT_EQ(log.distinctSerials(), 4u);
    EXPECT_EQ(log.missingSerials(), 2u);
    EXPECT_NE(log.summaryJson(2.0).find("\"events_per_second\":3.00"), std::string::npos);

    // A wild serial far ahead is counted but does not grow the record.
    log.add(event("999999999999", ""), now, 0.8);
    EXPECT_EQ(log.events(), 7);
    EXPECT_EQ(log.missingSerials(), 2u);
}

}  // namespace
