// A parameter library whose next answer the test scripts: result, value, error object.
#pragma once

#include <string>

namespace fake_ql
{

struct Script {
    bool ok = true;
    const char *value = nullptr; // handed out (copied) on get, also when ok is false
    bool with_error = false;
    int code = 0;
    bool fail_new = false; // ql_parameter_new fails (with the error above)
};

struct Seen {
    int gets = 0;
    int sets = 0;
    int frees = 0;
    std::string app_name;
    std::string name;
    std::string value;
    int sync = -1;
    bool error_cell_given = false;
};

void script(const Script &s);
Seen &seen();
void reset();

} // namespace fake_ql
