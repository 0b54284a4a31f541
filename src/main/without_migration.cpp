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

// How a job ended. A failure on a file has printed the one line that names the file; any other
// failure still needs the job's own line.
enum class Outcome { Done, Failed, FileNamed };

// The file steps: an exception is reported as the entry would, then the line naming the file.
bool saved(const char* what, StringView path, View bytes) {
    try {
        saveFile(path.data(), bytes);
        return true;
    } catch (const RawIO::Exception& e) {
        logException(e);
    }
    logFailure("Error: cannot write ", what, " '", path, "'");
    return false;
}

View loaded(StringView path, Span storage) {
    try {
        View image = loadFile(path.data(), storage);
        // An empty file (or /dev/null) is no image; the restore, which erases first, never sees it.
        if (image.empty())
            logFailure("Error: NVM image file '", path, "' is empty");
        return image;
    } catch (const RawIO::Exception& e) {
        logException(e);
    }
    logFailure("Error: cannot read NVM image file '", path, "'");
    return View();
}

// Too large for the stack, and never needed twice at once: one static image buffer serves the
// backup and the restore job in turn.
Span nvmBuffer() {
    static uint8_t storage[NVM_BUFFER_SIZE];
    return Span(storage, sizeof storage);
}

Outcome readNvrToFile(const Configuration& config, Chip& chip) {
    Flasher flasher(chip);
    if (!flasher.isEnabled())
        return Outcome::Failed;
    uint8_t buffer[NVR_SIZE];
    View nvr = flasher.readNVR(Span(buffer, sizeof buffer));
    if (nvr.empty())
        return Outcome::Failed;
    return saved("NVR dump", config.nvrPath, nvr) ? Outcome::Done : Outcome::FileNamed;
}

Outcome showVersion(const Configuration& config, Chip& chip) {
    SerialAPI serialAPI(chip, config.softResetAllowed, config.verbose);
    if (!serialAPI.isReady())
        return Outcome::Failed;
    ProtocolVersion version = serialAPI.getVersion();
    if (version.length() == 0)
        return Outcome::Failed;
    logLine(version.text(), " ", libraryTypeName(version));
    return Outcome::Done;
}

Outcome backupNvmToFile(const Configuration& config, Chip& chip) {
    SerialAPI serialAPI(chip, config.softResetAllowed, config.verbose);
    if (!serialAPI.isReady())
        return Outcome::Failed;
    View image = backupNVM(serialAPI, nvmBuffer());
    if (image.empty())
        return Outcome::Failed;
    return saved("NVM backup", config.backupPath, image) ? Outcome::Done : Outcome::FileNamed;
}

Outcome flashFirmware(const Configuration& config, Chip& chip) {
    std::vector<uint8_t> image = readHexFile(config.hexPath.data());
    if (image.empty()) {
        logFailure("Error: cannot read HEX file '", config.hexPath, "'");
        return Outcome::FileNamed;
    }
    Flasher flasher(chip);
    bool flashed = flasher.isEnabled() && flasher.flash(View(image.data(), image.size()), 2);
    return flashed ? Outcome::Done : Outcome::Failed;
}

Outcome eraseNvm(const Configuration& config, Chip& chip) {
    SerialAPI serialAPI(chip, config.softResetAllowed, config.verbose);
    return serialAPI.isReady() && serialAPI.eraseNVM(32) ? Outcome::Done : Outcome::Failed;
}

Outcome restoreNvmFromFile(const Configuration& config, Chip& chip) {
    SerialAPI serialAPI(chip, config.softResetAllowed, config.verbose);
    if (!serialAPI.isReady())
        return Outcome::Failed;
    View image = loaded(config.restorePath, nvmBuffer());
    if (image.empty())
        return Outcome::FileNamed;
    return restoreNVM(serialAPI, image, 3) ? Outcome::Done : Outcome::Failed;
}

struct Job {
    Outcome (*run)(const Configuration&, Chip&);
    const char* failure; // the line that ends a failure not on a file
};

// A job that was not asked for succeeds at once. A failed job ends with exactly one "Error:"
// line; an exception that is not a cancellation is reported as the entry would, then that line.
bool runJob(bool requested, const Job& job, const Configuration& config, Chip& chip) {
    if (!requested)
        return true;
    Outcome outcome = Outcome::Failed;
    try {
        outcome = job.run(config, chip);
    } catch (const RawIO::Exception& e) {
        logException(e);
    } catch (const std::exception& e) {
        logException(e);
    }
    if (outcome == Outcome::Failed)
        logFailure(job.failure);
    return outcome == Outcome::Done;
}

} // namespace

Chip openChip(const Configuration& config) {
    progressStep("Opening chip");
    if (config.resetGpio != 0)
        return Chip(config.ttyPath.data(), config.resetGpio, ChipMode::Run);
    return Chip(config.ttyPath.data(), config.assumeResetPinAsserted ? ChipMode::Programming : ChipMode::Run);
}

bool runWithoutMigration(const Configuration& config, Chip& chip) {
    return chip.isUsable() &&
           runJob(!config.nvrPath.empty(), {readNvrToFile, "Error: failed to read NVR"}, config, chip) &&
           runJob(config.versionRequested, {showVersion, "Error: failed to get version"}, config, chip) &&
           runJob(!config.backupPath.empty(), {backupNvmToFile, "Error: failed to read NVM"}, config, chip) &&
           runJob(!config.hexPath.empty(), {flashFirmware, "Error: flashing failed"}, config, chip) &&
           runJob(config.eraseNvm, {eraseNvm, "Error: failed to erase NVM"}, config, chip) &&
           runJob(!config.restorePath.empty(), {restoreNvmFromFile, "Error: failed to write NVM"}, config,
                  chip);
}
