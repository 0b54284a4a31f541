#include "Faults.hpp"

#include "HexText.hpp"

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace emu {

const char* const FAULTS_HELP =
    "Faults (--fault SPEC, repeatable; N and K count from 1; NAME limits the count to exchanges\n"
    "of one name as the trace spells them, e.g. get-version, nvm-read, set-default, continue-write,\n"
    "or to a family: nvm-backup-restore, frame, prog); N-M hits every one from N to M. Each fault\n"
    "traces 'event fault FAULT NAME' where it takes effect:\n"
    "  drop-reply:[NAME:]N           the N-th exchange is carried out but gets no reply\n"
    "                                (a Serial API frame is still ACKed)\n"
    "  corrupt-checksum:[NAME:]N     the reply to the N-th exchange goes out once with a bad\n"
    "                                checksum (a programming echo with its last byte inverted)\n"
    "  late-reply:[NAME:]N:MS        the reply to the N-th exchange leaves MS ms late\n"
    "  unrelated-frame-first:[NAME:]N  an unrelated frame (function 0x49) precedes the reply\n"
    "  nak-frame:[NAME:]N            the N-th Serial API frame, good as it is, is answered with NAK\n"
    "                                instead of ACK and dropped: not carried out, no reply\n"
    "  missing-ack:[NAME:]N          the N-th Serial API frame gets no ACK (as if the ACK were lost\n"
    "                                on the line) but is carried out and answered as usual\n"
    "  can-reply:[NAME:]N            the N-th exchange is carried out, but a CAN byte (0x18) goes\n"
    "                                out instead of its reply (after the ACK of a frame)\n"
    "  stray-byte:[NAME:]N           one extra byte (0x00) follows the reply to the N-th exchange\n"
    "  reply-payload:[NAME:]N:HEX    the Serial API reply to the N-th exchange carries HEX (maybe\n"
    "                                nothing) after its function id, with a right checksum\n"
    "  stale-started                 when the reset line is first asserted, a started notification\n"
    "                                (0x0A) of a boot just before is still on the line\n"
    "  nvm-wrong-offset:N            the N-th NVM read is answered with the offset plus 64\n"
    "  nvm-size:BYTES                NVM open reports BYTES instead of the NVM's real size\n"
    "  nvm-eof-at:BYTES              NVM reads end (status 255) at BYTES instead of the NVM's\n"
    "                                end; bytes past the NVM read as zero\n"
    "  fail-sector:S[:once|always]   writing flash sector S fails (wrong echo, sector left\n"
    "                                erased); once by default\n"
    "  crc-fail[:once|always]        the CRC check reports failure (state 0x04); once by default\n"
    "  crc-undecided[:once|always]   the CRC check ends with neither bit set; once by default\n"
    "  nvr-stop-at:A                 NVR reads of address A and above get no reply\n"
    "  never-enable                  the enable command is never answered\n"
    "  enable-on-try:K               enable commands are answered from the K-th on\n"
    "  enable-reply:HEX              enable is answered with these 4 bytes (e.g. ac53aa00) and\n"
    "                                the interface stays disabled\n"
    "  busy-forever                  the busy bit never clears after an erase, write or CRC check\n"
    "  garbage-before-frames[:N]     N bytes of line noise (default 3) before every frame\n"
    "  silent-after:K                after K exchanges nothing is answered any more\n"
    "  boot-fail                     the firmware never boots (no started notification)\n";

static std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos)
            return parts;
        start = colon + 1;
    }
}

static bool parseNumber(const std::string& text, int64_t& value) {
    if (text.empty() || text.size() > 12)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    value = strtoll(text.c_str(), nullptr, 10);
    return true;
}

// N or N-M, both from 1.
static bool parseRange(const std::string& text, uint64_t& first, uint64_t& last) {
    size_t dash = text.find('-');
    int64_t a = 0, b = 0;
    if (!parseNumber(text.substr(0, dash), a) || a < 1 ||
        (dash != std::string::npos && (!parseNumber(text.substr(dash + 1), b) || b < a)))
        return false;
    first = uint64_t(a);
    last = dash == std::string::npos ? first : uint64_t(b);
    return true;
}

static bool parseRepeat(const std::vector<std::string>& parts, size_t at, bool& always) {
    always = false;
    if (parts.size() <= at)
        return true;
    if (parts.size() > at + 1)
        return false;
    if (parts[at] == "always")
        always = true;
    else if (parts[at] != "once")
        return false;
    return true;
}

bool Faults::add(const std::string& description, std::string& error) {
    std::vector<std::string> parts = split(description);
    const std::string& name = parts[0];
    int64_t a = 0;
    int64_t b = 0;
    bool ok = false;
    static const struct {
        const char* name;
        bool ExchangeFaults::*flag;
    } COUNTED[] = {{"drop-reply", &ExchangeFaults::dropReply},
                   {"corrupt-checksum", &ExchangeFaults::corruptChecksum},
                   {"late-reply", nullptr},
                   {"unrelated-frame-first", &ExchangeFaults::unrelatedFrameFirst},
                   {"nak-frame", &ExchangeFaults::nakFrame},
                   {"missing-ack", &ExchangeFaults::missingAck},
                   {"can-reply", &ExchangeFaults::canReply},
                   {"stray-byte", &ExchangeFaults::strayByte},
                   {"reply-payload", &ExchangeFaults::replacePayload}};
    const auto* counting = std::find_if(std::begin(COUNTED), std::end(COUNTED),
                                        [&](const auto& entry) { return name == entry.name; });
    if (counting != std::end(COUNTED)) {
        bool late = counting->flag == nullptr, payload = name == "reply-payload";
        size_t numbers = late || payload ? 2 : 1;
        Counted fault{};
        fault.flag = counting->flag;
        size_t first = 1;
        if (parts.size() == numbers + 2) {
            fault.filter = parts[1];
            first = 2;
        }
        if (parts.size() == first + numbers && parseRange(parts[first], fault.index, fault.last) &&
            (!late || parseNumber(parts[first + 1], b)) &&
            (!payload || parseHexBytes(parts[first + 1], fault.payload))) {
            fault.delay = millis(b);
            counted.push_back(fault);
            ok = true;
        }
    } else if (name == "nvm-wrong-offset") {
        ok = parts.size() == 2 && parseNumber(parts[1], a) && a >= 1;
        if (ok)
            wrongOffsetReads.push_back(uint64_t(a));
    } else if (name == "nvm-size" || name == "nvm-eof-at") {
        ok = parts.size() == 2 && parseNumber(parts[1], a) && a <= 65535;
        if (ok)
            (name == "nvm-size" ? nvmReportedSize : nvmEofAt) = a;
    } else if (name == "fail-sector") {
        bool always = false;
        ok = parts.size() >= 2 && parseNumber(parts[1], a) && a < 64 && parseRepeat(parts, 2, always);
        if (ok)
            sectorFaults.push_back({unsigned(a), always});
    } else if (name == "crc-fail" || name == "crc-undecided") {
        Repeatable& fault = name == "crc-fail" ? crcFail : crcUndecided;
        ok = parseRepeat(parts, 1, fault.always);
        fault.active = ok;
    } else if (name == "nvr-stop-at") {
        ok = parts.size() == 2 && parseNumber(parts[1], a) && a < 256;
        if (ok)
            nvrStopAt = int(a);
    } else if (name == "never-enable") {
        ok = parts.size() == 1;
        neverEnable = ok;
    } else if (name == "enable-on-try") {
        ok = parts.size() == 2 && parseNumber(parts[1], a) && a >= 1;
        if (ok)
            enableFromTry = uint64_t(a);
    } else if (name == "enable-reply") {
        ok = parts.size() == 2 && parseHexBytes(parts[1], enableReply) && enableReply.size() == 4;
    } else if (name == "busy-forever") {
        ok = parts.size() == 1;
        busyForever = ok;
    } else if (name == "garbage-before-frames") {
        garbageBeforeFrames = 3;
        ok = parts.size() == 1 || (parts.size() == 2 && parseNumber(parts[1], a) && a <= 64);
        if (ok && parts.size() == 2)
            garbageBeforeFrames = unsigned(a);
    } else if (name == "silent-after") {
        ok = parts.size() == 2 && parseNumber(parts[1], a);
        if (ok)
            silentAfter = a;
    } else if (name == "boot-fail") {
        ok = parts.size() == 1;
        bootFail = ok;
    } else if (name == "stale-started") {
        ok = parts.size() == 1;
        staleStarted = ok;
    }
    if (!ok)
        error = "invalid fault '" + description + "'";
    return ok;
}

ExchangeFaults Faults::onExchange(const std::string& name, const std::string& family) {
    ++exchanges;
    ExchangeFaults result;
    for (Counted& fault : counted) {
        if (!fault.filter.empty() && fault.filter != name && fault.filter != family &&
            !(fault.filter == "frame" && family != "prog"))
            continue;
        if (++fault.seen < fault.index || fault.seen > fault.last)
            continue;
        if (fault.flag == &ExchangeFaults::replacePayload)
            result.payload = fault.payload;
        if (fault.flag != nullptr)
            result.*fault.flag = true;
        else
            result.delay += fault.delay;
    }
    return result;
}

bool Faults::nextNvmReadHasWrongOffset() {
    ++nvmReads;
    for (uint64_t index : wrongOffsetReads)
        if (index == nvmReads)
            return true;
    return false;
}

bool Faults::sectorWriteFails(unsigned sector) {
    for (SectorFault& fault : sectorFaults) {
        if (fault.sector != sector || (fault.used && !fault.always))
            continue;
        fault.used = true;
        return true;
    }
    return false;
}

Faults::CrcVerdict Faults::nextCrcVerdict() {
    if (crcFail.hits())
        return CrcVerdict::Fail;
    if (crcUndecided.hits())
        return CrcVerdict::Undecided;
    return CrcVerdict::Real;
}

bool Faults::enableAnswered() {
    ++enableTries;
    return !neverEnable && enableTries >= enableFromTry;
}

} // namespace emu
