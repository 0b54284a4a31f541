#pragma once
// A fake /sys/class/gpio for one test, mounted in a private mount namespace so that the production
// paths stay fixed and the host is never touched.
#include "gpiofs/GpioFs.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace testsupport {

// For a test binary's start: without the namespace no GPIO test can mean anything, so the whole
// binary stops with the reason instead of letting tests skip or mislead.
class GpioNamespaceEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        std::string error;
        if (!gpiofs::enterPrivateMountNamespace(error)) {
            std::fprintf(stderr, "FATAL: cannot fake /sys/class/gpio: %s\n", error.c_str());
            std::exit(1);
        }
    }
};

// A fresh fake GPIO tree for every test; faults and lines exported before may be set on `gpio`.
class FakeGpioTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(gpio.mount("/sys/class/gpio", error)) << "cannot mount the fake GPIO: " << error;
    }

    gpiofs::GpioFs gpio; // unmounted on destruction
};

} // namespace testsupport
