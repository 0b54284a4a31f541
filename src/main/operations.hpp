#pragma once
// The jobs the tool runs on an opened chip: single jobs in their fixed order, or the migration.
#include "config/Configuration.hpp"
#include "rawio/Cancel.hpp"
#include "rawio/Exception.hpp"
#include "util/Console.hpp"
#include "util/View.hpp"
#include "zwave/Chip.hpp"

#include <cerrno>

Chip openChip(const Configuration& config);

bool runWithoutMigration(const Configuration& config, Chip& chip);
bool runWithMigration(const Configuration& config, Chip& chip);

// Whole-file access for backups and NVR dumps; failures throw RawIO::Exception.
bool saveFile(const char* path, View bytes);
View loadFile(const char* path, Span storage);

// A migration without --backup-nvm keeps the image it read in /var/lib/tarnwick before anything
// is flashed; when that copy cannot be written, a warning says so and the migration goes on.
void saveSafetyCopy(StringView versionNumber, View image);

// A step that gave up because cancellation was requested (the flasher and the retry loops look at
// the flag and return false) leaves the workflow the way an interrupted system call does: no error
// line, no restore attempt on a run the user stopped, and "Cancelled" from the entry.
template <typename... Values> void logFailure(const Values&... values) {
    if (RawIO::cancelRequested())
        throw RawIO::Exception(EINTR, "cancelled");
    logLine(values...);
}
