// The time a video was recorded, read from the file itself.
#pragma once

#include <string>
#include <vector>

#include "tessil/creation_time.hpp"

namespace tessil {

// Where a recording time came from.
enum class TimeSource {
    Avchd,      // the camcorder's clock in the H.264 stream (MDPM SEI of the first GOPs)
    Container,  // the container's creation_time (MP4, MOV, ...), UTC converted to local time
    File,       // nothing in the file: the caller falls back to the file's creation time
};

// "avchd", "container" or "file".
const char* source_name(TimeSource source);

struct RecordTime {
    TimeSource source = TimeSource::File;
    ClockTime time{0, 0, 0};            // the time of frame 0; unset for TimeSource::File
    std::vector<std::string> warnings;  // doubts about the time found (GOPs that disagree)
};

// The recording start time of the video at `path`:
//  - H.264 streams carrying the camcorder's MDPM records (AVCHD .MTS/.M2TS):
//    the camcorder's local wall-clock time of frame 0, from the first GOP,
//    checked against the next GOPs (at most five GOPs are read; see
//    record_time.cpp for how disagreeing GOPs are settled);
//  - otherwise the container's creation_time, converted to the local time
//    zone (TZ, as time.localtime);
//  - otherwise TimeSource::File.
// Only the first seconds of the stream are demuxed; no picture is decoded.
// Throws common::FileError when the file cannot be opened for reading and
// std::invalid_argument for a path with a NUL byte.
RecordTime record_time(const std::string& path);

}  // namespace tessil
