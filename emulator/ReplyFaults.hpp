#pragma once
// The faults that take a reply's place, the same on both faces of the module.
#include "ModuleContext.hpp"

#include <string>

namespace emu {

// Traces a late reply and sets `at`, when the reply goes out; true when a dropped reply or a CAN
// takes its place, so that no reply follows.
bool replyReplaced(ModuleContext& context, const ExchangeFaults& faults, const std::string& name, Nanos now,
                   Nanos& at);

} // namespace emu
