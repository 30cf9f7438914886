// The parameter store file: text format, flock-guarded reads and read-modify-write commits
// that replace the file atomically, so that a crash leaves the old or the new state.
#include "qlparameter_store.h"

#include "qlparameter.h"
#include "zent_root.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef QLPARAMETER_DEFAULTS_FILE
#define QLPARAMETER_DEFAULTS_FILE "defaults.conf"
#endif

namespace qlstore
{

namespace
{

constexpr std::string_view kTrailer = "#end ";

class Fd
{
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports the result (a close can report a write error).
    int close_checked()
    {
        int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

  private:
    int fd_;
};

void set_errno_error(GError **error, QLParameterErrorCode code, const char *what,
                     const std::string &path, int err)
{
    g_set_error(error, QL_PARAMETER_ERROR, code, "%s '%s': %s", what, path.c_str(),
                g_strerror(err));
}

// The lock lives in a file of its own: the store file is replaced by rename on every
// commit, so a lock on it would guard a file that is no longer the store.
class StoreLock
{
  public:
    bool acquire(int operation, GError **error)
    {
        std::string path = store_path() + ".lock";
        gchar *dir = g_path_get_dirname(path.c_str());
        int mk = g_mkdir_with_parents(dir, 0755);
        int mk_err = errno;
        std::string dir_s = dir;
        g_free(dir);
        if (mk != 0) {
            set_errno_error(error, QL_PARAMETER_FILE_CREATE_ERROR, "Cannot create directory", dir_s,
                            mk_err);
            return false;
        }
        fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (fd_.get() < 0) {
            set_errno_error(error, QL_PARAMETER_FILE_FD_ERROR, "Cannot open lock file", path,
                            errno);
            return false;
        }
        int rc;
        do {
            rc = ::flock(fd_.get(), operation);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            set_errno_error(error, QL_PARAMETER_FILE_LOCK_ERROR, "Cannot lock", path, errno);
            fd_.reset();
            return false;
        }
        return true;
    }
    // Closing the descriptor drops the lock.
    void release() { fd_.reset(); }

  private:
    Fd fd_;
};

bool write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

enum class ReadResult { ok, missing, failed };

ReadResult read_file(const std::string &path, std::string &out, GError **error,
                     QLParameterErrorCode open_code)
{
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return ReadResult::missing;
        set_errno_error(error, open_code, "Cannot open", path, errno);
        return ReadResult::failed;
    }
    out.clear();
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            set_errno_error(error, QL_PARAMETER_FILE_OPEN_ERROR, "Cannot read", path, errno);
            return ReadResult::failed;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return ReadResult::ok;
}

// Reads and parses the store; the caller holds the lock.
ReadResult read_store(Table &out, GError **error)
{
    std::string path = store_path();
    std::string text;
    ReadResult r = read_file(path, text, error, QL_PARAMETER_FILE_OPEN_ERROR);
    if (r != ReadResult::ok)
        return r;
    std::string why;
    Table parsed;
    if (!parse(text, parsed, true, why)) {
        g_set_error(error, QL_PARAMETER_ERROR, QL_PARAMETER_FILE_FORMAT_ERROR,
                    "Parameter store '%s' is damaged: %s", path.c_str(), why.c_str());
        return ReadResult::failed;
    }
    out = std::move(parsed);
    return ReadResult::ok;
}

bool read_defaults(Table &out, GError **error)
{
    std::string path = defaults_path();
    std::string text;
    ReadResult r = read_file(path, text, error, QL_PARAMETER_FILE_OPEN_ERROR);
    if (r == ReadResult::missing) {
        set_errno_error(error, QL_PARAMETER_FILE_OPEN_ERROR, "Cannot open defaults", path, ENOENT);
        return false;
    }
    if (r != ReadResult::ok)
        return false;
    std::string why;
    if (!parse(text, out, false, why)) {
        g_set_error(error, QL_PARAMETER_ERROR, QL_PARAMETER_FILE_FORMAT_ERROR,
                    "Defaults file '%s' is malformed: %s", path.c_str(), why.c_str());
        return false;
    }
    return true;
}

void test_pause()
{
    // Lets crash tests stop a writer in the middle of writing the new file.
    const char *v = std::getenv("QLPARAMETER_TEST_COMMIT_DELAY_US");
    if (v != nullptr && v[0] != '\0') {
        long us = std::strtol(v, nullptr, 10);
        if (us > 0)
            g_usleep(static_cast<gulong>(us));
    }
}

// Writes the whole table to a temporary file, makes it durable, renames it over the store
// and makes the rename durable. The caller holds the exclusive lock.
bool write_store(const Table &table, GError **error)
{
    std::string path = store_path();
    std::string tmp = path + ".new";
    std::string text = serialise(table);
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        set_errno_error(error, QL_PARAMETER_FILE_CREATE_ERROR, "Cannot create", tmp, errno);
        return false;
    }
    size_t half = text.size() / 2;
    bool ok = write_all(fd.get(), text.data(), half);
    if (ok) {
        test_pause();
        ok = write_all(fd.get(), text.data() + half, text.size() - half);
    }
    if (!ok || ::fsync(fd.get()) != 0 || fd.close_checked() != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        set_errno_error(error, QL_PARAMETER_FILE_WRITE_ERROR, "Cannot write", tmp, err);
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        set_errno_error(error, QL_PARAMETER_FILE_LINK_ERROR, "Cannot replace", path, err);
        return false;
    }
    gchar *dir = g_path_get_dirname(path.c_str());
    Fd dfd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string dir_s = dir;
    g_free(dir);
    if (dfd.get() < 0 || ::fsync(dfd.get()) != 0) {
        set_errno_error(error, QL_PARAMETER_PARAM_SYNC_ERROR, "Cannot sync directory", dir_s,
                        errno);
        return false;
    }
    return true;
}

// With the exclusive lock held: the store's contents, seeded from the defaults (and
// written) when there is no store yet.
bool read_or_seed(Table &out, GError **error)
{
    ReadResult r = read_store(out, error);
    if (r == ReadResult::ok)
        return true;
    if (r == ReadResult::failed)
        return false;
    out.clear();
    return read_defaults(out, error) && write_store(out, error);
}

} // namespace

std::string escape(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string unescape(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c != '\\' || i + 1 == value.size()) {
            out += c;
            continue;
        }
        char n = value[++i];
        if (n == 'n')
            out += '\n';
        else if (n == 'r')
            out += '\r';
        else if (n == '\\')
            out += '\\';
        else {
            // Unknown escapes are kept as written.
            out += '\\';
            out += n;
        }
    }
    return out;
}

bool parse(std::string_view text, Table &out, bool strict, std::string &why)
{
    size_t pos = 0;
    size_t line_no = 0;
    bool trailer = false;
    size_t expected = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            if (strict) {
                why = "last line is not terminated";
                return false;
            }
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_no;
        if (trailer) {
            why = "data after the end line";
            return false;
        }
        if (!line.empty() && line.back() == '\r' && !strict)
            line.remove_suffix(1);
        if (line.empty())
            continue;
        if (line.front() == '#') {
            if (line.substr(0, kTrailer.size()) == kTrailer) {
                std::string count(line.substr(kTrailer.size()));
                char *endp = nullptr;
                unsigned long n = std::strtoul(count.c_str(), &endp, 10);
                if (count.empty() || endp == nullptr || *endp != '\0') {
                    why = "malformed end line";
                    return false;
                }
                expected = n;
                trailer = true;
            }
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) {
            why = "line " + std::to_string(line_no) + " is not name=value";
            return false;
        }
        out[std::string(line.substr(0, eq))] = unescape(line.substr(eq + 1));
    }
    if (strict) {
        if (!trailer) {
            why = "end line missing";
            return false;
        }
        if (expected != out.size()) {
            why = "end line counts " + std::to_string(expected) + " parameters, found " +
                  std::to_string(out.size());
            return false;
        }
    }
    return true;
}

std::string serialise(const Table &table)
{
    std::string out = "# Camera parameter store; replaced whole on every commit.\n";
    for (const auto &[name, value] : table) {
        out += name;
        out += '=';
        out += escape(value);
        out += '\n';
    }
    out += kTrailer;
    out += std::to_string(table.size());
    out += '\n';
    return out;
}

std::string full_name(std::string_view name)
{
    if (name.substr(0, 5) == "root." || name == "root")
        return std::string(name);
    return "root." + std::string(name);
}

bool valid_name(std::string_view name)
{
    if (name.empty() || name.front() == '#' || name.front() == '.' || name.back() == '.' ||
        name.find("..") != std::string_view::npos)
        return false;
    return name.find_first_of("=\n\r") == std::string_view::npos;
}

std::string store_path()
{
    return zent_path("/var/lib/qlparameter/parameters");
}

std::string defaults_path()
{
    const char *env = std::getenv("QLPARAMETER_DEFAULTS");
    if (env != nullptr && env[0] != '\0')
        return env;
    return QLPARAMETER_DEFAULTS_FILE;
}

bool ensure_store(GError **error)
{
    Table ignored;
    return load(ignored, error);
}

bool load(Table &out, GError **error)
{
    {
        StoreLock lock;
        if (!lock.acquire(LOCK_SH, error))
            return false;
        ReadResult r = read_store(out, error);
        if (r != ReadResult::missing)
            return r == ReadResult::ok;
    }
    // No store yet: seeding writes, so it needs the exclusive lock; another process may
    // have seeded it in between, which read_or_seed notices.
    StoreLock lock;
    if (!lock.acquire(LOCK_EX, error))
        return false;
    return read_or_seed(out, error);
}

bool commit(const Group &writes, GError **error)
{
    StoreLock lock;
    if (!lock.acquire(LOCK_EX, error))
        return false;
    Table table;
    if (!read_or_seed(table, error))
        return false;
    for (const auto &[name, value] : writes)
        table[name] = value;
    return write_store(table, error);
}

} // namespace qlstore
