#pragma once
// A fake /sys/class/gpio for one test: mounted in a private mount namespace so that the production
// paths stay fixed and the host is never touched. Fails the test loudly when that is not possible.
#include "gpiofs/GpioFs.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {

// Enters the private mount namespace once per process; returns the reason when that failed.
inline const std::string& gpioNamespaceFailure() {
    static const std::string failure = [] {
        std::string error;
        return gpiofs::enterPrivateMountNamespace(error) ? std::string() : error;
    }();
    return failure;
}

// For a test binary's start (a gtest Environment or main): without the namespace no GPIO test can
// mean anything, so stop the whole binary with the reason instead of letting tests skip or mislead.
inline void enterGpioNamespaceOrDie() {
    if (!gpioNamespaceFailure().empty()) {
        std::fprintf(stderr, "FATAL: cannot fake /sys/class/gpio: %s\n", gpioNamespaceFailure().c_str());
        std::exit(1);
    }
}

class GpioNamespaceEnvironment : public ::testing::Environment {
public:
    void SetUp() override { enterGpioNamespaceOrDie(); }
};

// Owns a GpioFs mounted at /sys/class/gpio until destruction. Faults, lines exported before the run
// and the value callback can be set on `fs` before or after mounting.
class FakeGpio {
public:
    FakeGpio() = default;
    ~FakeGpio() { fs.unmount(); }
    FakeGpio(const FakeGpio&) = delete;
    FakeGpio& operator=(const FakeGpio&) = delete;

    // Use as ASSERT_NO_FATAL_FAILURE(gpio.mountOrFail()).
    void mountOrFail() {
        ASSERT_EQ(gpioNamespaceFailure(), "") << "cannot enter the private mount namespace";
        std::string error;
        ASSERT_TRUE(fs.mount("/sys/class/gpio", error)) << "cannot mount the fake GPIO: " << error;
    }

    gpiofs::GpioFs fs;
};

// A fixture with a fresh fake GPIO tree mounted for every test.
class FakeGpioTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(gpio.mountOrFail()); }

    FakeGpio gpio;
};

} // namespace testsupport
