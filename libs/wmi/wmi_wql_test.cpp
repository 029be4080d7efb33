// wmi_wql_test.cpp
#include "wmi_wql.h"
#include "wmi_testutil.h"

#include <gtest/gtest.h>

using namespace wmi::standin;

namespace {

const Namespace& testNamespace() {
    static const std::shared_ptr<const Repository> s_repo = wmi::test::testRepository();
    return *s_repo->findNamespace("root\\Test");
}

// Binds 'text' in the test namespace; the code of the first step that fails.
HRESULT bind(const std::string& text, BoundQuery* out) {
    WqlQuery query;
    if (!parseWql(text, &query)) {
        return WBEM_E_INVALID_QUERY;
    }
    return bindWql(query, testNamespace(), out);
}

// The names of the instances of root\Test that 'text' matches, in file order.
std::vector<std::string> matching(const std::string& text) {
    BoundQuery bound;
    std::vector<std::string> names;
    EXPECT_EQ(S_OK, bind(text, &bound)) << text;
    for (const auto& inst : testNamespace().d_instances) {
        if (bound.d_class && matches(bound, *inst)) {
            names.push_back(scalarText(inst->d_values[0].d_items.front()));
        }
    }
    return names;
}

TEST(WqlTest, ConditionsCompareByThePropertysType) {
    WqlQuery q;
    ASSERT_TRUE(parseWql("select * from thing where text = 'a b' and  U32=7 AND Flag = TRUE", &q));
    EXPECT_EQ("thing", q.d_class);
    ASSERT_EQ(3u, q.d_conditions.size());
    EXPECT_EQ("a b", q.d_conditions[0].d_literal);
    EXPECT_EQ("7", q.d_conditions[1].d_literal);
    EXPECT_EQ("TRUE", q.d_conditions[2].d_literal);

    using Names = std::vector<std::string>;
    EXPECT_EQ((Names{"full", "Other", "third"}), matching("SELECT * FROM Thing"));
    // Strings compare without case; numbers by value, whatever the quoting.
    EXPECT_EQ((Names{"Other", "third"}), matching("select * from thing where text = 'other'"));
    EXPECT_EQ((Names{"Other", "third"}),
              matching("SELECT * FROM Thing WHERE U32 = '0x7' AND Text = \"Other\""));
    EXPECT_EQ((Names{"Other"}), matching("SELECT * FROM Thing WHERE U32 = 7 AND Flag = 'false'"));
    EXPECT_EQ((Names{"full"}), matching("SELECT * FROM Thing WHERE S64 = '-9000000000'"));
    // A null value matches nothing.
    EXPECT_EQ((Names{}), matching("SELECT * FROM Thing WHERE S8 = 0"));
    // Instances of the class and of classes derived from it answer.
    BoundQuery alarm;
    ASSERT_EQ(S_OK, bind("SELECT * FROM Alarm WHERE Zone = 'north'", &alarm));
    const Namespace& ns = testNamespace();
    Instance fire{ns.findClass("Fire"), {}};
    fire.d_values.resize(fire.d_class->d_properties.size());
    fire.d_values[fire.d_class->findProperty("Zone")] = Value::scalar(std::string("NORTH"));
    EXPECT_TRUE(matches(alarm, fire));
    fire.d_class = ns.findClass("Forbidden");
    EXPECT_FALSE(matches(alarm, fire));
}

TEST(WqlTest, EverythingElseIsAnInvalidQueryOrClass) {
    BoundQuery bound;
    for (const char* bad :
         {"SELECT Name FROM Thing", "SELECT * FROM Thing WHERE",
          "SELECT * FROM Thing WHERE Name = 'O'Brien'",
          "SELECT * FROM Thing WHERE Name = 'a' OR Text = 'b'",
          "SELECT * FROM Thing WHERE Name = 'open", "SELECT * FROM Thing WHERE Name = maybe",
          "SELECT * FROM Thing WHERE U32 = 'seven'", "SELECT * FROM Thing WHERE U8 = '300'",
          "SELECT * FROM Thing WHERE Missing = '1'", "SELECT * FROM Thing WHERE Bytes = '1'",
          "DELETE FROM Thing", ""}) {
        EXPECT_EQ(WBEM_E_INVALID_QUERY, bind(bad, &bound)) << bad;
    }
    EXPECT_EQ(WBEM_E_INVALID_CLASS, bind("SELECT * FROM Nope", &bound));
}

}  // namespace
