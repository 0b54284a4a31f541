#pragma once
// Status codes of the sysfs attribute files, each with a word printed after the file's name.
namespace RawIO {

enum Status : int {
    Unclassified = -1,
    OK = 0,
    PermissionDenied = 1,
    DoesNotExist = 2,
    WriteFailed = 3,
    ReadFailed = 4,
    OutOfMemory = 5,
    TimedOut = 6,
    IncompleteWrite = 7,
    IncompleteRead = 8,
    PollFailed = 9,
    NoTimer = 10,
};

const char* statusText(Status status);

// The status an errno stands for, or `fallback` when the errno has no mapping.
Status statusFromErrno(int error, Status fallback);

// True for OK; otherwise one error line "<program>: <prefix><word>" on stderr and false.
bool reportStatus(Status status, const char* prefix);

} // namespace RawIO
