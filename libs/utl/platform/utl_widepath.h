// utl_widepath.h                                                  -*-C++-*-
//
// Windows only: file names are UTF-8 in the program and UTF-16 for the
// system's wide-character calls, so a folder with any character in its name
// works whatever the system's code page.
#ifndef INCLUDED_UTL_WIDEPATH
#define INCLUDED_UTL_WIDEPATH
#ifdef _WIN32

#include <windows.h>

#include <string>
#include <string_view>

namespace utl {

// 'path' (UTF-8) as UTF-16; empty when it is not valid UTF-8.
inline std::wstring widePath(std::string_view path) {
    if (path.empty()) {
        return {};
    }
    const int size = static_cast<int>(path.size());
    const int n =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, nullptr, 0);
    if (n <= 0) {
        return {};
    }
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, out.data(), n);
    return out;
}

// 'path' (UTF-16) as UTF-8.
inline std::string narrowPath(std::wstring_view path) {
    if (path.empty()) {
        return {};
    }
    const int size = static_cast<int>(path.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, path.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.data(), size, out.data(), n, nullptr, nullptr);
    return out;
}

// The text of the system's message for 'error' (GetLastError), in UTF-8.
inline std::string systemErrorText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring_view view(text ? text : L"", n);
    while (!view.empty() && (view.back() == L'\n' || view.back() == L'\r' || view.back() == L' ')) {
        view.remove_suffix(1);
    }
    std::string out = view.empty() ? "error " + std::to_string(error) : narrowPath(view);
    LocalFree(text);
    return out;
}

}  // namespace utl

#endif
#endif
