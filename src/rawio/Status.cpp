#include "rawio/Status.hpp"

#include "util/Console.hpp"

namespace RawIO {

namespace {

const char* const WORDS[] = {
    "",
    "",
    ": Permission denied",
    ": Does not exist",
    ": Write failed",
    ": Read failed",
    ": Out of memory",
    ": Timed out",
    ": Not all expected data was written",
    ": Not all expected data was read",
    ": Poll failed",
    ": Unable to get timer for timeout handling",
};

// Indexed by errno - 1; Unclassified marks an errno without a mapping.
const Status FROM_ERRNO[13] = {
    PermissionDenied, DoesNotExist, Unclassified, Unclassified, Unclassified, Unclassified,     Unclassified,
    Unclassified,     Unclassified, Unclassified, Unclassified, OutOfMemory,  PermissionDenied,
};

} // namespace

const char* statusText(Status status) {
    int index = int(status) + 1;
    if (index < 0 || index >= int(sizeof WORDS / sizeof WORDS[0]))
        return "";
    return WORDS[index];
}

Status statusFromErrno(int error, Status fallback) {
    if (error < 1 || error > 13 || FROM_ERRNO[error - 1] == Unclassified)
        return fallback;
    return FROM_ERRNO[error - 1];
}

bool reportStatus(Status status, const char* prefix) {
    if (status == OK)
        return true;
    logProgramLine(prefix, statusText(status));
    return false;
}

} // namespace RawIO
