#include "client_security.h"

#include <gtest/gtest.h>

#include "lnl_message.h"
#include "utl_inireader.h"

namespace {

SecurityPolicy policyOf(const char* text,
                        std::vector<SecurityPolicy::Finding>* findings = nullptr) {
    std::vector<SecurityPolicy::Finding> ignored;
    return SecurityPolicy::fromText(text, "S", findings ? findings : &ignored);
}

TEST(SecurityPolicy, ListsAreReadAndComparedAsWmiNamesThem) {
    const SecurityPolicy open = policyOf("[NVR]\nPort 1\n");
    EXPECT_TRUE(open.allowsNamespace("root\\CIMV2"));
    EXPECT_TRUE(open.allowsMethod("Win32_Process", "Create"));
    EXPECT_EQ(open.describe(), "The NVR may use every namespace and method");
    EXPECT_EQ(open.unrestrictedBy(), "no section Security");

    const SecurityPolicy p = policyOf(
        "[security]\r\nnamespaces = \\\\.\\root\\AccessControl, root/Other ; note\r\n"
        "METHODS \" Door.Unlock , door.LOCK \"\n");
    EXPECT_TRUE(p.allowsNamespace("ROOT\\accesscontrol"));
    EXPECT_TRUE(p.allowsNamespace("\\\\.\\root\\other"));
    EXPECT_FALSE(p.allowsNamespace("\\\\server\\root\\AccessControl"));
    EXPECT_FALSE(p.allowsNamespace("root"));
    EXPECT_TRUE(p.allowsMethod("DOOR", "unlock"));
    EXPECT_FALSE(p.allowsMethod("Door", "Open"));
    EXPECT_EQ(p.unrestrictedBy(), "");
    EXPECT_EQ(p.describe(),
              "The NVR may use namespaces: \\\\.\\root\\AccessControl, root/Other; methods: "
              "Door.Unlock, door.LOCK");
    // As Windows editors save it: the section is found in UTF-16 too.
    const std::string utf16("\xFF\xFE[\0S\0e\0c\0u\0r\0i\0t\0y\0]\0", 22);
    std::string converted;
    EXPECT_EQ(policyOf(std::string(utl::IniReader::textOf(utf16, &converted)).c_str()).describe(),
              "The NVR may use namespaces: none; methods: none");
    EXPECT_EQ(policyOf("[Security]\nNamespaces=*\nMethods=*\n").unrestrictedBy(),
              "Namespaces=* and Methods=*");
    EXPECT_EQ(policyOf("[Security]\nNamespaces=root\nMethods=*\n").unrestrictedBy(), "Methods=*");
}

// A present section never fails open: whatever it does not state clearly
// allows nothing, and the log says which line.
TEST(SecurityPolicy, PresentSectionAllowsOnlyWhatItStates) {
    for (const char* text :
         {"[Security]\n", "[SECURITY]\nNamespaces=\nMethods=\n", "[Security]\nNamespaces = \"\"\n",
          "[Security]\nNamespaces=NONE\nMethods none\n"}) {
        std::vector<SecurityPolicy::Finding> findings;
        const SecurityPolicy p = policyOf(text, &findings);
        EXPECT_FALSE(p.allowsNamespace("root\\AccessControl")) << text;
        EXPECT_FALSE(p.allowsMethod("Door", "Open")) << text;
        EXPECT_EQ(p.describe(), "The NVR may use namespaces: none; methods: none") << text;
        EXPECT_TRUE(findings.empty()) << text;
    }
    std::vector<SecurityPolicy::Finding> findings;
    const SecurityPolicy p = policyOf(
        "[NVR]\nAddress=a\n[Security]\nNamespaces=root\\a root\\b\nMethods=Door.Open,,Door.Lock\n"
        "Method=Door.Open\nNamespaces=*\n",
        &findings);
    EXPECT_FALSE(p.allowsNamespace("root\\a"));
    EXPECT_FALSE(p.allowsMethod("Door", "Open"));
    ASSERT_EQ(findings.size(), 4u);
    EXPECT_TRUE(findings[0].critical);
    EXPECT_EQ(
        findings[0].text,
        "Settings file 'S' line 4: the value of Namespaces cannot be read, it allows nothing");
    EXPECT_EQ(findings[1].text,
              "Settings file 'S' line 5: the value of Methods cannot be read, it allows nothing");
    EXPECT_FALSE(findings[2].critical);
    EXPECT_EQ(findings[2].text,
              "Settings file 'S' line 6: unknown key 'Method' in section Security, ignored");
    EXPECT_EQ(findings[3].text,
              "Settings file 'S' line 7: Namespaces given twice in section Security, it allows "
              "nothing");
    for (const char* unreadable : {"Namespaces=\"root", "Namespaces=a\"b", "Methods=Door",
                                   "Methods=Door.Open,*", "Namespaces=root\\x\x01"}) {
        findings.clear();
        const SecurityPolicy q =
            policyOf((std::string("[Security]\n") + unreadable).c_str(), &findings);
        EXPECT_EQ(q.describe(), "The NVR may use namespaces: none; methods: none") << unreadable;
        EXPECT_EQ(findings.size(), 1u) << unreadable;
    }
}

TEST(SecurityPolicy, MethodTargetsAreReadAsObjectPaths) {
    const std::string ns = "root\\AccessControl";
    for (const char* allowed :
         {"Door", "door.Name=\"A\"", "Door.Name='x:Vault.y'", "Door.Name=\"a\\\"b:Vault\",Id=-3",
          "\\\\.\\root\\AccessControl:Door.Id=1", "//./ROOT/accesscontrol:Door=@",
          "\\\\HOST\\root\\AccessControl:Door.Id=1", "root\\AccessControl:Door.Id=TRUE"}) {
        EXPECT_EQ(methodTargetProblem(allowed, "Door", ns, "host"), "") << allowed;
    }
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"Vault.Name='x:Door.y'", "the target is of class 'Vault'"},
        {"Vault.Name=\"x:Door.y\"", "the target is of class 'Vault'"},
        {"\\\\.\\root\\cimv2:Door.Id=1", "the target names the namespace 'root\\cimv2'"},
        {"\\\\.\\root\\cimv2:Win32_Process", "the target names the namespace 'root\\cimv2'"},
        {"\\\\other\\root\\AccessControl:Door", "the target names the server 'other'"},
        {"Door.Name='open", "the target is not an object path"},
        {"Door.Name=\"a\"x", "the target is not an object path"},
        {"Door.Name=\"a\" ", "the target is not an object path"},
        {"Door.=1", "the target is not an object path"},
        {"Door x", "the target is not an object path"},
        {"\\\\.\\:Door", "the target is not an object path"},
    };
    for (const auto& [target, problem] : refused) {
        EXPECT_EQ(methodTargetProblem(target, "Door", ns, "host"), problem) << target;
    }
}

TEST(SecurityPolicy, ControlCharactersInNamesAreFound) {
    Message m;
    m.action = e_ACTION_EXECUTE;
    m.class_name = "Door";
    m.method_name = "Open";
    m.target_instance = "Door.Name=\"a\"";
    m.params_in.push_back({"Seconds", "line\none", "int"});
    EXPECT_EQ(fieldWithControlCharacter(m), nullptr);  // values are data, not names
    m.target_instance.insert(5, 1, '\0');
    EXPECT_STREQ(fieldWithControlCharacter(m), "target");
    m.method_name += '\x7f';
    EXPECT_STREQ(fieldWithControlCharacter(m), "method");
    m = Message();
    m.action = e_ACTION_LOOKUP;
    m.class_name = "Door";
    m.params_out.push_back({"Na\tme", "", ""});
    EXPECT_STREQ(fieldWithControlCharacter(m), "property");
    m.action = e_ACTION_NAMESPACE;
    m.params_out.clear();
    m.class_name = std::string("root\0x", 6);
    EXPECT_STREQ(fieldWithControlCharacter(m), "namespace");
}

}  // namespace
