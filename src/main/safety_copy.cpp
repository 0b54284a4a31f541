// The copy of the NVM that a migration without --backup-nvm keeps: from the moment the bridge
// firmware is flashed, the image read from the module is the only copy of the home's network.
#include "main/operations.hpp"
#include "rawio/Files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* SAFETY_COPY_DIRECTORY = "/var/lib/tarnwick";

// The firmware's version text comes from the module: only characters that are safe in a file name.
void appendSafely(char* out, size_t capacity, StringView text) {
    size_t used = std::strlen(out);
    for (size_t i = 0; i < text.size() && used + 1 < capacity; ++i) {
        char c = text[i];
        bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.';
        out[used++] = plain ? c : '_';
    }
    out[used] = '\0';
}

void makeSafetyCopyPath(char (&path)[160], StringView versionNumber) {
    std::snprintf(path, sizeof path, "%s/nvm-", SAFETY_COPY_DIRECTORY);
    appendSafely(path, sizeof path, versionNumber);
    char stamp[32] = "";
    time_t now = std::time(nullptr);
    tm utc;
    if (gmtime_r(&now, &utc) != nullptr)
        std::strftime(stamp, sizeof stamp, "-%Y%m%dT%H%M%SZ.bin", &utc);
    size_t used = std::strlen(path);
    std::snprintf(path + used, sizeof path - used, "%s", stamp);
}

// Created exclusively, so that no earlier copy is ever overwritten, then written like a backup.
void writeSafetyCopy(const char* path, View image) {
    if (::mkdir(SAFETY_COPY_DIRECTORY, 0700) != 0 && errno != EEXIST)
        throw RawIO::Exception(errno, "IO-Error on mkdir()");
    RawIO::openFile(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    try {
        RawIO::writeFile(path, image);
    } catch (const RawIO::Exception&) {
        ::unlink(path);
        throw;
    }
}

} // namespace

void saveSafetyCopy(StringView versionNumber, View image) {
    char path[160];
    makeSafetyCopyPath(path, versionNumber);
    logLine("-- Backing up NVM to: ", path);
    progressStep("Backing up NVM");
    try {
        writeSafetyCopy(path, image);
    } catch (const RawIO::Exception& e) {
        if (RawIO::cancelRequested())
            throw;
        // The migration goes on as it would without the copy; the user learns that there is none.
        logLine("Warning: no safety copy of the NVM in ", path, ": ", e.what(), ": ", e.errorText(),
                " (errno = ", e.error, ")");
    }
}
