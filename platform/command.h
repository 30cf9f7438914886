// Shell commands of the platform services: started with popen, their output read line by
// line, always closed. Every value placed in a command goes through zent_shell_quote.
#ifndef ZENT_PLATFORM_COMMAND_H
#define ZENT_PLATFORM_COMMAND_H

#include <cstdio>
#include <cstring>
#include <string>

namespace zent_cmd
{

class Command
{
  public:
    explicit Command(const std::string &command) : f_(popen(command.c_str(), "r")) {}
    ~Command() { close(); }
    Command(const Command &) = delete;
    Command &operator=(const Command &) = delete;

    bool started() const { return f_ != nullptr; }

    // The next line of at most size - 1 characters (a longer one comes in pieces), without
    // its line break. False at the end of the output.
    bool line(char *buf, int size)
    {
        if (f_ == nullptr || std::fgets(buf, size, f_) == nullptr)
            return false;
        std::size_t n = std::strlen(buf);
        if (n > 0 && buf[n - 1] == '\n')
            buf[n - 1] = '\0';
        return true;
    }

    std::FILE *stream() { return f_; }

    // The command's wait status, or -1 when it never started.
    int close()
    {
        if (f_ == nullptr)
            return -1;
        int status = pclose(f_);
        f_ = nullptr;
        return status;
    }

  private:
    std::FILE *f_;
};

// The package's own curl, by its camera path.
std::string package_curl();

// The package's curl fetching `path` from the camera's web server at `host` as the account
// "user:password"; every value one quoted word.
std::string camera_curl(const std::string &user_password, const std::string &host,
                        const char *path);

// Strips trailing line breaks, carriage returns and blanks in place.
void strip_trailing(std::string &text);

} // namespace zent_cmd

#endif
