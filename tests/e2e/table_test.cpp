// Runs one row of a table: the tool with the row's arguments against a fresh emulator, then every
// check the row names. Every row also asks that no temporary file of an atomic write is left.
#include "Table.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <unistd.h>

namespace emutest {

std::string expand(const std::string& text, const Emu& emu) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t end = text.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-_", i + 1);
        std::string name = text[i] == '@' ? text.substr(i + 1, end - i - 1) : "";
        result += name.empty()     ? std::string(1, text[i])
                  : name == "tool" ? Emu::toolCommand().back()
                                   : emu.path(name);
        i += name.size();
    }
    return result;
}

unsigned signalSeed() {
    static const char* given = getenv("TARNWICK_SIGNAL_SEED");
    static const unsigned seed = given ? unsigned(strtoul(given, nullptr, 10)) : unsigned(time(nullptr));
    return seed;
}

namespace {

Lines expandAll(Lines texts, const Emu& emu) {
    for (std::string& text : texts)
        text = expand(text, emu);
    return texts;
}

void checkRow(const Row& row, Emu& emu, const RunResult& r) {
    SCOPED_TRACE("signal " + std::to_string(row.signal.signal) + " after trace line " +
                 std::to_string(row.signal.occurrence) + " holding \"" + row.signal.tracePattern +
                 "\" (TARNWICK_SIGNAL_SEED=" + std::to_string(signalSeed()) + "), in " + emu.path(""));
    ASSERT_TRUE(row.signal.signal == 0 || r.signalledAt >= 0) << "ended before its moment:\n" << r.err;

    const std::string word = row.word ? row.word : row.exitStatus == 0 ? "Done" : "Failed";
    // A loaded machine can delay a reply past its timeout: in a cancelled run, the dump of an exchange
    // retried on the way to the signal is no failure. A safety copy's time stamp reads "<stamp>".
    Lines lines;
    for (std::string line : messageLines(r.err)) {
        size_t stamp = line.find("Z.bin"); // "-YYYYMMDDTHHMMSSZ.bin"
        if (line.find("/var/lib/tarnwick/nvm-") != std::string::npos && stamp != std::string::npos &&
            stamp >= 16 && line.find_last_not_of("0123456789T", stamp - 1) == stamp - 16)
            line.replace(stamp - 15, 20, "<stamp>.bin");
        const std::string head = line.substr(0, line.find(": <"));
        if (word != "Cancelled" ||
            !(line.empty() || head == " Sent" || head == "Recvd" || head == "Response" || head == "Expected"))
            lines.push_back(line);
    }
    Lines expected = expandAll(row.lines, emu);
    if (row.linesUpTo && lines.size() <= expected.size())
        expected.resize(lines.size());
    if (row.linesAmong) {
        auto isError = [](const std::string& line) { return line.rfind("Error: ", 0) == 0; };
        auto error = std::find_if(lines.rbegin(), lines.rend(), isError);
        auto expectedError = std::find_if(expected.rbegin(), expected.rend(), isError);
        EXPECT_EQ(error == lines.rend() ? "" : *error,
                  expectedError == expected.rend() ? "" : *expectedError);
        EXPECT_TRUE(error == lines.rend() || std::count(lines.begin(), lines.end(), *error) == 1) << r.err;
        for (const std::string& line : expected)
            EXPECT_TRUE(hasLine(lines, line)) << line << " not among:\n" << r.err;
    } else {
        EXPECT_EQ(lines, expected);
    }
    EXPECT_EQ(r.exitStatus, row.exitStatus);
    EXPECT_EQ(lastStatusWord(r.out), word);
    for (const std::string& text : expandAll(row.shown, emu))
        EXPECT_NE(r.out.find(text), std::string::npos) << text << " not in:\n" << r.out;
    EXPECT_GE(r.seconds, row.minSeconds);
    EXPECT_TRUE(word != "Cancelled" || r.seconds - r.signalledAt < 2.0) << "the hang guard";
    for (const auto& [name, make] : row.files) {
        const std::string path = expand(name, emu);
        EXPECT_TRUE(make ? Emu::readFile(path) == make() : access(path.c_str(), F_OK) != 0)
            << path << (make ? " differs" : " exists");
    }
    for (const auto& entry : std::filesystem::directory_iterator(emu.path("")))
        EXPECT_EQ(entry.path().string().find(".tmp-"), std::string::npos) << entry.path() << " left behind";
    // The reset line is given back: the emulator starts with it unexported.
    EXPECT_FALSE(std::filesystem::exists("/sys/class/gpio/gpio17"));

    const Lines trace = emu.trace();
    // A cancelled tool stops at its next wait. Requests the module read after the signal went out:
    // the one under way, the NVM's close, and the few a busy machine lets pass before the signal lands.
    size_t requestsAfter = 0;
    for (size_t i = r.firstTraceLine; word == "Cancelled" && i < trace.size(); ++i)
        requestsAfter +=
            std::stoll(trace[i]) > r.signalClock && (trace[i].find(" in frame ") != std::string::npos ||
                                                     trace[i].find(" in prog ") != std::string::npos);
    EXPECT_LE(requestsAfter, 5u);
    for (const std::string& fault : row.options.faults)
        EXPECT_TRUE(word == "Cancelled" || !row.shell.empty() ||
                    countLines(trace, " event fault " + fault.substr(0, fault.find(':')) + " ") > 0)
            << "the fault never fired: " << fault;
    for (const auto& [text, count, waitMs] : row.counts) {
        std::vector<double> times; // ms
        for (size_t at = indexOf(trace, text); at < trace.size(); at = indexOf(trace, text, at + 1))
            times.push_back(std::strtod(trace[at].c_str(), nullptr) / 1e6);
        EXPECT_TRUE(count == ANY || times.size() == count) << text << ": " << times.size() << " lines";
        double shortest = HUGE_VAL; // the shortest gap long enough to be the wait
        for (size_t i = 1; i < times.size(); ++i)
            if (times[i] - times[i - 1] >= waitMs - 100)
                shortest = std::min(shortest, times[i] - times[i - 1]);
        EXPECT_TRUE(waitMs == 0 || shortest < waitMs + 1000)
            << text << ": no wait of " << waitMs << " ms, or the shortest (" << shortest
            << " ms) a second more";
    }
    for (size_t i = 0, from = 0; i < row.order.size(); ++i, ++from) {
        from = indexOf(trace, row.order[i], from);
        EXPECT_LT(from, trace.size()) << row.order[i] << " missing or out of order";
    }
    EXPECT_TRUE(!row.flash || emu.state("flash.bin") == row.flash()) << "the module's flash differs";
    if (row.nvm) {
        Bytes nvm = emu.state("nvm.bin"), expected = row.nvm();
        expected.resize(std::max(nvm.size(), expected.size())); // zeros after the row's bytes
        EXPECT_TRUE(nvm == expected) << "the module's NVM differs";
    }
    if (row.check)
        row.check(emu);
}

} // namespace

TEST_P(Tool, Run) {
    runRow(GetParam());
}

void runRow(const Row& row) {
    // A run in which the machine held pty input or the emulator back (its "event stall", or an
    // emulator that did not get to end when asked) says nothing about the tool's retries and waits:
    // it is run again, up to three times, and skipped, saying so, when the machine stalled every run.
    for (int attempt = 1; attempt <= 3; ++attempt) {
        Emu emu = Emu::start(row.options);
        for (const auto& [name, make] : row.inputs)
            Emu::writeFile(emu.path(name), make());
        RunResult r = emu.run(expandAll(row.arguments, emu), row.signal, expand(row.shell, emu));
        size_t stalls = countLines(emu.trace(), " event stall ") + emu.wasKilled();
        if (stalls == 0)
            return checkRow(row, emu, r);
        std::printf("run %d: the machine stalled %zu times\n", attempt, stalls);
    }
    GTEST_SKIP() << "the machine stalled in each of three runs";
}

} // namespace emutest
