#pragma once
// Owns one descriptor and closes it on destruction; movable, not copyable.
namespace RawIO {

bool closeDescriptor(int fd);

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd(fd < 0 ? -1 : fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd(other.fd) { other.fd = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    // Gives up ownership without closing, for an owner that must see close's result itself.
    int release() {
        int taken = fd;
        fd = -1;
        return taken;
    }
    void discardInput() const;

private:
    int fd = -1;
};

} // namespace RawIO

using RawIO::FileDescriptor;
