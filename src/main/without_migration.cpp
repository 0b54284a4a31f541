// Single jobs, run in one fixed order so that one command line can take a safety copy first and
// then reprogram the chip; the first job that fails ends the run.
#include "file-support/HexFile.hpp"
#include "main/operations.hpp"
#include "util/Console.hpp"
#include "zwave/Flasher.hpp"
#include "zwave/NVM.hpp"
#include "zwave/ProtocolVersion.hpp"
#include "zwave/SerialAPI.hpp"

namespace {

constexpr size_t NVM_BUFFER_SIZE = 524288;

bool readNvrToFile(const Configuration& config, Chip& chip) {
    if (config.nvrPath.empty())
        return true;
    Flasher flasher(chip);
    if (!flasher.isEnabled())
        return false;
    uint8_t buffer[NVR_SIZE];
    View nvr = flasher.readNVR(Span(buffer, sizeof buffer));
    if (nvr.empty())
        return false;
    return saveFile(config.nvrPath.data(), nvr);
}

bool showVersion(const Configuration& config, Chip& chip) {
    if (!config.versionRequested)
        return true;
    SerialAPI serialAPI(chip, config.softResetAllowed, config.verbose);
    if (!serialAPI.isReady())
        return false;
    ProtocolVersion version = serialAPI.getVersion();
    if (version.length() == 0) {
        logFailure("Error: failed to get version");
        return false;
    }
    logLine(version.text(), " ", libraryTypeName(version));
    return true;
}

// Too large for the stack, and never needed twice at once: one static image buffer serves the
// backup and the restore job in turn.
Span nvmBuffer() {
    static uint8_t storage[NVM_BUFFER_SIZE];
    return Span(storage, sizeof storage);
}

bool backupNvmToFile(const Configuration& config, Chip& chip) {
    if (config.backupPath.empty())
        return true;
    SerialAPI serialAPI(chip, config.softResetAllowed, config.verbose);
    if (!serialAPI.isReady())
        return false;
    View image = backupNVM(serialAPI, nvmBuffer());
    if (image.empty())
        return false;
    return saveFile(config.backupPath.data(), image);
}

bool flashFirmware(const Configuration& config, Chip& chip) {
    if (config.hexPath.empty())
        return true;
    std::vector<uint8_t> image = readHexFile(config.hexPath.data());
    if (image.empty())
        return false;
    Flasher flasher(chip);
    return flasher.isEnabled() && flasher.flash(View(image.data(), image.size()), 2);
}

bool eraseNvm(const Configuration& config, Chip& chip) {
    if (!config.eraseNvm)
        return true;
    SerialAPI serialAPI(chip, config.softResetAllowed, config.verbose);
    if (!serialAPI.isReady())
        return false;
    if (serialAPI.eraseNVM(32))
        return true;
    logFailure("Error: failed to erase NVM");
    return false;
}

bool restoreNvmFromFile(const Configuration& config, Chip& chip) {
    if (config.restorePath.empty())
        return true;
    SerialAPI serialAPI(chip, config.softResetAllowed, config.verbose);
    if (!serialAPI.isReady())
        return false;
    View image = loadFile(config.restorePath.data(), nvmBuffer());
    // An empty file (or /dev/null) is no image; the restore, which erases first, never sees it.
    if (image.empty()) {
        logFailure("Error: NVM image file '", config.restorePath, "' is empty");
        return false;
    }
    if (restoreNVM(serialAPI, image, 3))
        return true;
    logFailure("Error: failed to write NVM");
    return false;
}

} // namespace

Chip openChip(const Configuration& config) {
    progressStep("Opening chip");
    if (config.resetGpio != 0)
        return Chip(config.ttyPath.data(), config.resetGpio, ChipMode::Run);
    return Chip(config.ttyPath.data(), config.assumeResetPinAsserted ? ChipMode::Programming : ChipMode::Run);
}

bool runWithoutMigration(const Configuration& config, Chip& chip) {
    return chip.isUsable() && readNvrToFile(config, chip) && showVersion(config, chip) &&
           backupNvmToFile(config, chip) && flashFirmware(config, chip) && eraseNvm(config, chip) &&
           restoreNvmFromFile(config, chip);
}
