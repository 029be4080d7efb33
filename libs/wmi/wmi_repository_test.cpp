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

}  // namespace
