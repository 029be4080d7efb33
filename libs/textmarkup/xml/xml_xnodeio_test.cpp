#include "xml_xnodeio.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <libxml/parser.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>

#include "core_compressor.h"
#include "testsupport_logcapture.h"

namespace NS_XML {
namespace {

using ::testing::HasSubstr;

const std::string k_DECL = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";

std::string saved(const XNode& n) {
    return n.save().str();
}

XNode loaded(std::string_view bytes, bool expectOk = true) {
    XNode n;
    EXPECT_EQ(n.load(bytes), expectOk) << bytes.substr(0, 200);
    return n;
}

// A container of 'text' compressed by zlib itself at 'level', declaring
// 'declared' bytes (the real length when negative).
std::string containerFromZlib(const std::string& text, int level, long declared = -1) {
    std::string bytes(8 + compressBound(text.size()), '\0');
    uLongf size = bytes.size() - 8;
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(&bytes[8]), &size,
                        reinterpret_cast<const Bytef*>(text.data()), text.size(), level),
              Z_OK);
    bytes.resize(8 + size);
    const uint32_t length = declared < 0 ? text.size() : static_cast<uint32_t>(declared);
    const uint32_t magic = core::Compressor::k_MAGIC;
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>(magic >> (8 * i));
        bytes[4 + i] = static_cast<char>(length >> (8 * i));
    }
    return bytes;
}

XNode messageTree(size_t photoBytes) {
    XNode root("root");
    root.set("action", 3);
    root.set("class_name", "Lnl_AccessEvent");
    XNode& params = root.child("params_in");
    for (int i = 0; i < 6; ++i) {
        XNode& p = params.addChild("parameter");
        p.set("name", "field" + std::to_string(i));
        p.set("value", "v<" + std::to_string(i) + "> & 'q' \"d\"\r\n");
        p.set("type", "str");
    }
    std::string photo;
    std::mt19937 rng(7);
    static const char k_B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < photoBytes; ++i) {
        photo += k_B64[rng() % 64];
    }
    XNode& p = params.addChild("parameter");
    p.set("name", "photo");
    p.set("value", photo);
    return root;
}

TEST(XNodeIO, DumpFormatIsPinned) {
    XNode a("a");
    a.setText("x<y");
    EXPECT_EQ(saved(a), k_DECL + "<a>x&lt;y</a>");

    XNode unnamed;
    unnamed.addChild("b").setText("");
    EXPECT_EQ(saved(unnamed), k_DECL + "<root><b></b></root>");

    XNode r("r");
    r.addChild("c");
    r.addArray("d");
    EXPECT_EQ(saved(r), k_DECL + "<r><c/><d is_array=\"1\"/></r>");

    XNode t("t");
    t.setText("1\r\n2\t&\"'>\xC3\xA9");
    EXPECT_EQ(saved(t), k_DECL + "<t>1&#xD;\n2\t&amp;&quot;&apos;&gt;\xC3\xA9</t>");

    // Long text is scanned in blocks: what needs escaping is found at every
    // place, and its neighbours in the character set are copied as they are.
    const std::string plain = std::string(33, 'A') + "+/=?%$(";
    for (size_t at = 0; at < plain.size(); ++at) {
        for (const auto& [c, reference] :
             {std::pair{'<', "&lt;"}, std::pair{'>', "&gt;"}, std::pair{'&', "&amp;"},
              std::pair{'\'', "&apos;"}, std::pair{'"', "&quot;"}, std::pair{'\r', "&#xD;"}}) {
            std::string text = plain;
            text[at] = c;
            std::string escaped = plain;
            escaped.replace(at, 1, reference);
            XNode e("e");
            e.setText(text);
            EXPECT_EQ(saved(e), k_DECL + "<e>" + escaped + "</e>") << at;
        }
    }
    XNode p("p");
    p.setText(plain);
    EXPECT_EQ(saved(p), k_DECL + "<p>" + plain + "</p>");

    XNode at("e");
    at.setAttribute("k", "a\"b<");
    at.setArray(true);
    at.addArrayItem().setText("1");
    EXPECT_EQ(saved(at), k_DECL + "<e k=\"a&quot;b&lt;\" is_array=\"1\"><i>1</i></e>");

    // The status reply as the peer expects it, byte for byte.
    XNode status("root");
    status.set("action", 5);
    status.set("class_name", "");
    XNode& out = status.child("params_out");
    XNode& ns = out.addChild("parameter");
    ns.set("name", "namespace");
    ns.set("type", "str");
    XNode& version = out.addChild("parameter");
    version.set("name", "version");
    version.set("value", "tag_lumivar_2_1_rc_1_220329-103018");
    version.set("type", "str");
    const std::string bytes = saved(status);
    EXPECT_EQ(bytes.size(), 288u);
    EXPECT_EQ(bytes, k_DECL +
                         "<root><action>5</action><class_name></class_name><params_out>"
                         "<parameter><name>namespace</name><type>str</type></parameter>"
                         "<parameter><name>version</name><value>tag_lumivar_2_1_rc_1_220329-"
                         "103018</value><type>str</type></parameter></params_out></root>");

    EXPECT_TRUE(XNode().save().empty());
    EXPECT_EQ(saved(XNode("n")), k_DECL + "<n/>");
}

TEST(XNodeIO, NameTests) {
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    EXPECT_TRUE(IsValidNodeName("_a-b.c:d9"));
    EXPECT_FALSE(IsValidNodeName(""));
    EXPECT_FALSE(IsValidNodeName("9a"));
    EXPECT_FALSE(IsValidNodeName(":a"));
    EXPECT_FALSE(IsValidNodeName("a b"));
    EXPECT_FALSE(IsValidNodeName("a\xC3\xA9"));
    EXPECT_TRUE(IsValidAttributeName(":a"));
    EXPECT_TRUE(IsValidAttributeName("xmlns"));
    EXPECT_FALSE(IsValidAttributeName("-a"));
    EXPECT_EQ(log.failedChecks(), 0);

    // Reserved names: one let through with a single warning, others checked.
    EXPECT_TRUE(IsValidNodeName("XMLVER"));
    EXPECT_TRUE(IsValidNodeName("XMLVER"));
    EXPECT_EQ(
        log.count("IsValidNodeName - allowing invalid node name 'XMLVER' through", core::LOG_WARN),
        1);
    EXPECT_TRUE(IsValidNodeName("xMlData"));
    EXPECT_EQ(log.count("GASSERT failed at xml_xnodeio:78 (CHECKF) (xMlData)"), 1);
    EXPECT_TRUE(IsValidNodeName("xm"));

    // The dump reports bad names and writes them anyway.
    log.clear();
    XNode bad("a b");
    bad.setAttribute("1k", "v");
    EXPECT_EQ(saved(bad), k_DECL + "<a b 1k=\"v\"/>");
    EXPECT_EQ(log.count("xml_xnodeio:148 (CHECKF) (a b)"), 1);
    EXPECT_EQ(log.count("xml_xnodeio:163 (CHECKF) (a b:1k)"), 1);
}

TEST(XNodeIO, LoadConvertsElementsAttributesAndText) {
    XNode a = loaded("<a is_array=\"0\"><i>1</i><i>2</i></a>");
    EXPECT_EQ(a.name(), "a");
    EXPECT_TRUE(a.isArray());
    EXPECT_FALSE(a.hasAttribute("is_array"));
    ASSERT_EQ(a.numChildren(), 2u);
    EXPECT_EQ(a.childAt(0).text(), "1");
    EXPECT_EQ(a.childAt(1).text(), "2");

    EXPECT_EQ(loaded("<a>x<!--c-->y</a>").text(), "x");
    XNode commentFirst = loaded("<a><!--c-->y</a>");
    EXPECT_TRUE(commentFirst.hasText());
    EXPECT_EQ(commentFirst.text(), "");
    XNode spaced = loaded("<a>  <b>1</b>  <!--c-->\n</a>");
    ASSERT_EQ(spaced.numChildren(), 1u);
    EXPECT_EQ(spaced.child("b").text(), "1");
    EXPECT_EQ(loaded("<a><![CDATA[<raw>&]]></a>").text(), "<raw>&");
    EXPECT_EQ(loaded("<a>&lt;&#xD;&#233;</a>").text(), "<\r\xC3\xA9");

    XNode ns = loaded("<p:m xmlns:p=\"urn:x\" p:k=\"v\" j=\"&amp;\" e=\"\"><p:c/></p:m>");
    EXPECT_EQ(ns.name(), "m");
    EXPECT_EQ(ns.attribute("k"), "v");
    EXPECT_EQ(ns.attribute("j"), "&");
    EXPECT_TRUE(ns.hasAttribute("e"));
    EXPECT_EQ(ns.child("c").text(), "");

    XNode emptyArray = loaded(k_DECL + "<d is_array=\"1\"/>");
    EXPECT_TRUE(emptyArray.isArray());
    EXPECT_TRUE(emptyArray.hasChildren());
    EXPECT_EQ(emptyArray.numChildren(), 0u);
    EXPECT_EQ(saved(emptyArray), k_DECL + "<d is_array=\"1\"/>");

    XNode empty = loaded("");
    EXPECT_TRUE(empty.name().empty());
    EXPECT_FALSE(empty.hasContent());

    // A load replaces what was there.
    XNode reused = loaded("<a><b/></a>");
    EXPECT_TRUE(reused.load("<z>t</z>"));
    EXPECT_EQ(reused.name(), "z");
    EXPECT_EQ(reused.numChildren(), 0u);
}

TEST(XNodeIO, TreesSurviveTheRoundTrip) {
    for (size_t photo : {size_t{0}, size_t{600}, size_t{30000}}) {
        XNode tree = messageTree(photo);
        tree.setAttribute("ver", "1\r2");
        tree.addArray("empty");
        XNode& list = tree.addArray("list");
        list.addArrayItem().setText("\xE2\x82\xAC");
        list.addArrayItem().addChild("deep").setText("");
        const core::GSharedBuf bytes = tree.save();
        EXPECT_EQ(core::Compressor::isContainer(bytes.data(), bytes.size()), photo > 0);
        XNode back = loaded(bytes.view());
        EXPECT_EQ(back.debugString(), tree.debugString());
        EXPECT_EQ(saved(back), saved(tree));
    }
}

TEST(XNodeIO, LargeDumpsAreCompressed) {
    XNode n("r");
    n.setText(std::string(2000 - k_DECL.size() - 7, 'a'));
    const std::string plain = XNodeIO::dump(n);
    ASSERT_EQ(plain.size(), 2000u);
    const std::string bytes = saved(n);
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_LT(bytes.size(), 200u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\xAB\xAB\x12\x12\xD0\x07\x00\x00", 8));
    EXPECT_EQ(loaded(bytes).text(), n.text());

    // 1023 bytes stay plain; 1024 are compressed.
    n.setText(std::string(1023 - k_DECL.size() - 7, 'a'));
    EXPECT_EQ(saved(n).size(), 1023u);
    n.setText(std::string(1024 - k_DECL.size() - 7, 'a'));
    EXPECT_LT(saved(n).size(), 100u);
}

TEST(XNodeIO, ContainersInterworkWithZlib) {
    for (size_t photo : {size_t{3000}, size_t{40000}}) {
        XNode tree = messageTree(photo);
        const std::string xml = XNodeIO::dump(tree);
        // What we write, plain zlib inflates to the same text.
        const std::string ours = saved(tree);
        ASSERT_TRUE(core::Compressor::isContainer(ours.data(), ours.size()));
        std::string inflated(xml.size() + 1, '\0');
        uLongf size = inflated.size();
        ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(inflated.data()), &size,
                             reinterpret_cast<const Bytef*>(ours.data() + 8), ours.size() - 8),
                  Z_OK);
        EXPECT_EQ(inflated.substr(0, size), xml);
        // What zlib writes at any level, we load.
        for (int level : {0, 1, 6, 9}) {
            EXPECT_EQ(loaded(containerFromZlib(xml, level)).debugString(), tree.debugString())
                << level;
        }
    }
    // Declared zero is an empty document.
    EXPECT_FALSE(loaded(containerFromZlib("<a/>", 6, 0)).hasContent());
}

TEST(XNodeIO, DamagedContainersFailCleanly) {
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING | testutil::LogLines::e_EVERY_LINE};
    XNode tree = messageTree(3000);
    const std::string good = saved(tree);
    ASSERT_TRUE(core::Compressor::isContainer(good.data(), good.size()));

    std::string flipped = good;
    flipped[40] ^= 0x5A;
    flipped[41] ^= 0x33;
    loaded(flipped, false);
    loaded(good.substr(0, good.size() / 2), false);  // truncated stream
    loaded(good.substr(0, 8), false);                // header only
    std::string badHeader = good;
    badHeader[8] = 0;  // zlib header
    loaded(badHeader, false);
    EXPECT_GE(
        log.count("core::Compressor::decompress - failed to uncompress summary: ", core::LOG_WARN),
        4);
    EXPECT_GE(log.count("Log at xml_xnode:1263", core::LOG_WARN), 4);

    // The stream must end exactly at the declared length.
    const std::string xml = XNodeIO::dump(tree);
    log.clear();
    std::string out;
    for (long declared :
         {100L, static_cast<long>(xml.size()) - 1, static_cast<long>(xml.size()) + 1,
          static_cast<long>(xml.size()) + 5000}) {
        const std::string c = containerFromZlib(xml, 6, declared);
        EXPECT_FALSE(core::Compressor::decompress(c.data(), c.size(), &out)) << declared;
        EXPECT_TRUE(out.empty());
    }
    EXPECT_EQ(log.count("core::Compressor::decompress - failed to uncompress summary: -5"), 2);
    EXPECT_EQ(log.count("core::Compressor::decompress - failed to uncompress summary: -3"), 2);

    // A peer cannot make us allocate what it declares: not beyond the cap,
    // nor more than its stream could inflate to.
    log.clear();
    std::string huge = good;
    huge[4] = huge[5] = huge[6] = huge[7] = '\xFF';
    loaded(huge, false);
    EXPECT_EQ(
        log.count("declared length 4294967295 exceeds the limit of 67108864 bytes", core::LOG_WARN),
        1);
    const uint32_t ceiling = static_cast<uint32_t>(good.size() - 8) * core::Compressor::k_MAX_RATIO;
    for (uint32_t declared :
         {ceiling + core::Compressor::k_MAX_RATIO, core::Compressor::k_MAX_DECLARED_LENGTH}) {
        std::string bomb = good;
        std::memcpy(&bomb[4], &declared, 4);
        loaded(bomb, false);
    }
    EXPECT_EQ(log.count("failed to uncompress summary: -3", core::LOG_WARN), 2);

    // Short and foreign blocks handed to the decompressor are reported.
    log.clear();
    out = "stale";
    EXPECT_FALSE(core::Compressor::decompress("\xAB\xAB\x12", 3, &out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(log.count("(data_size (3) < sizeof(CompressorHeader) (8))"), 1);
    EXPECT_FALSE(core::Compressor::decompress("12345678", 8, &out));
    EXPECT_EQ(log.failedChecks(), 2);
}

TEST(XNodeIO, HostileDocumentsNeitherStopNorExpand) {
    // Failed checks stop by default: nothing here may reach one that does.
    ASSERT_TRUE(core::Assert::stopOnFailedCheck());
    const std::string laughs =
        "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\">"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c "
        "\"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
        "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e "
        "\"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
        "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\"><!ENTITY g "
        "\"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">"
        "<!ENTITY h \"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\"><!ENTITY i "
        "\"&h;&h;&h;&h;&h;&h;&h;&h;&h;&h;\">"
        "]><l>&i;</l>";
    XNode n;
    EXPECT_FALSE(n.load(laughs));  // the parser refuses the amplification
    EXPECT_FALSE(n.hasContent());
    // External entities are neither fetched nor read.
    const std::string external =
        "<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/hostname\">]>"
        "<x>&e;</x>";
    EXPECT_TRUE(n.load(external));
    EXPECT_EQ(n.text(), "");
    EXPECT_TRUE(
        n.load("<?xml version=\"1.0\"?><!DOCTYPE x SYSTEM \"http://127.0.0.1:9/x.dtd\"><x>t</x>"));
    EXPECT_EQ(n.text(), "t");

    // Deep nesting: refused, never a stack overflow.
    const auto nested = [](int depth) {
        std::string doc;
        for (int i = 0; i < depth; ++i) {
            doc += "<a>";
        }
        doc += "x";
        for (int i = 0; i < depth; ++i) {
            doc += "</a>";
        }
        return doc;
    };
    EXPECT_FALSE(n.load(nested(100000)));
    EXPECT_FALSE(n.load(nested(XNodeIO::k_MAX_DEPTH + 1)));
    EXPECT_TRUE(n.load(nested(XNodeIO::k_MAX_DEPTH)));
    const XNode* leaf = &n;
    for (int i = 1; i < XNodeIO::k_MAX_DEPTH; ++i) {
        leaf = &leaf->child("a");
    }
    EXPECT_EQ(leaf->text(), "x");

    for (const char* bad : {"<", "<a>", "<a></b>", "\xAB\xAB\x12", "x", "<a>\xFF</a>",
                            "<?xml version=\"1.0\"?>", "{", "{\"a\":", "{,}"}) {
        EXPECT_FALSE(n.load(bad)) << bad;
    }
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    core::Assert::setStopOnFailedCheck(true);
    core::MasterLogger::enable(core::LOG_NORM);
    EXPECT_FALSE(n.load("<a>"));
    EXPECT_EQ(log.count("XML::Xml2Doc::loadFromMem - failed loading doc", core::LOG_NORM), 1);
}

TEST(XNodeIO, ParserOptionsAcceptWhatThePlainParserAccepts) {
    // The loader parses with explicit safe options; it must accept and refuse
    // the same documents as the library's plain memory parser.
    const char* docs[] = {
        "<a/>",
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>\xE9</a>",
        "<a>\xE9</a>",
        "<a><b></a>",
        "<a>&unknown;</a>",
        "<!DOCTYPE a [<!ENTITY e \"v\">]><a>&e;</a>",
        "<a xmlns:p=\"u\"><p:b/></a>",
        "<a>&#0;</a>",
        "<a b=\"1\" b=\"2\"/>",
        "  <a/>  ",
        "<a/><b/>",
        "<a><![CDATA[x]]></a>",
        "<?pi x?><a/>",
    };
    for (const char* doc : docs) {
        xmlDocPtr plain = xmlParseMemory(doc, static_cast<int>(std::strlen(doc)));
        XNode n;
        EXPECT_EQ(n.load(doc), plain != nullptr) << doc;
        xmlFreeDoc(plain);
    }
}

TEST(XNodeIO, LegacyJsonFallback) {
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    XNode n = loaded("{\"_root\":\"msg\",\"a\":true}");
    EXPECT_EQ(n.name(), "msg");
    EXPECT_EQ(n.child("a").text(), "1");
    EXPECT_EQ(log.count("xml_xnode:1291 (CHECKF) (falling back to legacy JSON ({\"_root\""), 1);

    loaded("{\"k\":[[1]]}", false);
    EXPECT_EQ(log.count("XML::XNode::load - failed loading legacy JSON (can't create array "
                        "within array 'k' in 'root')",
                        core::LOG_WARN),
              1);
    // Leading whitespace is XML's business, not JSON's.
    loaded(" {\"a\":1}", false);
}

}  // namespace
}  // namespace NS_XML
