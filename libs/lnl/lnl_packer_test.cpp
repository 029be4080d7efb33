#include "lnl_packer.h"

#include <gtest/gtest.h>

#include <vector>

#include "core_assert.h"
#include "core_v2masterlogger.h"
#include "testsupport_nvrmessages.h"
#include "xml_xnode.h"

namespace {

using testutil::frameOf;

const std::string k_DECL = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";

struct Collector : NS_LNL::PackerOwner {
    std::vector<Message> messages;
    void handleProcessData(const Message& m) override { messages.push_back(m); }
};

void feed(NS_LNL::Packer& p, const std::string& bytes) {
    p.addReceivedData(core::GSharedBuf::copyOf(bytes));
}

const std::string k_STATUS_REQUEST =
    k_DECL + "<root><action>5</action><class_name></class_name></root>";

TEST(Packer, StatusReplyIsFramedByteForByte) {
    Message reply;
    reply.action = 5;
    reply.params_out = {{"namespace", "", "str"},
                        {"version", "tag_lumivar_2_1_rc_1_220329-103018", "str"}};
    std::string bytes = NS_LNL::Packer::packMessage(reply).str();
    const std::string body =
        "<root><action>5</action><class_name></class_name><params_out><parameter><name>"
        "namespace</name><type>str</type></parameter><parameter><name>version</name><value>"
        "tag_lumivar_2_1_rc_1_220329-103018</value><type>str</type></parameter></params_out>"
        "</root>";
    ASSERT_EQ(k_DECL.size() + body.size(), 288u);
    EXPECT_EQ(bytes, std::string("\x02"
                                 "00288"
                                 "\x03") +
                         k_DECL + body);

    Message request;
    request.action = 5;
    std::string req = NS_LNL::Packer::packMessage(request).str();
    EXPECT_EQ(req.size(), 101u);
    EXPECT_EQ(req.substr(0, 7), std::string("\x02"
                                            "00094"
                                            "\x03"));
}

TEST(Packer, LargePayloadsAreCompressedAndGetLongerLengthFields) {
    Message m;
    m.action = 3;
    m.class_name = "Lnl_AccessEvent";
    std::string big;
    for (int i = 0; i < 20000; ++i) {
        big += static_cast<char>('A' + (i * 7919) % 26);  // compresses, but not to nothing
    }
    for (int i = 0; i < 10; ++i) {
        big += big.substr(0, 1000);
    }
    m.params_out.push_back({"Data", big, "str"});
    std::string bytes = NS_LNL::Packer::packMessage(m).str();
    ASSERT_EQ(bytes[0], '\x02');
    size_t end = bytes.find('\x03');
    ASSERT_NE(end, std::string::npos);
    std::string digits = bytes.substr(1, end - 1);
    EXPECT_GE(digits.size(), 5u);
    EXPECT_EQ(std::stoul(digits), bytes.size() - end - 1);
    // The container's magic, little-endian.
    EXPECT_EQ(bytes.substr(end + 1, 4), std::string("\xAB\xAB\x12\x12", 4));

    Collector c;
    NS_LNL::Packer p(&c);
    feed(p, bytes);
    ASSERT_EQ(c.messages.size(), 1u);
    EXPECT_EQ(c.messages[0], m);
}

TEST(Packer, DecodesInAnyChunkingAndSkipsGarbage) {
    Message a;
    a.action = 4;
    a.class_name = "root\\AccessControl";
    Message b;
    b.action = 5;
    std::string stream = "\xF7\xF7garbage" + NS_LNL::Packer::packMessage(a).str() + "\xF7" +
                         NS_LNL::Packer::packMessage(b).str();

    Collector whole;
    NS_LNL::Packer p1(&whole);
    feed(p1, stream);
    ASSERT_EQ(whole.messages.size(), 2u);
    EXPECT_EQ(whole.messages[0], a);
    EXPECT_EQ(whole.messages[1], b);

    Collector bytewise;
    NS_LNL::Packer p2(&bytewise);
    for (char ch : stream) {
        feed(p2, std::string(1, ch));
    }
    EXPECT_EQ(bytewise.messages, whole.messages);
    EXPECT_EQ(p2.state(), NS_LNL::Packer::e_WAIT_START);

    // Cut in two anywhere: in the garbage, the length field or the payload.
    for (size_t cut = 1; cut < stream.size(); cut += 7) {
        Collector halves;
        NS_LNL::Packer p3(&halves);
        feed(p3, stream.substr(0, cut));
        feed(p3, stream.substr(cut));
        EXPECT_EQ(halves.messages, whole.messages) << cut;
    }
}

TEST(Packer, LengthFieldGuardsReturnToWaiting) {
    core::Assert::setStopOnFailedCheck(true);
    Collector c;
    NS_LNL::Packer p(&c);
    // 100 length characters are accepted (zero-padded 94).
    feed(p, "\x02" + std::string(95, '0') + "94\x03" + k_STATUS_REQUEST.substr(0, 94));
    EXPECT_EQ(c.messages.size(), 1u);
    // 101 characters: the next byte is dropped with the size error.
    feed(p, "\x02" + std::string(99, '0') + "94\x03");
    EXPECT_EQ(p.state(), NS_LNL::Packer::e_WAIT_START);
    // Zero, non-digits and beyond the cap would swallow the stream.
    for (const char* field : {"00000", "12a45", "-0001", "2147483648", "99999999999999999999"}) {
        feed(p, std::string("\x02") + field + "\x03");
        EXPECT_EQ(p.state(), NS_LNL::Packer::e_WAIT_START) << field;
    }
    EXPECT_EQ(p.numBadFrames(), 6u);
    // The next valid request still gets through.
    feed(p, frameOf(k_STATUS_REQUEST));
    EXPECT_EQ(c.messages.size(), 2u);

    // A real length beyond the cap: the payload is skipped whole, start
    // bytes and frames inside it included.
    const int64_t over = NS_LNL::Packer::k_MAX_PAYLOAD + 1;
    feed(p, "\x02" + std::to_string(over) + "\x03");
    std::string inside;
    while (inside.size() < (1u << 20)) {
        inside += frameOf(k_STATUS_REQUEST);
    }
    inside.resize(1u << 20);
    for (int64_t left = over; left > 0; left -= static_cast<int64_t>(inside.size())) {
        feed(p, inside.substr(0, static_cast<size_t>(std::min<int64_t>(left, inside.size()))));
    }
    EXPECT_EQ(p.bytesToSkip(), 0);
    EXPECT_EQ(c.messages.size(), 2u);
    EXPECT_EQ(p.numBadFrames(), 7u);
    feed(p, frameOf(k_STATUS_REQUEST));
    EXPECT_EQ(c.messages.size(), 3u);
}

TEST(Packer, UnloadablePayloadsAreDroppedWithoutStopping) {
    // The default check setting stops the process; outside bytes must not.
    core::Assert::setStopOnFailedCheck(true);
    Collector c;
    NS_LNL::Packer p(&c);
    feed(p, frameOf("<root><action>5</acti"));                                      // broken XML
    feed(p, frameOf(std::string("\xAB\xAB\x12\x12\x10\x00\x00\x00garbage!", 16)));  // bad stream
    feed(p, frameOf(std::string("\xAB\xAB\x12", 3)));  // short container
    feed(p, frameOf("{\"root\": 1"));                  // broken legacy JSON
    feed(p, frameOf(k_DECL + "<other><action>5</action><class_name/></other>"));  // not a message
    EXPECT_TRUE(c.messages.empty());
    feed(p, frameOf(k_STATUS_REQUEST));
    EXPECT_EQ(c.messages.size(), 1u);
}

}  // namespace
