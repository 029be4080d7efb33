// client_photo_testutil.h                                         -*-C++-*-
//
// Test helpers for photos: a byte string written as a MOF array value for a
// repository, and the Base64 decoding that checks a received photo against
// those bytes.
#ifndef INCLUDED_CLIENT_PHOTO_TESTUTIL
#define INCLUDED_CLIENT_PHOTO_TESTUTIL

#include <string>

namespace testutil {

// Decodes standard Base64 with "=" padding; false on anything else.
bool base64Decode(const std::string& text, std::string* bytes);

// 'bytes' written as a MOF array value: "{137, 80, 0}".
std::string mofArray(const std::string& bytes);

}  // namespace testutil

#endif
