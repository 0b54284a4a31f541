#include "rawio/Exception.hpp"

#include <cstring>

namespace RawIO {

const char* Exception::errorText() const noexcept {
    return error == 0 ? "" : std::strerror(error);
}

} // namespace RawIO
