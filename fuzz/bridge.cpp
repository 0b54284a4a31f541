// The bridge conversion on any source image, into targets just too small, just large enough and
// large: the result lies inside the target and keeps the bytes before the insertion point.
#include "zwave/BridgeMigration.hpp"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    View source(data, size);
    for (size_t extra : {27, 28, 29, 30, 65536}) {
        std::vector<uint8_t> target(size + extra);
        View result = convertToBridge(source, Span(target.data(), target.size()));
        if (result.size() == 0)
            continue;
        if (result.data() != target.data() || result.size() > target.size() || result.size() < 9867 + 29)
            abort();
        // Bytes 4 .. 9866 are carried unchanged but for the descriptor's size, two bytes before
        // the updated second offset; the first four bytes hold the two updated offsets.
        const size_t second = size_t(result[2]) << 8 | result[3];
        for (size_t i = 4; i < 9867; ++i)
            if (result[i] != data[i] && i != second - 3 && i != second - 2)
                abort();
        if ((size_t(result[second - 3]) << 8 | result[second - 2]) != second)
            abort();
        const size_t last = size_t(result[0]) << 8 | result[1];
        if (last + 1 < result.size() || last > result.size())
            abort();
    }
    return 0;
}
