// A whole migration, the longest run of the tool, ends without a leak or a sanitizer report. In the
// sanitizer build the tool inherits LeakSanitizer (on by default; scripts/test sets detect_leaks=1),
// which makes a leaking run exit with status 23 and print its report.
#include "support/EmuHarness.hpp"

#include <gtest/gtest.h>

using namespace emutest;

TEST(LeakCheck, AFullMigrationEndsWithoutLeaks) {
    EmuOptions options;
    options.bridge.codeSize = 8 * 1024;
    Emu emu = Emu::start(options);
    RunResult r = emu.run({"--reset-pin", "17", "--bridge", "--migrate-nvm", "--backup-nvm",
                           emu.path("static.bin"), "--", emu.tty()},
                          60000);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    EXPECT_EQ(emu.flash(), Emu::firmwareImage(options.bridge));
}
