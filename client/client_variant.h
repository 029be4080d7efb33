// client_variant.h                                                -*-C++-*-
//
// Conversions of WMI property values into the text of a message parameter,
// shared by events, lookups, method outputs and the enrichment.
//
// Thread safety: reentrant.
#ifndef INCLUDED_CLIENT_VARIANT
#define INCLUDED_CLIENT_VARIANT

#include <cstdint>
#include <string>
#include <string_view>

#include "lnl_message.h"
#include "wmi_com.h"
#include "wmi_comptr.h"

// Whether 'vt' is an integer of at most 32 bits.
bool isSmallInteger(VARTYPE vt);

// The value of a small integer variant as a signed 32-bit number.
int32_t smallIntegerValue(const VARIANT& v);

// Reads property 'name' of 'object' into 'value' (cleared first); false when
// the read fails.
bool readProperty(IWbemClassObject* object, const std::string& name, wmi::Variant* value);

// Reads property 'p.name' of 'object' into 'p.value' as events do: text,
// "true"/"false" for booleans declared "bool", integers up to 32 bits in
// decimal; anything else (or a failed read) leaves the value unchanged.
void eventValueOf(IWbemClassObject* object, Parameter& p);

// Reads property 'p.name' of 'object' into 'p.value' as method outputs do:
// text and integers up to 32 bits; anything else leaves it unchanged.
void methodOutputValueOf(IWbemClassObject* object, Parameter& p);

// Answers 'bytes' in Base64 (standard alphabet, "=" padding, no line breaks).
std::string base64Encode(std::string_view bytes);

#endif
