// The parameter store file: its text format, locking and atomic replacement, shared by the
// library and the qlparam command.
#ifndef QLPARAMETER_STORE_H
#define QLPARAMETER_STORE_H

#include <glib.h>

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qlstore
{

using Table = std::map<std::string, std::string>;
using Group = std::vector<std::pair<std::string, std::string>>;

// Store format: one "name=value" line per parameter, sorted by name; in values "\\", "\n"
// and "\r" stand for a backslash, a newline and a carriage return. Lines starting with '#'
// are comments. A store file ends with the line "#end <count>", so that a cut file is
// recognised as such. Defaults files use the same lines without that trailer.
std::string escape(std::string_view value);
std::string unescape(std::string_view value);
// `strict` requires the trailer. False with a message on a malformed text.
bool parse(std::string_view text, Table &out, bool strict, std::string &why);
std::string serialise(const Table &table);

// "root." is prepended to a name that lacks it; both forms name one parameter.
std::string full_name(std::string_view name);
// Non-empty dotted name without empty parts; no '=', newline or carriage return, and not
// starting with '#' (a comment line).
bool valid_name(std::string_view name);

std::string store_path();    // under ZENT_ROOT
std::string defaults_path(); // QLPARAMETER_DEFAULTS, else the source tree's defaults.conf

// Each takes the store's lock for its own duration; a missing store is first seeded from
// the defaults. Errors are QL_PARAMETER_ERROR codes.
bool ensure_store(GError **error);
bool load(Table &out, GError **error);
// Applies the writes in order and replaces the file, all under one exclusive lock.
bool commit(const Group &writes, GError **error);

} // namespace qlstore

#endif
