// Static-to-bridge migration: read the NVM, convert it to the bridge layout, flash the bridge
// firmware and write the converted NVM back; older static firmware is first brought to SDK 6.61,
// and SDK 6.71.01 firmware is put back as it was when the migration fails.
#include "file-support/HexFile.hpp"
#include "main/operations.hpp"
#include "rawio/Cancel.hpp"
#include "rawio/Exception.hpp"
#include "util/Console.hpp"
#include "util/byte_buffer.hpp"
#include "zwave/BridgeMigration.hpp"
#include "zwave/Flasher.hpp"
#include "zwave/NVM.hpp"
#include "zwave/ProtocolVersion.hpp"
#include "zwave/SerialAPI.hpp"

#include <cerrno>
#include <exception>

namespace {

constexpr const char* STATIC_671_FIRMWARE_PATH =
    "/usr/share/velmora/tarnwick/serialapi_controller_static_ZM5304_EU_v6_71_01.hex";
constexpr const char* STATIC_661_FIRMWARE_PATH =
    "/usr/share/velmora/tarnwick/serialapi_controller_static_ZM5304_EU_v6_61_00.hex";

constexpr CStringLiteralView OLDER_STATIC_VERSIONS[] = {"4.54", "4.38", "4.34", "4.24", "4.05",
                                                        "4.01", "3.99", "3.95", "3.92", "3.83"};

constexpr uint8_t STATIC_CONTROLLER = 1;
constexpr uint8_t BRIDGE_CONTROLLER = 7;

using NvmImage = byte_buffer<32768>;

ProtocolVersion queryVersion(const Configuration& config, Chip& chip) {
    try {
        SerialAPI serialAPI(chip, config.softResetAllowed, config.verbose);
        if (!serialAPI.isReady())
            return ProtocolVersion();
        return serialAPI.getVersion();
    } catch (const RawIO::Exception& e) {
        logException(e);
    } catch (const std::exception& e) {
        logException(e);
    }
    return ProtocolVersion();
}

void printVersion(const ProtocolVersion& version) {
    logLine("Version: ", version.text(), " ", libraryTypeName(version));
}

bool isZWaveVersion(const ProtocolVersion& version) {
    static const char PREFIX[] = "Z-Wave";
    StringView text = version.text();
    if (text.size() < 6)
        return false;
    for (size_t i = 0; i < 6; ++i)
        if ((text[i] | 0x20) != (PREFIX[i] | 0x20))
            return false;
    return true;
}

StringView versionNumber(const ProtocolVersion& version) {
    StringView text = version.text();
    if (text.size() <= 7)
        return StringView();
    return StringView(text.data() + 7, text.size() - 7);
}

bool isSdk661Version(StringView number) {
    return number == StringView("4.33") || number == StringView("4.62");
}

bool isSdk671Version(StringView number) {
    return number == StringView("4.61");
}

void readNvmImage(const Configuration& config, Chip& chip, NvmImage& image) {
    logLine("-- Reading NVM");
    image.size = 0;
    try {
        SerialAPI serialAPI(chip, config.softResetAllowed, config.verbose);
        if (serialAPI.isReady())
            image.size += backupNVM(serialAPI, image.unfilled()).size();
    } catch (const RawIO::Exception& e) {
        image.size = 0;
        logException(e);
    } catch (const std::exception& e) {
        image.size = 0;
        logException(e);
    }
}

bool writeNvmImage(const NvmImage& image, const Configuration& config, Chip& chip) {
    logLine("-- Writing NVM");
    try {
        SerialAPI serialAPI(chip, config.softResetAllowed, config.verbose);
        if (serialAPI.isReady() && restoreNVM(serialAPI, image.view(), 3))
            return true;
    } catch (const RawIO::Exception& e) {
        logException(e);
    } catch (const std::exception& e) {
        logException(e);
    }
    logFailure("Error: failed to write NVM");
    return false;
}

bool saveBackup(const Configuration& config, const NvmImage& image) {
    if (config.backupPath.empty())
        return true;
    logLine("-- Backing up NVM to: ", config.backupPath);
    progressStep("Backing up NVM");
    try {
        return saveFile(config.backupPath.data(), image.view());
    } catch (const RawIO::Exception& e) {
        logException(e);
    } catch (const std::exception& e) {
        logException(e);
    }
    logFailure("Error: failed to perform backup");
    return false;
}

bool flashHexFile(Chip& chip, const char* path) {
    std::vector<uint8_t> image = readHexFile(path);
    if (image.empty()) {
        logFailure("Error: Failed to read hex-file");
        logLine("Error: cannot read HEX file '", path, "'");
        return false;
    }
    try {
        Flasher flasher(chip);
        if (!flasher.isEnabled()) {
            logFailure("Error: failed enter chip programming mode");
        } else if (flasher.flash(View(image.data(), image.size()), 2)) {
            return true;
        }
    } catch (const RawIO::Exception& e) {
        logException(e);
    } catch (const std::exception& e) {
        logException(e);
    }
    logFailure("Error: flashing failed");
    return false;
}

bool flashBridgeAndRestore(const NvmImage& image, const Configuration& config, Chip& chip) {
    logLine("-- Flashing: Bridge controller library (--bridge)");
    if (!flashHexFile(chip, config.hexPath.data()))
        return false;
    ProtocolVersion version = queryVersion(config, chip);
    if (version.length() == 0) {
        logFailure("Error: failed to get version");
        return false;
    }
    printVersion(version);
    if (version.libraryType() != BRIDGE_CONTROLLER) {
        logFailure("Error: expected Bridge controller library");
        return false;
    }
    if (!isZWaveVersion(version)) {
        logFailure("Error: unexpected version format");
        return false;
    }
    return writeNvmImage(image, config, chip);
}

// Reads the static image and converts it; false (with the error line) when either fails.
bool readAndConvert(const Configuration& config, Chip& chip, NvmImage& staticImage, NvmImage& bridgeImage) {
    readNvmImage(config, chip, staticImage);
    if (staticImage.size == 0) {
        logFailure("Error: failed to read NVM");
        return false;
    }
    bridgeImage.size = 0;
    bridgeImage.size =
        convertToBridge(staticImage.view(), Span(bridgeImage.data, bridgeImage.capacity())).size();
    if (bridgeImage.size == 0) {
        logFailure("Error: failed to migrate NVM");
        return false;
    }
    return true;
}

// `number` is the version of the firmware the NVM is read from, for the name of its safety copy.
bool migrateSdk661(const Configuration& config, Chip& chip, StringView number) {
    static NvmImage staticImage, bridgeImage;
    if (!readAndConvert(config, chip, staticImage, bridgeImage))
        return false;
    if (config.backupPath.empty())
        saveSafetyCopy(number, staticImage.view());
    else if (!saveBackup(config, staticImage))
        return false;
    return flashBridgeAndRestore(bridgeImage, config, chip);
}

// After flashing a static image: the module must run the static library with the expected number.
bool flashedStaticRuns(const Configuration& config, Chip& chip, bool (*isExpected)(StringView),
                       const char* unexpectedNumber, ProtocolVersion& version) {
    version = queryVersion(config, chip);
    if (version.length() == 0) {
        logFailure("Error: failed to get version");
        return false;
    }
    printVersion(version);
    if (version.libraryType() != STATIC_CONTROLLER) {
        logFailure("Error: expected Static controller library");
        return false;
    }
    if (!isZWaveVersion(version)) {
        logFailure("Error: unexpected version format");
        return false;
    }
    if (!isExpected(versionNumber(version))) {
        logFailure(unexpectedNumber);
        return false;
    }
    return true;
}

// Puts the SDK 6.71.01 firmware and the NVM as read back after a failed migration.
bool restoreStatic671(const NvmImage& staticImage, const Configuration& config, Chip& chip) {
    logFailure("Error: Migration failed - attempting to restore backup.");
    progressStep("Hard resetting chip");
    if (!chip.hardwareReset())
        return false;
    logLine("-- Flashing: Static controller library from SDK v6.71.01");
    if (!flashHexFile(chip, STATIC_671_FIRMWARE_PATH))
        return false;
    ProtocolVersion version;
    if (!flashedStaticRuns(config, chip, isSdk671Version, "Error: expected SDK v6.71.01", version))
        return false;
    return writeNvmImage(staticImage, config, chip);
}

bool migrateUnsupported(const Configuration& config, Chip& chip) {
    if (config.backupPath.empty()) {
        logFailure(
            "Error: Migrating this version is not officially supported. Run with --backup-nvm to make a "
            "backup and try anyway.");
        return false;
    }
    static NvmImage staticImage, bridgeImage;
    if (!readAndConvert(config, chip, staticImage, bridgeImage))
        return false;
    logLine("Warning: Migrating this version is not officially supported. Making a backup and trying to "
            "migrate as if SDK version was 6.61.");
    if (!saveBackup(config, staticImage))
        return false;
    if (flashBridgeAndRestore(bridgeImage, config, chip))
        return true;
    if (restoreStatic671(staticImage, config, chip))
        logLine("Error: Migration failed, but backup was restored");
    else
        logFailure("Error: Could not restore backup after migration failure");
    return false;
}

bool isOlderStaticVersion(StringView number) {
    for (StringView older : OLDER_STATIC_VERSIONS)
        if (number == older)
            return true;
    return false;
}

// Brings older static firmware to the SDK 6.61.00 image, checks that it then runs and migrates.
bool upgradeAndMigrate(const Configuration& config, Chip& chip) {
    logLine("-- Flashing: Static controller library from SDK v6.61.00");
    ProtocolVersion version;
    return flashHexFile(chip, STATIC_661_FIRMWARE_PATH) &&
           flashedStaticRuns(config, chip, isSdk661Version, "Error: expected SDK v6.61", version) &&
           migrateSdk661(config, chip, versionNumber(version));
}

} // namespace

bool runWithMigration(const Configuration& config, Chip& chip) {
    logLine("-- Starting migration");
    ProtocolVersion version = queryVersion(config, chip);
    if (version.length() == 0) {
        logFailure("Error: failed to get version");
        return false;
    }
    printVersion(version);
    if (version.libraryType() == BRIDGE_CONTROLLER) {
        logLine("Warning: firmware is already Bridge controller; no migration is done.");
        if (!isZWaveVersion(version))
            logLine("Warning: unexpected Bridge controller library version: ", version.text());
        logLine("-- Flashing: Bridge controller library (--bridge)");
        return flashHexFile(chip, config.hexPath.data());
    }
    if (version.libraryType() != STATIC_CONTROLLER) {
        logFailure("Error: only Static controller library can be migrated, but chip is running ",
                   libraryTypeName(version));
        return false;
    }
    if (!isZWaveVersion(version)) {
        logFailure("Error: unexpected Static controller library version: ", version.text());
        return false;
    }
    StringView number = versionNumber(version);
    if (isSdk661Version(number))
        return migrateSdk661(config, chip, number);
    if (isOlderStaticVersion(number))
        return upgradeAndMigrate(config, chip);
    if (isSdk671Version(number))
        return migrateUnsupported(config, chip);
    logFailure("Error: unsupported Static controller library version: ", version.text());
    return false;
}
