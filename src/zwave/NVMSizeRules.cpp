#include "zwave/NVMSizeRules.hpp"

#include "util/Console.hpp"
#include "zwave/nvm_io_exception.hpp"

namespace {

const char* unit(size_t count) {
    return count == 1 ? "byte" : "bytes";
}

} // namespace

size_t withoutTrailingZeros(View image) {
    size_t end = image.size();
    while (end > 0 && image[end - 1] == 0)
        --end;
    return end;
}

View keptOfNVMRead(View read, uint32_t size) {
    size_t total = read.size();
    if (total < size) {
        logLine("Error: got less than expected! Got EOF after ", total,
                " bytes, but NVM size was reported to be ", size, " bytes");
        throw nvm_io_exception("Got EOF before advertised NVM size");
    }
    if (total == size)
        return read;
    if (withoutTrailingZeros(read) > size) {
        logLine("Warning: got more than expected! Got EOF after ", total, " bytes",
                ", but NVM size was reported to be ", size, ' ', unit(size));
        return read;
    }
    if (total - size > 1)
        logLine("Info: Discarding ", total - size, " trailing zero-bytes.");
    return read.sub(0, size);
}

size_t nvmWriteLength(View image, uint32_t size) {
    size_t n = image.size();
    size_t m = size;
    if (n <= m)
        return n;
    size_t t = withoutTrailingZeros(image);
    if (t <= m) {
        logLine("Info: Truncating NVM image from ", n, " to ", m, ' ', unit(m), ", discarding ", n - m,
                " of ", n - t, " trailing zero-", unit(n - t), ".");
        progressStep("Writing NVM");
        return m;
    }
    if (m == n - 1) {
        logLine("Warning: NVM image", " (", n, ' ', unit(n), ") ", "is too big for NVM", " (", m, ' ',
                unit(m), "). ", "Discarding last byte even if it's not zero.");
        progressStep("Writing NVM");
        return n - 1;
    }
    if (t == n) {
        logLine("Warning: NVM image", " (", n, ' ', unit(n), ") ", "is too big for NVM", " (", m, ' ',
                unit(m), "). ", "No trailing zero-bytes to discard. \n",
                "Trying to write anyway, and hoping for the best.");
        progressStep("Writing NVM");
        return n;
    }
    logLine("Warning: NVM image", " (", n, ' ', unit(n), ") is too big for NVM", " (", m, ' ', unit(m),
            "). Still too big by", ' ', t - m, ' ', unit(t - m), ", after truncating to", ' ', t, ' ',
            unit(t), ", by discarding all", ' ', n - t, " trailing zero-", unit(n - t), ".\n",
            "Trying to write anyway, and hoping for the best.");
    progressStep("Writing NVM");
    return t;
}

void checkImageFitsWireOffsets(View image) {
    // Whatever size the NVM reports (at most 65535), the size rules write either at most that many
    // bytes or the image up to its trailing zeros; only the latter can run past the wire offset.
    if (withoutTrailingZeros(image) > NVM_WIRE_LIMIT)
        throw nvm_io_exception("NVM image too large");
}
