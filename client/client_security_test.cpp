#include "client_security.h"

#include <gtest/gtest.h>

#include "utl_inireader.h"

namespace {

SecurityPolicy policyOf(const char* text) {
    utl::IniReader ini;
    ini.load(text);
    return SecurityPolicy::fromIni(ini);
}

TEST(SecurityPolicy, ListsAreReadAndComparedAsWmiNamesThem) {
    const SecurityPolicy open = policyOf("[NVR]\nPort 1\n");
    EXPECT_TRUE(open.allowsNamespace("root\\CIMV2"));
    EXPECT_TRUE(open.allowsMethod("Win32_Process", "Create", ""));
    EXPECT_EQ(open.describe(), "The NVR may use every namespace and method");

    const SecurityPolicy p = policyOf(
        "[Security]\nNamespaces=\\\\.\\root\\AccessControl,root/Other\n"
        "Methods=\" Door.Unlock , door.LOCK \"\n");
    EXPECT_TRUE(p.allowsNamespace("ROOT\\accesscontrol"));
    EXPECT_TRUE(p.allowsNamespace("\\\\.\\root\\other"));
    EXPECT_FALSE(p.allowsNamespace("\\\\server\\root\\AccessControl"));
    EXPECT_FALSE(p.allowsNamespace("root"));
    EXPECT_TRUE(p.allowsMethod("DOOR", "unlock", ""));
    EXPECT_TRUE(p.allowsMethod("Door", "Lock", "Door.Name=\"a:b.c\""));
    EXPECT_FALSE(p.allowsMethod("Door", "Open", ""));
    // The instance decides the class and the namespace the method runs in.
    EXPECT_FALSE(p.allowsMethod("Door", "Lock", "Win32_Process.Handle=\"1\""));
    EXPECT_TRUE(p.allowsMethod("Door", "Lock", "\\\\.\\root\\AccessControl:Door.Name=\"A\""));
    EXPECT_FALSE(p.allowsMethod("Door", "Lock", "\\\\.\\root\\CIMV2:Door.Name=\"A\""));
    EXPECT_EQ(p.describe(),
              "The NVR may use namespaces: \\\\.\\root\\AccessControl, root/Other; methods: "
              "Door.Unlock, door.LOCK");

    const SecurityPolicy none = policyOf("[Security]\nMethods=NONE\nNamespaces \",\"\n");
    EXPECT_FALSE(none.allowsNamespace(""));
    EXPECT_FALSE(none.allowsMethod("Door", "Lock", ""));
    EXPECT_NE(none, open);
}

}  // namespace
