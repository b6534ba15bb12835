// Where the fixed Windows data folders of the batch driver are on this system.
#pragma once

#include <string>

namespace orbisk {

// A Windows path "X:\a\b" as the folder <root>/x/a/b (drive letter in lower
// case), the way Windows drives appear under Linux; folder names are kept as
// they are. Other paths only have their backslashes turned into slashes.
std::string local_drive_path(const std::string& windows_path, const std::string& root);

// The folder of the shared library that holds this code (the installed modules).
std::string module_folder();

}  // namespace orbisk
