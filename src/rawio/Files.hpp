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

// Afterwards the file holds exactly `content`. A regular file (or a new one) is replaced as a
// whole: the content goes to a temporary file beside it, which is synced and renamed over the
// target, so a failure leaves an earlier file as it was and no temporary file behind. The
// permission bits and owner of an existing file are kept. A FIFO or device is written in place.
void writeFile(TemporaryCStringView path, TemporaryView content);

// One write of `len` bytes.
Status writeExact(int fd, const void* buf, size_t len);
// One write of the text to an existing file (no newline added).
Status writeStringFile(const char* path, const std::string& text);
// One read of at most `maxLength` bytes; `out` holds exactly what was read.
Status readStringFile(const char* path, std::string& out, size_t maxLength);

} // namespace RawIO
