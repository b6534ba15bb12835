#include "tessil/creation_time.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "common/errors.hpp"

namespace tessil {

std::time_t creation_time(const std::string& path) {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_CTIME, &info) != 0) throw common::FileError(errno, path);
    if (info.stx_mask & STATX_BTIME) return static_cast<std::time_t>(info.stx_btime.tv_sec);
    return static_cast<std::time_t>(info.stx_ctime.tv_sec);
}

ClockTime local_clock_time(std::time_t moment) {
    ::tzset();  // follow TZ as time.localtime does after time.tzset()
    std::tm parts{};
    ::localtime_r(&moment, &parts);
    return {parts.tm_hour, parts.tm_min, parts.tm_sec};
}

}  // namespace tessil
