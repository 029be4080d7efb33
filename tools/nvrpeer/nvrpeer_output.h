// nvrpeer_output.h                                                -*-C++-*-
//
// How the NVR peer shows what it receives: a readable line per message, or
// one JSON object per line; photos of enriched access events saved as files.
#ifndef INCLUDED_NVRPEER_OUTPUT
#define INCLUDED_NVRPEER_OUTPUT

#include <map>
#include <string>

#include "lnl_message.h"

namespace nvrpeer {

// Decodes standard Base64 (with or without padding); false on a bad character.
bool decodeBase64(const std::string& text, std::string* bytes);

// Answers 'text' as a JSON string literal.
std::string jsonQuote(const std::string& text);

// Answers one JSON object for 'message' received 'seconds' after the start.
std::string toJson(const Message& message, double seconds);

class Output {
  public:
    Output(bool json, bool quiet, std::string photoFolder);

    // Shows 'message' and saves its photo if it carries one.
    void print(const Message& message, double seconds);
    // Counts by class and photos saved, to stderr.
    void printSummary() const;

  private:
    void savePhoto(const Message& message);

    bool d_json;
    bool d_quiet;
    std::string d_photo_folder;
    long d_photos = 0;
    long d_sequence = 0;
    std::map<std::string, long> d_by_class;
};

}  // namespace nvrpeer

#endif
