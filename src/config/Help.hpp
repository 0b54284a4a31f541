#pragma once
// The text of --help: the usage line and one line per option, on stdout.
#include "config/Configuration.hpp"

void printHelp(const Configuration& config);
