// wmi_objectpath_test.cpp
#include "wmi_objectpath.h"
#include "wmi_testutil.h"

#include <gtest/gtest.h>

using namespace wmi::standin;

namespace {

TEST(ObjectPathTest, PathsParseWithOrWithoutServerAndNamespace) {
    ObjectPath p;
    ASSERT_TRUE(parseObjectPath("Account", &p));
    EXPECT_EQ("Account", p.d_class);
    EXPECT_FALSE(p.d_instance);
    ASSERT_TRUE(parseObjectPath("\\\\.\\root\\Test:Account.Id=12,Region='e\\'u'", &p));
    EXPECT_TRUE(p.d_instance);
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"Id", "12"}, {"Region", "e'u"}}),
              p.d_keys);
    ASSERT_TRUE(parseObjectPath("//host/root:Thing.Name=\"a,b\"", &p));
    EXPECT_EQ("a,b", p.d_keys[0].second);
    for (const char* bad :
         {"", ".Id=1", "Account.", "Account.Id=", "Account.Id", "Account Id=1", "Account.Id=\"open",
          "\\\\host\\root\\Test", "\\\\host\\\"x:\"\\Test:Account"}) {
        EXPECT_FALSE(parseObjectPath(bad, &p)) << bad;
    }
}

TEST(ObjectPathTest, RelativePathsLeadBackToTheirInstance) {
    const std::shared_ptr<const Repository> repo = wmi::test::testRepository();
    const Namespace& ns = *repo->findNamespace("root\\Test");
    // Keys in alphabetical order, text quoted and escaped, numbers bare.
    const std::shared_ptr<const Instance> account = ns.d_instances[3];
    EXPECT_EQ("Account.Id=12,Region=\"eu\"", relativePath(*account));
    Instance quoted = *ns.d_instances[0];
    quoted.d_values[0] = Value::scalar(std::string("Lab \"B\" \\"));
    EXPECT_EQ("Thing.Name=\"Lab \\\"B\\\" \\\\\"", relativePath(quoted));
    EXPECT_EQ("", relativePath(*ns.findClass("Alarm"), {}));

    ObjectPath p;
    ASSERT_TRUE(parseObjectPath(relativePath(*account), &p));
    EXPECT_EQ(account, findInstance(ns, *ns.findClass("Account"), p));
    // Keys compare by type: numbers by value, text without case.
    ASSERT_TRUE(parseObjectPath("account.REGION='EU',id=0xC", &p));
    EXPECT_EQ(account, findInstance(ns, *ns.findClass("Account"), p));
    for (const char* miss : {"Account.Id=12", "Account.Id=13,Region='eu'",
                             "Account.Id=12,Owner='Ann'", "Account.Id='x',Region='eu'"}) {
        ASSERT_TRUE(parseObjectPath(miss, &p)) << miss;
        EXPECT_EQ(nullptr, findInstance(ns, *ns.findClass("Account"), p)) << miss;
    }
}

}  // namespace
