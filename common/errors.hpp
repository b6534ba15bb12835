// Errors raised by the core code, free of Python headers.
// The binding layer turns them into Python exceptions:
//   FileError             -> OSError (the errno-specific subclass), naming the file
//   std::invalid_argument -> ValueError
//   std::out_of_range     -> IndexError
//   cv::Exception         -> cv2.error
#pragma once

#include <stdexcept>
#include <string>

namespace common {

// A failed file operation, with the errno value and the path it concerned.
class FileError : public std::runtime_error {
public:
    FileError(int error_number, std::string path, const std::string& message = {});
    int error_number() const noexcept { return error_number_; }
    const std::string& path() const noexcept { return path_; }

private:
    int error_number_;
    std::string path_;
};

}  // namespace common
