// The single jobs beyond the smoke set: job order, the NVM size rules of backup and restore, the
// files the tool refuses, the ttys it cannot have, and the options no other row takes.
#include "Table.hpp"

namespace emutest {
namespace {

const std::string VERSION = "Z-Wave 4.62 Static controller library";
const std::vector<std::string> BACKUP = {"--reset-pin", "17", "--backup-nvm", "@backup.bin", "@tty"};

// clang-format off
Row backup(const std::string& name, const char* fault, size_t reads, const Lines& lines = {}) {
    return {.name = name, .arguments = BACKUP, .lines = lines,
            .counts = {{" in frame nvm-read ", reads}, {" in frame nvm-close ", 1}},
            .options = {.faults = {fault}}, .files = {{"@backup.bin", staticNvm}}};
}

// A restore of `image` from `file`, written whole (truncated to the module's 16384 bytes) unless
// `lines` end in an error; refused ones leave the module unreset, unerased and unwritten.
Row restore(const std::string& name, const Make& image, const Lines& lines, const char* file = "@image.bin",
            const Lines& shown = {}) {
    const bool refused = !lines.empty() && lines.back().rfind("Error: ", 0) == 0;
    const Make written = [image] { Bytes bytes = image(); bytes.resize(16384); return bytes; };
    return {.name = name, .arguments = {"--reset-pin", "17", "--restore-nvm", file, "@tty"},
            .exitStatus = refused, .lines = lines, .counts = {{" in frame set-default ", refused ? 0u : 1u},
            {refused ? " in frame nvm-" : " in frame nvm-write ", refused ? 0u : 256u}},
            .inputs = {{"image.bin", image}}, .nvm = refused ? Make(staticNvm) : written, .shown = shown};
}

Bytes cutBeforeItsEnd() {
    Bytes hex = hexImage(EmuOptions{}.firmware)();
    return Bytes(hex.begin(), hex.begin() + long(std::string(hex.begin(), hex.end()).rfind(':')));
}

std::vector<Row> rows() {
    const std::string anyway = "Trying to write anyway, and hoping for the best.", tooBig = "Warning: NVM "
        "image (16386 bytes) is too big for NVM (16384 bytes). No trailing zero-bytes to discard. ";
    const Lines tooLarge = {"NVM image too large", "Error: failed to write NVM"};
    EmuOptions paced{.firmware = {"Z-Wave 4.62", 1, 4096}, .populateNvm = false, .baud = 115200,
                     .bootDelayMs = 20};
    return {
        {.name = "only_a_tty_runs_nothing", .arguments = {"@tty"},
         .counts = {{" in ", 0}, {" line reset ", 1}}},
        // The NVR is read in programming mode, then a fresh connection reads the version.
        {.name = "nvr_then_version",
         .arguments = {"--reset-pin", "17", "--read-nvr", "@nvr.bin", "--get-version", "@tty"},
         .lines = {VERSION}, .counts = {{" in prog read-nvr ", 256}}, .files = {{"@nvr.bin", defaultNvr}},
         .order = {" in prog enable ", " in prog read-nvr ", " line reset 1", " out frame started ",
                   " in frame get-version "}},
        // The backup is written before the flash begins and stays when all three flash runs fail.
        {.name = "backup_stays_when_the_flash_fails",
         .arguments = {"--reset-pin", "17", "--backup-nvm", "@backup.bin", "--bridge", "@tty"},
         .exitStatus = 1, .lines = {"Error: flashing failed"},
         .counts = {{" event crc failed", 3}, {" in frame nvm-close ", 1}},
         .options = {.faults = {"crc-fail:always"}, .bridge = {"Z-Wave 4.81", 7, 16384, 2048}},
         .files = {{"@backup.bin", staticNvm}}, .nvm = staticNvm,
         .order = {" in frame nvm-close ", " in prog enable "}},

        // Backup: the module holds 16384 bytes, zero from 12301 on; the faults end its reads
        // elsewhere or report another size.
        backup("backup_end_one_byte_late", "nvm-eof-at:16385", 257),
        backup("backup_trailing_zeros_discarded", "nvm-eof-at:16390", 257,
               {"Info: Discarding 6 trailing zero-bytes."}),
        backup("backup_more_than_reported", "nvm-size:12000", 256,
               {"Warning: got more than expected! Got EOF after 16384 bytes, but NVM size was reported to be "
                "12000 bytes"}),
        // Three opens of 1.5 s each: the one long wait of the NVM exchange.
        {.name = "backup_open_never_answered", .arguments = BACKUP, .exitStatus = 1,
         .lines = {"NVM could not be opened", "Error: failed to read NVM"},
         .counts = {{" in frame nvm-open ", 3}, {" in frame nvm-read ", 0}},
         .options = {.faults = {"drop-reply:nvm-open:1-3"}}, .files = {{"@backup.bin", nullptr}},
         .shown = {"Reading NVM (retry 1 of 2)", "Reading NVM (retry 2 of 2)"}, .minSeconds = 4.5},

        // Restore of images larger than the module's NVM.
        restore("restore_one_byte_too_many", [] { return noZeros(16385); },
                {"Warning: NVM image (16385 bytes) is too big for NVM (16384 bytes). Discarding last byte "
                 "even if it's not zero."}),
        // The bytes past the module's 16384 cannot be written: each of the 4 attempts resets, erases,
        // writes 256 chunks and tries the 257th (2 bytes at 0x4000) four times.
        {.name = "restore_too_big_without_zeros", .arguments = {"--reset-pin", "17", "--restore-nvm",
         "@image.bin", "@tty"}, .exitStatus = 1, .lines = {tooBig, anyway, tooBig, anyway, tooBig, anyway,
         tooBig, anyway, "nvm write error", "Error: failed to write NVM"},
         .counts = {{" in frame set-default ", 4}, {" in frame nvm-open ", 4}, {" in frame nvm-close ", 4},
                    {" in frame nvm-write 01 ", 4 * (256 + 4)},
                    {" in frame nvm-write 01 09 00 2e 02 02 40 00 ", 16}},
         .inputs = {{"image.bin", [] { return noZeros(16386); }}}, .nvm = nvmNoZeros,
         .shown = {"Writing NVM (retry 3 of 3)"}},
        // The wire offset has 16 bits: an image that needs more cannot be written, not even one of
        // exactly the restore buffer's size, which is read whole; one byte more is refused unread.
        restore("restore_of_the_buffer_size", [] { return Bytes(524288, 0x5A); }, tooLarge),
        restore("restore_larger_than_the_buffer", [] { return Bytes(524289, 0x5A); },
                {"file bigger than buffer", "Error: cannot read NVM image file '@image.bin'"}),
        // An empty restore file is refused once the connection stands.
        restore("restore_of_an_empty_file", [] { return Bytes(); },
                {"Error: NVM image file '@image.bin' is empty"}, "@image.bin", {"Configuring serial API"}),
        restore("restore_of_a_missing_file", [] { return Bytes(); }, {"IO-Error on open(): No such file or "
                "directory (errno = 2)", "Error: cannot read NVM image file '@missing.bin'"}, "@missing.bin"),
        restore("restore_of_a_directory", [] { return Bytes(); }, {"IO-Error on read(): Is a directory "
                "(errno = 21)", "Error: cannot read NVM image file '/'"}, "/"),
        // Pipes from and to other programs: an image read to its end however its pieces come, and files
        // written in place (a pipe replaced by a file would leave its reader waiting for ever).
        {.name = "files_through_pipes", .arguments = {"--reset-pin", "17", "--read-nvr", "@nvr.fifo",
         "--backup-nvm", "@nvm.fifo", "--restore-nvm", "@in.fifo", "@tty"},
         .counts = {{" in frame nvm-write ", 256}}, .inputs = {{"image.bin", nvmNoZeros}},
         .files = {{"@nvr.bin", defaultNvr}, {"@backup.bin", staticNvm}}, .nvm = nvmNoZeros,
         // Helpers that a failed run leaves waiting for a fifo end within 30 s.
         .shell = "mkfifo @nvr.fifo @nvm.fifo @in.fifo; timeout 30 cat @nvr.fifo >@nvr.bin & timeout 30 "
                  "cat @nvm.fifo >@backup.bin & timeout 30 bash -c '{ head -c 5000 @image.bin; sleep 0.2; "
                  "tail -c +5001 @image.bin; } >@in.fifo' & \"$@\"; status=$?; wait; exit $status"},

        // A HEX file the reader refuses (cut short: its image would get a valid CRC) ends the run before
        // the flasher is built: the reset line moves only as the opening moves it, no programming command.
        {.name = "hex_cut_before_its_end", .arguments = {"--reset-pin", "17", "--hex", "@f.hex", "@tty"},
         .exitStatus = 1, .lines = {"no end-of-file record in hex-file '@f.hex'",
         "Error: cannot read HEX file '@f.hex'"}, .counts = {{" in prog ", 0}, {" line reset ", 4}},
         .inputs = {{"f.hex", cutBeforeItsEnd}}, .flash = image(EmuOptions{}.firmware)},
        // A tty that a first run still holds: the lock alone keeps a second run out.
        {.name = "locked_tty", .arguments = {"--reset-pin", "17", "--get-version", "@tty"}, .exitStatus = 1,
         .lines = {"openTTY: tty @tty is in use by another program (locked)"},
         .counts = {{" in ", 0}, {" line reset ", 1}}, .shell = "exec 9<>@tty && flock -n 9 && exec \"$@\""},

        // A run cancelled on its way (wherever the signal lands) leaves the tty, its lock and the reset
        // line to the next run.
        {.name = "next_run_after_a_cancelled_one", .arguments = BACKUP,
         .options = {.faults = {"late-reply:nvm-close:1:1000"}}, .files = {{"@backup.bin", staticNvm}},
         .shell = "\"$@\" >/dev/null 2>&1 & sleep 0.5; kill -INT $!; wait; exec \"$@\""},

        // Options no other row takes, with a module that runs (has booted) when the tool starts.
        {.name = "soft_reset_without_a_reset_pin", .arguments = {"--soft-reset", "--get-version", "@tty"},
         .lines = {VERSION}, .counts = {{" in frame soft-reset ", 1}, {" event boot soft reset", 1},
         {" line reset ", 1}}, .options = {.bootDelayMs = 0},
         .order = {" in frame soft-reset ", " out frame started ", " in frame get-version "}},
        {.name = "serial_api_job_without_a_reset_pin", .arguments = {"--backup-nvm", "@backup.bin", "@tty"},
         .counts = {{" in frame nvm-read ", 256}, {" line reset ", 1}, {" in frame soft-reset ", 0}},
         .options = {.bootDelayMs = 0}, .files = {{"@backup.bin", staticNvm}}},
        // Without a pin a restore resets softly, even unasked: before the erase and after the writes,
        // each time waiting for the module to boot (100 ms), which ignores what comes before.
        {.name = "restore_without_a_reset_pin", .arguments = {"--restore-nvm", "@image.bin", "@tty"},
         .counts = {{" in frame soft-reset ", 2}, {" line reset ", 1}, {" in ignored ", 0}},
         .options = {.bootDelayMs = 100}, .inputs = {{"image.bin", nvmNoZeros}}, .nvm = nvmNoZeros,
         .order = {" in frame soft-reset ", " out frame started ", " in frame set-default ",
                   " in frame nvm-write ", " in frame soft-reset ", " out frame started "},
         .shell = "sleep 1 && exec \"$@\""},
        {.name = "verbose", .arguments = {"--reset-pin", "17", "--verbose", "--get-version", "@tty"},
         .lines = {"Recving: <01 09 00 0a 00 00 01 02 01 00 fe>", "Sending: <06>",
                   "Sending: <01 03 00 15 e9>", "Recving: <06>",
                   "Recving: <01 10 01 15 5a 2d 57 61 76 65 20 34 2e 36 32 00 01 96>", "Sending: <06>",
                   VERSION}},
        {.name = "assume_reset_pin_asserted",
         .arguments = {"--assume-reset-pin-asserted", "--read-nvr", "@nvr.bin", "@tty"},
         .counts = {{" in prog read-nvr ", 256}, {" line reset ", 1}}, .options = {.initialLevel = 0},
         .files = {{"@nvr.bin", defaultNvr}}},
        // Every byte takes its wire time: 4096 NVM bytes alone take 0.356 s at 115200 baud.
        {.name = "paced_at_115200_baud", .arguments = BACKUP, .counts = {{" in frame nvm-read ", 64}},
         .options = paced, .files = {{"@backup.bin", [paced] { return defaultNvm(paced.firmware); }}},
         .minSeconds = 4096 * 10 / 115200.0},
    };
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Single, Tool, testing::ValuesIn(rows()), rowName);

} // namespace
} // namespace emutest
