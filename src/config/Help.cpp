#include "config/Help.hpp"

#include "util/Console.hpp"

namespace {

// Every option, those the usage line leaves out included.
const char* const OPTION_LINES[] = {
    "  --reset-pin pin            GPIO number of the line wired to the module's reset input",
    "  --bridge                   flash the installed bridge controller firmware (SDK 6.81.01)",
    "  --hex hexfile              flash an Intel HEX firmware file",
    "  --read-nvr nvrfile         save the module's 256-byte NVR page to a file",
    "  --backup-nvm nvmfile       save the controller's NVM (its network) to a file",
    "  --erase-nvm                erase the NVM",
    "  --migrate-nvm              with --bridge: move a static controller to the bridge library,",
    "                             keeping its network",
    "  --restore-nvm nvmfile      write an NVM image back (the NVM is erased first)",
    "  --soft-reset               without --reset-pin, restart the firmware with a Serial API command",
    "  --no-soft-reset            refuse --soft-reset on the same line",
    "  --get-version              print the firmware's version and library",
    "  --verbose                  print every Serial API frame sent and received",
    "  --assume-reset-pin-asserted",
    "                             the reset input is held low from outside: flash or dump the NVR",
    "                             without --reset-pin",
    "  --help                     print this text and exit",
    "  --version                  print the program's version and exit",
    "Jobs run in this order: NVR dump, version, NVM backup, flash, NVM erase, NVM restore.",
    "The last word on stdout is Done, Failed or Cancelled; exit status 0 means every job succeeded.",
};

} // namespace

void printHelp(const Configuration& config) {
    Buffer usage = config.usageLine();
    usage.append('\n');
    printOut(usage);
    for (const char* line : OPTION_LINES) {
        Buffer text;
        text.appendAll(line, "\n");
        printOut(text);
    }
}
