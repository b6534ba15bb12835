#include "common/image_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <opencv2/imgcodecs.hpp>
#include <stdexcept>
#include <vector>

#include "common/errors.hpp"

namespace common {

namespace {

// Closes the descriptor on every path.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

std::vector<uchar> read_bytes(const std::string& path) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) throw FileError(errno, path);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) throw FileError(errno, path);
    if (S_ISDIR(info.st_mode)) throw FileError(EISDIR, path);
    std::vector<uchar> bytes;
    bytes.reserve(static_cast<size_t>(info.st_size));
    uchar chunk[1 << 16];
    for (;;) {
        const ssize_t n = ::read(file.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FileError(errno, path);
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

void write_bytes(const std::string& path, const std::vector<uchar>& bytes) {
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (file.get() < 0) throw FileError(errno, path);
    // A file cut short holds no image: it is removed, the error kept.
    auto fail = [&](int error) {
        ::close(file.release());
        ::unlink(path.c_str());
        throw FileError(error, path);
    };
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(file.get(), bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        written += static_cast<size_t>(n);
    }
    if (::close(file.release()) != 0) {
        const int error = errno;
        ::unlink(path.c_str());
        throw FileError(error, path);
    }
}

}  // namespace

cv::Mat read_image(const std::string& path, int flags) {
    const std::vector<uchar> bytes = read_bytes(path);
    cv::Mat image = bytes.empty() ? cv::Mat() : cv::imdecode(bytes, flags);
    if (image.empty()) throw std::invalid_argument("cannot decode an image from file '" + path + "'");
    return image;
}

void save_image(const cv::Mat& image, const std::string& path, const std::string& extension) {
    std::vector<uchar> bytes;
    bool encoded = false;
    try {
        encoded = cv::imencode(extension, image, bytes);
    } catch (const cv::Exception& e) {
        // OpenCV reports an unknown extension and an unsupported image alike.
        throw std::invalid_argument("cannot encode the image as '" + extension + "' for file '" + path + "': " + e.err);
    }
    if (!encoded) throw std::invalid_argument("cannot encode the image as '" + extension + "' for file '" + path + "'");
    write_bytes(path, bytes);
}

}  // namespace common
