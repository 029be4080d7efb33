// wmi_sample.cpp
//
// The embedded access-control sample: namespace root\AccessControl with
// persons, badges, photos, access events and two device classes with methods.
// The data is generated (deterministically) as MOF text and loaded by the
// same loader as a user's file; the generator of sample access events draws
// on the same badges and doors.
#include "wmi_standin.h"

#include <libdeflate.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>

namespace wmi::standin {

namespace {

void put32(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    put32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    put32(out, libdeflate_crc32(0, out.data() + start, out.size() - start));
}

}  // namespace

std::vector<uint8_t> samplePortrait(uint32_t seed) {
    constexpr int k_W = 24;
    constexpr int k_H = 32;
    uint32_t x = seed * 2654435761u + 12345;
    auto rnd = [&] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    const uint8_t bg[3] = {static_cast<uint8_t>(120 + rnd() % 120),
                           static_cast<uint8_t>(120 + rnd() % 120),
                           static_cast<uint8_t>(120 + rnd() % 120)};
    static const uint8_t k_SKIN[4][3] = {
        {241, 194, 167}, {224, 172, 105}, {198, 134, 66}, {141, 85, 36}};
    const uint8_t* skin = k_SKIN[rnd() % 4];
    const uint8_t hair[3] = {static_cast<uint8_t>(rnd() % 90), static_cast<uint8_t>(rnd() % 60),
                             static_cast<uint8_t>(rnd() % 40)};
    const uint8_t shirt[3] = {static_cast<uint8_t>(rnd() % 200), static_cast<uint8_t>(rnd() % 200),
                              static_cast<uint8_t>(rnd() % 200)};
    std::vector<uint8_t> raw;
    for (int y = 0; y < k_H; ++y) {
        raw.push_back(0);  // filter: none
        for (int xx = 0; xx < k_W; ++xx) {
            const int dx = xx - k_W / 2;
            const int dy = y - 12;
            const uint8_t* c = bg;
            if (dx * dx * 4 + dy * dy * 3 < 150) {
                c = (dy < -4) ? hair : skin;
            } else if (y > 22 && dx * dx < (y - 18) * (y - 18) * 2) {
                c = shirt;
            }
            raw.insert(raw.end(), c, c + 3);
        }
    }
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(9);
    if (!compressor) {
        return {};  // out of memory: no portrait
    }
    std::vector<uint8_t> packed(libdeflate_zlib_compress_bound(compressor, raw.size()));
    packed.resize(
        libdeflate_zlib_compress(compressor, raw.data(), raw.size(), packed.data(), packed.size()));
    libdeflate_free_compressor(compressor);

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    put32(header, k_W);
    put32(header, k_H);
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB, no interlace
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", packed);
    chunk(png, "IEND", {});
    return png;
}

namespace {

const char* const k_FIRST[] = {"Anna",   "Ben",   "Chloe", "David", "Elena",  "Farid", "Grace",
                               "Hugo",   "Ines",  "Jonas", "Keiko", "Liam",   "Maya",  "Nikolai",
                               "Olivia", "Pedro", "Quinn", "Rosa",  "Samuel", "Tara"};
const char* const k_LAST[] = {"Adler",    "Brandt",    "Costa",  "Dubois", "Eriksen",
                              "Fischer",  "Garcia",    "Hansen", "Ito",    "Jansen",
                              "Kowalski", "Lindqvist", "Moreau", "Novak",  "O'Brien",
                              "Petrov",   "Quint",     "Rossi",  "Schulz", "Tanaka"};
// The doors of the sample, which are also the readers of its access events.
const char* const k_DOORS[] = {"Main Entrance", "Loading Dock", "Server Room", "Staff Car Park",
                               "North Stairwell"};

// CIM datetime of now, "yyyymmddHHMMSS.mmmmmm+000" in UTC.
std::string cimNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    gmtime_r(&ts.tv_sec, &t);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d.%06ld+000", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ts.tv_nsec / 1000);
    return buf;
}

const char* const k_DEPARTMENTS[] = {"Facilities", "Finance",   "Engineering",
                                     "Security",   "Reception", "Logistics"};

std::string mofString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// LUMIVAR_WMI_PHOTO_BYTES: the size the sample photos are padded to (soak
// runs with photos of realistic size); 0 or unset leaves them as drawn.
size_t photoBytes() {
    const char* text = std::getenv("LUMIVAR_WMI_PHOTO_BYTES");
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    return *end == '\0' && value > 0 && value <= (16 << 20) ? static_cast<size_t>(value) : 0;
}

// 'png' grown to 'size' bytes by a private ancillary chunk of noise before
// IEND (12 bytes of chunk framing), so that the image stays valid and the
// bytes do not compress away.
std::vector<uint8_t> padded(std::vector<uint8_t> png, size_t size, uint32_t seed) {
    if (size < png.size() + 12) {
        return png;
    }
    std::vector<uint8_t> noise(size - png.size() - 12);
    uint32_t x = seed * 2246822519u + 1;
    for (uint8_t& b : noise) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    std::vector<uint8_t> tail(png.end() - 12, png.end());  // IEND
    png.resize(png.size() - 12);
    chunk(png, "paDd", noise);
    png.insert(png.end(), tail.begin(), tail.end());
    return png;
}

std::vector<uint8_t> photo(uint32_t seed) {
    static const size_t s_size = photoBytes();
    return padded(samplePortrait(seed), s_size, seed);
}

std::string byteArray(const std::vector<uint8_t>& bytes) {
    std::string out = "{";
    for (size_t i = 0; i < bytes.size(); ++i) {
        out += i == 0 ? "" : (i % 24 == 0 ? ",\n    " : ",");
        out += std::to_string(bytes[i]);
    }
    return out + "}";
}

std::string buildDefault() {
    std::string m;
    m += R"(// The embedded access-control sample of the WMI stand-in.
#pragma namespace("\\\\.\\root\\AccessControl")

)";
    m += accessControlSchema();
    m += R"(
class Sample_Door {
    [key] string Name;
    uint32 ReaderID;
    boolean IsOpen = false;
    uint32 Open([in] uint32 Seconds, [out] string Status);
    uint32 SetMode([in] string Mode, [in, out] sint32 Level);
    [static] uint32 OpenAll([in] string Reason, [out] uint32 Count);
};

class Sample_Controller {
    [key] uint32 ID;
    string Name;
    string Firmware;
    boolean Online;
    real64 Temperature;
    [static] string Echo([in] string Text);
    sint32 Add([in] sint32 A, [in] sint32 B, [out] sint32 Sum);
    uint32 Reboot([in] uint32 DelaySeconds);
};

)";
    char buf[512];
    constexpr int k_PERSONS = 40;
    int mediaId = 1;
    std::string media;
    for (int id = 1; id <= k_PERSONS; ++id) {
        const std::string first = k_FIRST[(id * 7) % 20];
        const std::string last = k_LAST[(id * 11) % 20];
        std::string email = first + "." + last + "@example.com";
        for (char& c : email) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (c == '\'') {
                c = '-';
            }
        }
        std::snprintf(buf, sizeof buf,
                      "instance of Lnl_Person { ID = %d; FirstName = %s; LastName = %s; "
                      "SSNO = \"%03d-%02d-%04d\"; Department = %s; Title = %s; Email = %s; "
                      "Visitor = %s; LastChanged = \"202603%02d093000.000000+000\"; };\n",
                      id, mofString(first).c_str(), mofString(last).c_str(), 100 + id * 13,
                      10 + id % 89, 1000 + id * 97, mofString(k_DEPARTMENTS[id % 6]).c_str(),
                      mofString(id % 9 == 0 ? "Contractor" : "Staff").c_str(),
                      mofString(email).c_str(), id > 36 ? "true" : "false", 1 + id % 28);
        m += buf;
        // Most persons have a photo; every fifth also a second image (another
        // object type) that a photo query must not return.
        if (id % 7 != 0) {
            media += "instance of Lnl_MultimediaObject { ID = " + std::to_string(mediaId++) +
                     "; PersonID = " + std::to_string(id) +
                     "; ObjectType = 1; DataType = 0; MimeType = \"image/png\";\n  Data = " +
                     byteArray(photo(static_cast<uint32_t>(id))) + "; };\n";
        }
        if (id % 5 == 0) {
            media += "instance of Lnl_MultimediaObject { ID = " + std::to_string(mediaId++) +
                     "; PersonID = " + std::to_string(id) +
                     "; ObjectType = 2; DataType = 0; MimeType = \"image/png\";\n  Data = " +
                     byteArray(photo(static_cast<uint32_t>(1000 + id))) + "; };\n";
        }
    }
    m += "\n";
    // Badges: one per person, a second one for the first ten, and one whose
    // holder is not on file.
    for (int i = 1; i <= 50; ++i) {
        const int person = i <= 40 ? i : (i < 50 ? i - 40 : 77);
        std::snprintf(buf, sizeof buf,
                      "instance of Lnl_Badge { ID = %d; PersonID = %d; Status = %d; Type = %d; "
                      "Activate = \"20250101000000.000000+000\"; "
                      "Deactivate = \"20301231235959.000000+000\"; UseLimit = %d; };\n",
                      100000 + i * 37, person, i % 13 == 0 ? 2 : 1, i > 40 ? 2 : 1,
                      i % 10 == 0 ? 5 : 0);
        m += buf;
    }
    m += "\n" + media + "\n";
    for (size_t i = 0; i < std::size(k_DOORS); ++i) {
        std::snprintf(buf, sizeof buf,
                      "instance of Sample_Door { Name = \"%s\"; ReaderID = %d; };\n", k_DOORS[i],
                      static_cast<int>(i + 1));
        m += buf;
    }
    m += "instance of Sample_Controller { ID = 1; Name = \"Panel A\"; Firmware = \"4.2.1\"; "
         "Online = true; Temperature = 36.5; };\n"
         "instance of Sample_Controller { ID = 2; Name = \"Panel B\"; Firmware = \"4.1.7\"; "
         "Online = false; Temperature = 21.25; };\n";
    return m;
}

}  // namespace

void installSampleBehaviours(Provider& provider) {
    auto number = [](const Value* v) -> int64_t {
        if (v == nullptr || v->d_null) {
            return 0;
        }
        if (const int64_t* i = std::get_if<int64_t>(&v->d_items.front())) {
            return *i;
        }
        if (const uint64_t* u = std::get_if<uint64_t>(&v->d_items.front())) {
            return static_cast<int64_t>(*u);
        }
        return 0;
    };
    provider.setMethodHandler("Sample_Door", "Open", [number](MethodCall& call) {
        const int64_t seconds = number(call.input("Seconds"));
        if (!call.d_target) {
            call.setOutput("Status", "No door given");
            call.setOutput("ReturnValue", "1");
        } else if (seconds > 3600) {
            call.setOutput("Status", "Duration too long");
            call.setOutput("ReturnValue", "2");
        } else {
            const int idx = call.d_target->d_class->findProperty("Name");
            const std::string name = idx >= 0 && !call.d_target->d_values[idx].d_null
                                         ? scalarText(call.d_target->d_values[idx].d_items[0])
                                         : std::string();
            call.setOutput("Status",
                           "Door '" + name + "' opened for " + std::to_string(seconds) + " s");
        }
        return WBEM_S_NO_ERROR;
    });
    provider.setMethodHandler("Sample_Door", "OpenAll", [](MethodCall& call) {
        call.setOutput("Count", "5");
        return WBEM_S_NO_ERROR;
    });
    provider.setMethodHandler("Sample_Controller", "Echo", [](MethodCall& call) {
        const Value* text = call.input("Text");
        call.setOutput("ReturnValue", text ? *text : Value::null());
        return WBEM_S_NO_ERROR;
    });
    provider.setMethodHandler("Sample_Controller", "Add", [number](MethodCall& call) {
        const int64_t sum = number(call.input("A")) + number(call.input("B"));
        if (!call.setOutput("Sum", std::to_string(sum))) {
            call.setOutput("ReturnValue", "1");  // out of the sint32 range
        }
        return WBEM_S_NO_ERROR;
    });
}

std::shared_ptr<const Instance> sampleAccessEvent(const Namespace& ns, std::mt19937& random,
                                                  uint64_t serial) {
    std::shared_ptr<const ClassDecl> event = ns.findClass("Lnl_AccessEvent");
    std::shared_ptr<const ClassDecl> badge = ns.findClass("Lnl_Badge");
    if (!event || !badge) {
        return nullptr;
    }
    std::vector<std::string> cards;
    const int idIndex = badge->findProperty("ID");
    for (const auto& inst : ns.d_instances) {
        if (idIndex >= 0 && inst->d_class == badge && !inst->d_values[idIndex].d_null) {
            cards.push_back(scalarText(inst->d_values[idIndex].d_items.front()));
        }
    }
    const bool known = !cards.empty() && random() % 100 < 85;
    const std::string card =
        known ? cards[random() % cards.size()] : std::to_string(900000 + random() % 100000);
    const uint32_t reader = static_cast<uint32_t>(random() % std::size(k_DOORS));
    auto inst = std::make_shared<Instance>();
    inst->d_class = event;
    inst->d_values.resize(event->d_properties.size());
    auto set = [&](const char* name, const std::string& text) {
        const int idx = event->findProperty(name);
        Scalar s;
        if (idx >= 0 && !event->d_properties[idx].d_type.d_array &&
            scalarFromText(event->d_properties[idx].d_type.d_base, text, &s)) {
            inst->d_values[idx] = Value::scalar(std::move(s));
        }
    };
    set("CardNumber", card);
    set("SerialNumber", std::to_string(serial));
    set("Time", cimNow());
    set("PanelID", "1");
    set("ReaderID", std::to_string(reader + 1));
    set("ReaderName", k_DOORS[reader]);
    set("EventType", "0");
    set("Granted", known ? "true" : "false");
    set("Description", known ? "Access Granted" : "Access Denied: Invalid Badge");
    return inst;
}

const char* accessControlSchema() {
    return
#include "wmi_accessschema.inc"
        ;
}

const std::string& defaultRepositoryText() {
    static const std::string s_text = buildDefault();
    return s_text;
}

}  // namespace wmi::standin
