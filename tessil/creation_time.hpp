// The time a file was created.
#pragma once

#include <ctime>
#include <string>

namespace tessil {

// Seconds since the epoch at which the file at `path` was created: its birth
// time where the file system records one, else its inode change time (the
// creation time of a file that was never renamed or changed in mode).
// Throws common::FileError when the file cannot be examined.
std::time_t creation_time(const std::string& path);

// [hour, minute, second] of `moment` in the local time zone.
struct ClockTime {
    int hour, minute, second;
};
ClockTime local_clock_time(std::time_t moment);

}  // namespace tessil
