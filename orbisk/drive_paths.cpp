#include "orbisk/drive_paths.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace orbisk {

std::string local_drive_path(const std::string& windows_path, const std::string& root) {
    std::string path = windows_path;
    std::replace(path.begin(), path.end(), '\\', '/');
    const bool has_drive = path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
    if (!has_drive) return path;
    std::string rest = path.substr(2);
    while (!rest.empty() && rest.front() == '/') rest.erase(rest.begin());
    const char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    return (std::filesystem::path(root) / std::string(1, drive) / rest).string();
}

std::string module_folder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&module_folder), &info) == 0 || !info.dli_fname) return {};
    return std::filesystem::absolute(info.dli_fname).parent_path().string();
}

}  // namespace orbisk
