#include "ResetLine.hpp"

namespace emu {

std::unique_ptr<ResetLine> mountResetGpio(const std::string&, unsigned, std::string& error) {
    error = "this build has no fake GPIO tree; use --reset-fifo";
    return nullptr;
}

} // namespace emu
