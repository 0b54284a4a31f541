// NVM backup and restore through the real tool against the emulator's NVM: the size rules, the
// truncation of a larger image and the attempt counts, counted from the emulator's trace. The byte
// details of single replies are the unit tests' business; here both sides must agree.
#include "GeneratedContent.hpp"
#include "support/EmuHarness.hpp"
#include "support/ToolOutput.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

using namespace emutest;

namespace {

constexpr int RUN_LIMIT_MS = 20000;

std::vector<std::string> backupArguments(const Emu& emu) {
    return {"--reset-pin", "17", "--backup-nvm", emu.path("backup.bin"), "--", emu.tty()};
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// An image unlike the populated NVM, without zero bytes of its own.
std::vector<uint8_t> restoreImage(size_t size) {
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = uint8_t((i * 31 + 7) % 255 + 1);
    return image;
}

std::vector<uint8_t> prefix(const std::vector<uint8_t>& bytes, size_t size) {
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + std::ptrdiff_t(size));
}

} // namespace

// The populated NVM holds 16384 bytes, zero from byte 12301 on; the faults make the module report
// another size or end its reads elsewhere.
TEST(NvmE2E, BackupSizeRules) {
    const std::vector<uint8_t> nvm = emu::populatedStaticNvm();
    ASSERT_EQ(nvm.size(), 16384u);
    struct Case {
        const char* fault;
        size_t fileSize; // 0: no file
        size_t reads;    // read requests
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"", 16384, 256, {}},
        {"nvm-eof-at:16385", 16384, 257, {}},
        {"nvm-eof-at:16390", 16384, 257, {"Info: Discarding 6 trailing zero-bytes."}},
        {"nvm-size:12000",
         16384,
         256,
         {"Warning: got more than expected! Got EOF after 16384 bytes, but NVM size was reported to be 12000 "
          "bytes"}},
        {"nvm-eof-at:16000",
         0,
         250,
         {"Error: got less than expected! Got EOF after 16000 bytes, but NVM size was reported to be 16384 "
          "bytes",
          "Got EOF before advertised NVM size", "Error: failed to read NVM"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        EmuOptions options;
        if (*c.fault)
            options.faults = {c.fault};
        Emu emu = Emu::start(options);
        RunResult r = emu.run(backupArguments(emu), RUN_LIMIT_MS);
        EXPECT_EQ(messageLines(r.err), c.lines);
        EXPECT_EQ(r.exitStatus, c.fileSize ? 0 : 1);
        EXPECT_EQ(lastStatusWord(r.out), c.fileSize ? "Done" : "Failed");
        if (c.fileSize) {
            std::vector<uint8_t> expected = nvm;
            expected.resize(c.fileSize, 0);
            EXPECT_EQ(Emu::readFile(emu.path("backup.bin")), expected);
        } else {
            EXPECT_FALSE(exists(emu.path("backup.bin")));
        }
        EXPECT_EQ(emu.count(" in frame nvm-read "), c.reads);
        // The NVM is closed on every way out, also after the error.
        EXPECT_EQ(emu.count(" in frame nvm-close "), 1u);
        EXPECT_EQ(emu.nvm(), nvm);
    }
}

TEST(NvmE2E, AReadAnsweredAtTheWrongOffsetIsAskedForAgainAndStoredOnce) {
    Emu emu = Emu::start({.faults = {"nvm-wrong-offset:3"}});
    RunResult r = emu.run(backupArguments(emu), RUN_LIMIT_MS);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(messageLines(r.err), std::vector<std::string>{});
    EXPECT_EQ(Emu::readFile(emu.path("backup.bin")), emu::populatedStaticNvm());
    EXPECT_EQ(emu.count(" in frame nvm-read 01 07 00 2e 01 40 00 80 "), 2u);
    EXPECT_EQ(emu.count(" in frame nvm-read "), 257u);
}

// Three opens of 1.5 s each: the one long wait of the NVM exchange.
TEST(NvmE2E, AnOpenWithoutReplyIsTriedThreeTimesThenTheBackupFailsWithoutAFile) {
    Emu emu =
        Emu::start({.faults = {"drop-reply:nvm-open:1", "drop-reply:nvm-open:2", "drop-reply:nvm-open:3"}});
    RunResult r = emu.run(backupArguments(emu), RUN_LIMIT_MS);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(messageLines(r.err),
              (std::vector<std::string>{"NVM could not be opened", "Error: failed to read NVM"}));
    EXPECT_NE(r.out.find("Reading NVM (retry 1 of 2)"), std::string::npos);
    EXPECT_NE(r.out.find("Reading NVM (retry 2 of 2)"), std::string::npos);
    EXPECT_EQ(lastStatusWord(r.out), "Failed");
    EXPECT_GT(r.seconds, 4.0);
    EXPECT_FALSE(exists(emu.path("backup.bin")));
    EXPECT_EQ(emu.count(" in frame nvm-open "), 3u);
    EXPECT_EQ(emu.count(" in frame nvm-read "), 0u);
}

TEST(NvmE2E, ARestoreResetsErasesAndWritesTheImageIn256Requests) {
    Emu emu = Emu::start();
    std::vector<uint8_t> image = restoreImage(16384);
    std::string file = emu.writeFile("image.bin", image);
    RunResult r = emu.run({"--reset-pin", "17", "--restore-nvm", file, "--", emu.tty()}, RUN_LIMIT_MS);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(messageLines(r.err), std::vector<std::string>{});
    EXPECT_EQ(lastStatusWord(r.out), "Done");
    EXPECT_EQ(emu.count(" in frame set-default "), 1u);
    EXPECT_EQ(emu.count(" in frame nvm-write 01 47 00 2e 02 40 "), 256u);
    EXPECT_EQ(emu.count(" in frame nvm-write "), 256u);
    EXPECT_EQ(emu.nvm(), image);
}

// Images larger than the module's 16384 bytes. Where the bytes to write do not fit, every write
// past the end is refused by the module: each of the 4 attempts resets, erases, writes 256 chunks
// and tries the 257th four times; the last attempt's error ends the run.
TEST(NvmE2E, ALargerImageIsTruncatedOrTriedAsTheMessagesSay) {
    const std::string tryAnyway = "Trying to write anyway, and hoping for the best.";
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        std::vector<std::string> message;
        bool fits;
        size_t toWrite = 0;
    };
    std::vector<uint8_t> twentyZeros = restoreImage(16400);
    std::fill(twentyZeros.end() - 20, twentyZeros.end(), 0);
    std::vector<uint8_t> fourZeros = restoreImage(16400);
    std::fill(fourZeros.end() - 4, fourZeros.end(), 0);
    const Case cases[] = {
        {"20 trailing zeros",
         twentyZeros,
         {"Info: Truncating NVM image from 16400 to 16384 bytes, discarding 16 of 20 trailing zero-bytes."},
         true},
        {"one byte too many",
         restoreImage(16385),
         {"Warning: NVM image (16385 bytes) is too big for NVM (16384 bytes). Discarding last byte even if "
          "it's "
          "not zero."},
         true},
        {"4 trailing zeros",
         fourZeros,
         {"Warning: NVM image (16400 bytes) is too big for NVM (16384 bytes). Still too big by 12 bytes, "
          "after "
          "truncating to 16396 bytes, by discarding all 4 trailing zero-bytes.",
          tryAnyway},
         false,
         16396},
        {"no trailing zeros",
         restoreImage(16386),
         {"Warning: NVM image (16386 bytes) is too big for NVM (16384 bytes). No trailing zero-bytes to "
          "discard. ",
          tryAnyway},
         false,
         16386},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Emu emu = Emu::start();
        std::string file = emu.writeFile("image.bin", c.image);
        RunResult r = emu.run({"--reset-pin", "17", "--restore-nvm", file, "--", emu.tty()}, RUN_LIMIT_MS);
        std::vector<std::string> lines = messageLines(r.err);
        if (c.fits) {
            EXPECT_EQ(r.exitStatus, 0);
            EXPECT_EQ(lines, c.message);
            EXPECT_EQ(emu.count(" in frame set-default "), 1u);
            EXPECT_EQ(emu.count(" in frame nvm-write "), 256u);
        } else {
            std::vector<std::string> expected;
            for (int attempt = 0; attempt < 4; ++attempt)
                expected.insert(expected.end(), c.message.begin(), c.message.end());
            expected.insert(expected.end(), {"nvm write error", "Error: failed to write NVM"});
            EXPECT_EQ(lines, expected);
            EXPECT_EQ(r.exitStatus, 1);
            EXPECT_EQ(lastStatusWord(r.out), "Failed");
            EXPECT_NE(r.out.find("Writing NVM (retry 3 of 3)"), std::string::npos);
            EXPECT_EQ(emu.count(" in frame set-default "), 4u);
            EXPECT_EQ(emu.count(" in frame nvm-open "), 4u);
            EXPECT_EQ(emu.count(" in frame nvm-close "), 4u);
            EXPECT_EQ(emu.count(" in frame nvm-write 01 "), 4u * (256 + 4));
            // The 257th chunk: the bytes left past 16384 at offset 0x4000.
            char lastChunk[64];
            std::snprintf(lastChunk, sizeof lastChunk, " in frame nvm-write 01 %02x 00 2e 02 %02x 40 00 ",
                          unsigned(c.toWrite - 16384 + 7), unsigned(c.toWrite - 16384));
            EXPECT_EQ(emu.count(lastChunk), 16u);
        }
        EXPECT_EQ(emu.nvm(), prefix(c.image, 16384));
    }
}

// The wire offset has 16 bits: an image that needs more is refused before the module is reset or
// erased, so its network survives.
TEST(NvmE2E, AnImageBeyondTheWireOffsetLeavesTheModuleUntouched) {
    Emu emu = Emu::start();
    std::string file = emu.writeFile("image.bin", restoreImage(70000));
    RunResult r = emu.run({"--reset-pin", "17", "--restore-nvm", file, "--", emu.tty()}, RUN_LIMIT_MS);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(lastStatusWord(r.out), "Failed");
    EXPECT_EQ(emu.count(" in frame set-default "), 0u);
    EXPECT_EQ(emu.count(" in frame nvm-"), 0u);
    EXPECT_EQ(emu.nvm(), emu::populatedStaticNvm());
}
