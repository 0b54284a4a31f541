#pragma once
// A chip on a scripted programming-interface peer, the console captured, and cancellation and busy
// limits put back after every test.
#include "ConsoleCapture.hpp"
#include "ProgrammingPeer.hpp"
#include "rawio/Cancel.hpp"
#include "rawio/TimeoutClock.hpp"
#include "zwave/Chip.hpp"
#include "zwave/Flasher.hpp"

#include <csignal>
#include <gtest/gtest.h>
#include <string>

class FlasherFixture : public ::testing::Test {
protected:
    ~FlasherFixture() override {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        RawIO::testing::clearCancellation();
        flasher::testing::setBusyLimits(DEFAULT_BUSY_LIMITS);
    }

    // A flasher whose enable was answered, with the enable exchange forgotten by the peer.
    Flasher& enabledFlasher() {
        flasherSlot.emplace(chip);
        EXPECT_TRUE(flasherSlot->isEnabled());
        peer.clearCommands();
        return *flasherSlot;
    }

    std::string messages() const { return console.messages(); }

    // The status line as last drawn, without the spaces that overwrote a longer one.
    std::string lastStatus() const {
        std::string text = console.stdoutText();
        size_t start = text.rfind('\r');
        text = start == std::string::npos ? text : text.substr(start + 1);
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }

    static size_t occurrences(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    ProgrammingPeer peer;
    ConsoleCapture console{console::testing::Streams::Terminals};
    Chip chip{peer.slavePath(), ChipMode::Programming};
    std::optional<Flasher> flasherSlot;
};
