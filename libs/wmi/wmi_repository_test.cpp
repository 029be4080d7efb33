// wmi_repository_test.cpp
#include "wmi_repository.h"
#include "wmi_testutil.h"

#include <gtest/gtest.h>

using namespace wmi::standin;

namespace {

TEST(RepositoryTest, NamespacesMatchWithAnyLocalPrefixSeparatorAndCase) {
    const std::shared_ptr<const Repository> repo = wmi::test::testRepository();
    for (const std::string& path :
         {std::string("root\\Test"), std::string("ROOT\\test"), std::string("root/test"),
          std::string("\\\\.\\root\\Test"), std::string("//./root/test"),
          std::string("\\\\localhost\\Root\\Test"), std::string("\\\\LOCALHOST/root/TEST"),
          "\\\\" + serverName() + "\\root\\Test"}) {
        const Namespace* ns = repo->findNamespace(path);
        ASSERT_NE(nullptr, ns) << path;
        EXPECT_EQ("root\\Test", ns->d_name);
    }
    for (const char* path : {"root\\Nope", "", "root", "root\\Test\\", "\\\\.\\", "root\\\\Test",
                             "\\\\otherhost\\root\\Test", "\\\\.", "\\root\\Test"}) {
        EXPECT_EQ(nullptr, repo->findNamespace(path)) << path;
    }
}

TEST(RepositoryTest, ClassesKnowTheirAncestorsPropertiesAndMethods) {
    const std::shared_ptr<const Repository> repo = wmi::test::testRepository();
    const Namespace& ns = *repo->findNamespace("root\\Test");
    const std::shared_ptr<const ClassDecl> fire = ns.findClass("FIRE");
    ASSERT_TRUE(fire);
    EXPECT_TRUE(fire->isA("alarm") && fire->isA("__Event") && fire->isA("Fire"));
    EXPECT_FALSE(fire->isA("Thing"));
    EXPECT_EQ(fire->d_properties.size() - 1, static_cast<size_t>(fire->findProperty("level")));
    EXPECT_EQ(-1, fire->findProperty("Nope"));
    EXPECT_FALSE(fire->hasKeys());
    EXPECT_TRUE(ns.findClass("Account")->hasKeys());
    EXPECT_EQ(static_cast<HRESULT>(0x80041003u), *ns.findClass("Forbidden")->d_subscribe_error);
    EXPECT_EQ(nullptr, ns.findClass("Nope"));
}

}  // namespace
