#pragma once
// A fake /sys/class/gpio for one test, mounted in a private mount namespace so that the production
// paths stay fixed and the host is never touched.
#include "gpiofs/GpioFs.hpp"

#include <gtest/gtest.h>

namespace testsupport {

// A fresh fake GPIO tree for every test; faults and lines exported before may be set on `gpio`.
class FakeGpioTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Once, on the test thread before any thread of the fake: a namespace is left to the threads
        // started after it. Without it no mount happens and every GPIO test fails with the reason.
        static std::string why;
        static const bool isolated = gpiofs::enterPrivateMountNamespace(why);
        ASSERT_TRUE(isolated) << "cannot fake /sys/class/gpio: " << why;
        std::string error;
        ASSERT_TRUE(gpio.mount("/sys/class/gpio", error)) << "cannot mount the fake GPIO: " << error;
    }

    gpiofs::GpioFs gpio; // unmounted on destruction
};

} // namespace testsupport
