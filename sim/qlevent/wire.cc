// Text form of event entries: "key[@namespace]=T:value" with T one of i, b, d, s.
#include "wire.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace qlevent_wire
{
namespace
{

bool parse_entry(const std::string &item, Entry &e)
{
    std::size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0 || item.size() < eq + 3 || item[eq + 2] != ':')
        return false;
    std::string name = item.substr(0, eq);
    std::size_t at = name.find('@');
    e = Entry{};
    e.key = name.substr(0, at);
    if (e.key.empty())
        return false;
    if (at != std::string::npos)
        e.name_space = name.substr(at + 1);
    std::string value = item.substr(eq + 3);
    e.has_value = value != "*";
    char t = item[eq + 1];
    const char *v = value.c_str();
    char *end = nullptr;
    errno = 0;
    switch (t) {
    case 'i': {
        e.type = QL_EVENT_VALUE_TYPE_INT;
        if (!e.has_value)
            return true;
        long n = std::strtol(v, &end, 10);
        if (*v == '\0' || *end != '\0' || errno != 0 || n < INT32_MIN || n > INT32_MAX)
            return false;
        e.i = static_cast<int>(n);
        return true;
    }
    case 'b':
        e.type = QL_EVENT_VALUE_TYPE_BOOL;
        if (!e.has_value)
            return true;
        if (value == "1" || value == "true")
            e.b = true;
        else if (value == "0" || value == "false")
            e.b = false;
        else
            return false;
        return true;
    case 'd':
        e.type = QL_EVENT_VALUE_TYPE_DOUBLE;
        if (!e.has_value)
            return true;
        e.d = std::strtod(v, &end);
        return *v != '\0' && *end == '\0';
    case 's':
        e.type = QL_EVENT_VALUE_TYPE_STRING;
        e.s = value;
        return true;
    default:
        return false;
    }
}

} // namespace

bool parse(const std::string &text, std::vector<Entry> &out)
{
    out.clear();
    std::vector<std::string> items;
    if (text.find('\n') != std::string::npos) {
        // One entry per line: a string value may hold blanks.
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            std::size_t first = line.find_first_not_of(" \t\r");
            if (first == std::string::npos)
                continue;
            std::size_t last = line.find_last_not_of(" \t\r");
            items.push_back(line.substr(first, last - first + 1));
        }
    } else {
        std::istringstream words(text);
        std::string w;
        while (words >> w)
            items.push_back(w);
    }
    for (const std::string &item : items) {
        Entry e;
        if (!parse_entry(item, e))
            return false;
        for (const Entry &o : out)
            if (o.key == e.key && o.name_space == e.name_space)
                return false;
        out.push_back(std::move(e));
    }
    return true;
}

std::string format(const std::vector<Entry> &entries, bool star)
{
    std::string text;
    for (const Entry &e : entries) {
        if (!text.empty())
            text += ' ';
        text += e.key;
        if (e.name_space)
            text += '@' + *e.name_space;
        static const char kTypes[] = {'i', 'b', 'd', 's'};
        text += '=';
        text += kTypes[e.type];
        text += ':';
        if (!e.has_value) {
            text += star ? "*" : "";
            continue;
        }
        switch (e.type) {
        case QL_EVENT_VALUE_TYPE_INT:
            text += std::to_string(e.i);
            break;
        case QL_EVENT_VALUE_TYPE_BOOL:
            text += e.b ? "1" : "0";
            break;
        case QL_EVENT_VALUE_TYPE_DOUBLE: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.17g", e.d);
            text += buf;
            break;
        }
        case QL_EVENT_VALUE_TYPE_STRING:
            text += e.s;
            break;
        }
    }
    return text;
}

bool same_value(const Entry &a, const Entry &b)
{
    if (a.type != b.type)
        return false;
    switch (a.type) {
    case QL_EVENT_VALUE_TYPE_INT:
        return a.i == b.i;
    case QL_EVENT_VALUE_TYPE_BOOL:
        return a.b == b.b;
    case QL_EVENT_VALUE_TYPE_DOUBLE:
        return a.d == b.d;
    case QL_EVENT_VALUE_TYPE_STRING:
        return a.s == b.s;
    }
    return false;
}

std::vector<Entry> port_event(int port, bool state)
{
    std::vector<Entry> ev(5);
    ev[0].key = "topic0";
    ev[0].name_space = "tns1";
    ev[0].type = QL_EVENT_VALUE_TYPE_STRING;
    ev[0].s = "Device";
    ev[1].key = "topic1";
    ev[1].name_space = "tnsorvex";
    ev[1].type = QL_EVENT_VALUE_TYPE_STRING;
    ev[1].s = "IO";
    ev[2].key = "topic2";
    ev[2].name_space = "tnsorvex";
    ev[2].type = QL_EVENT_VALUE_TYPE_STRING;
    ev[2].s = "Port";
    ev[3].key = "port";
    ev[3].type = QL_EVENT_VALUE_TYPE_INT;
    ev[3].i = port;
    ev[4].key = "state";
    ev[4].type = QL_EVENT_VALUE_TYPE_BOOL;
    ev[4].b = state;
    for (Entry &e : ev)
        e.has_value = true;
    return ev;
}

} // namespace qlevent_wire
