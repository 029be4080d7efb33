// Windows: the data folder's descriptor, and the settings trust rule that
// reads owner and access list of the file and of its folder.
#ifdef _WIN32

#include "cutl_datafolder_windows.h"
#include "cutl_settingstrust.h"

// after windows.h
#include <aclapi.h>
#include <lm.h>
#include <sddl.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>

#include "utl_fileutils.h"
#include "utl_widepath.h"

namespace cutl {

const wchar_t k_DATA_FOLDER_SDDL[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

namespace {

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

// Rights that change a file or what a folder holds, or who may.
constexpr ACCESS_MASK k_WRITE_RIGHTS =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES |
    DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// "DOMAIN\name" of 'sid', or its string form when it has no name.
std::string accountName(PSID sid) {
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
        return utl::narrowPath(domainSize > 0 ? std::wstring(domain) + L"\\" + name
                                              : std::wstring(name));
    }
    LPWSTR text = nullptr;
    std::string out = "?";
    if (ConvertSidToStringSidW(sid, &text)) {
        out = utl::narrowPath(text);
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
    // Only a user account is asked for its groups.
    wchar_t name[256];
    wchar_t domain[256];
    nameSize = 256;
    domainSize = 256;
    if (!LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use) ||
        use != SidTypeUser) {
        return false;
    }
    const std::wstring account = utl::widePath(accountName(sid));
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

bool isSystemOrAdministrators(PSID sid) {
    return IsWellKnownSid(sid, WinLocalSystemSid) ||
           IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

// FILE_ATTRIBUTE_* of 'path' itself (a link is not followed), or
// INVALID_FILE_ATTRIBUTES.
DWORD attributesOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0
               ? data.dwFileAttributes
               : INVALID_FILE_ATTRIBUTES;
}

// Lets this process give away and take ownership where its account may
// (administrators and LocalSystem hold the privilege, disabled).
void enableTakeOwnership() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, L"SeTakeOwnershipPrivilege",
                              &privileges.Privileges[0].Luid)) {
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}

std::string failure(const char* what, const std::string& path, DWORD error) {
    return std::string(what) + " '" + path + "': " + utl::systemErrorText(error);
}

}  // namespace

std::string protectFolder(const std::string& folder) {
    const std::wstring path = utl::widePath(folder);
    SecurityDescriptor sd = dataFolderDescriptor();
    if (path.empty() || !sd) {
        return failure("cannot protect", folder,
                       path.empty() ? ERROR_INVALID_NAME : GetLastError());
    }
    const DWORD found = attributesOf(path);
    if (found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return "'" + folder + "' is a link (reparse point): not followed";
    }
    if (found == INVALID_FILE_ATTRIBUTES) {
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), sd.get(), FALSE};
        if (!CreateDirectoryW(path.c_str(), &attributes) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            return failure("cannot create", folder, GetLastError());
        }
    } else if ((found & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return "'" + folder + "' is not a folder";
    }
    // Also when just created: a folder made by someone else in between, or
    // one whose creator the system made its owner, is taken over.
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    if (!GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) ||
        !GetSecurityDescriptorOwner(sd.get(), &owner, &defaulted)) {
        return failure("cannot protect", folder, GetLastError());
    }
    enableTakeOwnership();
    std::wstring mutablePath = path;
    const DWORD error =
        SetNamedSecurityInfoW(mutablePath.data(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                  PROTECTED_DACL_SECURITY_INFORMATION,
                              owner, nullptr, dacl, nullptr);
    return error == ERROR_SUCCESS ? std::string() : failure("cannot protect", folder, error);
}

std::string ownNewFilesAsAdministrators() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT | TOKEN_QUERY, &token)) {
        return "cannot open the process token: " + utl::systemErrorText(GetLastError());
    }
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    TOKEN_OWNER owner{sid};
    const bool done =
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
        SetTokenInformation(token, TokenOwner, &owner, sizeof owner);
    const DWORD error = GetLastError();
    CloseHandle(token);
    return done ? std::string()
                : "cannot make Administrators the owner of new files: " +
                      utl::systemErrorText(error);
}

std::string removeLinksIn(const std::string& folder) {
    const std::wstring pattern = utl::widePath(folder + "\\*");
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW(pattern.c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string problem;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            continue;
        }
        const std::string name = folder + "\\" + utl::narrowPath(entry.cFileName);
        const std::wstring link = utl::widePath(name);
        // A link to a folder goes with RemoveDirectoryW, which leaves its target.
        const bool removed = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                                 ? RemoveDirectoryW(link.c_str()) != 0
                                 : DeleteFileW(link.c_str()) != 0;
        if (!removed && problem.empty()) {
            problem = failure("cannot remove the link", name, GetLastError());
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return problem;
}

std::string descriptorProblem(PSECURITY_DESCRIPTOR sd) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !owner) {
        return "its owner cannot be read";
    }
    if (!isSystemOrAdministrators(owner) && !isAdministratorAccount(owner)) {
        return "it is owned by " + accountName(owner) + ", who is not an administrator";
    }
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) {
        return "its access list cannot be read";
    }
    if (!present || !dacl) {
        return "it has no access list: everyone may write it";
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) {
            return "its access list cannot be read";
        }
        // Entries that only pass on to what a folder holds do not apply here;
        // only allowing entries grant (an object-typed one is read as plain).
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 ||
            (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
             header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)) {
            if (header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE) {
                return "its access list holds an entry this check does not read";
            }
            continue;
        }
        const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        PSID sid = const_cast<DWORD*>(&ace->SidStart);
        if ((ace->Mask & k_WRITE_RIGHTS) != 0 && !isSystemOrAdministrators(sid) &&
            !EqualSid(sid, owner) && !IsWellKnownSid(sid, WinCreatorOwnerRightsSid)) {
            return accountName(sid) + " may write it";
        }
    }
    return {};
}

std::string sddlOf(const std::string& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(utl::widePath(path).c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS) {
        return {};
    }
    SecurityDescriptor held(sd);
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
            nullptr)) {
        return {};
    }
    const std::string out = utl::narrowPath(text);
    LocalFree(text);
    return out;
}

// The settings trust rule on Windows, applied to the file and to its folder
// when the file is read: a descriptor set once (by the installer, or by
// this service at start) may have been changed since.
std::string settingsTrustProblem(const std::string& path) {
    const std::wstring widePath = utl::widePath(path);
    const DWORD attributes = attributesOf(widePath);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return {};
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return "'" + path + "' is a link (reparse point)";
    }
    for (const std::string& checked : {path, utl::FileUtils::dirName(path)}) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        const DWORD error =
            GetNamedSecurityInfoW(utl::widePath(checked).c_str(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, nullptr, nullptr, &sd);
        if (error != ERROR_SUCCESS) {
            return "'" + checked + "': its owner and access list cannot be read (" +
                   utl::systemErrorText(error) + ")";
        }
        SecurityDescriptor held(sd);
        const std::string problem = descriptorProblem(sd);
        if (!problem.empty()) {
            return "'" + checked + "': " + problem;
        }
    }
    return {};
}

std::string protectDataFolder(const std::string& folder) {
    // The maker's folder too: whoever may write it may replace ours.
    const std::string maker = utl::FileUtils::dirName(folder);
    const std::string base = utl::FileUtils::dirName(maker);
    if (!utl::FileUtils::isDirectory(base) && !utl::FileUtils::createDir(base, true)) {
        return "cannot create '" + base + "'";
    }
    // Links inside go before the log folder is looked at: a "Logs" that
    // points elsewhere would have the service write where someone else chose.
    const std::string logs = folder + "\\Logs";
    using Step = std::string (*)(const std::string&);
    const std::pair<Step, std::string> steps[] = {{&protectFolder, maker},
                                                  {&protectFolder, folder},
                                                  {&removeLinksIn, folder},
                                                  {&protectFolder, logs},
                                                  {&removeLinksIn, logs}};
    for (const auto& [step, path] : steps) {
        const std::string problem = step(path);
        if (!problem.empty()) {
            return problem;
        }
    }
    return {};
}

bool readTrustedSettings(const std::string& path, std::string* text, std::string* problem) {
    // The folder's access list keeps others from swapping the file between
    // the check and the read.
    *problem = settingsTrustProblem(path);
    text->clear();
    if (!problem->empty()) {
        return false;
    }
    std::ifstream in(std::filesystem::path(utl::widePath(path)), std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    *text = bytes.str();
    return true;
}

}  // namespace cutl

#endif
