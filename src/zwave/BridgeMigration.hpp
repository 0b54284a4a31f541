#pragma once
// Reshapes a static controller's NVM image into the bridge controller's layout, which holds 29
// more bytes (the bridge node-pool mask) at offset 9867. A pure function; it touches no device.
#include "util/View.hpp"

// The converted image inside `target`, or an empty view (target untouched) when the source is
// not an image this conversion understands or the target is too small.
View convertToBridge(View source, Span target);
