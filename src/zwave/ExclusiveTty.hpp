#pragma once
// The chip's tty held by one run alone: an exclusive flock keeps a second run of the tool out (its
// flush alone would eat this run's input), and the tty's exclusive mode keeps other programs from
// opening it meanwhile. That mode outlives our close while anyone else holds the tty, so it is
// lifted before the descriptor closes.
#include "rawio/FileDescriptor.hpp"

class ExclusiveTty {
public:
    ExclusiveTty() = default;
    ExclusiveTty(ExclusiveTty&& other) noexcept;
    ExclusiveTty& operator=(ExclusiveTty&& other) noexcept;
    ExclusiveTty(const ExclusiveTty&) = delete;
    ExclusiveTty& operator=(const ExclusiveTty&) = delete;
    ~ExclusiveTty();

    // Locks the tty open in `fd`; empty after one error line naming `path` when another open file
    // holds the lock or locking fails.
    static ExclusiveTty take(FileDescriptor fd, const char* path);

    // Read and written like any descriptor.
    operator const FileDescriptor&() const { return fd; }
    int get() const { return fd.get(); }
    bool valid() const { return fd.valid(); }

private:
    void lift();

    FileDescriptor fd;
    // Set by this run; an exclusive mode someone else set is theirs to lift.
    bool madeExclusive = false;
};
