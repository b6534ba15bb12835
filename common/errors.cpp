#include "common/errors.hpp"

#include <cstring>

namespace common {

FileError::FileError(int error_number, std::string path, const std::string& message)
    : std::runtime_error(message.empty() ? std::strerror(error_number) : message),
      error_number_(error_number),
      path_(std::move(path)) {}

}  // namespace common
