// The fake sysfs GPIO driven through plain POSIX calls, the way the tool uses /sys/class/gpio: the
// kernel's answers that the tool's GPIO code relies on (a line exported before, a failed unexport,
// a value file of an earlier export) must come from the fake as the kernel gives them. Value writes
// with their time stamps and the injected faults are shown through the tool's own GPIO code
// (tests/unit/pin_test.cpp, chip_test.cpp).
#include "support/FakeGpio.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const auto* const gpioNamespace =
    ::testing::AddGlobalTestEnvironment(new testsupport::GpioNamespaceEnvironment);

std::string path(const std::string& relative) {
    return "/sys/class/gpio/" + relative;
}

// One open and one read of up to 32 bytes: the text, or the errno of the failing call.
std::string readAttribute(const std::string& relative) {
    const int fd = ::open(path(relative).c_str(), O_RDONLY);
    if (fd < 0)
        return "errno " + std::to_string(errno);
    char buffer[32];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    const int error = errno;
    ::close(fd);
    return count < 0 ? "errno " + std::to_string(error) : std::string(buffer, static_cast<size_t>(count));
}

// Open write-only and one write of the text as it stands; 0 or the errno of the failing call.
int writeAttribute(const std::string& relative, const std::string& text) {
    const int fd = ::open(path(relative).c_str(), O_WRONLY);
    if (fd < 0)
        return errno;
    const ssize_t count = ::write(fd, text.data(), text.size());
    const int error = count < 0 ? errno : count == static_cast<ssize_t>(text.size()) ? 0 : EIO;
    ::close(fd);
    return error;
}

std::set<std::string> listRoot() {
    std::set<std::string> names;
    if (DIR* dir = ::opendir("/sys/class/gpio")) {
        while (const dirent* entry = ::readdir(dir))
            names.insert(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

using GpioFsTest = testsupport::FakeGpioTest;

// The tool's own sequence: a failed look-up, the export, and an immediate second look-up. Any
// caching of the absence or of the directory by the kernel would break one of these steps.
TEST_F(GpioFsTest, ExportShowsTheLineAtOnceAndUnexportRemovesIt) {
    const std::string missing = "errno " + std::to_string(ENOENT);
    EXPECT_EQ(readAttribute("gpio17/direction"), missing);
    EXPECT_EQ(readAttribute("gpio17/direction"), missing);
    ASSERT_EQ(writeAttribute("export", "17"), 0);
    EXPECT_EQ(readAttribute("gpio17/direction"), "in\n");
    EXPECT_EQ(readAttribute("gpio17/value"), "0\n");
    EXPECT_TRUE(gpio.fs.isExported(17));
    EXPECT_EQ(listRoot(), (std::set<std::string>{".", "..", "export", "unexport", "gpio17"}));
    EXPECT_EQ(readAttribute("gpio017/direction"), missing);
    ASSERT_EQ(writeAttribute("unexport", "17\n"), 0);
    EXPECT_EQ(readAttribute("gpio17/direction"), missing);
    EXPECT_FALSE(gpio.fs.isExported(17));
    EXPECT_EQ(gpio.fs.value(17), -1);
    ASSERT_EQ(writeAttribute("export", "17"), 0); // again, as a fresh line
    EXPECT_EQ(readAttribute("gpio17/direction"), "in\n");
}

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
    EXPECT_EQ(gpio.fs.value(5), 0);

    // A value file opened before an unexport is dead, even after the line comes back.
    ASSERT_EQ(writeAttribute("gpio5/direction", "out"), 0);
    const int fd = ::open(path("gpio5/value").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << errno;
    ASSERT_EQ(writeAttribute("unexport", "5"), 0);
    ASSERT_EQ(writeAttribute("export", "5"), 0);
    errno = 0;
    EXPECT_EQ(::write(fd, "1", 1), -1);
    EXPECT_EQ(errno, ENODEV);
    ::close(fd);
}

} // namespace
