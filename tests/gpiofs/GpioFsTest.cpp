// The fake sysfs GPIO driven through plain POSIX calls, the way the tool uses /sys/class/gpio.
#include "support/FakeGpio.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
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

// One open and one read of up to 32 bytes; the errno of the failing call otherwise.
struct ReadResult {
    std::string text;
    int error;
};

ReadResult readAttribute(const std::string& relative) {
    const int fd = ::open(path(relative).c_str(), O_RDONLY);
    if (fd < 0)
        return {"", errno};
    char buffer[32];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    const int error = count < 0 ? errno : 0;
    ::close(fd);
    return {count < 0 ? "" : std::string(buffer, static_cast<size_t>(count)), error};
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
    DIR* dir = ::opendir("/sys/class/gpio");
    if (dir == nullptr)
        return names;
    while (const dirent* entry = ::readdir(dir))
        names.insert(entry->d_name);
    ::closedir(dir);
    return names;
}

using GpioFsTest = testsupport::FakeGpioTest;

// The tool's own sequence: a failed look-up, the export, and an immediate second look-up. Any
// caching of the absence or of the directory by the kernel would break one of these steps.
TEST_F(GpioFsTest, ExportShowsTheLineAtOnceAndUnexportRemovesIt) {
    EXPECT_EQ(readAttribute("gpio17/direction").error, ENOENT);
    EXPECT_EQ(readAttribute("gpio17/direction").error, ENOENT);
    ASSERT_EQ(writeAttribute("export", "17"), 0);
    EXPECT_EQ(readAttribute("gpio17/direction").text, "in\n");
    EXPECT_EQ(readAttribute("gpio17/value").text, "0\n");
    EXPECT_TRUE(gpio.fs.isExported(17));
    EXPECT_EQ(listRoot(), (std::set<std::string>{".", "..", "export", "unexport", "gpio17"}));
    EXPECT_EQ(readAttribute("gpio017/direction").error, ENOENT);

    ASSERT_EQ(writeAttribute("unexport", "17\n"), 0);
    EXPECT_EQ(readAttribute("gpio17/direction").error, ENOENT);
    EXPECT_FALSE(gpio.fs.isExported(17));
    EXPECT_EQ(gpio.fs.direction(17), "");
    EXPECT_EQ(gpio.fs.value(17), -1);

    ASSERT_EQ(writeAttribute("export", "17"), 0); // again, as a fresh line
    EXPECT_EQ(readAttribute("gpio17/direction").text, "in\n");
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
        EXPECT_EQ(readAttribute("gpio4/direction").text, row.readBack);
        EXPECT_EQ(gpio.fs.value(4), row.level);
    }
    using Levels = std::vector<std::pair<unsigned, int>>;
    EXPECT_EQ(levels, (Levels{{4, 1}, {4, 0}, {4, 1}, {4, 0}}));
}

// The value file stays open and is written one byte at a time without seeking; every write is in
// the log with its time, and the callback sees each level before the write returns.
TEST_F(GpioFsTest, ValueWritesWithoutSeekingAreLoggedInOrder) {
    std::vector<int> seen;
    gpio.fs.onValue([&](unsigned, int level) { seen.push_back(level); });
    ASSERT_EQ(writeAttribute("export", "23"), 0);
    ASSERT_EQ(writeAttribute("gpio23/direction", "low"), 0);
    const int fd = ::open(path("gpio23/value").c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << errno;
    for (const char* level : {"1", "0", "1"}) {
        EXPECT_EQ(::write(fd, level, 1), 1) << errno;
        EXPECT_EQ(gpio.fs.value(23), level[0] - '0');
        EXPECT_EQ(seen.back(), level[0] - '0');
    }
    EXPECT_EQ(::write(fd, "0\n", 2), 2);
    ::close(fd);
    EXPECT_EQ(readAttribute("gpio23/value").text, "0\n");
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 0, 1, 0}));

    const std::vector<gpiofs::Event> events = gpio.fs.events();
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0].kind, gpiofs::Event::Export);
    EXPECT_EQ(events[0].text, "23");
    EXPECT_EQ(events[1].kind, gpiofs::Event::Direction);
    EXPECT_EQ(events[1].text, "low");
    const char* values[] = {"1", "0", "1", "0\n"};
    for (size_t i = 2; i < events.size(); ++i) {
        EXPECT_EQ(events[i].kind, gpiofs::Event::Value);
        EXPECT_EQ(events[i].gpio, 23u);
        EXPECT_EQ(events[i].text, values[i - 2]);
        EXPECT_EQ(events[i].error, 0);
    }
    // CLOCK_MONOTONIC, so a test can compare it with its own clock.
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    for (size_t i = 1; i < events.size(); ++i)
        EXPECT_LT(events[i - 1].monotonicNs, events[i].monotonicNs);
    EXPECT_LE(events.back().monotonicNs, now);
    EXPECT_GT(events.front().monotonicNs, now - 10'000'000'000);
}

TEST_F(GpioFsTest, RefusesAsTheKernelDoes) {
    ASSERT_EQ(writeAttribute("export", "5"), 0);
    EXPECT_EQ(writeAttribute("export", "5"), EBUSY);
    EXPECT_EQ(writeAttribute("unexport", "6"), EINVAL);
    EXPECT_EQ(writeAttribute("export", "five"), EINVAL);
    EXPECT_EQ(writeAttribute("export", "5 "), EINVAL);
    EXPECT_EQ(writeAttribute("export", "4294967296"), EINVAL);
    EXPECT_EQ(writeAttribute("gpio5/value", "1"), EPERM); // an input
    EXPECT_EQ(readAttribute("export").error, EACCES);     // write-only
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

    const std::vector<gpiofs::Event> events = gpio.fs.events();
    std::vector<std::pair<gpiofs::Event::Kind, int>> outcomes;
    for (const gpiofs::Event& event : events)
        outcomes.emplace_back(event.kind, event.error);
    using E = gpiofs::Event;
    EXPECT_EQ(outcomes, (std::vector<std::pair<E::Kind, int>>{{E::Export, 0},
                                                              {E::Export, EBUSY},
                                                              {E::Unexport, EINVAL},
                                                              {E::Export, EINVAL},
                                                              {E::Export, EINVAL},
                                                              {E::Export, EINVAL},
                                                              {E::Value, EPERM},
                                                              {E::Direction, 0},
                                                              {E::Unexport, 0},
                                                              {E::Export, 0},
                                                              {E::Value, ENODEV}}));
}

// EACCES on the first k direction writes counts again after every export, and also applies to a
// line that was exported before the run.
TEST_F(GpioFsTest, FaultsAreInjectedPerExport) {
    gpio.fs.setFaults({.eaccesDirectionWrites = 2});
    gpio.fs.preExport(9, "out", 1);
    EXPECT_EQ(readAttribute("gpio9/direction").text, "out\n");
    EXPECT_EQ(readAttribute("gpio9/value").text, "1\n");
    EXPECT_EQ(writeAttribute("export", "9"), EBUSY);
    EXPECT_EQ(writeAttribute("gpio9/direction", "low"), EACCES);

    ASSERT_EQ(writeAttribute("export", "3"), 0);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(writeAttribute("gpio3/direction", "high"), EACCES);
        EXPECT_EQ(writeAttribute("gpio3/direction", "high"), EACCES);
        EXPECT_EQ(gpio.fs.direction(3), "in");
        EXPECT_EQ(writeAttribute("gpio3/direction", "high"), 0);
        EXPECT_EQ(gpio.fs.value(3), 1);
        ASSERT_EQ(writeAttribute("unexport", "3"), 0);
        ASSERT_EQ(writeAttribute("export", "3"), 0);
    }

    gpio.fs.setFaults({.einvalOnDirection = true, .eaccesOnValueOpen = true});
    EXPECT_EQ(writeAttribute("gpio3/direction", "in"), EINVAL);
    EXPECT_EQ(::open(path("gpio3/value").c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(readAttribute("gpio3/direction").text, "in\n"); // direction still readable

    gpio.fs.setFaults({.ebusyOnExport = true});
    EXPECT_EQ(writeAttribute("export", "8"), EBUSY);
    EXPECT_FALSE(gpio.fs.isExported(8));
}

// Tests mount a fresh tree each; stopping must be quick and must not wait for files still open.
TEST(GpioFsMount, RepeatedMountsEndQuicklyEvenWithOpenFiles) {
    for (int cycle = 0; cycle < 5; ++cycle) {
        SCOPED_TRACE(cycle);
        const auto start = std::chrono::steady_clock::now();
        int fd = -1;
        {
            testsupport::FakeGpio gpio;
            ASSERT_NO_FATAL_FAILURE(gpio.mountOrFail());
            EXPECT_EQ(readAttribute("gpio1/direction").error, ENOENT); // nothing left from before
            gpio.fs.preExport(1, "high");
            fd = ::open(path("gpio1/value").c_str(), O_WRONLY);
            ASSERT_GE(fd, 0) << errno;
            EXPECT_EQ(::write(fd, "0", 1), 1);
        } // unmounted with fd still open
        EXPECT_EQ(::write(fd, "1", 1), -1);
        ::close(fd);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
    gpiofs::GpioFs unmounted; // never mounted: destruction and unmount() are harmless
    unmounted.unmount();
}

} // namespace
