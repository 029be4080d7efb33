// The NVR frame codec: one message packed into a frame and decoded again,
// for the status reply and for an access event carrying a 30 KB photo.  The
// reference does the same work with libxml2 and zlib directly: build the tree,
// write it, compress it when long, frame it; then inflate, parse and read the
// fields back.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "lnl_packer.h"

namespace {

Message statusReply() {
    Message m;
    m.action = e_ACTION_STATUS;
    m.params_out.push_back({"namespace", "root\\AccessControl", "str"});
    m.params_out.push_back({"version", "tag_lumivar_2_1_rc_1_220329-103018", "str"});
    m.params_out.push_back({"event_sink", "Lnl_AccessEvent", "str"});
    return m;
}

std::string base64(const std::string& bytes) {
    static const char k_ALPHABET[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 |
                     (unsigned char)bytes[i + 2];
        out += k_ALPHABET[v >> 18];
        out += k_ALPHABET[(v >> 12) & 63];
        out += k_ALPHABET[(v >> 6) & 63];
        out += k_ALPHABET[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = (unsigned char)bytes[i] << 16;
        if (i + 1 < bytes.size()) {
            v |= (unsigned char)bytes[i + 1] << 8;
        }
        out += k_ALPHABET[v >> 18];
        out += k_ALPHABET[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? k_ALPHABET[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// An enriched access event: the subscribed properties, then the photo (30 KB
// of incompressible bytes, as a JPEG is, in Base64) and the person.
Message accessEvent() {
    Message m;
    m.action = e_ACTION_SUBSCRIBE;
    m.class_name = "Lnl_AccessEvent";
    m.params_out.push_back({"cardnumber", "100037", "int"});
    m.params_out.push_back({"SerialNumber", "1234567", "str"});
    m.params_out.push_back({"Time", "20261208105200.000000+000", "str"});
    m.params_out.push_back({"ReaderName", "Main Entrance", "str"});
    m.params_out.push_back({"Description", "Access Granted", "str"});
    m.params_out.push_back({"Granted", "true", "bool"});
    std::mt19937 rng(7);
    std::string photo(30 * 1024, '\0');
    for (char& c : photo) {
        c = static_cast<char>(rng());
    }
    m.params_out.push_back({"Data", base64(photo), ""});
    m.params_out.push_back({"firstname", "Ada", ""});
    m.params_out.push_back({"lastname", "Whitfield", ""});
    m.params_out.push_back({"ssno", "123-45-6789", ""});
    return m;
}

const Message& sample(int which) {
    static const Message s_status = statusReply();
    static const Message s_event = accessEvent();
    return which == 0 ? s_status : s_event;
}

class Counter : public NS_LNL::PackerOwner {
  public:
    void handleProcessData(const Message& m) override {
        ++d_count;
        d_last_params = m.params_out.size();
    }
    long d_count = 0;
    size_t d_last_params = 0;
};

void BM_CodecRoundTrip(benchmark::State& state) {
    const Message& m = sample(static_cast<int>(state.range(0)));
    Counter owner;
    NS_LNL::Packer packer(&owner);
    size_t frameBytes = 0;
    for (auto _ : state) {
        core::GSharedBuf frame = NS_LNL::Packer::packMessage(m);
        frameBytes = frame.size();
        packer.addReceivedData(frame);
    }
    if (owner.d_count != static_cast<long>(state.iterations()) ||
        owner.d_last_params != m.params_out.size()) {
        state.SkipWithError("frames were not decoded");
    }
    state.counters["frame_bytes"] = static_cast<double>(frameBytes);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetLabel(state.range(0) == 0 ? "status reply" : "access event, 30 KB photo");
}
BENCHMARK(BM_CodecRoundTrip)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// ----------------------------------------------------------------- reference
const xmlChar* X(const char* s) {
    return reinterpret_cast<const xmlChar*>(s);
}

void addParameters(xmlNodePtr root, const char* listName, const std::vector<Parameter>& params) {
    if (params.empty()) {
        return;
    }
    xmlNodePtr list = xmlNewChild(root, nullptr, X(listName), nullptr);
    for (const Parameter& p : params) {
        xmlNodePtr node = xmlNewChild(list, nullptr, X("parameter"), nullptr);
        xmlNewTextChild(node, nullptr, X("name"), X(p.name.c_str()));
        if (!p.value.empty()) {
            xmlNewTextChild(node, nullptr, X("value"), X(p.value.c_str()));
        }
        if (!p.type.empty()) {
            xmlNewTextChild(node, nullptr, X("type"), X(p.type.c_str()));
        }
    }
}

std::string referencePack(const Message& m) {
    xmlDocPtr doc = xmlNewDoc(X("1.0"));
    xmlNodePtr root = xmlNewDocNode(doc, nullptr, X("root"), nullptr);
    xmlDocSetRootElement(doc, root);
    xmlNewTextChild(root, nullptr, X("action"), X(std::to_string(m.action).c_str()));
    xmlNewTextChild(root, nullptr, X("class_name"), X(m.class_name.c_str()));
    addParameters(root, "params_in", m.params_in);
    addParameters(root, "params_out", m.params_out);
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc, &text, &size, "utf-8");
    xmlFreeDoc(doc);
    std::string payload(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
    xmlFree(text);
    if (payload.size() >= 1024) {
        std::string packed(8 + compressBound(payload.size()), '\0');
        uLongf packedSize = packed.size() - 8;
        compress(reinterpret_cast<Bytef*>(&packed[8]), &packedSize,
                 reinterpret_cast<const Bytef*>(payload.data()), payload.size());
        if (packedSize + 8 < payload.size()) {
            const uint32_t header[2] = {0x1212ABAB, static_cast<uint32_t>(payload.size())};
            std::memcpy(&packed[0], header, 8);
            packed.resize(packedSize + 8);
            payload.swap(packed);
        }
    }
    char head[32];
    int n = std::snprintf(head, sizeof head, "%c%05d%c", 2, static_cast<int>(payload.size()), 3);
    std::string frame;
    frame.reserve(static_cast<size_t>(n) + payload.size());
    frame.append(head, static_cast<size_t>(n));
    frame += payload;
    return frame;
}

std::string textOf(xmlNodePtr node) {
    xmlChar* t = xmlNodeGetContent(node);
    std::string s = t ? reinterpret_cast<const char*>(t) : "";
    xmlFree(t);
    return s;
}

void readParameters(xmlNodePtr list, std::vector<Parameter>* params) {
    for (xmlNodePtr n = list->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) {
            continue;
        }
        Parameter p;
        for (xmlNodePtr f = n->children; f; f = f->next) {
            if (f->type != XML_ELEMENT_NODE) {
                continue;
            }
            const char* name = reinterpret_cast<const char*>(f->name);
            (std::strcmp(name, "name") == 0    ? p.name
             : std::strcmp(name, "value") == 0 ? p.value
                                               : p.type) = textOf(f);
        }
        params->push_back(std::move(p));
    }
}

bool referenceUnpack(const std::string& frame, Message* m) {
    size_t end = frame.find('\3');
    long length = std::strtol(frame.c_str() + 1, nullptr, 10);
    const char* payload = frame.data() + end + 1;
    std::string inflated;
    uint32_t header[2];
    std::memcpy(header, payload, 8);
    if (header[0] == 0x1212ABAB) {
        inflated.resize(header[1]);
        uLongf size = header[1];
        if (uncompress(reinterpret_cast<Bytef*>(inflated.data()), &size,
                       reinterpret_cast<const Bytef*>(payload + 8),
                       static_cast<uLong>(length - 8)) != Z_OK) {
            return false;
        }
        payload = inflated.data();
        length = static_cast<long>(size);
    }
    xmlDocPtr doc =
        xmlReadMemory(payload, static_cast<int>(length), nullptr, nullptr, XML_PARSE_NONET);
    if (!doc) {
        return false;
    }
    m->clear();
    for (xmlNodePtr n = xmlDocGetRootElement(doc)->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) {
            continue;
        }
        const char* name = reinterpret_cast<const char*>(n->name);
        if (std::strcmp(name, "action") == 0) {
            m->action = std::atoi(textOf(n).c_str());
        } else if (std::strcmp(name, "class_name") == 0) {
            m->class_name = textOf(n);
        } else if (std::strcmp(name, "params_in") == 0) {
            readParameters(n, &m->params_in);
        } else if (std::strcmp(name, "params_out") == 0) {
            readParameters(n, &m->params_out);
        }
    }
    xmlFreeDoc(doc);
    return true;
}

void BM_ReferenceLibxml2Zlib(benchmark::State& state) {
    const Message& m = sample(static_cast<int>(state.range(0)));
    Message back;
    size_t frameBytes = 0;
    for (auto _ : state) {
        std::string frame = referencePack(m);
        frameBytes = frame.size();
        if (!referenceUnpack(frame, &back)) {
            state.SkipWithError("reference frame not decoded");
            break;
        }
    }
    if (back.params_out.size() != m.params_out.size()) {
        state.SkipWithError("reference lost parameters");
    }
    state.counters["frame_bytes"] = static_cast<double>(frameBytes);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetLabel(state.range(0) == 0 ? "status reply" : "access event, 30 KB photo");
}
BENCHMARK(BM_ReferenceLibxml2Zlib)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
