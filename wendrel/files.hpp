// Folder listing and creation.
#pragma once

#include <string>
#include <vector>

namespace wendrel {

// Names of the regular files in `folder` that match `pattern`, sorted by name.
// A pattern with a wildcard (*, ?, [...]) is matched as the shell does; any
// other pattern is a file-name ending, such as ".jpg".
std::vector<std::string> matching_files(const std::string& folder, const std::string& pattern);

// Creates `folder` and its missing parents; an existing folder is no error.
void make_directories(const std::string& folder);

}  // namespace wendrel
