#include "xml_xnode.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "testsupport_logcapture.h"

namespace NS_XML {
namespace {

using ::testing::HasSubstr;

TEST(XNode, ChildLookupAppendsOnceAndKeepsReferencesStable) {
    XNode root("root");
    XNode& a = root.child("a");
    EXPECT_EQ(&a, &root.child("a"));
    root.addChild("b");
    root.addChild("b");
    EXPECT_EQ(root.numChildren(), 3u);
    EXPECT_TRUE(root.hasChild("b"));
    EXPECT_FALSE(root.hasChild("B"));

    // Appending many children must not move the ones already handed out.
    a.setText("kept");
    for (int i = 0; i < 10000; ++i) {
        root.addChild("n");
    }
    EXPECT_EQ(&a, &root.childAt(0));
    EXPECT_EQ(a.text(), "kept");
}

TEST(XNode, MisuseIsReportedAndRepaired) {
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    XNode root("p");
    XNode& bad = root.addChild("");
    EXPECT_EQ(bad.name(), "_error");
    EXPECT_EQ(log.count("GASSERT failed at xml_xnode:"), 1);

    // A child added to a node with text drops the text.
    XNode& withText = root.addChild("t");
    withText.setText("x");
    withText.addChild("c");
    EXPECT_FALSE(withText.hasText());
    EXPECT_EQ(withText.numChildren(), 1u);
    EXPECT_EQ(log.count("(t,c)"), 1);

    // Text set on a node with children drops them and the array flag.
    XNode& array = root.addArray("arr");
    array.addArrayItem().setText("1");
    array.setText("plain");
    EXPECT_FALSE(array.isArray());
    EXPECT_EQ(array.numChildren(), 0u);
    EXPECT_EQ(array.text(), "plain");
    EXPECT_EQ(log.failedChecks(), 3);

    // An item added to a node that is not an array is a severity-1 check.
    XNode& notArray = root.addChild("plain");
    EXPECT_EQ(notArray.addArrayItem().name(), "i");
    EXPECT_EQ(log.count("(isArray())"), 1);
}

TEST(XNode, InvalidUtf8IsCutAfterHexDump) {
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    XNode n("n");
    n.setText(std::string("a\xC3", 2));
    EXPECT_EQ(n.text(), "a");
    EXPECT_EQ(log.failedChecks(), 1);
    EXPECT_EQ(log.count("61 c3"), 1);

    const std::string valid = "\x41\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 long enough ascii run";
    n.setText(valid);
    EXPECT_EQ(n.text(), valid);
    n.setText("abcdefgh\x80rest");  // stray continuation byte after an ASCII run
    EXPECT_EQ(n.text(), "abcdefgh");
    n.setText("ok\xE2\x82");  // incomplete three-byte sequence at the end
    EXPECT_EQ(n.text(), "ok");
    n.setText("x\xF8\x80");  // not a lead byte
    EXPECT_EQ(n.text(), "x");
    EXPECT_EQ(log.failedChecks(), 4);

    // The dump stops after 1024 bytes: 64 lines of 16 bytes.
    log.clear();
    n.setText(std::string(5000, 'z') + "\xFF");
    EXPECT_EQ(n.text().size(), 5000u);
    const std::string line = log.lines().at(0).d_text;
    EXPECT_THAT(line, HasSubstr("\n03f0:"));
    EXPECT_THAT(line, ::testing::Not(HasSubstr("\n0400:")));
}

TEST(XNode, UnsatisfiableAccessesGiveEmptyNodeAndCount) {
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    XNode::resetAccessErrors();
    XNode root("r");
    root.addChild("a");
    root.addChild("b");
    const XNode& constRoot = root;
    const XNode& missing = constRoot.childAt(5);
    EXPECT_EQ(&missing, &XNode::emptyNode());
    EXPECT_TRUE(missing.text().empty());
    EXPECT_EQ(log.count("GASSERT failed at xml_xnode:690"), 1);
    EXPECT_EQ(XNode::accessErrors(), 1u);

    // Writes through a failed mutable access never reach the shared node.
    root.childAt(7).setText("lost");
    root.childAt(7).addChild("lost");
    EXPECT_FALSE(XNode::emptyNode().hasContent());
    EXPECT_EQ(&constRoot.child("nothing"), &XNode::emptyNode());
    EXPECT_EQ(XNode::accessErrors(), 4u);

    // The counter belongs to the thread.
    uint64_t other = 99;
    std::thread([&] { other = XNode::accessErrors(); }).join();
    EXPECT_EQ(other, 0u);
}

TEST(XNode, TextAsInt) {
    XNode::resetAccessErrors();
    XNode n("n");
    n.setText("42");
    EXPECT_EQ(n.textAsInt(), 42);
    n.setText("-17");
    EXPECT_EQ(n.textAsInt(), -17);
    n.setText(" 12 ");
    EXPECT_EQ(n.textAsInt(), 12);
    EXPECT_EQ(XNode::accessErrors(), 0u);
    n.setText("4x");
    EXPECT_EQ(n.textAsInt(), 0);
    n.setText("99999999999");
    EXPECT_EQ(n.textAsInt(), 0);
    EXPECT_EQ(XNode::accessErrors(), 2u);
    // A node without any content is not an error.
    EXPECT_EQ(XNode("e").textAsInt(), 0);
    EXPECT_EQ(XNode::emptyNode().textAsInt(), 0);
    EXPECT_EQ(XNode::accessErrors(), 2u);

    XNode p("p");
    p.set("neg", -5);
    p.set("big", int64_t{1} << 40);
    p.set("s", "v");
    EXPECT_EQ(p.child("neg").text(), "-5");
    EXPECT_EQ(p.child("big").text(), "1099511627776");
    EXPECT_EQ(p.child("s").text(), "v");
}

TEST(XNode, IterationWithAndWithoutFilter) {
    XNode root("r");
    root.addChild("i").setText("1");
    root.addChild("x").setText("2");
    root.addChild("i").setText("3");
    std::string seen;
    for (const XNode& c : root.children("i")) {
        seen += c.text();
    }
    EXPECT_EQ(seen, "13");
    seen.clear();
    for (XNode& c : root) {
        seen += c.name();
    }
    EXPECT_EQ(seen, "ixi");
    for (const XNode& c : root.children(std::string("missing"))) {
        ADD_FAILURE() << c.name();
    }

    // Equality: parent and position, and the filter unless both at the end.
    const XNode& cr = root;
    EXPECT_EQ(cr.children("i").end(), cr.end());
    EXPECT_NE(cr.children("i").begin(), cr.begin());
    EXPECT_EQ(cr.children("i").begin(), cr.children("i").begin());
    XNode empty("e");
    EXPECT_EQ(empty.begin(), empty.end());
}

TEST(XNode, DereferencingAtTheEndIsReported) {
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    XNode root("par");
    root.addChild("a");
    const XNode& cr = root;
    auto it = cr.end();
    EXPECT_EQ(&*it, &XNode::emptyNode());
    EXPECT_EQ(log.count("XNode(par)::iterator::operator*() - d_index=", core::LOG_CRIT), 1);
    EXPECT_EQ(log.count("GASSERT failed at xml_xnode:1608"), 1);
}

TEST(XNode, CopyIsDeepAndClearKeepsName) {
    XNode root("r");
    root.setAttribute("k", "v");
    root.addArray("list").addArrayItem().set("x", 1);
    XNode copy(root);
    root.child("list").childAt(0).child("x").setText("changed");
    EXPECT_EQ(copy.child("list").childAt(0).child("x").text(), "1");
    EXPECT_TRUE(copy.child("list").isArray());
    EXPECT_EQ(copy.attribute("k"), "v");

    copy.clear();
    EXPECT_EQ(copy.name(), "r");
    EXPECT_FALSE(copy.hasContent());
    EXPECT_FALSE(copy.isArray());
}

}  // namespace
}  // namespace NS_XML
