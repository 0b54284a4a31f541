#pragma once
// Cancellation: SIGINT and SIGTERM only set a flag, installed without SA_RESTART so that a
// blocked poll or read fails with EINTR and the wait ends.
namespace RawIO {

bool installCancelHandlers();
bool cancelRequested();

} // namespace RawIO

namespace RawIO::testing {
// Tests only: a process never withdraws a cancellation, but a test binary runs many cases.
void clearCancellation();
} // namespace RawIO::testing
