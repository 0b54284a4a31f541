#pragma once
// Cancellation: SIGINT and SIGTERM only set a flag, installed without SA_RESTART so that a
// blocked poll or read fails with EINTR and the wait ends.
namespace RawIO {

bool installCancelHandlers();
bool cancelRequested();

// Readable once a cancelling signal has arrived (-1 before the handlers are installed). Waits poll
// it beside their own descriptor, so a signal that lands just before a wait begins still ends it.
int cancelWakeDescriptor();

} // namespace RawIO

namespace RawIO::testing {
// Tests only: a process never withdraws a cancellation, but a test binary runs many cases.
void clearCancellation();
} // namespace RawIO::testing
