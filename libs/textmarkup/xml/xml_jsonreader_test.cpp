#include "xml_jsonreader.h"

#include <gtest/gtest.h>

#include "testsupport_logcapture.h"
#include "xml_xnodeio.h"

namespace NS_XML {
namespace {

struct Result {
    bool ok;
    std::string error;
    XNode tree;
};

Result read(std::string_view json, bool arrayMode = false) {
    Result r{false, {}, XNode()};
    JsonReader reader(arrayMode, json.data(), json.data() + json.size());
    r.ok = reader.load(r.tree);
    r.error = reader.error();
    return r;
}

TEST(JsonReader, BuildsTheTreeXmlWouldGive) {
    Result r = read("{\"a\":\"x\",\"b\":{\"c\":1}, \"n\" : null ,\"f\":false,\"e\":-0.5E+3}");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.tree.name(), "root");
    EXPECT_EQ(r.tree.child("a").text(), "x");
    EXPECT_EQ(r.tree.child("b").child("c").text(), "1");
    EXPECT_TRUE(r.tree.child("n").hasText());
    EXPECT_EQ(r.tree.child("n").text(), "");
    EXPECT_EQ(r.tree.child("f").text(), "0");
    EXPECT_EQ(r.tree.child("e").text(), "-0.5E+3");

    r = read("\r\n\t {\"_root\":\"msg\",\"a\":true,\"a\":[]} trailing garbage");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.tree.name(), "msg");
    EXPECT_EQ(r.tree.numChildren(), 1u);
    EXPECT_EQ(r.tree.child("a").text(), "1");

    // Nested "_root" is an ordinary key.
    r = read("{\"o\":{\"_root\":\"x\"}}");
    EXPECT_EQ(r.tree.child("o").child("_root").text(), "x");

    for (const char* number : {"1e5", "1e+5", "0", "-12.25", "3E-2"}) {
        r = read(std::string("{\"k\":") + number + "}");
        EXPECT_TRUE(r.ok) << number << ": " << r.error;
        EXPECT_EQ(r.tree.child("k").text(), number);
    }
}

TEST(JsonReader, ArraysInBothModes) {
    Result legacy = read("{\"k\":[1,\"two\",{\"x\":3}],\"e\":[]}");
    ASSERT_TRUE(legacy.ok) << legacy.error;
    ASSERT_EQ(legacy.tree.numChildren(), 3u);
    EXPECT_EQ(legacy.tree.childAt(0).text(), "1");
    EXPECT_EQ(legacy.tree.childAt(1).text(), "two");
    EXPECT_EQ(legacy.tree.childAt(2).name(), "k");
    EXPECT_EQ(legacy.tree.childAt(2).child("x").text(), "3");
    EXPECT_FALSE(legacy.tree.hasChild("e"));

    Result arrays = read("{\"k\":[1,{\"x\":3}],\"e\":[]}", true);
    ASSERT_TRUE(arrays.ok) << arrays.error;
    const XNode& k = arrays.tree.child("k");
    EXPECT_TRUE(k.isArray());
    ASSERT_EQ(k.numChildren(), 2u);
    EXPECT_EQ(k.childAt(0).name(), "i");
    EXPECT_EQ(k.childAt(0).text(), "1");
    EXPECT_EQ(k.childAt(1).child("x").text(), "3");
    EXPECT_TRUE(arrays.tree.child("e").isArray());
    EXPECT_EQ(XNodeIO::dump(arrays.tree),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?><root><k is_array=\"1\"><i>1</i><i><x>3"
              "</x></i></k><e is_array=\"1\"/></root>");
}

TEST(JsonReader, StringEscapesKeepSingleBytes) {
    Result r = read(R"({"s":"q\"s\/b\\\b\f\n\r\t|\u00e9\u0041"})");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.tree.child("s").text(),
              "q\"s/b\\\b\f\n\r\t|\xE9"
              "A");
}

TEST(JsonReader, ErrorTexts) {
    const struct {
        const char* json;
        const char* error;
    } cases[] = {
        {R"({"k":[[1]]})", "can't create array within array 'k' in 'root'"},
        {R"({"s":"\u0000"})", "Error loading value 's' in object 'root' (unhandled escape value)"},
        {R"({"s":"\u0100"})", "Error loading value 's' in object 'root' (unhandled escape value)"},
        {R"({"s":"\u00g1"})",
         "Error loading value 's' in object 'root' (non-hex escape character [2] 103 'g')"},
        {R"({"s":"\x"})", "Error loading value 's' in object 'root' (unhandled escape character)"},
        {R"({"s":"abc)", "Error loading value 's' in object 'root' (unexpected end of string)"},
        {R"({"k":01})",
         "Error loading value 'k' in object 'root' (unexpected char at end of number)"},
        {R"({"k":1)",
         "Error loading value 'k' in object 'root' (unexpected char at end of number)"},
        {R"({"k":1.})", "Error loading value 'k' in object 'root' (expected digit after '.')"},
        {R"({"k":1e})",
         "Error loading value 'k' in object 'root' (expected digit or +/- after 'e')"},
        {R"({"k":1e+})", "Error loading value 'k' in object 'root' (expected digit after 'e')"},
        {R"({"k":-x})", "Error loading value 'k' in object 'root' (expected digit at start)"},
        {R"({"k":tru})",
         "Error loading value 'k' in object 'root' (value started with 't' but not 'true')"},
        {R"({"k":fals })",
         "Error loading value 'k' in object 'root' (value started with 'f' but not 'false')"},
        {R"({"k":nul})",
         "Error loading value 'k' in object 'root' (value started with 'n' but not 'null')"},
        {R"({"k":@})",
         "Error loading value 'k' in object 'root' (unexpected first char (0x40) in value)"},
        {R"({,"a":1})", "unexpected ',' in object 'root'"},
        {R"({"a":1 "b":2})", "expected ',' in object 'root' after 'a'"},
        {R"({"a":{"b":1,}})", "Expected '\"' in object 'a', got '}'"},
        {R"({a:1})", "Expected '\"' in object 'root', got 'a'"},
        {R"({"":1})", "Empty variable name in object 'root'"},
        {R"({"a" 1})", "Expected ':' after 'a' in object 'root'"},
        {R"({"a":1 )", "unexpected end of object"},
        {R"({"k":[,1]})", "unexpected ',' in array 'k' in 'root'"},
        {R"({"k":[1 2]})", "expected ',' in array 'k' in 'root'"},
        {R"({"k":[1,@]})",
         "failed loading value in array 'k' in 'root' (unexpected first char (0x40) in value)"},
        {R"({"k":[1,)", "unexpected end of object"},
        {R"({"_root":{}})", "Error loading _root (unexpected first char (0x7b) in value)"},
        {"[1]", ""},
        {"  x", ""},
    };
    for (const auto& c : cases) {
        Result r = read(c.json);
        EXPECT_FALSE(r.ok) << c.json;
        EXPECT_EQ(r.error, c.error) << c.json;
    }
    // What was built before the error stays.
    Result partial = read(R"({"a":1,"b":{"c":2,"d":x}})");
    EXPECT_FALSE(partial.ok);
    EXPECT_EQ(partial.tree.child("b").child("c").text(), "2");
}

TEST(JsonReader, OutsideInputNeverStops) {
    ASSERT_TRUE(core::Assert::stopOnFailedCheck());
    // Consistency checks on "_root" are reported, not fatal.
    testutil::LogLines log{testutil::LogLines::e_KEEP_GOING};
    core::Assert::setStopOnFailedCheck(true);
    Result r = read(R"({"a":1,"_root":""})");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(log.count("(!v.empty())"), 1);
    EXPECT_EQ(log.count("(!node.hasContent())"), 1);

    Result none = read("");
    EXPECT_FALSE(none.ok);
    EXPECT_EQ(log.count("Log at xml_jsonreader:53", core::LOG_WARN), 1);

    // Nesting deep enough to exhaust a stack is refused.
    std::string deep;
    for (int i = 0; i < 200000; ++i) {
        deep += "{\"a\":";
    }
    r = read(deep);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "nesting deeper than 256 in object 'a'");
    deep = "{\"k\":[";
    for (int i = 0; i < 200000; ++i) {
        deep += "{\"k\":[";
    }
    EXPECT_FALSE(read(deep).ok);
}

}  // namespace
}  // namespace NS_XML
