#include "wendrel/files.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "common/errors.hpp"

namespace fs = std::filesystem;

namespace wendrel {

namespace {

bool matches(const std::string& name, const std::string& pattern) {
    if (pattern.find_first_of("*?[") != std::string::npos) return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
    return name.size() >= pattern.size() && name.compare(name.size() - pattern.size(), pattern.size(), pattern) == 0;
}

}  // namespace

std::vector<std::string> matching_files(const std::string& folder, const std::string& pattern) {
    std::error_code error;
    fs::directory_iterator entries(folder.empty() ? "." : folder, error);
    if (error) throw common::FileError(error.value(), folder);
    std::vector<std::string> names;
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (matches(name, pattern) && entry.is_regular_file(error)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void make_directories(const std::string& folder) {
    // A trailing separator names the same folder; libstdc++ reports it as an error.
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::error_code error;
    // Something else at that path is reported as os.makedirs reports it.
    if (fs::exists(path, error) && !fs::is_directory(path, error)) throw common::FileError(EEXIST, folder);
    fs::create_directories(path, error);
    if (error) throw common::FileError(error.value(), folder);
}

}  // namespace wendrel
