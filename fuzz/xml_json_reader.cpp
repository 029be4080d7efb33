// Runs the legacy JSON reader over arbitrary bytes in both array modes.
#include <cstddef>
#include <cstdint>

#include "xml_jsonreader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* begin = reinterpret_cast<const char*>(data);
    for (bool arrayMode : {false, true}) {
        NS_XML::XNode node;
        NS_XML::JsonReader reader(arrayMode, begin, begin + size);
        reader.load(node);
    }
    return 0;
}
