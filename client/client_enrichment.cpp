// Access-event enrichment: the badge holder's photo and person record added
// to an access event by three lookups.

#include <chrono>

#include "client.h"
#include "core_v2masterlogger.h"

namespace {

template <class Params>
auto* findParameter(Params& params, const char* name) {
    for (auto& p : params) {
        if (p.name == name) {
            return &p;
        }
    }
    return static_cast<decltype(&params.front())>(nullptr);
}

}  // namespace

Message Client::getAllAccessEventInfo(const Message& event) {
    const char* tag = "Client::getAllAccessEventInfo";
    ++d_counters.get_all_info;
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&start] {
        return core::Microseconds(std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::steady_clock::now() - start)
                                      .count());
    };
    Message result = event;

    const Parameter* card = findParameter(event.params_out, "cardnumber");
    if (!card || card->value.empty()) {
        LOG_INFO(tag, "Empty card_id Stopwatch %s", elapsed());
        return result;
    }
    ++d_counters.card_id;

    Message lookup;
    lookup.action = e_ACTION_LOOKUP;
    lookup.class_name = "Lnl_Badge";
    lookup.params_in.push_back({"id", card->value, "int"});
    lookup.params_out.push_back({"personid", "", "int"});
    getInfo(lookup);
    const std::string personId = lookup.params_out[0].value;
    if (personId.empty()) {
        LOG_INFO(tag, "Failed getting person id - Stopwatch %s", elapsed());
        return result;
    }
    ++d_counters.person_id;

    lookup.clear();
    lookup.action = e_ACTION_LOOKUP;
    lookup.class_name = "Lnl_MultimediaObject";
    lookup.params_in.push_back({"PersonID", personId, "int"});
    lookup.params_in.push_back({"DataType", "0", "int"});
    lookup.params_in.push_back({"ObjectType", "1", "int"});
    lookup.params_out.push_back({"Data", "", ""});
    getInfo(lookup);
    if (Parameter* data = findParameter(lookup.params_out, "Data")) {
        d_counters.total_image_size += data->value.size();
        if (!data->value.empty()) {
            ++d_counters.photo;
        }
        // The photo is the bulk of the event: moved, not copied.
        result.params_out.reserve(result.params_out.size() + 4);
        result.params_out.push_back(std::move(*data));
    }

    lookup.clear();
    lookup.action = e_ACTION_LOOKUP;
    lookup.class_name = "Lnl_Person";
    lookup.params_in.push_back({"ID", personId, "str"});
    lookup.params_out.push_back({"firstname", "", ""});
    lookup.params_out.push_back({"lastname", "", ""});
    lookup.params_out.push_back({"ssno", "", ""});
    getInfo(lookup);
    for (const char* name : {"firstname", "lastname", "ssno"}) {
        if (const Parameter* p = findParameter(lookup.params_out, name)) {
            result.params_out.push_back(*p);
        }
    }
    LOG_INFO(tag, "Stopwatch %s", elapsed());
    return result;
}
