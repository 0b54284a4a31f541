#pragma once
// The steps both roads of a whole-file write share (replacing the file beside it, or writing it in
// place). Every failure names the call that failed.
#include "rawio/FileDescriptor.hpp"
#include "util/View.hpp"

namespace RawIO {

constexpr const char* OPEN_ERROR = "IO-Error on open()";

// The errors with which the kernel refuses a replacement that a write in place may still do; a full
// disk or an I/O error is none of them.
bool isRefusal(int error);

void writeAll(int fd, View content);
// Throws "IO-Error on fsync()".
void syncOrThrow(int fd);
// Throws "IO-Error on close()": the data may not have reached the disk.
void closeOrThrow(FileDescriptor& fd);

} // namespace RawIO
