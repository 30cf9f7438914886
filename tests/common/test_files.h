// Scratch directories and line-oriented logs, as the native tests use them.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace test_files
{

// A fresh directory "<base>/<prefix>.XXXXXX"; empty when it cannot be made.
inline std::string make_scratch_dir(const std::string &base, const std::string &prefix)
{
    std::string tmpl = base + "/" + prefix + ".XXXXXX";
    return mkdtemp(tmpl.data()) != nullptr ? tmpl : std::string();
}

// The file's lines without their ends; none when it does not exist.
inline std::vector<std::string> file_lines(const std::filesystem::path &path)
{
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

} // namespace test_files
