#pragma once
// The process's standard descriptors and the signals that come with a console: set up first thing,
// before anything is printed or opened.
namespace RawIO {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no file the tool opens
// later (the module's tty above all) takes their number and receives console output. Ignores
// SIGPIPE and SIGHUP: a closed pipe or a hung-up terminal only makes console writes fail, and a
// console that fails never ends a job.
void claimStandardStreams();

} // namespace RawIO
