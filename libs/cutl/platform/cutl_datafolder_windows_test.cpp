// Wine keeps no owners or access lists on files: SetNamedSecurityInfoW
// succeeds and GetNamedSecurityInfoW answers a default made from the Unix
// mode.  So these tests prove the descriptors the code builds and the rule
// that judges them (SDDL text, owner included), and that the calls are made;
// what Windows enforces is proven only on Windows.
#ifdef _WIN32

#include "cutl_datafolder_windows.h"
#include "cutl_settingstrust.h"

// after windows.h
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <fstream>

#include "testsupport_tempdir.h"
#include "utl_fileutils.h"
#include "utl_widepath.h"

namespace cutl {
namespace {

// The problem descriptorProblem finds in the descriptor 'sddl'.
std::string problemOf(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd,
                                                              nullptr)) {
        return "<not SDDL>";
    }
    const std::string problem = descriptorProblem(sd);
    LocalFree(sd);
    return problem;
}

TEST(DataFolder, TheDescriptorGivesTheFolderToAdministratorsAndTheRuleTrustsOnlyThat) {
    // What the service and the installer apply, read back as Windows keeps it.
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        k_DATA_FOLDER_SDDL, SDDL_REVISION_1, &sd, nullptr));
    LPWSTR text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
        nullptr));
    EXPECT_EQ(utl::narrowPath(text),
              "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)");
    LocalFree(text);
    EXPECT_EQ(descriptorProblem(sd), "");
    LocalFree(sd);

    // Trusted: SYSTEM or Administrators own it, users only read, entries
    // that only pass on to what a folder holds.
    EXPECT_EQ(problemOf(L"O:SYD:P(A;;FA;;;SY)(A;;0x1200a9;;;BU)(A;OICIIO;FA;;;CO)"), "");
    // An "icacls /grant Users:W" on an Administrators-owned file.
    EXPECT_EQ(problemOf(L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x120116;;;BU)"),
              "BUILTIN\\Users may write it");
    EXPECT_EQ(problemOf(L"O:BAD:(A;;GW;;;AU)"), "NT AUTHORITY\\Authenticated Users may write it");
    EXPECT_EQ(problemOf(L"O:BAD:(A;;WD;;;WD)"), "Everyone may write it");
    EXPECT_EQ(problemOf(L"O:BUD:P(A;;FA;;;SY)"),
              "it is owned by BUILTIN\\Users, who is not an administrator");
}

TEST(DataFolder, ParentsAreMadeBothLevelsProtectedAndLinksInsideRemoved) {
    testutil::TempDir dir;
    // Nothing of the path exists yet below the temporary folder.
    const std::string base = dir.path() + "\\ProgramData";
    const std::string folder = base + "\\Tessarin\\Lumivar";
    ASSERT_EQ(protectDataFolder(folder), "");
    EXPECT_TRUE(utl::FileUtils::isDirectory(folder + "\\Logs"));
    // Where Wine has the owner, the administrator running the test or the
    // Administrators group (never an arbitrary user) owns what was made.
    for (const std::string& level : {base + "\\Tessarin", folder, folder + "\\Logs"}) {
        EXPECT_NE(sddlOf(level), "") << level;
    }

    // A link planted at "Logs" goes, the folder it pointed at stays.
    const std::string elsewhere = dir.path() + "\\Elsewhere";
    ASSERT_TRUE(utl::FileUtils::createDir(elsewhere));
    RemoveDirectoryW(utl::widePath(folder + "\\Logs").c_str());
    // Wine answers success and makes nothing: this part runs on Windows only.
    if (!CreateSymbolicLinkW(utl::widePath(folder + "\\Logs").c_str(),
                             utl::widePath(elsewhere).c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) ||
        (GetFileAttributesW(utl::widePath(folder + "\\Logs").c_str()) &
         FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
        GetFileAttributesW(utl::widePath(folder + "\\Logs").c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "no reparse points here";
    }
    EXPECT_NE(protectFolder(folder + "\\Logs").find("is a link (reparse point)"),
              std::string::npos);
    EXPECT_EQ(protectDataFolder(folder), "");
    const DWORD logs = GetFileAttributesW(utl::widePath(folder + "\\Logs").c_str());
    EXPECT_EQ(logs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(utl::FileUtils::isDirectory(elsewhere));
}

TEST(DataFolder, SettingsAreTrustedByOwnerAndAccessListOfFileAndFolder) {
    testutil::TempDir dir;
    const std::string folder = dir.path() + "\\Lumivar";
    ASSERT_EQ(protectFolder(folder), "");
    const std::string settings = folder + "\\Settings";
    std::ofstream(settings) << "[NVR]\r\n";
    // The test runs as an administrator: a file it makes is trusted; a
    // missing file is left to the read.
    EXPECT_EQ(settingsTrustProblem(settings), "");
    EXPECT_EQ(settingsTrustProblem(folder + "\\Missing"), "");

    // A folder every user may write makes its file untrusted (Wine shows
    // this one: it keeps "everyone may write" as the Unix mode).
    PSECURITY_DESCRIPTOR everyone = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1, &everyone, nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(everyone, &present, &dacl, &defaulted);
    std::wstring wideFolder = utl::widePath(folder);
    ASSERT_EQ(SetNamedSecurityInfoW(wideFolder.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, dacl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(everyone);
    EXPECT_EQ(settingsTrustProblem(settings), "'" + folder + "': Everyone may write it");
    // Protected again: trusted again.
    ASSERT_EQ(protectFolder(folder), "");
    EXPECT_EQ(settingsTrustProblem(settings), "");
}

}  // namespace
}  // namespace cutl

#endif
