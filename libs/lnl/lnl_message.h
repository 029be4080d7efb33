// lnl_message.h                                                   -*-C++-*-
//
// 'Message', the one record exchanged with the NVR, and its tree form.  A
// message is an action code, a class name, a target instance, a method name and
// two ordered lists of name/value/type parameters.  'toTree' writes the tree
// carried in a frame; 'fromTree' reads one back and rejects trees that are not
// messages.
//
// Thread safety: values; a message is used by one thread at a time.
#ifndef INCLUDED_LNL_MESSAGE
#define INCLUDED_LNL_MESSAGE

#include <cstdint>
#include <string>
#include <vector>

namespace NS_XML {
class XNode;
}

// Action codes of 'Message::action'.
enum LnlAction : int32_t {
    e_ACTION_LOOKUP = 1,      // look up instances of a class
    e_ACTION_EXECUTE = 2,     // execute a method
    e_ACTION_SUBSCRIBE = 3,   // subscribe to an event class; also each event
    e_ACTION_NAMESPACE = 4,   // connect to a namespace
    e_ACTION_STATUS = 5,      // report status
    e_ACTION_COMPLETION = 6,  // completion of a method execution
};

struct Parameter {
    std::string name;
    std::string value;
    std::string type;

    bool operator==(const Parameter&) const = default;
};

struct Message {
    int32_t action = 0;
    std::string class_name;
    std::string target_instance;
    std::string method_name;
    std::vector<Parameter> params_in;
    std::vector<Parameter> params_out;

    // Resets every field: action 0, empty strings and lists.
    void clear();

    bool operator==(const Message&) const = default;
};

// Limits of a message read from a tree: beyond them 'fromTree' refuses it.
// Requests are small (the largest legitimate one, a method execution with
// its inputs, is a few kilobytes), so these leave a wide margin while
// keeping what one request may cost bounded.
constexpr size_t k_MAX_MESSAGE_PARAMS = 256;          // per list
constexpr size_t k_MAX_MESSAGE_STRING = 64 * 1024;   // any one string

// The bytes 'message' holds, strings and a fixed cost per parameter; the
// unit of the queues' byte budgets.
int64_t messageBytes(const Message& message);

// Finds the output parameter 'name' (any letter case) and reads it as an
// unsigned decimal number of 64 bits; false when it is missing, empty, not
// a number or too large.
bool unsignedOutput(const Message& message, const char* name, uint64_t* value);

// Writes 'message' into 'root' (cleared first): root "root" with "action",
// "class_name", and "method_name", "target_instance", "params_in",
// "params_out" when not empty.
void toTree(const Message& message, NS_XML::XNode* root);

// Fills the cleared 'message' from 'root'; answers false when the tree is not a
// message or exceeds the limits above (the message may then be partly
// filled; '*why', when given, names the reason).
bool fromTree(const NS_XML::XNode& root, Message* message, std::string* why = nullptr);

#endif
