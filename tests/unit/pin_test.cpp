#include "StderrCapture.hpp"
#include "gpio/Pin.hpp"
#include "gpio/paths.hpp"
#include "rawio/Files.hpp"
#include "support/FakeGpio.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const auto* const gpioNamespace =
    ::testing::AddGlobalTestEnvironment(new testsupport::GpioNamespaceEnvironment);

using gpiofs::Event;
using Lines = std::vector<std::string>;

// "kind gpio text" for each write the fake saw, with " !errno" when it was refused.
std::vector<std::string> writes(const gpiofs::GpioFs& fs) {
    static const char* const KINDS[] = {"export", "unexport", "direction", "value"};
    std::vector<std::string> seen;
    for (const Event& event : fs.events()) {
        std::string line =
            std::string(KINDS[event.kind]) + " " + std::to_string(event.gpio) + " " + event.text;
        if (event.error != 0)
            line += " !" + std::to_string(event.error);
        seen.push_back(line);
    }
    return seen;
}

class PinTest : public testsupport::FakeGpioTest {};

TEST_F(PinTest, AnInputExportedBeforeIsUsedAsFoundAndLeftExported) {
    gpio.fs.preExport(17, "in");
    {
        Pin pin(17, false, 0);
        EXPECT_TRUE(pin.exporter().configured());
        EXPECT_FALSE(pin.exporter().exported());
        EXPECT_TRUE(pin.isOpen());
    }
    EXPECT_EQ(writes(gpio.fs), Lines{});
    EXPECT_TRUE(gpio.fs.isExported(17));
}

TEST_F(PinTest, AnOutputRequestedLowIsAlwaysDrivenLow) {
    gpio.fs.preExport(17, "out", 1);
    {
        Pin pin(17, true, 0);
        EXPECT_TRUE(pin.isOpen());
        EXPECT_EQ(gpio.fs.value(17), 0);
        EXPECT_TRUE(pin.setValue(1));
        EXPECT_TRUE(pin.setValue(0));
    }
    EXPECT_EQ(writes(gpio.fs), (Lines{"direction 17 low", "value 17 1", "value 17 0"}));
    EXPECT_TRUE(gpio.fs.isExported(17));
}

TEST_F(PinTest, ALineExportedHereIsUnexportedOnDestruction) {
    {
        Pin pin(5, true, 2);
        EXPECT_TRUE(pin.exporter().exported());
        EXPECT_TRUE(pin.exporter().configured());
        EXPECT_EQ(gpio.fs.direction(5), "out");
    }
    EXPECT_EQ(writes(gpio.fs), (Lines{"export 5 5", "direction 5 out", "unexport 5 5"}));
    EXPECT_FALSE(gpio.fs.isExported(5));
}

TEST_F(PinTest, PermissionDeniedAfterOurExportIsRetriedWithDoublingSleeps) {
    gpio.fs.setFaults({.eaccesDirectionWrites = 3});
    // The shortest of three rounds is compared closely; scheduling delays only ever add.
    const double expectedMs[] = {1.024, 2.048, 4.096};
    double shortestMs[] = {1e9, 1e9, 1e9};
    for (int round = 0; round < 3; ++round) {
        size_t seen = gpio.fs.events().size();
        StderrCapture errors;
        {
            Pin pin(17, true, 0);
            EXPECT_TRUE(pin.isOpen());
        }
        EXPECT_EQ(errors.lines(true), Lines{});

        std::vector<Event> events = gpio.fs.events();
        std::vector<Event> directions;
        for (size_t i = seen; i < events.size(); ++i)
            if (events[i].kind == Event::Direction)
                directions.push_back(events[i]);
        ASSERT_EQ(directions.size(), 4u);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(directions[i].error, EACCES);
            double gapMs = double(directions[i + 1].monotonicNs - directions[i].monotonicNs) / 1e6;
            EXPECT_GE(gapMs, expectedMs[i]) << "retry " << i;
            shortestMs[i] = std::min(shortestMs[i], gapMs);
        }
        EXPECT_EQ(directions[3].error, 0);
    }
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_LT(shortestMs[i], expectedMs[i] + 1.0) << "retry " << i;
        std::printf("retry %zu: slept %.3f ms (asked %.3f)\n", i, shortestMs[i], expectedMs[i]);
    }
}

TEST_F(PinTest, PermissionDeniedOnALineExportedBeforeIsNotRetried) {
    gpio.fs.preExport(17, "in");
    gpio.fs.setFaults({.eaccesDirectionWrites = 1});
    StderrCapture errors;
    {
        Pin pin(17, true, 1);
        EXPECT_FALSE(pin.isOpen());
        EXPECT_FALSE(pin.exporter().configured());
    }
    EXPECT_EQ(errors.lines(true), Lines{"/sys/class/gpio/gpio17/direction: Permission denied"});
    EXPECT_EQ(writes(gpio.fs), Lines{"direction 17 high !13"});
}

TEST_F(PinTest, FailuresPrintOneLineAndLeaveThePinClosed) {
    gpio.fs.setFaults({.ebusyOnExport = true});
    StderrCapture exportErrors;
    EXPECT_FALSE(Pin(17, true, 0).isOpen());
    EXPECT_EQ(exportErrors.lines(true), Lines{"GPIO: unable to export GPIO 17."});

    gpio.fs.setFaults({.einvalOnDirection = true});
    StderrCapture directionErrors;
    {
        Pin pin(18, true, 0);
        EXPECT_FALSE(pin.isOpen());
        EXPECT_TRUE(pin.exporter().exported());
    }
    EXPECT_EQ(directionErrors.lines(true), Lines{"/sys/class/gpio/gpio18/direction: Write failed"});
    EXPECT_FALSE(gpio.fs.isExported(18));

    // A value file that cannot be opened is reported by isOpen() alone.
    gpio.fs.setFaults({.eaccesOnValueOpen = true});
    StderrCapture valueErrors;
    Pin pin(19, true, 0);
    EXPECT_TRUE(pin.exporter().configured());
    EXPECT_FALSE(pin.isOpen());
    EXPECT_FALSE(pin.setValue(1));
    EXPECT_EQ(valueErrors.lines(true), Lines{});
}

TEST_F(PinTest, AFailedUnexportKeepsTheFlags) {
    PinExporter exporter(17, false, 0);
    ASSERT_TRUE(exporter.exported());
    ASSERT_EQ(RawIO::writeStringFile(gpio::unexportPath, "17"), RawIO::OK);
    StderrCapture errors;
    EXPECT_FALSE(exporter.unexport());
    EXPECT_TRUE(exporter.exported());
    EXPECT_TRUE(exporter.configured());
    EXPECT_EQ(errors.lines(true), Lines{"GPIO: unable to unexport GPIO 17."});
    // Exported again by someone else: now our unexport succeeds, once.
    ASSERT_EQ(RawIO::writeStringFile(gpio::exportPath, "17"), RawIO::OK);
    EXPECT_TRUE(exporter.unexport());
    EXPECT_FALSE(exporter.exported());
    EXPECT_TRUE(exporter.unexport());
}

TEST_F(PinTest, MovesHandOverTheExportSoItIsUndoneOnce) {
    {
        Pin first(17, true, 0);
        Pin second(std::move(first));
        EXPECT_FALSE(first.isOpen());
        EXPECT_FALSE(first.exporter().exported());
        EXPECT_TRUE(second.isOpen());
        EXPECT_TRUE(second.setValue(1));

        Pin third(18, true, 1);
        third = std::move(second); // 18 is let go before 17 is taken over
        EXPECT_FALSE(gpio.fs.isExported(18));
        EXPECT_TRUE(third.setValue(0));
        third = std::move(third);
        EXPECT_TRUE(third.isOpen());

        Pin empty;
        EXPECT_FALSE(empty.isOpen());
        EXPECT_FALSE(empty.setValue(1));
    }
    EXPECT_EQ(writes(gpio.fs),
              (Lines{"export 17 17", "direction 17 low", "value 17 1", "export 18 18", "direction 18 high",
                     "unexport 18 18", "value 17 0", "unexport 17 17"}));
}

} // namespace
