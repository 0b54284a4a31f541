// The fault matrix: every fault the emulator injects, against every job that meets it, through the
// real tool. A row reads as a sentence: the job, the faults, how it ends ("Done", or the failing
// step's Error line after which "Failed" and exit status 1), and the emulator's trace lines that must
// be seen so often (the attempts), with the tool's longest wait between two of them where it chose
// one. Every fault must show in the trace as fired ("event fault NAME"), so that a fault that misses
// its exchange cannot pass as a clean run. Recoveries leave the module and files as a clean run
// would and print no Error line; a backup is whole once the read succeeded and absent otherwise.
//
// Wall time is measured by the machine, not by the tool: it only guards against hangs here. The
// long fixed waits (a silent set default, 15 s each) are kept out; the long cases come first, so that
// a parallel run without the timings of an earlier one starts them early.
#include "Table.hpp"

#include <cctype>

namespace emutest {
namespace {

enum Job { VERSION, BACKUP, RESTORE, ERASE, FLASH, NVR, MIGRATION, MIGRATION_671 };
// clang-format off
const std::vector<std::string> MIGRATE = {"--migrate-nvm", "--bridge", "--backup-nvm", "@backup.bin"};
const std::pair<const char*, std::vector<std::string>> JOBS[] = { // in the order of `Job`
    {"version", {"--get-version"}}, {"backup", {"--backup-nvm", "@backup.bin"}},
    {"restore", {"--restore-nvm", "@image.bin"}}, {"erase", {"--erase-nvm"}}, {"flash", {"--hex", "@firmware.hex"}},
    {"nvr", {"--read-nvr", "@nvr.bin"}}, {"migration", MIGRATE}, {"migration_4_61", MIGRATE}};
// clang-format on

struct Fault {
    Job job;
    std::vector<std::string> faults;
    std::string ending; // DONE, or the failing step's Error line
    std::vector<Count> counts;
    std::string line = ""; // another line the tool must print
};

const std::string DONE = "Done", GET_VERSION = " in frame get-version", NVM_OPEN = " in frame nvm-open",
                  NVM_READ = " in frame nvm-read", NVM_WRITE = " in frame nvm-write",
                  NVM_CLOSE = " in frame nvm-close", SET_DEFAULT = " in frame set-default",
                  RESENT = " out frame-resend", NO_ACK = " event no-ack", IGNORED = " in ignored",
                  ENABLE = " in prog enable", CRC_CHECK = " in prog crc-check",
                  READ_NVR = " in prog read-nvr", PROG = " in prog", RELEASES = " line reset 1";
std::string erases(int sector) {
    return std::string(" in prog erase-sector 0b ") + "0123456789abcdef"[sector / 16] +
           "0123456789abcdef"[sector % 16];
}

const Firmware FLASHED = {"Z-Wave 4.62", 1, 16384, 12 * 1024};

// The row as a table row: the module and files as a clean run leaves them once it is done; the
// backup whole once it was taken (even when a later step failed), absent otherwise.
Row toRow(const Fault& fault) {
    const bool migration = fault.job >= MIGRATION, done = fault.ending == DONE;
    Row row = {.name = JOBS[fault.job].first,
               .arguments = JOBS[fault.job].second,
               .exitStatus = done ? 0 : 1,
               .linesAmong = true,
               .counts = fault.counts,
               .options = {.firmware = {fault.job == MIGRATION_671 ? "Z-Wave 4.61" : "Z-Wave 4.62", 1},
                           .faults = fault.faults},
               .inputs = {{"image.bin", nvmNoZeros}, {"firmware.hex", hexImage(FLASHED)}}};
    row.arguments.insert(row.arguments.begin(), {"--reset-pin", "17"});
    row.arguments.insert(row.arguments.end(), {"--", "@tty"});
    for (const std::string& text : fault.faults)
        for (char c : "_" + text)
            row.name += std::isalnum(uint8_t(c)) ? c : '_';
    for (const std::string& line : {fault.line, done ? "" : fault.ending})
        if (!line.empty())
            row.lines.push_back(line);
    if (fault.job == BACKUP || migration) {
        // A backup is as long as the size the module reports.
        const std::string& first = fault.faults[0];
        const size_t size = first.rfind("nvm-size:", 0) == 0 ? std::stoul(first.substr(9)) : 16384;
        const Make backup = [size] {
            Bytes nvm = staticNvm();
            nvm.resize(size);
            return nvm;
        };
        const bool taken = done || fault.ending == "Error: flashing failed" ||
                           fault.ending.find("restore") != std::string::npos;
        row.files = {{"@backup.bin", taken ? backup : nullptr}};
    }
    if (!done)
        return row;
    if (fault.job == VERSION && fault.line.empty())
        row.lines.push_back("Z-Wave 4.62 Static controller library");
    else if (fault.job == RESTORE)
        row.nvm = nvmNoZeros;
    else if (fault.job == ERASE)
        row.nvm = [] { return defaultNvm(); };
    else if (fault.job == FLASH)
        row.flash = image(FLASHED);
    else if (fault.job == NVR)
        row.files = {{"@nvr.bin", defaultNvr}};
    if (migration) {
        row.flash = image(EmuOptions{}.bridge);
        row.nvm = bridgeNvm;
    }
    return row;
}

// clang-format off
const Fault ROWS[] = {
    // The long cases: bounds of the tool that only a module stuck for good reaches.
    // Stuck busy: 5 attempts at sector 0 of 2 s each, then two more runs that stop at their first wait.
    {FLASH, {"busy-forever"}, "Error: flashing failed", {{erases(0), 5, 2000 + 500}}, "Error: Flash state machine still busy after 2000 ms"},
    // Silent in the middle of the read: the ACK of the last reply, 8 requests of 1.5 s, 3 closes of 1.5 s.
    {BACKUP, {"silent-after:100"}, "Error: failed to read NVM", {{IGNORED, 1 + 8 * 9 + 3 * 6, 1500}}, "timed out"},

    // Reading the version: up to 5 requests, 1.5 s each.
    {VERSION, {"drop-reply:get-version:1"}, DONE, {{GET_VERSION, 2, 1500}}},
    {VERSION, {"corrupt-checksum:get-version:1"}, DONE, {{GET_VERSION, 1}, {RESENT, 1}}},
    {VERSION, {"late-reply:get-version:1:2000"}, DONE, {{GET_VERSION, 2, 1500}}},
    {VERSION, {"unrelated-frame-first:get-version:1"}, DONE, {{GET_VERSION, 1}}},
    {VERSION, {"garbage-before-frames:64"}, DONE, {{GET_VERSION, 1}}},
    {VERSION, {"nak-frame:get-version:1"}, DONE, {{GET_VERSION, 2, 1500}}},
    {VERSION, {"can-reply:get-version:1"}, DONE, {{GET_VERSION, 2, 1500}}},
    {VERSION, {"missing-ack:get-version:1"}, DONE, {{GET_VERSION, 1}}},
    // The stale notification is dropped with the reset, so no request reaches a booting module.
    {VERSION, {"stale-started"}, DONE, {{GET_VERSION, 1}, {IGNORED, 0}}},
    {VERSION, {"boot-fail"}, "Error: failed to get version", {{IGNORED, 5 * 5, 1500}}},
    // Replies of every shape: without text no version, so asked again; text cut at 24; unknown types.
    {VERSION, {"reply-payload:get-version:1-5:"}, "Error: failed to get version", {{GET_VERSION, 5}}},
    {VERSION, {"reply-payload:get-version:1-5:41"}, "Error: failed to get version", {{GET_VERSION, 5}}},
    {VERSION, {"reply-payload:get-version:1-4:0007"}, DONE, {{GET_VERSION, 5}}, "Z-Wave 4.62 Static controller library"},
    {VERSION, {"reply-payload:get-version:1:340008"}, DONE, {{GET_VERSION, 1}}, "4 Unknown library type"},
    {VERSION, {"reply-payload:get-version:1:3400c8"}, DONE, {{GET_VERSION, 1}}, "4 Unknown library type"},
    {VERSION, {"reply-payload:get-version:1:6162636465666768696a6b6c6d6e6f70717273747576777879000007"}, DONE, {{GET_VERSION, 1}}, "abcdefghijklmnopqrstuvwx Bridge controller library"},

    // Backup: 256 reads of 64 bytes; a read is sent up to 8 times, 4 times on a wrong offset.
    {BACKUP, {"drop-reply:nvm-read:5"}, DONE, {{NVM_READ, 257, 1500}}},
    {BACKUP, {"corrupt-checksum:nvm-read:5"}, DONE, {{NVM_READ, 256}, {RESENT, 1}, {NO_ACK, 0}}},
    // Both replies to the 5th read come: the tool stays one reply behind, every later read goes twice.
    {BACKUP, {"late-reply:nvm-read:5:2000"}, DONE, {{NVM_READ, 256 + 2 + 250, 1500}}},
    {BACKUP, {"unrelated-frame-first:nvm-read:5"}, DONE, {{NVM_READ, 256}}},
    {BACKUP, {"garbage-before-frames"}, DONE, {{NVM_READ, 256}}},
    {BACKUP, {"nak-frame:nvm-read:5"}, DONE, {{NVM_READ, 257, 1500}}},
    {BACKUP, {"can-reply:nvm-read:5"}, DONE, {{NVM_READ, 257, 1500}}},
    {BACKUP, {"missing-ack:nvm-read:5"}, DONE, {{NVM_READ, 256}}},
    {BACKUP, {"nvm-wrong-offset:5", "nvm-wrong-offset:6", "nvm-wrong-offset:7"}, DONE, {{NVM_READ, 259}}},
    {BACKUP, {"nvm-wrong-offset:5", "nvm-wrong-offset:6", "nvm-wrong-offset:7", "nvm-wrong-offset:8"}, "Error: failed to read NVM", {{NVM_READ, 8}, {NVM_CLOSE, 1}}, "unexpected nvm range received"},
    {BACKUP, {"nvm-size:16378"}, DONE, {{NVM_READ, 256}}, "Info: Discarding 6 trailing zero-bytes."},
    {BACKUP, {"nvm-eof-at:16000"}, "Error: failed to read NVM", {{NVM_READ, 250}, {NVM_CLOSE, 1}}, "Error: got less than expected! Got EOF after 16000 bytes, but NVM size was reported to be 16384 bytes"},
    {BACKUP, {"drop-reply:nvm-open:1"}, DONE, {{NVM_OPEN, 2, 1500}}},
    {BACKUP, {"late-reply:nvm-open:1:2000"}, DONE, {{NVM_OPEN, 2, 1500}}},
    {BACKUP, {"nak-frame:nvm-open:1"}, DONE, {{NVM_OPEN, 2, 1500}}},
    {BACKUP, {"drop-reply:nvm-close:1"}, DONE, {{NVM_CLOSE, 2, 1500}}},
    {BACKUP, {"boot-fail"}, "Error: failed to read NVM", {{IGNORED, 3 * 6, 1500}}, "NVM could not be opened"},
    // Replies of a wrong shape end the read at once; one that never advances would be asked for ever.
    {BACKUP, {"reply-payload:nvm-read:1:000000"}, "Error: failed to read NVM", {{NVM_READ, 1}, {NVM_CLOSE, 1}}, "invalid nvm read response from chip"},
    {BACKUP, {"reply-payload:nvm-read:1:0701000055"}, "Error: failed to read NVM", {{NVM_READ, 1}}, "invalid nvm read response from chip"},
    {BACKUP, {"reply-payload:nvm-read:1:00000000"}, "Error: failed to read NVM", {{NVM_READ, 1}}, "invalid nvm read response from chip"},
    {BACKUP, {"reply-payload:nvm-read:1:01000000"}, "Error: failed to read NVM", {{NVM_READ, 1}}, "nvm read error"},
    {BACKUP, {"reply-payload:nvm-read:1:00030000aabb"}, "Error: failed to read NVM", {{NVM_READ, 1}}, "nvm buffer in response shorter than specified in header"},

    // Restore: reset, erase, open, 256 writes, reset; up to 4 attempts.
    {RESTORE, {"drop-reply:nvm-write:10"}, DONE, {{NVM_WRITE, 257, 1500}}},
    {RESTORE, {"corrupt-checksum:nvm-write:10"}, DONE, {{NVM_WRITE, 256}, {RESENT, 1}, {NO_ACK, 0}}},
    // The second reply to the 10th write fails the 11th (a wrong offset): a second attempt.
    {RESTORE, {"late-reply:nvm-write:10:2000"}, DONE, {{NVM_WRITE, 11 + 1 + 256, 1500}, {SET_DEFAULT, 2}}},
    {RESTORE, {"unrelated-frame-first:nvm-write:10"}, DONE, {{NVM_WRITE, 256}}},
    {RESTORE, {"garbage-before-frames"}, DONE, {{NVM_WRITE, 256}, {SET_DEFAULT, 1}}},
    {RESTORE, {"nak-frame:nvm-write:10"}, DONE, {{NVM_WRITE, 257, 1500}}},
    {RESTORE, {"missing-ack:nvm-write:10"}, DONE, {{NVM_WRITE, 256}}},
    {RESTORE, {"drop-reply:nvm-open:1"}, DONE, {{NVM_OPEN, 2, 1500}}},
    {RESTORE, {"nvm-size:16000"}, DONE, {{NVM_WRITE, 256}}, "Trying to write anyway, and hoping for the best."},
    // Releases of the reset line: the emulator's start, the tool's open, its 4 attempts.
    {RESTORE, {"boot-fail"}, "Error: failed to write NVM", {{RELEASES, 1 + 1 + 4, 1500}, {IGNORED, 0}}},
    // Replies of a wrong shape end each attempt at its first write.
    {RESTORE, {"reply-payload:nvm-write:1-4:0004"}, "Error: failed to write NVM", {{NVM_WRITE, 4}, {SET_DEFAULT, 4}}, "invalid nvm write response from chip"},
    {RESTORE, {"reply-payload:nvm-write:1-4:02040000"}, "Error: failed to write NVM", {{NVM_WRITE, 4}}, "invalid nvm write response from chip"},
    {RESTORE, {"reply-payload:nvm-write:1-4:00040040"}, "Error: failed to write NVM", {{NVM_WRITE, 4}}, "nvm write at unexpected offset"},
    {RESTORE, {"reply-payload:nvm-write:1-4:00000000"}, "Error: failed to write NVM", {{NVM_WRITE, 4}}, "unexpected write size"},

    // Erase: set default and its callback.
    {ERASE, {"corrupt-checksum:set-default:1"}, DONE, {{SET_DEFAULT, 1}, {RESENT, 1}}},
    {ERASE, {"late-reply:set-default:1:300"}, DONE, {{SET_DEFAULT, 1}}},
    {ERASE, {"unrelated-frame-first:set-default:1"}, DONE, {{SET_DEFAULT, 1}}},
    {ERASE, {"missing-ack:set-default:1"}, DONE, {{SET_DEFAULT, 1}}},
    {ERASE, {"stale-started"}, DONE, {{SET_DEFAULT, 1}, {IGNORED, 0}}},

    // Flash: a sector gets 5 attempts, 0.5 s apart with a restart; a run 3, 2 s apart.
    {FLASH, {"fail-sector:5"}, DONE, {{erases(5), 2, 500}, {erases(4), 1}}},
    {FLASH, {"fail-sector:5:always"}, "Error: flashing failed", {{erases(5), 3 * 5}, {erases(6), 0}, {CRC_CHECK, 0}, {PROG, ANY, 2000}}, "Expected: <20 05 ff ff>"},
    // Every restart after sector 5 failed gets a wrong echo: after five of 11 enables (0.1 s apart) and
    // 0.3 s each, the run gives up without trying the sector again or checking the CRC; the next run's
    // restart works.
    {FLASH, {"fail-sector:5", "corrupt-checksum:enable:2-56"}, DONE, {{ENABLE, 1 + 5 * 11 + 1}, {erases(5), 2}, {erases(0), 2}, {CRC_CHECK, 1}, {RELEASES, 2 + 5 + 1, 10 * 100 + 300}}, "Expected: <ac 53 aa 55>"},
    {FLASH, {"crc-fail:always"}, "Error: flashing failed", {{CRC_CHECK, 3}, {erases(0), 3}, {PROG, ANY, 2000}}},
    {FLASH, {"enable-on-try:2"}, DONE, {{ENABLE, 2, 1000 + 100}}},
    // The third write-SRAM and the fifth state poll are sector 1's.
    {FLASH, {"drop-reply:write-sram:3"}, DONE, {{erases(1), 2, 1000 + 500}}, "Response: <>"},
    {FLASH, {"drop-reply:check-state:5"}, DONE, {{erases(1), 2, 1000 + 500}}, "Recvd: <>"},
    {FLASH, {"drop-reply:erase-sector:2"}, DONE, {{erases(1), 2, 1000 + 500}}},
    {FLASH, {"can-reply:erase-sector:2"}, DONE, {{erases(1), 2, 1000 + 500}}},
    {FLASH, {"corrupt-checksum:continue-write:100"}, DONE, {{erases(0), 2, 500}}},
    {FLASH, {"late-reply:continue-write:100:1500"}, DONE, {{erases(0), 2, 1000 + 500}}},
    {FLASH, {"drop-reply:crc-check:1"}, DONE, {{CRC_CHECK, 1}}},
    // Sector 0's erase echo, then the stray byte: its next reply is read one byte off.
    {FLASH, {"stray-byte:erase-sector:1"}, DONE, {{erases(0), 2, 500}, {erases(1), 1}}},

    // NVR dump: 256 reads, each up to 4 times.
    {NVR, {"drop-reply:read-nvr:10"}, DONE, {{READ_NVR, 257, 1000}}, "Recvd: <>"},
    {NVR, {"late-reply:read-nvr:256:1500"}, DONE, {{READ_NVR, 257, 1000}}},
    // The late answer comes during a later read, which passes over it instead of asking again.
    {NVR, {"late-reply:read-nvr:5:1500"}, DONE, {{READ_NVR, 257, 1000}}},
    {NVR, {"stray-byte:read-nvr:10"}, DONE, {{READ_NVR, 257}}},
    {NVR, {"silent-after:50"}, "Error: failed to read NVR", {{READ_NVR, 49}, {IGNORED, 4 * 4, 1000}}, "Recvd: <>"},
    {NVR, {"enable-on-try:2"}, DONE, {{ENABLE, 2, 1000 + 100}}},
    {NVR, {"enable-reply:ac53aa00"}, "Error: failed to read NVR", {{ENABLE, 11}, {READ_NVR, 0}}, "Expected: <ac 53 aa 55>"},

    // Migration of a 4.62 module with a backup: version, read, backup, flash, version, restore.
    {MIGRATION, {"drop-reply:get-version:2", "corrupt-checksum:nvm-read:5", "fail-sector:5", "drop-reply:nvm-write:10"}, DONE, {{GET_VERSION, 3}, {NVM_READ, 256}, {erases(5), 2, 500}, {NVM_WRITE, 193 + 1, 1500}}},
    {MIGRATION, {"garbage-before-frames", "unrelated-frame-first:frame:3", "nvm-wrong-offset:5"}, DONE, {{GET_VERSION, 2}, {NVM_READ, 257}}},
    // The migration's own flashes run again after a failed CRC check, as the flash job does.
    {MIGRATION, {"crc-fail"}, DONE, {{CRC_CHECK, 2}}},
    {MIGRATION, {"nvm-eof-at:16000"}, "Error: failed to read NVM", {{NVM_READ, 250}, {ENABLE, 0}}, "Got EOF before advertised NVM size"},
    {MIGRATION, {"enable-reply:ac53aa00"}, "Error: flashing failed", {{ENABLE, 11}, {erases(0), 0}}},
    {MIGRATION, {"boot-fail"}, "Error: failed to get version", {{IGNORED, 5 * 5, 1500}}},
    // The migration's buffer holds 32768 bytes: a larger NVM is refused unread, a read past it stopped.
    {MIGRATION, {"nvm-size:40000"}, "Error: failed to read NVM", {{NVM_READ, 0}, {ENABLE, 0}}, "NVM is larger than supplied buffer"},
    {MIGRATION, {"nvm-eof-at:32769"}, "Error: failed to read NVM", {{NVM_READ, 513}, {ENABLE, 0}}, "local nvm buffer overflow"},
    // A 4.61 module: migrated only with a backup, put back on failure.
    {MIGRATION_671, {"fail-sector:5"}, DONE, {{erases(5), 2, 500}}},
    {MIGRATION_671, {"enable-reply:ac53aa00"}, "Error: Could not restore backup after migration failure", {{ENABLE, 2 * 11}}},
};
// clang-format on

std::vector<Row> rows() {
    std::vector<Row> rows;
    for (const Fault& fault : ROWS)
        rows.push_back(toRow(fault));
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Faults, Tool, testing::ValuesIn(rows()), rowName);

} // namespace
} // namespace emutest
