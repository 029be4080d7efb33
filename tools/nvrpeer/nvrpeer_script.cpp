#include "nvrpeer_script.h"

#include <cstdlib>
#include <sstream>

namespace nvrpeer {

namespace {

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

// "name:type" -> name, type ("str" when no type is given).
Parameter wantedProperty(const std::string& word) {
    Parameter p;
    size_t colon = word.find(':');
    p.name = word.substr(0, colon);
    p.type = colon == std::string::npos ? "str" : word.substr(colon + 1);
    return p;
}

bool isNumber(const std::string& s) {
    if (s.empty()) {
        return false;
    }
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

}  // namespace

bool parseLine(const std::string& rawLine, Step* step, bool* skip, std::string* error) {
    *step = Step();
    *skip = false;
    std::string line = rawLine;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') {
        *skip = true;
        return true;
    }
    line = line.substr(start);
    step->line = line;
    std::vector<std::string> w = splitWords(line);
    const std::string& verb = w[0];
    Message& m = step->message;
    if (verb == "namespace") {
        if (w.size() != 2) {
            *error = "usage: namespace <path>";
            return false;
        }
        m.action = e_ACTION_NAMESPACE;
        m.class_name = w[1];
    } else if (verb == "status") {
        if (w.size() != 1) {
            *error = "usage: status";
            return false;
        }
        m.action = e_ACTION_STATUS;
    } else if (verb == "subscribe") {
        if (w.size() < 2) {
            *error = "usage: subscribe <Class> [prop[:type] ...]";
            return false;
        }
        m.action = e_ACTION_SUBSCRIBE;
        m.class_name = w[1];
        for (size_t i = 2; i < w.size(); ++i) {
            m.params_out.push_back(wantedProperty(w[i]));
        }
    } else if (verb == "lookup") {
        if (w.size() < 2) {
            *error = "usage: lookup <Class> [name=value ...] [-- prop[:type] ...]";
            return false;
        }
        m.action = e_ACTION_LOOKUP;
        m.class_name = w[1];
        bool wanted = false;
        for (size_t i = 2; i < w.size(); ++i) {
            if (w[i] == "--") {
                wanted = true;
            } else if (wanted) {
                m.params_out.push_back(wantedProperty(w[i]));
            } else {
                size_t eq = w[i].find('=');
                if (eq == std::string::npos || eq == 0) {
                    *error = "condition '" + w[i] + "' is not name=value";
                    return false;
                }
                m.params_in.push_back({w[i].substr(0, eq), w[i].substr(eq + 1), "str"});
            }
        }
    } else if (verb == "execute") {
        if (w.size() < 3) {
            *error = "usage: execute <Class> <Method> [@<instance path>] [name:type=value ...]";
            return false;
        }
        m.action = e_ACTION_EXECUTE;
        m.class_name = w[1];
        m.method_name = w[2];
        for (size_t i = 3; i < w.size(); ++i) {
            if (w[i][0] == '@') {
                m.target_instance = w[i].substr(1);
                continue;
            }
            size_t colon = w[i].find(':');
            size_t eq = w[i].find('=');
            if (colon == std::string::npos || eq == std::string::npos || eq < colon || colon == 0) {
                *error = "argument '" + w[i] + "' is not name:type=value";
                return false;
            }
            m.params_in.push_back({w[i].substr(0, colon), w[i].substr(eq + 1),
                                   w[i].substr(colon + 1, eq - colon - 1)});
        }
    } else if (verb == "sleep") {
        if (w.size() != 2 || !isNumber(w[1])) {
            *error = "usage: sleep <ms>";
            return false;
        }
        step->kind = Step::e_SLEEP;
        step->sleep_ms = std::atoi(w[1].c_str());
    } else if (verb == "raw") {
        step->kind = Step::e_RAW;
        step->raw = line.size() > 4 ? line.substr(4) : std::string();
    } else {
        *error = "unknown request '" + verb +
                 "' (namespace, status, subscribe, lookup, execute, sleep, raw)";
        return false;
    }
    return true;
}

bool parseScript(const std::string& text, std::vector<Step>* steps, std::string* error) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        Step step;
        bool skip = false;
        std::string why;
        if (!parseLine(line, &step, &skip, &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        if (!skip) {
            steps->push_back(std::move(step));
        }
    }
    return true;
}

}  // namespace nvrpeer
