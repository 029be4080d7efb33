// Windows: the data folder's access list, the settings file's owner, and the
// settings trust rule built on them.
#ifdef _WIN32

#include "cutl_datafolder_windows.h"
#include "cutl_settingstrust.h"

#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <lm.h>
#include <sddl.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace cutl {

const wchar_t k_DATA_FOLDER_SDDL[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

namespace {

std::wstring wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string narrow(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

struct LocalFreer {
    void operator()(void* p) const { LocalFree(p); }
};
using SecurityDescriptor = std::unique_ptr<void, LocalFreer>;

SecurityDescriptor dataFolderDescriptor() {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(k_DATA_FOLDER_SDDL, SDDL_REVISION_1,
                                                              &sd, nullptr)) {
        return nullptr;
    }
    return SecurityDescriptor(sd);
}

// "DOMAIN\name" of 'sid', or its string form when it has no name.
std::wstring accountName(PSID sid) {
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
        return domainSize > 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
    }
    LPWSTR text = nullptr;
    std::wstring out = L"?";
    if (ConvertSidToStringSidW(sid, &text)) {
        out = text;
        LocalFree(text);
    }
    return out;
}

// Whether the account 'sid' belongs to the local Administrators group,
// directly or through another group.
bool isAdministratorAccount(PSID sid) {
    BYTE adminsBuffer[SECURITY_MAX_SID_SIZE];
    DWORD adminsSize = sizeof adminsBuffer;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, adminsBuffer, &adminsSize)) {
        return false;
    }
    wchar_t adminsName[256];
    wchar_t adminsDomain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, adminsBuffer, adminsName, &nameSize, adminsDomain, &domainSize,
                           &use)) {
        return false;
    }
    const std::wstring account = accountName(sid);
    LOCALGROUP_USERS_INFO_0* groups = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    if (NetUserGetLocalGroups(nullptr, account.c_str(), 0, LG_INCLUDE_INDIRECT,
                              reinterpret_cast<LPBYTE*>(&groups), MAX_PREFERRED_LENGTH, &read,
                              &total) != NERR_Success) {
        return false;
    }
    bool member = false;
    for (DWORD i = 0; i < read && !member; ++i) {
        member = lstrcmpiW(groups[i].lgrui0_name, adminsName) == 0;
    }
    NetApiBufferFree(groups);
    return member;
}

}  // namespace

bool createProtectedFolder(const std::string& folder) {
    const std::wstring path = wide(folder);
    SecurityDescriptor sd = dataFolderDescriptor();
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), sd.get(), FALSE};
    if (sd && CreateDirectoryW(path.c_str(), &attributes)) {
        return true;
    }
    const DWORD found = GetFileAttributesW(path.c_str());
    return found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool protectFolder(const std::string& folder) {
    SecurityDescriptor sd = dataFolderDescriptor();
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!sd || !GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) || !present) {
        return false;
    }
    std::wstring path = wide(folder);
    return SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

bool isOwnedByAdministrator(const std::string& path, std::string* reason) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD error = GetNamedSecurityInfoW(wide(path).c_str(), SE_FILE_OBJECT,
                                              OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                              nullptr, &sd);
    if (error != ERROR_SUCCESS || !owner) {
        *reason = "its owner cannot be read (error " + std::to_string(error) + ")";
        return false;
    }
    SecurityDescriptor held(sd);
    if (IsWellKnownSid(owner, WinLocalSystemSid) ||
        IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || isAdministratorAccount(owner)) {
        return true;
    }
    *reason = "it is owned by " + narrow(accountName(owner)) + ", who is not an administrator";
    return false;
}

// The settings trust rule on Windows: the file must belong to SYSTEM or an
// administrator (the folder's access list is set when it is created).
std::string settingsTrustProblem(const std::string& path) {
    if (GetFileAttributesW(wide(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
        return {};
    }
    std::string reason;
    return isOwnedByAdministrator(path, &reason) ? std::string() : "'" + path + "': " + reason;
}

bool readTrustedSettings(const std::string& path, std::string* text, std::string* problem) {
    // The folder's access list keeps others from swapping the file between
    // the check and the read.
    *problem = settingsTrustProblem(path);
    text->clear();
    if (!problem->empty()) {
        return false;
    }
    std::ifstream in(std::filesystem::path(wide(path)), std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    *text = bytes.str();
    return true;
}

bool protectDataFolder(const std::string& folder) {
    return createProtectedFolder(folder);
}

}  // namespace cutl

#endif
