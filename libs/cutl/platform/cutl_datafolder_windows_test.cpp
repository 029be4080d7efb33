#ifdef _WIN32

#include "cutl_datafolder_windows.h"
#include "cutl_settingstrust.h"

#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <fstream>

#include "cutl_tempdir_testutil.h"

namespace cutl {
namespace {

constexpr DWORD k_WRITE = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_ADD_SUBDIRECTORY |
                          FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                          GENERIC_ALL;

// Who the folder's access list lets write it: "SY" for SYSTEM, "users" when
// Users, Authenticated Users or Everyone may.
std::string writers(const std::string& folder) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::wstring path(folder.begin(), folder.end());
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS ||
        !dacl) {
        return "?";
    }
    std::string out;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) ||
            ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->Mask & k_WRITE) == 0) {
            continue;
        }
        PSID sid = &ace->SidStart;
        if (IsWellKnownSid(sid, WinLocalSystemSid)) {
            out += "SY ";
        } else if (IsWellKnownSid(sid, WinBuiltinUsersSid) || IsWellKnownSid(sid, WinWorldSid) ||
                   IsWellKnownSid(sid, WinAuthenticatedUserSid)) {
            out += "users ";
        }
    }
    LocalFree(sd);
    return out;
}

TEST(DataFolder, OnlySystemAndAdministratorsWrite) {
    TempDir dir;
    const std::string created = dir.path() + "\\Lumivar";
    ASSERT_TRUE(createProtectedFolder(created));
    EXPECT_EQ(writers(created), "SY ");
    EXPECT_TRUE(createProtectedFolder(created));  // exists: left as it is

    // A folder every user could write is closed.
    const std::string open = dir.path() + "\\Open";
    ASSERT_TRUE(CreateDirectoryA(open.c_str(), nullptr));
    PSECURITY_DESCRIPTOR everyone = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                         &everyone, nullptr);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(everyone, &present, &dacl, &defaulted);
    std::wstring wideOpen(open.begin(), open.end());
    SetNamedSecurityInfoW(wideOpen.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, dacl, nullptr);
    LocalFree(everyone);
    ASSERT_NE(writers(open).find("users"), std::string::npos);
    EXPECT_TRUE(protectFolder(open));
    EXPECT_EQ(writers(open), "SY ");

    // The test runs as an administrator: a file it makes is trusted.
    std::ofstream(open + "\\Settings") << "[NVR]\r\n";
    std::string reason;
    EXPECT_TRUE(isOwnedByAdministrator(open + "\\Settings", &reason)) << reason;
    EXPECT_FALSE(isOwnedByAdministrator(open + "\\Missing", &reason));
    EXPECT_NE(reason.find("cannot be read"), std::string::npos);
    // So the settings read trusts it; a missing file is left to the read.
    EXPECT_EQ(settingsTrustProblem(open + "\\Settings"), "");
    EXPECT_EQ(settingsTrustProblem(open + "\\Missing"), "");
}

}  // namespace
}  // namespace cutl

#endif
