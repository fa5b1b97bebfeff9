// An owned POSIX file descriptor, for the updater's file work below GIO (unpacking,
// flushing, the directory exchange).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace quillmere::Updater {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd)
        : fd_(fd)
    {
    }
    FileDescriptor(FileDescriptor&& other) noexcept
        : fd_(std::exchange(other.fd_, -1))
    {
    }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Opens a directory for flushing or as the base of *at() calls, never through a link.
inline FileDescriptor openDirectory(const char* path, int base = AT_FDCWD)
{
    return FileDescriptor(openat(base, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

} // namespace quillmere::Updater
