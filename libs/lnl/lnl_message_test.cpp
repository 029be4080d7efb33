#include "lnl_message.h"

#include <gtest/gtest.h>

#include "xml_xnode.h"

namespace {

const std::string k_DECL = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";

std::string saved(const Message& m) {
    NS_XML::XNode tree;
    toTree(m, &tree);
    return tree.save().str();
}

bool readXml(const std::string& body, Message* m) {
    NS_XML::XNode tree;
    std::string text = k_DECL + body;
    return tree.load(text) && fromTree(tree, m);
}

TEST(Message, UnsignedOutputsAreReadStrictly) {
    Message m;
    m.params_out = {{"SerialNumber", "18446744073709551615", "str"},
                    {"Big", "18446744073709551616", ""},
                    {"Letters", "12a", ""},
                    {"Empty", "", ""},
                    {"Negative", "-1", ""}};
    uint64_t v = 0;
    EXPECT_TRUE(unsignedOutput(m, "serialnumber", &v));
    EXPECT_EQ(v, 18446744073709551615ull);
    for (const char* name : {"Big", "Letters", "Empty", "Negative", "Missing"}) {
        EXPECT_FALSE(unsignedOutput(m, name, &v)) << name;
    }
}

TEST(Message, TreeFormWritesOnlyWhatIsSetInTheFixedOrder) {
    Message m;
    m.action = 2;
    m.class_name = "Door";
    m.target_instance = "Door.ID=1";
    m.method_name = "Open";
    m.params_in.push_back({"a", "", ""});
    m.params_out.push_back({"b", "x<y", "str"});
    EXPECT_EQ(saved(m), k_DECL +
                            "<root><action>2</action><class_name>Door</class_name>"
                            "<method_name>Open</method_name><target_instance>Door.ID=1"
                            "</target_instance><params_in><parameter><name>a</name></parameter>"
                            "</params_in><params_out><parameter><name>b</name><value>x&lt;y"
                            "</value><type>str</type></parameter></params_out></root>");

    Message negative;
    negative.action = -7;
    EXPECT_EQ(saved(negative),
              k_DECL + "<root><action>-7</action><class_name></class_name></root>");
}

TEST(Message, RoundTripKeepsEveryField) {
    Message m;
    m.action = 1;
    m.class_name = "Lnl_Badge";
    m.params_in = {{"id", "12", "str"}, {"empty", "", ""}};
    m.params_out = {{"personid", "", "str"}, {"name", "J\xc3\xbcrgen", "str"}};
    NS_XML::XNode tree;
    toTree(m, &tree);
    NS_XML::XNode loaded;
    std::string bytes = tree.save().str();
    ASSERT_TRUE(loaded.load(bytes));
    Message back;
    ASSERT_TRUE(fromTree(loaded, &back));
    EXPECT_EQ(back, m);
}

TEST(Message, ReadingAcceptsAnyParameterNameAndRejectsBrokenTrees) {
    Message m;
    ASSERT_TRUE(
        readXml("<root><action>1</action><class_name>C</class_name><params_in>"
                "<item><name>n</name><value>v</value></item></params_in></root>",
                &m));
    ASSERT_EQ(m.params_in.size(), 1u);
    EXPECT_EQ(m.params_in[0], (Parameter{"n", "v", ""}));

    EXPECT_FALSE(
        readXml("<root><action>1</action><class_name>C</class_name>"
                "<params_in></params_in></root>",
                &m));
    EXPECT_FALSE(
        readXml("<root><action>1</action><class_name>C</class_name>"
                "<params_out><parameter><value>v</value></parameter></params_out></root>",
                &m));
    EXPECT_FALSE(readXml("<msg><action>1</action><class_name>C</class_name></msg>", &m));
    EXPECT_FALSE(readXml("<root><action>1</action></root>", &m));
    EXPECT_FALSE(readXml("<root><class_name>C</class_name></root>", &m));

    ASSERT_TRUE(readXml("<root><action>abc</action><class_name></class_name></root>", &m));
    EXPECT_EQ(m.action, 0);
}

}  // namespace
