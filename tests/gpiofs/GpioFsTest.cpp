// The fake sysfs GPIO driven through plain POSIX calls, only where it must be as strict as the
// kernel: a tool that wrote a word or a number the kernel refuses, or wrote to a line in the wrong
// state, must fail here as on a gateway. What the tool's own GPIO code writes, and the faults the
// fake injects, are shown through that code (tests/unit/pin_test.cpp, chip_test.cpp); the export and
// look-up of the reset line, by every end-to-end row.
#include "support/FakeGpio.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const auto* const gpioNamespace =
    ::testing::AddGlobalTestEnvironment(new testsupport::GpioNamespaceEnvironment);

int openAttribute(const std::string& name, int flags) {
    return ::open(("/sys/class/gpio/" + name).c_str(), flags);
}

// Open and one read of up to 32 bytes: the text, or "errno N" of the failing call.
std::string readAttribute(const std::string& name) {
    char buffer[32];
    const int fd = openAttribute(name, O_RDONLY);
    const ssize_t count = fd < 0 ? -1 : ::read(fd, buffer, sizeof buffer);
    const std::string text =
        count < 0 ? "errno " + std::to_string(errno) : std::string(buffer, size_t(count));
    ::close(fd);
    return text;
}

// Open write-only and one write of the text as it stands: 0 or the errno of the failing call.
int writeAttribute(const std::string& name, const std::string& text) {
    const int fd = openAttribute(name, O_WRONLY);
    const ssize_t count = fd < 0 ? -1 : ::write(fd, text.data(), text.size());
    const int error = count < 0 ? errno : 0;
    ::close(fd);
    return error;
}

using GpioFsTest = testsupport::FakeGpioTest;

TEST_F(GpioFsTest, DirectionWordsSetDirectionAndLevel) {
    struct Row {
        const char* written;
        int error;
        const char* readBack;
        int level;
    };
    // Rows apply in order to one line that starts as an input at level 0.
    const Row rows[] = {
        {"high", 0, "out\n", 1},    {"in", 0, "in\n", 1},           {"low\n", 0, "out\n", 0},
        {"high\n", 0, "out\n", 1},  {"out", 0, "out\n", 0}, // as the kernel does, "out" drives low
        {"up", EINVAL, "out\n", 0}, {"in\n\n", EINVAL, "out\n", 0},
    };
    std::vector<std::pair<unsigned, int>> levels;
    gpio.fs.onValue([&](unsigned line, int level) { levels.emplace_back(line, level); });
    ASSERT_EQ(writeAttribute("export", "4"), 0);
    EXPECT_EQ(readAttribute("gpio4/value"), "0\n");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.written);
        EXPECT_EQ(writeAttribute("gpio4/direction", row.written), row.error);
        EXPECT_EQ(readAttribute("gpio4/direction"), row.readBack);
        EXPECT_EQ(gpio.fs.value(4), row.level);
    }
    EXPECT_EQ(levels, (std::vector<std::pair<unsigned, int>>{{4, 1}, {4, 0}, {4, 1}, {4, 0}}));
}

TEST_F(GpioFsTest, RefusesAsTheKernelDoes) {
    ASSERT_EQ(writeAttribute("export", "5"), 0);
    EXPECT_EQ(writeAttribute("export", "5"), EBUSY);
    EXPECT_EQ(writeAttribute("unexport", "6"), EINVAL);
    for (const char* text : {"five", "5 ", "4294967296"})
        EXPECT_EQ(writeAttribute("export", text), EINVAL) << text;
    EXPECT_EQ(writeAttribute("gpio5/value", "1"), EPERM);                  // an input
    EXPECT_EQ(readAttribute("export"), "errno " + std::to_string(EACCES)); // write-only
    EXPECT_EQ(readAttribute("gpio05/direction"), "errno " + std::to_string(ENOENT));

    // A value file opened before an unexport is dead, even after the line comes back.
    ASSERT_EQ(writeAttribute("gpio5/direction", "out"), 0);
    const int fd = openAttribute("gpio5/value", O_WRONLY);
    ASSERT_EQ(writeAttribute("unexport", "5\n"), 0);
    EXPECT_EQ(readAttribute("gpio5/direction"), "errno " + std::to_string(ENOENT));
    EXPECT_EQ(gpio.fs.value(5), -1);
    ASSERT_EQ(writeAttribute("export", "5"), 0);
    EXPECT_EQ(readAttribute("gpio5/direction"), "in\n");
    errno = 0;
    EXPECT_EQ(::write(fd, "1", 1), -1);
    EXPECT_EQ(errno, ENODEV);
    ::close(fd);
}

} // namespace
