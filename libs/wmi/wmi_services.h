// wmi_services.h                                                   -*-C++-*-
//
// The stand-in's COM entry points: the locator (whose ConnectServer hands out
// services proxies answering from the provider of wmi_standin.h) and the
// unsecured apartment (whose stubs forward a sink's calls).  Each proxy
// holds the provider while it lives and is told apart from the others by a
// serial number, so that only the proxy that made a subscription can cancel
// it.
//
// Internal to the library: CoCreateInstance (wmi_comapi.cpp) calls these.
// The objects may be called from any thread.
#ifndef INCLUDED_WMI_SERVICES
#define INCLUDED_WMI_SERVICES

#include "wmi_com.h"

namespace wmi::standin {

// A new locator, with one reference.
IUnknown* createLocator();
// A new unsecured apartment, with one reference.
IUnknown* createApartment();

}  // namespace wmi::standin

#endif
