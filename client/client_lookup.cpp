// Instance lookups of the Client: WQL queries built from a lookup message,
// one reply per matching instance, and 'getInfo' for the enrichment.

#include <algorithm>
#include <chrono>

#include "client.h"
#include "client_variant.h"
#include "core_assert.h"
#include "core_v2masterlogger.h"

std::string Client::buildQuery(const Message& lookup) {
    std::string query = core::strFormat("SELECT * FROM %s", lookup.class_name);
    bool first = true;
    for (const Parameter& p : lookup.params_in) {
        if (p.name.empty() || p.value.empty()) {
            continue;
        }
        query += first ? " WHERE" : " AND";
        first = false;
        core::strAppendFormat(query, " %s = '%s'", p.name, p.value);
    }
    return query;
}

wmi::ComPtr<IEnumWbemClassObject> Client::runQuery(const Message& lookup, const char* tag) {
    wmi::ComPtr<IEnumWbemClassObject> enumerator;
    if (!d_services) {
        return enumerator;
    }
    if (!d_policy.allowsNamespace(d_namespace_path)) {
        LOG_RATE(6, core::LOG_WARN,
                 "%s - Lookup refused: namespace '%s' is not in Namespaces of "
                 "section Security",
                 tag, d_namespace_path);
        return enumerator;
    }
    wmi::Bstr language = wmi::toBstr("WQL");
    wmi::Bstr query = wmi::toBstr(buildQuery(lookup));
    HRESULT hr = d_services->ExecQuery(language.get(), query.get(),
                                       WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                       nullptr, enumerator.out());
    noteWmiResult(hr);
    if (FAILED(hr)) {
        LOG_RATE_SITE(6, core::LOG_WARN, tag, "Failed to execute query. Error code = 0x%x",
                      static_cast<uint32_t>(hr));
        LOG_RATE_SITE(6, core::LOG_WARN, tag, "Error Message: %s", wmi::errorMessage(hr));
        enumerator.reset();
        return enumerator;
    }
    hr = CoSetProxyBlanket(enumerator.get(), RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_DEFAULT,
                           COLE_DEFAULT_PRINCIPAL, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hr)) {
        LOG_WARN(tag, "Could not set proxy blanket on enumerator. Error code = 0x%x",
                 static_cast<uint32_t>(hr));
        LOG_WARN(tag, "Error Message: %s", wmi::errorMessage(hr));
        enumerator.reset();
    }
    return enumerator;
}

std::string Client::arrayToText(const VARIANT& value) {
    ++d_counters.arrays;
    std::string bytes;
    VARTYPE element = V_VT(&value) & VT_TYPEMASK;
    SAFEARRAY* array = V_ARRAY(&value);
    if (element != VT_UI1 && element != VT_I1) {
        core::MasterLogger::logAt(core::LOG_WARN, "client", __LINE__, "", "");
    } else if (array) {
        LONG lower = 0;
        LONG upper = -1;
        if (SUCCEEDED(SafeArrayGetLBound(array, 1, &lower)) &&
            SUCCEEDED(SafeArrayGetUBound(array, 1, &upper))) {
            // The bounds come from the provider: count in 64 bits, and let
            // the elements actually read, not the bounds, size the text.
            const int64_t count = static_cast<int64_t>(upper) - lower + 1;
            void* data = nullptr;
            if (count > 0 && SafeArrayGetDim(array) == 1 && SafeArrayGetElemsize(array) == 1 &&
                SUCCEEDED(SafeArrayAccessData(array, &data)) && data) {
                // A one-dimensional byte array is one block: a photo is
                // encoded straight from it.
                std::string text = base64Encode(
                    std::string_view(static_cast<const char*>(data), static_cast<size_t>(count)));
                SafeArrayUnaccessData(array);
                return text;
            }
            bytes.reserve(static_cast<size_t>(std::clamp<int64_t>(count, 0, 1 << 20)));
            for (int64_t i = 0; i < count; ++i) {
                // Elements are addressed from the lower bound.
                LONG index = static_cast<LONG>(lower + i);
                unsigned char b = 0;
                if (FAILED(SafeArrayGetElement(array, &index, &b))) {
                    break;
                }
                bytes.push_back(static_cast<char>(b));
            }
        }
    }
    if (bytes.empty()) {
        ++d_counters.array_failed;
    }
    return base64Encode(bytes);
}

bool Client::convertValue(const VARIANT& value, std::string* text, const char** branch) {
    VARTYPE vt = V_VT(&value);
    if (vt == VT_BSTR) {
        *branch = "VT_BSTR";
        *text = wmi::fromBstr(V_BSTR(&value));
    } else if (vt & VT_ARRAY) {
        *branch = "VT_ARRAY";
        *text = arrayToText(value);
    } else if (isSmallInteger(vt)) {
        *branch = "VT_INT";
        *text = std::to_string(smallIntegerValue(value));
    } else {
        *branch = nullptr;
        return false;
    }
    return true;
}

void Client::lookupInstancesOfClass(const Message& request) {
    const char* tag = "Client::lookupInstancesOfClass";
    if (!CHECKF(request.action == e_ACTION_LOOKUP, "%d", request.action)) {
        return;
    }
    if (d_namespace_path.empty()) {
        return;
    }
    wmi::ComPtr<IEnumWbemClassObject> enumerator = runQuery(request, tag);
    if (!enumerator) {
        ++d_counters.lookups_failed;
        return;
    }
    d_lookup_enumerator = std::move(enumerator);
    d_lookup_request = request;
    d_lookup_reply = request;
    continueLookup();
}

void Client::continueLookup() {
    const char* tag = "Client::lookupInstancesOfClass";
    const std::vector<Parameter>& wanted = d_lookup_request.params_out;
    const auto started = std::chrono::steady_clock::now();
    while (d_lookup_enumerator) {
        if (!d_policy.allowsNamespace(d_namespace_path)) {
            endLookup();  // the lists changed while it waited
            return;
        }
        // A slow provider (one 'Next' after another) gives the loop back in
        // turn: keep-alives, the stop and the rest wait no longer than this.
        if (std::chrono::steady_clock::now() - started >=
            std::chrono::milliseconds(k_WMI_WAIT_MS)) {
            restartTimer(d_lookup_wait_timer, 0);
            return;
        }
        if (!d_link_up || linkFull()) {
            // Resumed by 'pumpLink' at the low-water mark; the event drain
            // waits meanwhile.
            if (d_link_up) {
                LOG_RATE(6, core::LOG_INFO,
                         "Client::lookupInstancesOfClass - NVR link full, replies wait for it to "
                         "drain");
            }
            return;
        }
        wmi::ComPtr<IWbemClassObject> instance;
        ULONG returned = 0;
        HRESULT hr = d_lookup_enumerator->Next(k_WMI_WAIT_MS, 1, instance.out(), &returned);
        noteWmiResult(hr);
        if (hr == static_cast<HRESULT>(WBEM_S_TIMEDOUT)) {
            restartTimer(d_lookup_wait_timer, 0);
            return;
        }
        if (FAILED(hr) || returned == 0 || !instance) {
            ++d_counters.lookups_success;
            endLookup();
            return;
        }
        for (size_t i = 0; i < wanted.size(); ++i) {
            const std::string& name = wanted[i].name;
            wmi::Variant value;
            if (!readProperty(instance.get(), name, &value)) {
                LOG_RATE_SITE(6, core::LOG_WARN, tag, "Failed finding value for the field '%s'",
                              core::logSafe(name));
                continue;
            }
            std::string text;
            const char* branch = nullptr;
            if (convertValue(value.value(), &text, &branch)) {
                d_lookup_reply.params_out[i].value = std::move(text);
            }
        }
        sendToServer(d_lookup_reply);
    }
}

void Client::endLookup() {
    killTimer(d_lookup_wait_timer);
    d_lookup_enumerator.reset();
    d_lookup_request = Message();
    d_lookup_reply = Message();
}

void Client::getInfo(Message& lookup) {
    const char* tag = "Client::getInfo";
    if (!CHECKF(lookup.action == e_ACTION_LOOKUP, "%d", lookup.action)) {
        return;
    }
    wmi::ComPtr<IEnumWbemClassObject> enumerator = runQuery(lookup, tag);
    if (!enumerator) {
        return;
    }
    wmi::ComPtr<IWbemClassObject> instance;
    ULONG returned = 0;
    // Bounded: an event whose lookup takes longer goes out without it.
    HRESULT hr = WBEM_S_TIMEDOUT;
    for (int waited = 0;
         hr == static_cast<HRESULT>(WBEM_S_TIMEDOUT) && waited < k_ENRICHMENT_WAIT_MS;
         waited += k_WMI_WAIT_MS) {
        hr = enumerator->Next(k_WMI_WAIT_MS, 1, instance.out(), &returned);
    }
    noteWmiResult(hr);
    if (hr == static_cast<HRESULT>(WBEM_S_TIMEDOUT)) {
        LOG_RATE(6, core::LOG_WARN, "Client::getInfo - WMI too slow, event sent without it");
    }
    if (FAILED(hr) || returned == 0 || !instance) {
        return;
    }
    const bool diagnose = lookup.class_name == "Lnl_MultimediaObject";
    for (Parameter& p : lookup.params_out) {
        wmi::Variant value;
        const bool read = readProperty(instance.get(), p.name, &value);
        if (diagnose) {
            // Every access event with a photo passes here: each line at most
            // once a minute.
            LOG_RATE(6, core::LOG_INFO, "Client::getInfo - '%s' is type '%u'",
                     core::logSafe(p.name), static_cast<unsigned>(value.type()));
        }
        if (!read) {
            LOG_RATE_SITE(6, core::LOG_WARN, tag, "Failed finding value for the field '%s'",
                          core::logSafe(p.name));
            continue;
        }
        std::string text;
        const char* branch = nullptr;
        if (convertValue(value.value(), &text, &branch)) {
            if (diagnose) {
                LOG_RATE(6, core::LOG_INFO, "Client::getInfo - '%s' is type %s",
                         core::logSafe(p.name), branch);
            }
            p.value = std::move(text);
        } else {
            LOG_RATE_SITE(6, core::LOG_WARN, tag, "Unhandled type '%u' for field %s",
                          static_cast<unsigned>(value.type()), core::logSafe(p.name));
        }
    }
}
