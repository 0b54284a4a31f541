#pragma once
// Replacing a whole regular file at once: the content goes to a temporary file in the same
// directory that gets the target's owner and mode, is synced and renamed over the target, and the
// directory is synced, so a failure leaves an earlier file as it was.
#include "util/View.hpp"

#include <sys/stat.h>

namespace RawIO {

// `target` is the status of the file opened under `path`. False, with nothing changed, when that is
// not a regular file with one link named by `path` itself (a link to it or a second name would be
// split off), or when the kernel refuses the replacement (see isRefusal): the caller then writes
// in place. A full disk or an I/O error throws.
bool replaceBeside(const char* path, const struct stat& target, View content);

} // namespace RawIO
