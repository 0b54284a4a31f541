#include "rawio/Files.hpp"

#include "rawio/DescriptorIO.hpp"
#include "rawio/Exception.hpp"
#include "rawio/ReplaceBeside.hpp"
#include "rawio/WriteSteps.hpp"
#include "rawio/WriteTarget.hpp"

#include <cerrno>
#include <fcntl.h>

namespace RawIO {

FileDescriptor openFile(TemporaryCStringView path, int flags) {
    int fd = ::open(path.c_str(), flags);
    if (fd < 0)
        throw Exception(errno, OPEN_ERROR);
    return FileDescriptor(fd);
}

FileDescriptor openFile(TemporaryCStringView path, int flags, mode_t mode) {
    int fd = ::open(path.c_str(), flags, mode);
    if (fd < 0)
        throw Exception(errno, OPEN_ERROR);
    return FileDescriptor(fd);
}

View readFile(TemporaryCStringView path, Span storage) {
    FileDescriptor fd = openFile(path, O_RDONLY);
    size_t total = 0;
    while (total < storage.size()) {
        size_t n = readOrThrow(fd.get(), storage.data() + total, storage.size() - total);
        if (n == 0)
            return View(storage.data(), total);
        total += n;
    }
    uint8_t extra;
    if (readOrThrow(fd.get(), &extra, 1) != 0)
        throw Exception(0, "file bigger than buffer");
    return storage;
}

void writeFile(TemporaryCStringView path, TemporaryView content) {
    WriteTarget target(path.c_str());
    if (!replaceBeside(path.c_str(), target.status(), content))
        target.writeInPlace(content);
    target.keep();
}

} // namespace RawIO
