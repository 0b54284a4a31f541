#pragma once
// The file a whole-file write goes to, opened exactly as a plain write opens it (write-only,
// created if missing with mode 0600, not yet truncated), so that the kernel decides on links and
// permissions as it would for that write. A file this open created is removed again unless the
// write is kept: a failed backup leaves no empty or partial file.
#include "rawio/FileDescriptor.hpp"
#include "util/View.hpp"

#include <sys/stat.h>

namespace RawIO {

class WriteTarget {
public:
    explicit WriteTarget(const char* path);
    WriteTarget(const WriteTarget&) = delete;
    WriteTarget& operator=(const WriteTarget&) = delete;
    ~WriteTarget();

    // What the opened descriptor is, not what the path names.
    const struct stat& status() const { return opened; }

    // Writes through the open descriptor: a regular file is overwritten from its start and cut to
    // the content's size, after the space was reserved so that a full disk fails before the
    // earlier content is touched.
    void writeInPlace(View content);
    void keep() { created = false; }

private:
    const char* path;
    bool created = false; // set while `fd` is opened, so declared before it
    FileDescriptor fd;
    struct stat opened;
};

} // namespace RawIO
