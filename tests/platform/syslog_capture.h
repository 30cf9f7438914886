// Test-side stand-in for the system log: the logging routines' openlog, vsyslog and closelog
// calls are redirected here at link time and recorded.
#pragma once

#include <string>
#include <vector>

namespace syslog_capture
{

struct Open {
    std::string ident;     // the text at the time of the call
    const char *ident_ptr; // what the system log would keep
    int option;
    int facility;
};

struct Message {
    int priority;
    std::string text; // formatted
};

struct Record {
    std::vector<Open> opens;
    std::vector<Message> messages;
    int closes = 0;
};

// A copy of everything recorded so far.
Record snapshot();
void clear();

} // namespace syslog_capture
