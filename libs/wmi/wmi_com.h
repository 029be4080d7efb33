// wmi_com.h                                                        -*-C++-*-
//
// The one include through which the service reaches COM and WMI.  On Windows
// it brings in the system headers; elsewhere it brings in the stand-in's
// declarations (wmi_comtypes.h), which carry the same names, signatures,
// GUIDs, constants and HRESULT codes, backed by an in-process provider
// (wmi_standin.h).  Either way it also declares the text helpers of
// wmi_text.h, so code that includes this header compiles unchanged on both:
//
//   - never write L"..." literals (wchar_t is 32 bits outside Windows, while
//     OLECHAR is always 16 bits); build COM strings with wmi::toBstr("...")
//     and read them back with wmi::fromBstr / wmi::fromOleStr;
//   - log an HRESULT with "0x%x" and describe it with wmi::errorMessage(hr).
//
// This is a platform file: the only place of the library where the platform
// is tested by the preprocessor.
#ifndef INCLUDED_WMI_COM
#define INCLUDED_WMI_COM

#ifdef _WIN32
#ifndef _WIN32_DCOM
#define _WIN32_DCOM
#endif
// Winsock 2 first: the service uses sockets too, and windows.h would
// otherwise bring in the old Winsock declarations, which clash with it.
#include <winsock2.h>
#include <windows.h>
#include <wbemidl.h>
#include <comdef.h>
#pragma comment(lib, "wbemuuid.lib")
#else
#include "wmi_comtypes.h"
#endif

#include "wmi_text.h"

#endif
