#include "ReplyFaults.hpp"

#include "SerialFrame.hpp"

namespace emu {

bool replyReplaced(ModuleContext& context, const ExchangeFaults& faults, const std::string& name, Nanos now,
                   Nanos& at) {
    Trace& trace = context.trace;
    if (faults.dropReply) {
        trace.fault(now, "drop-reply", name);
        return true;
    }
    at = now + faults.delay;
    if (faults.delay > 0)
        trace.fault(now, "late-reply", name);
    if (!faults.canReply)
        return false;
    uint8_t can = CAN;
    context.toHost.push(&can, 1, at);
    trace.line(at, "out", "can", "-", &can, 1);
    trace.fault(at, "can-reply", name);
    return true;
}

} // namespace emu
