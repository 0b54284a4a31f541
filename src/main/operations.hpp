#pragma once
// The jobs the tool runs on an opened chip: single jobs in their fixed order, or the migration.
#include "config/Configuration.hpp"
#include "util/View.hpp"
#include "zwave/Chip.hpp"

Chip openChip(const Configuration& config);

// Dumps the NVR when --read-nvr asks for it; true when it was not asked for.
bool readNvrToFile(const Configuration& config, Chip& chip);

bool runWithoutMigration(const Configuration& config, Chip& chip);
bool runWithMigration(const Configuration& config, Chip& chip);

// Whole-file access for backups and NVR dumps; failures throw RawIO::Exception.
bool saveFile(const char* path, View bytes);
View loadFile(const char* path, Span storage);
