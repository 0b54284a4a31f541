// The fake sysfs GPIO driven through plain POSIX calls, only where it must be as strict as the
// kernel: a tool that wrote a word or a number the kernel refuses, or wrote to a line in the wrong
// state, must fail here as on a gateway. What the tool's own GPIO code writes, and the faults the
// fake injects, are shown through that code (tests/unit/pin_test.cpp, chip_test.cpp); the export and
// look-up of the reset line, by every end-to-end row.
#include "support/FakeGpio.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const auto* const gpioNamespace =
    ::testing::AddGlobalTestEnvironment(new testsupport::GpioNamespaceEnvironment);

// Open and one write of `text` as it stands (or, without one, one read of up to 32 bytes): what was
// read, or "errno N" of the failing call.
std::string access(const std::string& name, const char* text = nullptr) {
    char buffer[32];
    const int fd = ::open(("/sys/class/gpio/" + name).c_str(), text ? O_WRONLY : O_RDONLY);
    const ssize_t count = fd < 0 ? -1
                          : text ? ::write(fd, text, strlen(text))
                                 : ::read(fd, buffer, sizeof buffer);
    const std::string result = count < 0 ? "errno " + std::to_string(errno)
                               : text    ? ""
                                         : std::string(buffer, size_t(count));
    ::close(fd);
    return result;
}

using GpioFsTest = testsupport::FakeGpioTest;

// Steps in order; an exported line starts as an input at level 0. `level`: line 4's afterwards.
TEST_F(GpioFsTest, AnswersAsTheKernelDoes) {
    const auto error = [](int number) { return "errno " + std::to_string(number); };
    const struct {
        const char* name;
        const char* written; // none: a read
        std::string result;
        int level = -2;
    } steps[] = {
        // clang-format off
        {"export", "4", "", 0}, {"gpio4/value", nullptr, "0\n"},
        {"gpio4/direction", "high", "", 1}, {"gpio4/direction", nullptr, "out\n"},
        {"gpio4/direction", "in", "", 1}, {"gpio4/direction", nullptr, "in\n"},
        {"gpio4/direction", "low\n", "", 0}, {"gpio4/direction", nullptr, "out\n"},
        {"gpio4/direction", "high\n", "", 1}, {"gpio4/direction", nullptr, "out\n"},
        {"gpio4/direction", "out", "", 0}, {"gpio4/direction", nullptr, "out\n"}, // "out" drives low
        {"gpio4/direction", "up", error(EINVAL), 0}, {"gpio4/direction", "in\n\n", error(EINVAL), 0},
        {"gpio4/direction", nullptr, "out\n"},
        {"export", "5", ""}, {"export", "5", error(EBUSY)}, {"unexport", "6", error(EINVAL)},
        {"export", "five", error(EINVAL)}, {"export", "5 ", error(EINVAL)}, {"export", "4294967296", error(EINVAL)},
        {"gpio5/value", "1", error(EPERM)}, // an input
        {"export", nullptr, error(EACCES)}, // write-only
        {"gpio05/direction", nullptr, error(ENOENT)}, {"gpio5/direction", "out", ""},
    }; // clang-format on
    std::vector<std::pair<unsigned, int>> levels;
    gpio.fs.onValue([&](unsigned line, int level) { levels.emplace_back(line, level); });
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.name) + " " + (step.written ? step.written : "(read)"));
        EXPECT_EQ(access(step.name, step.written), step.result);
        EXPECT_TRUE(step.level == -2 || gpio.fs.value(4) == step.level) << gpio.fs.value(4);
    }
    // Driven levels only: an input changes nothing, an output driven low is driven.
    EXPECT_EQ(levels, (std::vector<std::pair<unsigned, int>>{{4, 1}, {4, 0}, {4, 1}, {4, 0}, {5, 0}}));

    // A value file opened before an unexport is dead, even after the line comes back.
    const int fd = ::open("/sys/class/gpio/gpio5/value", O_WRONLY);
    ASSERT_EQ(access("unexport", "5\n"), "");
    EXPECT_EQ(access("gpio5/direction"), error(ENOENT));
    EXPECT_EQ(gpio.fs.value(5), -1);
    ASSERT_EQ(access("export", "5"), "");
    EXPECT_EQ(access("gpio5/direction"), "in\n");
    errno = 0;
    EXPECT_EQ(::write(fd, "1", 1), -1);
    EXPECT_EQ(errno, ENODEV);
    ::close(fd);
}

} // namespace
