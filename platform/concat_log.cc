// Links and concatenates a directory's log files; every name that reaches the shell is
// quoted, so a hostile file or directory name stays a name.
#include "concat_log.h"

#include "export.h"
#include "log.h"
#include "zent_root.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <syslog.h>
#include <unistd.h>

namespace
{

// Owns the entry list a directory scan hands out.
class DirList
{
  public:
    DirList(const char *dir, int (*filter)(const struct dirent *),
            int (*order)(const struct dirent **, const struct dirent **))
        : count_(scandir(dir, &list_, filter, order))
    {
    }
    ~DirList()
    {
        for (int i = 0; i < count_; ++i)
            std::free(list_[i]);
        std::free(list_);
    }
    DirList(const DirList &) = delete;
    DirList &operator=(const DirList &) = delete;

    int count() const { return count_; }
    const char *name(int i) const { return list_[i]->d_name; }

  private:
    struct dirent **list_ = nullptr;
    int count_;
};

constexpr const char kBannerRule[] = " ===========================================";

int run_shell(const std::string &command)
{
    int status = std::system(command.c_str());
    return status == 0 ? 0 : -1;
}

} // namespace

extern "C" ZENT_EXPORT int logfix_filter_files(const struct dirent *entry)
{
    return entry != nullptr && std::strstr(entry->d_name, "log") != nullptr;
}

extern "C" ZENT_EXPORT int logfix_sort_wrapper(const struct dirent **a, const struct dirent **b)
{
    return alphasort(b, a);
}

extern "C" ZENT_EXPORT char *logfix_title(const char *name)
{
    if (name == nullptr)
        return nullptr;
    char *title = strdup(name);
    if (title == nullptr)
        return nullptr;
    char *dot = std::strchr(title, '.');
    if (dot != nullptr) {
        *dot = '\0';
        title[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(title[0])));
    }
    return title;
}

extern "C" ZENT_EXPORT int logfix_append_file_title(const char *dir, const char *title, int first)
{
    try {
        std::string banner(kBannerRule);
        banner.append("\n    ").append(title).append("\n").append(kBannerRule).append("\n");
        // printf rather than echo: echo would expand backslash sequences found in a title.
        std::string command = "printf '%s\\n' " + zent_shell_quote(banner);
        command.append(first ? " > " : " >> ");
        command.append(zent_shell_quote(std::string(dir) + "/messages"));
        return run_shell(command);
    } catch (const std::bad_alloc &) {
        l_printf_file(__FILE__, LOG_ERR, "Failed malloc in append");
        return -1;
    }
}

extern "C" ZENT_EXPORT int logfix_append_file_to_messages(const char *dir, const char *name)
{
    try {
        std::string d(dir);
        std::string command =
            "cat " + zent_shell_quote(d + "/" + name) + " >> " + zent_shell_quote(d + "/messages");
        return run_shell(command);
    } catch (const std::bad_alloc &) {
        l_printf_file(__FILE__, LOG_ERR, "Failed malloc in append");
        return -1;
    }
}

extern "C" ZENT_EXPORT int link_log_files(const char *src, const char *dst)
{
    DirList entries(src, logfix_filter_files, alphasort);
    if (entries.count() < 0)
        return entries.count();
    int result = 1;
    for (int i = 0; i < entries.count(); ++i) {
        try {
            std::string from = std::string(src) + entries.name(i);
            std::string to = std::string(dst) + entries.name(i);
            if (link(from.c_str(), to.c_str()) != 0) {
                l_printf_file(__FILE__, LOG_DEBUG, "Could not link %s to %s", from.c_str(),
                              to.c_str());
                result = -1;
            }
        } catch (const std::bad_alloc &) {
            l_printf_file(__FILE__, LOG_DEBUG, "Allocation error.");
            result = -1;
        }
    }
    return result;
}

extern "C" ZENT_EXPORT int generate_messages_file(const char *dir)
{
    DirList entries(dir, logfix_filter_files, logfix_sort_wrapper);
    if (entries.count() < 0)
        return entries.count();
    char *previous = nullptr;
    for (int i = 0; i < entries.count(); ++i) {
        char *title = logfix_title(entries.name(i));
        if (title == nullptr) {
            l_printf_file(__FILE__, LOG_DEBUG, "Allocation error.");
            continue;
        }
        // The first banner written replaces an older "messages"; every later one appends.
        if (previous == nullptr)
            logfix_append_file_title(dir, title, 1);
        else if (std::strcmp(previous, title) != 0)
            logfix_append_file_title(dir, title, 0);
        logfix_append_file_to_messages(dir, entries.name(i));
        std::free(previous);
        previous = title;
    }
    std::free(previous);
    return entries.count();
}
