#pragma once
// The controller's network memory read and written through the firmware's NVM backup/restore
// command: backup into a caller's buffer, and restore after a reset and an erase, with attempts.
#include "util/View.hpp"
#include "zwave/Frame.hpp"
#include "zwave/nvm_io_exception.hpp"

#include <cstdint>

class SerialAPI;

struct ReadResult {
    uint32_t count; // bytes stored
    bool eof;       // the chip reported the end of the NVM
};

// An open NVM; closed again when it goes out of scope.
class NVM {
public:
    explicit NVM(SerialAPI& serialAPI);
    ~NVM();
    NVM(const NVM&) = delete;
    NVM& operator=(const NVM&) = delete;

    int32_t size() const { return size_; }
    // The NVM read into `buffer`, cut or kept whole by the size rules.
    View read(Span buffer);
    // The image written from offset 0, cut by the size rules.
    void write(View image);

private:
    int32_t size_;
    SerialAPI* serialAPI;
};

// The bytes read (a prefix of `buffer`), or the empty view when the connection is not open.
View backupNVM(SerialAPI& serialAPI, Span buffer);
// Reset, erase and write the image, up to `attempts` + 1 times. Raises std::invalid_argument
// without an open connection, and nvm_io_exception before touching the chip when the image cannot
// be addressed by the 16-bit wire offset.
bool restoreNVM(SerialAPI& serialAPI, View image, unsigned attempts);

// The pieces of the exchange, for tests.
Frame nvmOperation(SerialAPI& serialAPI, uint8_t op);
uint32_t openNVM(SerialAPI& serialAPI);
void closeNVM(SerialAPI& serialAPI);
ReadResult readChunk(SerialAPI& serialAPI, uint32_t offset, Span buffer);
uint32_t readAll(SerialAPI& serialAPI, Span buffer);
uint32_t writeChunk(SerialAPI& serialAPI, uint32_t offset, View image);
void writeAll(SerialAPI& serialAPI, View image);
bool restoreOnce(SerialAPI& serialAPI, View image, unsigned attempt, unsigned attempts);
