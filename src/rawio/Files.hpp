#pragma once
// Whole files in the throwing style (NVM backups, the NVR dump) and small attribute files in the
// status style (the sysfs GPIO files).
#include "rawio/FileDescriptor.hpp"
#include "rawio/Status.hpp"
#include "util/View.hpp"

#include <string>
#include <sys/types.h>

namespace RawIO {

// A negative result throws "IO-Error on open()" with the errno.
FileDescriptor openFile(TemporaryCStringView path, int flags);
FileDescriptor openFile(TemporaryCStringView path, int flags, mode_t mode);

// The whole file in `storage`; throws "file bigger than buffer" when it does not fit.
View readFile(TemporaryCStringView path, Span storage);

// Afterwards the file holds exactly `content`. The path is opened as a plain write opens it
// (a new file gets mode 0600), so links and permissions are decided as for that write. A regular
// file with one link, named by the path itself, is then replaced as a whole beside it, keeping
// its owner and mode, so a failure leaves an earlier file as it was and no temporary file behind.
// A link's target, a hard-linked file, a FIFO or device, or a file whose replacement the kernel
// refuses is written in place through the open descriptor. A new file whose write fails is removed.
void writeFile(TemporaryCStringView path, TemporaryView content);

// One write of `len` bytes.
Status writeExact(int fd, const void* buf, size_t len);
// One write of the text to an existing file (no newline added).
Status writeStringFile(const char* path, const std::string& text);
// One read of at most `maxLength` bytes; `out` holds exactly what was read.
Status readStringFile(const char* path, std::string& out, size_t maxLength);

} // namespace RawIO
