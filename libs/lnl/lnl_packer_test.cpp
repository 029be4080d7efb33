#include "lnl_packer.h"

#include <gtest/gtest.h>

#include <vector>

#include "core_assert.h"
#include "core_compressor.h"
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

struct ErrorCollector : Collector {
    std::vector<std::string> errors;
    void handleProtocolError(const std::string& what) override { errors.push_back(what); }
};

// A length field that is no length, or a length (or inflated length) beyond
// the limit, loses the framing: reported once, the rest of the stream is
// ignored until reset, and a reset codec decodes as new.
TEST(Packer, LostFramingIsReportedOnceAndIgnoredUntilReset) {
    core::Assert::setStopOnFailedCheck(true);
    core::GSharedBuf bomb;
    const std::string big(2u << 20, ' ');
    ASSERT_TRUE(core::Compressor::compress(big.data(), big.size(), &bomb));
    const std::string tail = frameOf(k_STATUS_REQUEST);
    for (const std::string& broken :
         {"\x02" + std::string(101, '0') + "94\x03", std::string("\x02\x03"),
          std::string("\x02" "00000\x03"), std::string("\x02" "12a45\x03"),
          std::string("\x02" "-0001\x03"), std::string("\x02" "2147483648\x03"),
          std::string("\x02" "99999999\x03"), std::string("\x02" "1048577\x03"),
          frameOf(bomb.str())}) {
        ErrorCollector c;
        NS_LNL::Packer p(&c, NS_LNL::Packer::k_MAX_REQUEST_PAYLOAD);
        feed(p, frameOf(k_STATUS_REQUEST) + broken + tail + tail);
        EXPECT_EQ(c.messages.size(), 1u) << broken.substr(0, 20);
        EXPECT_EQ(c.errors.size(), 1u) << broken.substr(0, 20);
        EXPECT_EQ(p.state(), NS_LNL::Packer::e_BROKEN);
        feed(p, tail);
        EXPECT_EQ(c.messages.size(), 1u);
        EXPECT_EQ(c.errors.size(), 1u);
        p.reset();
        feed(p, tail);
        EXPECT_EQ(c.messages.size(), 2u);
        EXPECT_EQ(p.numBadFrames(), 1u);
    }
    // 100 length characters are still a length (zero-padded 94), and the
    // default limit takes what the NVR's side receives.
    ErrorCollector c;
    NS_LNL::Packer p(&c);
    feed(p, "\x02" + std::string(98, '0') + "94\x03" + k_STATUS_REQUEST.substr(0, 94));
    feed(p, frameOf(bomb.str()));
    EXPECT_EQ(c.messages.size(), 1u);
    EXPECT_TRUE(c.errors.empty());
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
    // Beyond the message limits.
    Message many = testutil::statusRequest();
    many.params_in.assign(k_MAX_MESSAGE_PARAMS + 1, Parameter{"n", "v", "str"});
    feed(p, NS_LNL::Packer::packMessage(many).str());
    Message longName = testutil::statusRequest();
    longName.class_name.assign(k_MAX_MESSAGE_STRING + 1, 'c');
    feed(p, NS_LNL::Packer::packMessage(longName).str());
    EXPECT_TRUE(c.messages.empty());
    EXPECT_EQ(p.numBadFrames(), 7u);
    EXPECT_EQ(p.state(), NS_LNL::Packer::e_WAIT_START);
    feed(p, frameOf(k_STATUS_REQUEST));
    EXPECT_EQ(c.messages.size(), 1u);
}

}  // namespace
