// qlparam: reads and writes the simulated camera's parameter store from the shell.
//   qlparam get NAME                 prints the value (exit 1 when it does not exist)
//   qlparam set NAME VALUE [...]     writes the pairs as one group, committed by the last
//   qlparam list [PREFIX]            prints "name=value" lines (values escaped as stored)
//   qlparam legacy-get NAME | legacy-set NAME VALUE   the same through the older calls
//   qlparam groups TAG COUNT SIZE    COUNT commits, each of SIZE unsynced writes and one
//                                    synced write of root.test.TAG.k<i> = "<TAG>:<n>", plus
//                                    root.test.TAG.g<n> = "<n>"; prints "committed <n>"
//                                    after each commit (crash and concurrency tests)
//   qlparam knobctl [--nocgi] getgroup GROUP
//                                    the camera's parameter lister: one line
//                                    root.GROUP.<rest>="<value>" per parameter of the group,
//                                    sorted, a newline or return in a value shown as a blank;
//                                    exit 1 when the group has no parameter. Installed into a
//                                    camera root as usr/bin/knobctl; records each call in
//                                    <root>/tmp/knobctl.calls
#include "qlparameter.h"
#include "qlparameter_store.h"
#include "zent_root.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

int usage()
{
    std::fprintf(stderr, "usage: qlparam get NAME | set NAME VALUE [NAME VALUE...] | "
                         "list [PREFIX] | legacy-get NAME | legacy-set NAME VALUE | "
                         "groups TAG COUNT SIZE\n");
    return 2;
}

int fail(GError *error)
{
    std::fprintf(stderr, "qlparam: %s (code %d)\n", error ? error->message : "failed",
                 error ? error->code : -1);
    if (error)
        g_error_free(error);
    return 1;
}

int cmd_groups(QLParameter *handle, const char *tag, long count, long size)
{
    for (long n = 0; n < count; ++n) {
        GError *error = nullptr;
        std::string v = std::string(tag) + ":" + std::to_string(n);
        for (long i = 0; i < size; ++i) {
            std::string name = std::string("root.test.") + tag + ".k" + std::to_string(i);
            if (!ql_parameter_set(handle, name.c_str(), v.c_str(), FALSE, &error))
                return fail(error);
        }
        std::string gname = std::string("root.test.") + tag + ".g" + std::to_string(n);
        if (!ql_parameter_set(handle, gname.c_str(), std::to_string(n).c_str(), TRUE, &error))
            return fail(error);
        std::printf("committed %ld\n", n);
        std::fflush(stdout);
    }
    return 0;
}

// A JSON string of `text`, for the call record.
std::string json_quote(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

int cmd_knobctl(int argc, char **argv)
{
    std::string record = "[";
    for (int i = 2; i < argc; ++i)
        record += (i > 2 ? ", " : "") + json_quote(argv[i]);
    record += "]\n";
    if (std::FILE *f = std::fopen(zent_path("/tmp/knobctl.calls").c_str(), "a")) {
        std::fputs(record.c_str(), f);
        std::fclose(f);
    }
    int i = 2;
    if (i < argc && std::strcmp(argv[i], "--nocgi") == 0)
        ++i;
    if (argc - i != 2 || std::strcmp(argv[i], "getgroup") != 0) {
        std::fprintf(stderr, "usage: knobctl [--nocgi] getgroup GROUP\n");
        return 2;
    }
    std::string prefix = qlstore::full_name(argv[i + 1]) + ".";
    qlstore::Table table;
    GError *error = nullptr;
    if (!qlstore::load(table, &error))
        return fail(error);
    int lines = 0;
    for (const auto &[name, value] : table) {
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string shown = value;
        for (char &c : shown)
            if (c == '\n' || c == '\r')
                c = ' ';
        std::printf("%s=\"%s\"\n", name.c_str(), shown.c_str());
        ++lines;
    }
    if (lines == 0) {
        std::fprintf(stderr, "knobctl: no group %s\n", argv[i + 1]);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    std::string cmd = argv[1];
    if (cmd == "knobctl")
        return cmd_knobctl(argc, argv);
    if (cmd == "legacy-get" && argc == 3) {
        char *value = nullptr;
        if (param_get(argv[2], &value) != 0) {
            std::fprintf(stderr, "qlparam: cannot read '%s'\n", argv[2]);
            return 1;
        }
        std::printf("%s\n", value);
        param_free(value);
        return 0;
    }
    if (cmd == "legacy-set" && argc == 4)
        return param_set(argv[2], argv[3], 1) == 0 ? 0 : 1;
    if (cmd == "list" && argc <= 3) {
        std::string prefix = argc == 3 ? qlstore::full_name(argv[2]) : "";
        qlstore::Table table;
        GError *error = nullptr;
        if (!qlstore::load(table, &error))
            return fail(error);
        for (const auto &[name, value] : table)
            if (name.compare(0, prefix.size(), prefix) == 0)
                std::printf("%s=%s\n", name.c_str(), qlstore::escape(value).c_str());
        return 0;
    }

    GError *error = nullptr;
    QLParameter *handle = ql_parameter_new("qlparam", &error);
    if (handle == nullptr)
        return fail(error);
    int rc = 0;
    if (cmd == "get" && argc == 3) {
        gchar *value = nullptr;
        if (ql_parameter_get(handle, argv[2], &value, &error)) {
            std::printf("%s\n", value);
            g_free(value);
        } else {
            rc = fail(error);
        }
    } else if (cmd == "set" && argc >= 4 && argc % 2 == 0) {
        for (int i = 2; i + 1 < argc && rc == 0; i += 2) {
            gboolean last = i + 2 >= argc;
            if (!ql_parameter_set(handle, argv[i], argv[i + 1], last, &error))
                rc = fail(error);
        }
    } else if (cmd == "groups" && argc == 5) {
        rc = cmd_groups(handle, argv[2], std::strtol(argv[3], nullptr, 10),
                        std::strtol(argv[4], nullptr, 10));
    } else {
        rc = usage();
    }
    ql_parameter_free(handle);
    return rc;
}
