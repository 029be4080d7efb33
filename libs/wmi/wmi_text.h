// wmi_text.h                                                       -*-C++-*-
//
// Text at the COM boundary, the same on every platform: UTF-8 (the system
// code page of the service) to and from the 16-bit OLECHAR strings of COM,
// an owning holder for BSTRs, and a readable description of an HRESULT.
//
// Declared through "wmi_com.h" (include that).  All functions are reentrant.
#ifndef INCLUDED_WMI_TEXT
#define INCLUDED_WMI_TEXT

#include "wmi_com.h"

#include <string>
#include <string_view>

namespace wmi {

// An owned BSTR: freed with SysFreeString when the holder goes away.
class Bstr {
  public:
    // CREATORS
    Bstr() = default;
    explicit Bstr(BSTR owned) : d_bstr(owned) {}
    Bstr(Bstr&& other) noexcept : d_bstr(other.d_bstr) { other.d_bstr = nullptr; }
    Bstr& operator=(Bstr&& other) noexcept;
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr();

    // ACCESSORS
    // The string, still owned by this holder (null for none).
    BSTR get() const { return d_bstr; }

    // MANIPULATORS
    // Gives up ownership: the caller frees the result with SysFreeString.
    BSTR release();

  private:
    BSTR d_bstr = nullptr;
};

// UTF-8 to UTF-16.  Invalid UTF-8 bytes become U+FFFD, as the platform's
// conversion does.
std::basic_string<OLECHAR> toOleString(std::string_view utf8);

// A new BSTR holding 'utf8' converted to UTF-16 (an empty text gives an empty,
// non-null BSTR).
Bstr toBstr(std::string_view utf8);

// UTF-16 to UTF-8.  A null pointer gives the empty text; unpaired surrogates
// become U+FFFD.
std::string fromOleString(const OLECHAR* text, size_t length);
// 'text' up to its terminating zero.
std::string fromOleStr(const OLECHAR* text);
// The whole BSTR (its stored length, embedded zeros included).
std::string fromBstr(const BSTR text);

// A description of 'hr' for log lines ("Error Message: %s"): the text of the
// WBEM and COM codes the layer produces, "Unknown error 0x%x" otherwise.
std::string errorMessage(HRESULT hr);

}  // namespace wmi

#endif
