#include "lnl_message.h"

#include "xml_xnode.h"

namespace {

void writeParameters(const std::vector<Parameter>& params, NS_XML::XNode* list) {
    for (const Parameter& p : params) {
        NS_XML::XNode& node = list->addChild("parameter");
        node.set("name", p.name);
        if (!p.value.empty()) {
            node.set("value", p.value);
        }
        if (!p.type.empty()) {
            node.set("type", p.type);
        }
    }
}

bool fail(std::string* why, const char* text) {
    if (why) {
        *why = text;
    }
    return false;
}

bool sameIgnoringCase(const std::string& a, const char* b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

bool tooLong(const std::string& text) {
    return text.size() > k_MAX_MESSAGE_STRING;
}

// Reads every child element of 'list' as a parameter; a list without children
// or a child without "name" is not a message.
bool readParameters(const NS_XML::XNode& list, std::vector<Parameter>* params, std::string* why) {
    if (list.numChildren() == 0) {
        return fail(why, "empty parameter list");
    }
    if (list.numChildren() > k_MAX_MESSAGE_PARAMS) {
        return fail(why, "too many parameters");
    }
    for (const NS_XML::XNode& node : list) {
        const NS_XML::XNode* name = node.findChild("name");
        if (!name) {
            return fail(why, "parameter without name");
        }
        Parameter p;
        p.name = name->text();
        if (const NS_XML::XNode* value = node.findChild("value")) {
            p.value = value->text();
        }
        if (const NS_XML::XNode* type = node.findChild("type")) {
            p.type = type->text();
        }
        if (tooLong(p.name) || tooLong(p.value) || tooLong(p.type)) {
            return fail(why, "parameter string too long");
        }
        params->push_back(std::move(p));
    }
    return true;
}

}  // namespace

bool unsignedOutput(const Message& message, const char* name, uint64_t* value) {
    for (const Parameter& p : message.params_out) {
        if (!sameIgnoringCase(p.name, name)) {
            continue;
        }
        if (p.value.empty()) {
            return false;
        }
        uint64_t v = 0;
        for (char c : p.value) {
            const uint64_t digit = static_cast<uint64_t>(c - '0');
            if (c < '0' || c > '9' || v > (UINT64_MAX - digit) / 10) {
                return false;
            }
            v = v * 10 + digit;
        }
        *value = v;
        return true;
    }
    return false;
}

int64_t messageBytes(const Message& message) {
    // A parameter's three strings and its place in the list.
    constexpr int64_t k_PARAMETER_COST = 3 * sizeof(std::string);
    int64_t bytes = sizeof(Message) + message.class_name.size() +
                    message.target_instance.size() + message.method_name.size();
    for (const auto* list : {&message.params_in, &message.params_out}) {
        for (const Parameter& p : *list) {
            bytes += k_PARAMETER_COST + p.name.size() + p.value.size() + p.type.size();
        }
    }
    return bytes;
}

void Message::clear() {
    action = 0;
    class_name.clear();
    target_instance.clear();
    method_name.clear();
    params_in.clear();
    params_out.clear();
}

void toTree(const Message& message, NS_XML::XNode* root) {
    root->clear();
    root->setName("root");
    root->set("action", message.action);
    root->set("class_name", message.class_name);
    if (!message.method_name.empty()) {
        root->set("method_name", message.method_name);
    }
    if (!message.target_instance.empty()) {
        root->set("target_instance", message.target_instance);
    }
    if (!message.params_in.empty()) {
        writeParameters(message.params_in, &root->child("params_in"));
    }
    if (!message.params_out.empty()) {
        writeParameters(message.params_out, &root->child("params_out"));
    }
}

bool fromTree(const NS_XML::XNode& root, Message* message, std::string* why) {
    message->clear();
    const NS_XML::XNode* className = root.findChild("class_name");
    const NS_XML::XNode* action = root.findChild("action");
    if (root.name() != "root" || !className || !action) {
        return fail(why, "not a message");
    }
    message->class_name = className->text();
    message->action = static_cast<int32_t>(action->textAsInt());
    if (const NS_XML::XNode* method = root.findChild("method_name")) {
        message->method_name = method->text();
    }
    if (const NS_XML::XNode* target = root.findChild("target_instance")) {
        message->target_instance = target->text();
    }
    if (const NS_XML::XNode* in = root.findChild("params_in")) {
        if (!readParameters(*in, &message->params_in, why)) {
            return false;
        }
    }
    if (const NS_XML::XNode* out = root.findChild("params_out")) {
        if (!readParameters(*out, &message->params_out, why)) {
            return false;
        }
    }
    if (tooLong(message->class_name) || tooLong(message->method_name) ||
        tooLong(message->target_instance)) {
        return fail(why, "string too long");
    }
    return true;
}
