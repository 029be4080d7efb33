// Save and load of an access-event message carrying a 30 KB Base64 photo,
// next to the floor: zlib compression at its default level of the same XML
// text (save), and zlib inflation plus a plain libxml2 parse of the same
// bytes (load).  The deflate levels on the photo message and on an ordinary
// reply show what the compressor's level costs and gains.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <libxml/parser.h>
#include <zlib.h>

#include <random>
#include <string>

#include "core_compressor.h"
#include "xml_xnode.h"
#include "xml_xnodeio.h"

namespace {

NS_XML::XNode accessEventMessage() {
    NS_XML::XNode root("root");
    root.set("action", 3);
    root.set("class_name", "Lnl_AccessEvent");
    NS_XML::XNode& params = root.child("params_in");
    const char* fields[] = {"SERIALNUMBER", "TIMESTAMP", "CARDNUMBER",   "DEVICEID",
                            "EVENTTYPE",    "FIRSTNAME", "LASTNAME",     "BADGEKEY",
                            "PANELID",      "READERID",  "ACCESSRESULT", "DESCRIPTION"};
    int n = 0;
    for (const char* field : fields) {
        NS_XML::XNode& p = params.addChild("parameter");
        p.set("name", field);
        p.set("value", "value " + std::to_string(n++ * 7919));
        p.set("type", "str");
    }
    std::mt19937 rng(42);
    static const char k_B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string photo;
    for (int i = 0; i < 30 * 1024; ++i) {
        photo += k_B64[rng() % 64];
    }
    NS_XML::XNode& p = params.addChild("parameter");
    p.set("name", "Photo");
    p.set("value", photo);
    p.set("type", "str");
    return root;
}

const NS_XML::XNode& message() {
    static const NS_XML::XNode s_message = accessEventMessage();
    return s_message;
}

// An ordinary lookup reply: one instance of a class with many properties.
NS_XML::XNode lookupReply() {
    NS_XML::XNode root("root");
    root.set("action", 1);
    root.set("class_name", "Lnl_Reader");
    NS_XML::XNode& params = root.child("params_out");
    const char* fields[] = {"ID",      "Name",     "PanelID",      "ReaderID",     "HostName",
                            "Address", "Port",     "Type",         "Mode",         "Status",
                            "Online",  "Firmware", "Serial",       "Location",     "Zone",
                            "Area",    "Strike",   "DoorOpenTime", "DoorHeldTime", "Contact",
                            "Keypad",  "LastUser", "LastEvent",    "Created",      "Modified"};
    int n = 0;
    for (const char* field : fields) {
        NS_XML::XNode& p = params.addChild("parameter");
        p.set("name", field);
        p.set("value", n % 3 ? "Reader " + std::string(field) + " " + std::to_string(n * 7919)
                             : std::to_string(1000 + n * 37));
        p.set("type", n % 3 ? "str" : "int");
        ++n;
    }
    return root;
}

// Ours and the floor, with the compressed size beside the time.
void BM_Save(benchmark::State& state) {
    const size_t xmlSize = NS_XML::XNodeIO::dump(message()).size();
    size_t saved = 0;
    for (auto _ : state) {
        core::GSharedBuf bytes = message().save();
        benchmark::DoNotOptimize(bytes.data());
        saved = bytes.size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xmlSize));
    state.counters["saved_bytes"] = static_cast<double>(saved);
}
BENCHMARK(BM_Save)->Unit(benchmark::kMicrosecond);

void BM_SaveFloor(benchmark::State& state) {
    const std::string xml = NS_XML::XNodeIO::dump(message());
    std::string out(compressBound(xml.size()), '\0');
    uLongf size = 0;
    for (auto _ : state) {
        size = out.size();
        compress(reinterpret_cast<Bytef*>(out.data()), &size,
                 reinterpret_cast<const Bytef*>(xml.data()), xml.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
    state.counters["saved_bytes"] = static_cast<double>(core::Compressor::k_HEADER_SIZE + size);
}
BENCHMARK(BM_SaveFloor)->Unit(benchmark::kMicrosecond);

// Deflate levels (0 = zlib's default level, for comparison) on the photo
// message (0) and on a lookup reply (1): the time, and the stream's size as a
// share of the text in the label.
void BM_DeflateLevel(benchmark::State& state) {
    static const std::string s_texts[] = {NS_XML::XNodeIO::dump(message()),
                                          NS_XML::XNodeIO::dump(lookupReply())};
    const std::string& text = s_texts[state.range(0)];
    const int level = static_cast<int>(state.range(1));
    std::string out(compressBound(text.size()) + 64, '\0');
    libdeflate_compressor* compressor = level ? libdeflate_alloc_compressor(level) : nullptr;
    size_t size = 0;
    for (auto _ : state) {
        if (compressor) {
            size = libdeflate_zlib_compress(compressor, text.data(), text.size(), out.data(),
                                            out.size());
        } else {
            uLongf n = out.size();
            compress(reinterpret_cast<Bytef*>(out.data()), &n,
                     reinterpret_cast<const Bytef*>(text.data()), text.size());
            size = n;
        }
        benchmark::DoNotOptimize(out.data());
    }
    libdeflate_free_compressor(compressor);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.counters["stream_bytes"] = static_cast<double>(size);
    state.SetLabel(std::string(state.range(0) ? "reply" : "photo message") + ", " +
                   (level ? "level " + std::to_string(level) : std::string("zlib default")) + ": " +
                   std::to_string(size) + " of " + std::to_string(text.size()) + " bytes");
}
BENCHMARK(BM_DeflateLevel)->ArgsProduct({{0, 1}, {0, 1, 6, 9}})->Unit(benchmark::kMicrosecond);

void BM_Load(benchmark::State& state) {
    const core::GSharedBuf bytes = message().save();
    const size_t xmlSize = NS_XML::XNodeIO::dump(message()).size();
    for (auto _ : state) {
        NS_XML::XNode node;
        bool ok = node.load(bytes.data(), bytes.size());
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xmlSize));
}
BENCHMARK(BM_Load)->Unit(benchmark::kMicrosecond);

void BM_LoadFloor(benchmark::State& state) {
    const core::GSharedBuf bytes = message().save();
    const std::string xml = NS_XML::XNodeIO::dump(message());
    std::string out(xml.size(), '\0');
    for (auto _ : state) {
        uLongf size = out.size();
        uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                   reinterpret_cast<const Bytef*>(bytes.data() + 8), bytes.size() - 8);
        xmlDocPtr doc =
            xmlReadMemory(out.data(), static_cast<int>(size), nullptr, nullptr, XML_PARSE_NONET);
        benchmark::DoNotOptimize(doc);
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(BM_LoadFloor)->Unit(benchmark::kMicrosecond);

// The plain (uncompressed) forms, for messages below the compression size.
void BM_LoadPlainXml(benchmark::State& state) {
    const std::string xml = NS_XML::XNodeIO::dump(message());
    for (auto _ : state) {
        NS_XML::XNode node;
        bool ok = node.load(xml);
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(BM_LoadPlainXml)->Unit(benchmark::kMicrosecond);

void BM_ParsePlainXmlFloor(benchmark::State& state) {
    const std::string xml = NS_XML::XNodeIO::dump(message());
    for (auto _ : state) {
        xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                      XML_PARSE_NONET);
        benchmark::DoNotOptimize(doc);
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
}
BENCHMARK(BM_ParsePlainXmlFloor)->Unit(benchmark::kMicrosecond);

void BM_DumpXml(benchmark::State& state) {
    for (auto _ : state) {
        std::string xml = NS_XML::XNodeIO::dump(message());
        benchmark::DoNotOptimize(xml.data());
    }
}
BENCHMARK(BM_DumpXml)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
