#include "rawio/Files.hpp"
#include "main/operations.hpp"

bool saveFile(const char* path, View bytes) {
    RawIO::writeFile(path, bytes);
    return true;
}

View loadFile(const char* path, Span storage) {
    return RawIO::readFile(path, storage);
}
