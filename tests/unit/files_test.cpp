#include "rawio/Exception.hpp"
#include "rawio/Files.hpp"

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class TemporaryDirectory {
public:
    TemporaryDirectory() {
        char pattern[] = "/tmp/tarnwick-files-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TemporaryDirectory() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const char* name) const { return path + "/" + name; }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        DIR* dir = ::opendir(path.c_str());
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
        return names;
    }

    std::string path;
};

void putFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string fileContent(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

View viewOf(const std::string& text) {
    return View(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string textOf(View view) {
    return std::string(reinterpret_cast<const char*>(view.data()), view.size());
}

// The exception a call raised, or error -1 and no message when it raised none.
RawIO::Exception raisedBy(const std::function<void()>& call) {
    try {
        call();
    } catch (const RawIO::Exception& e) {
        return e;
    }
    return RawIO::Exception(-1, "");
}

// Runs `body` in a forked child inside a private mount namespace; returns what the child
// reported (empty when the body succeeded). A child keeps the test process's threads and
// mounts out of it.
std::string inPrivateMountNamespace(const std::function<std::string()>& body) {
    int report[2];
    if (::pipe(report) != 0)
        return "pipe failed";
    pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        std::string failure;
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            failure = std::string("cannot enter a private mount namespace: ") + std::strerror(errno);
        else
            failure = body();
        ssize_t ignored = ::write(report[1], failure.data(), failure.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(report[1]);
    std::string failure;
    char chunk[256];
    ssize_t n;
    while ((n = ::read(report[0], chunk, sizeof chunk)) > 0)
        failure.append(chunk, size_t(n));
    ::close(report[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        failure += " (child did not exit cleanly)";
    return failure;
}

TEST(ReadFile, FillsStorageExactlyAndRefusesOneByteMore) {
    TemporaryDirectory dir;
    uint8_t storage[8];
    putFile(dir.file("exact"), "12345678");
    View got = RawIO::readFile(dir.file("exact"), Span(storage));
    EXPECT_EQ(got.data(), storage);
    EXPECT_EQ(textOf(got), "12345678");

    putFile(dir.file("over"), "abcdefghi");
    RawIO::Exception e = raisedBy([&] { RawIO::readFile(dir.file("over"), Span(storage)); });
    EXPECT_EQ(e.error, 0);
    EXPECT_STREQ(e.what(), "file bigger than buffer");
    EXPECT_EQ(textOf(View(storage, 8)), "abcdefgh");

    putFile(dir.file("empty"), "");
    EXPECT_TRUE(RawIO::readFile(dir.file("empty"), Span(storage)).empty());
    EXPECT_TRUE(RawIO::readFile(dir.file("empty"), Span()).empty());
    EXPECT_STREQ(raisedBy([&] { RawIO::readFile(dir.file("exact"), Span()); }).what(),
                 "file bigger than buffer");

    e = raisedBy([&] { RawIO::readFile(dir.file("missing"), Span(storage)); });
    EXPECT_EQ(e.error, ENOENT);
    EXPECT_STREQ(e.what(), "IO-Error on open()");
}

TEST(ReadFile, AssemblesAFifoThatArrivesInPieces) {
    TemporaryDirectory dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        FileDescriptor out(::open(fifo.c_str(), O_WRONLY));
        for (const char* piece : {"first ", "second ", "third"}) {
            ASSERT_GT(::write(out.get(), piece, std::strlen(piece)), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    uint8_t storage[64];
    View got = RawIO::readFile(fifo, Span(storage));
    writer.join();
    EXPECT_EQ(textOf(got), "first second third");
}

TEST(WriteFile, CreatesWithTheUmaskAndLeavesNoTemporaryFile) {
    TemporaryDirectory dir;
    mode_t previous = ::umask(027);
    RawIO::writeFile(dir.file("backup.bin"), viewOf("network"));
    ::umask(previous);
    EXPECT_EQ(fileContent(dir.file("backup.bin")), "network");
    struct stat status;
    ASSERT_EQ(::stat(dir.file("backup.bin").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"backup.bin"});

    RawIO::writeFile(dir.file("backup.bin"), View());
    EXPECT_EQ(fileContent(dir.file("backup.bin")), "");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"backup.bin"});
}

TEST(WriteFile, ReplacesAnExistingFileKeepingItsPermissionBits) {
    TemporaryDirectory dir;
    std::string path = dir.file("nvm.bin");
    putFile(path, "an older and longer image");
    ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
    RawIO::writeFile(path, viewOf("new"));
    EXPECT_EQ(fileContent(path), "new");
    struct stat status;
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0604u);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"nvm.bin"});
}

TEST(WriteFile, WritesThroughALinkAndKeepsIt) {
    TemporaryDirectory dir;
    putFile(dir.file("real"), "old");
    ASSERT_EQ(::symlink(dir.file("real").c_str(), dir.file("link").c_str()), 0);
    RawIO::writeFile(dir.file("link"), viewOf("through"));
    struct stat status;
    ASSERT_EQ(::lstat(dir.file("link").c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(fileContent(dir.file("real")), "through");
}

TEST(WriteFile, WritesAFifoInPlace) {
    TemporaryDirectory dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = fileContent(fifo); });
    RawIO::Exception e = raisedBy([&] { RawIO::writeFile(fifo, viewOf("streamed")); });
    EXPECT_STREQ(e.what(), "");
    if (e.error != -1) // the reader may still wait for a writer
        FileDescriptor(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    reader.join();
    EXPECT_EQ(received, "streamed");
    struct stat status;
    ASSERT_EQ(::stat(fifo.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
}

TEST(WriteFile, FailsOnAMissingDirectory) {
    TemporaryDirectory dir;
    RawIO::Exception e = raisedBy([&] { RawIO::writeFile(dir.file("no/such.bin"), viewOf("x")); });
    EXPECT_EQ(e.error, ENOENT);
    EXPECT_STREQ(e.what(), "IO-Error on open()");
}

TEST(WriteFile, AFullFileSystemLeavesTheEarlierFileUntouched) {
    std::string failure = inPrivateMountNamespace([]() -> std::string {
        TemporaryDirectory dir;
        if (::mount("tarnwick-test", dir.path.c_str(), "tmpfs", 0, "size=64k") != 0)
            return std::string("cannot mount a tmpfs: ") + std::strerror(errno);
        std::string path = dir.file("nvm.bin");
        std::string earlier(20000, 'e');
        RawIO::writeFile(path, viewOf(earlier));

        std::vector<uint8_t> image(128 * 1024, 0x5a);
        RawIO::Exception e = raisedBy([&] { RawIO::writeFile(path, View(image.data(), image.size())); });
        std::string result;
        if (e.error != ENOSPC || std::strcmp(e.what(), "IO-Error on write()") != 0)
            result +=
                "expected ENOSPC on write, got error " + std::to_string(e.error) + " " + e.what() + "; ";
        if (fileContent(path) != earlier)
            result += "the earlier file changed; ";
        if (dir.entries() != std::vector<std::string>{"nvm.bin"})
            result += "a temporary file was left behind; ";
        ::umount(dir.path.c_str());
        return result;
    });
    EXPECT_EQ(failure, "");
}

TEST(AttributeFiles, StatusWordsOfReadsAndWrites) {
    TemporaryDirectory dir;
    std::string path = dir.file("attribute");
    putFile(path, std::string(40, 'a'));
    std::string out = "stale";
    EXPECT_EQ(RawIO::readStringFile(path.c_str(), out, 32), RawIO::OK);
    EXPECT_EQ(out, std::string(32, 'a'));

    putFile(path, "in\n");
    EXPECT_EQ(RawIO::readStringFile(path.c_str(), out, 32), RawIO::OK);
    EXPECT_EQ(out, "in\n");

    EXPECT_EQ(RawIO::writeStringFile(path.c_str(), "18"), RawIO::OK);
    EXPECT_EQ(fileContent(path), "18\n");

    EXPECT_EQ(RawIO::writeStringFile(dir.file("missing").c_str(), "1"), RawIO::DoesNotExist);
    EXPECT_EQ(RawIO::readStringFile(dir.file("missing").c_str(), out, 32), RawIO::DoesNotExist);

    // Reading a directory fails in read(), not in open().
    EXPECT_EQ(RawIO::readStringFile(dir.path.c_str(), out, 32), RawIO::ReadFailed);
    // A refused write without an errno mapping (EBADF on a read-only descriptor).
    FileDescriptor readOnly(::open(path.c_str(), O_RDONLY));
    EXPECT_EQ(RawIO::writeExact(readOnly.get(), "1", 1), RawIO::WriteFailed);
}

} // namespace
