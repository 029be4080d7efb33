// Reads arbitrary bytes as a settings file and writes back what was read.
#include <cstddef>
#include <cstdint>
#include <string>

#include "utl_inireader.h"
#include "utl_iniwriter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    utl::IniReader reader;
    reader.load(reinterpret_cast<const char*>(data), size);
    utl::IniWriter writer;
    for (const auto& [section, entries] : reader.sections()) {
        writer.addSection(section);
        for (const auto& [key, value] : entries) {
            writer.addEntry(key, value);
        }
    }
    utl::IniReader again;
    again.load(writer.toText());
    int port = 0;
    again.getInt("NVR", "Port", &port);
    return 0;
}
