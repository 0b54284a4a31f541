// The Intel HEX reader on any file content: an image of the exact size or an empty one, never a
// fault. The content is handed over as a memory file, read through its /proc path.
#include "file-support/HexFile.hpp"
#include "support/VirtualModule.hpp"

#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::quietConsole();
    static int fd = memfd_create("hex", MFD_CLOEXEC);
    static char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        abort();
    std::vector<uint8_t> image = readHexFile(path);
    if (!image.empty() && image.size() != HEX_IMAGE_SIZE)
        abort();
    return 0;
}
