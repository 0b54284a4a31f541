#include "Trace.hpp"

#include "HexText.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace emu {

Trace::~Trace() {
    if (file != nullptr)
        fclose(file);
}

bool Trace::open(const std::string& path, std::string& error) {
    file = fopen(path.c_str(), "w");
    if (file == nullptr)
        error = path + ": " + strerror(errno);
    return file != nullptr;
}

void Trace::line(Nanos time, const char* direction, const char* kind, const std::string& name,
                 const uint8_t* bytes, size_t size) {
    if (file == nullptr)
        return;
    fprintf(file, "%" PRId64 " %s %s %s", time, direction, kind, name.c_str());
    if (size > 0)
        fprintf(file, " %s", hexBytes(bytes, size).c_str());
    fputc('\n', file);
}

void Trace::flush() {
    if (file != nullptr)
        fflush(file);
}

} // namespace emu
