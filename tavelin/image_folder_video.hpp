// A video of the images of a folder.
#pragma once

#include <string>
#include <vector>

namespace tavelin {

// Paths of the entries of `folder`, oldest modification time first; entries
// with equal times keep the order of the listing.
std::vector<std::string> entries_by_modification_time(const std::string& folder);

// Writes the images of `folder`, oldest first, as an MPEG-4 (mp4v) video at
// `fps` to `folder`/Video.mp4, whose frame size is that of the oldest image;
// entries that are not decodable images (subfolders, an earlier Video.mp4)
// are skipped. Returns the video's path. Throws std::invalid_argument when no
// entry is an image or an image has another size (the video then holds the
// frames before it), common::FileError when the video cannot be written.
std::string write_folder_video(const std::string& folder, double fps);

}  // namespace tavelin
