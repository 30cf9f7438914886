// Event entries of the event library stand-in and their text form, shared by the library
// (filters, the socket, the control calls) and the qlevent tool.
#pragma once

#include <qlevent.h>

#include <optional>
#include <string>
#include <vector>

namespace qlevent_wire
{

struct Entry {
    std::string key;
    std::optional<std::string> name_space;
    QLEventValueType type = QL_EVENT_VALUE_TYPE_INT;
    bool has_value = false;
    int i = 0;
    bool b = false;
    double d = 0.0;
    std::string s;
};

// Parses "key[@ns]=T:value" entries: one per line in a text with newlines (a string value
// may then hold blanks), else separated by blanks. False on a malformed entry or a repeated
// key.
bool parse(const std::string &text, std::vector<Entry> &out);

// The entries in that form, blank-separated; with `star`, an entry without a value shows "*".
std::string format(const std::vector<Entry> &entries, bool star);

bool same_value(const Entry &a, const Entry &b);

// The camera's I/O port event.
std::vector<Entry> port_event(int port, bool state);

} // namespace qlevent_wire
