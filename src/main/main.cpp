// Program entry: parse, arm cancellation, run the jobs on the chip, report the last status word.
#include "config/Configuration.hpp"
#include "config/Help.hpp"
#include "main/operations.hpp"
#include "rawio/Cancel.hpp"
#include "rawio/Exception.hpp"
#include "rawio/StandardStreams.hpp"
#include "util/Console.hpp"
#include "zwave/TtySharing.hpp"

#include <exception>

namespace {

// The chip lives only inside run, so it is closed (and its GPIO line released) on every way out.
bool run(const Configuration& config) {
    Chip chip = openChip(config);
    if (!chip.isUsable())
        return false;
    warnAboutSharedTty(chip.tty.get(), config.ttyPath.data());
    return config.migrateNvm ? runWithMigration(config, chip) : runWithoutMigration(config, chip);
}

} // namespace

int main(int, char** argv) {
    RawIO::claimStandardStreams();
    Configuration config(argv);
    if (config.request == Configuration::Request::Help) {
        printHelp(config);
        return 0;
    }
    if (config.request == Configuration::Request::ProgramVersion) {
        printOut("tarnwick " TARNWICK_VERSION "\n");
        return 0;
    }
    if (!config.valid)
        return 1;
    RawIO::installCancelHandlers();
    try {
        bool ok = run(config);
        // A cancel that no wait noticed still ends the run as cancelled, never as a silent success.
        if (RawIO::cancelRequested()) {
            progress("Cancelled");
            return 1;
        }
        progress(ok ? "Done" : "Failed");
        return ok ? 0 : 1;
    } catch (const RawIO::Exception& e) {
        if (RawIO::cancelRequested()) {
            progress("Cancelled");
        } else {
            if (e.error != 0)
                logLine(e.what(), ": ", e.errorText(), " (errno = ", e.error, ")");
            else
                logLine(e.what());
            progress("Failed");
        }
    } catch (const std::exception& e) {
        if (RawIO::cancelRequested()) {
            progress("Cancelled");
        } else {
            logLine(e.what());
            progress("Failed");
        }
    }
    return 1;
}
