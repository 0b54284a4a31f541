#include "rawio/Exception.hpp"
#include "rawio/Files.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
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

// Every name below `directory`, sorted, with its path relative to it.
std::vector<std::string> tree(const std::string& directory, const std::string& prefix = "") {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            names.push_back(prefix + name);
            if (entry->d_type == DT_DIR)
                for (const std::string& inner : tree(directory + "/" + name, prefix + name + "/"))
                    names.push_back(inner);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

constexpr uid_t NOBODY = 65534; // used as group id too
constexpr const char* OLD = "old image";

std::string place(const std::string& path, mode_t mode, uid_t owner) {
    putFile(path, OLD);
    EXPECT_EQ(::chmod(path.c_str(), mode) | ::chown(path.c_str(), owner, owner), 0) << path;
    return path;
}

std::string directory(const std::string& path, mode_t mode, uid_t owner) {
    EXPECT_EQ(::mkdir(path.c_str(), 0700) | ::chmod(path.c_str(), mode) | ::chown(path.c_str(), owner, owner),
              0)
        << path;
    return path;
}

struct Outcome {
    int error;
    std::string message;
};

Outcome writeNow(const std::string& path, const std::string& image) {
    RawIO::Exception e = raisedBy([&] { RawIO::writeFile(path, viewOf(image)); });
    return {e.error == -1 ? 0 : e.error, e.message};
}

// The write itself runs as `writer`; another user's write runs in a child that reports through a
// pipe.
Outcome writeAs(uid_t writer, const std::string& path, const std::string& image) {
    if (writer == 0)
        return writeNow(path, image);
    int report[2];
    if (::pipe(report) != 0)
        return {-2, "pipe failed"};
    pid_t child = ::fork();
    if (child == 0) {
        Outcome o{-3, "cannot change the user"};
        if (::setgroups(0, nullptr) == 0 && ::setresgid(writer, writer, writer) == 0 &&
            ::setresuid(writer, writer, writer) == 0)
            o = writeNow(path, image);
        std::string text = std::to_string(o.error) + " " + o.message;
        ssize_t ignored = ::write(report[1], text.data(), text.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(report[1]);
    char text[256] = {};
    ssize_t ignored = ::read(report[0], text, sizeof text - 1);
    (void)ignored;
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    char* rest;
    int error = int(std::strtol(text, &rest, 10));
    return {error, *rest ? rest + 1 : ""};
}

// Sets a sysctl for the life of the object and restores it afterwards.
class Sysctl {
public:
    explicit Sysctl(const char* path) : path(path) { std::ifstream(path) >> earlier; }
    bool set(const std::string& value) {
        std::ofstream(path) << value;
        std::string now;
        std::ifstream(path) >> now;
        changed = !earlier.empty();
        return now == value;
    }
    ~Sysctl() {
        if (changed)
            std::ofstream(path) << earlier;
    }

private:
    const char* path;
    std::string earlier;
    bool changed = false;
};

// A mount in the test process's own mount namespace, undone at the end of a case.
class Mount {
public:
    bool make(const std::string& source, const std::string& at, const char* type, unsigned long flags,
              const char* options) {
        static bool privateMounts =
            ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        if (privateMounts && ::mount(source.c_str(), at.c_str(), type, flags, options) == 0)
            point = at;
        return !point.empty();
    }
    ~Mount() {
        if (!point.empty())
            ::umount(point.c_str());
    }

private:
    std::string point;
};

// What a case writes to, and the file whose content and inode tell what happened.
struct Layout {
    std::string written;
    std::string inspected;
};

Layout one(const std::string& path) {
    return {path, path};
}

Layout hardLinked(const std::string& path) {
    EXPECT_EQ(::link(place(path, 0644, 0).c_str(), (path + ".other").c_str()), 0);
    return {path, path + ".other"};
}

enum class Setting { Plain, FullDisk, BindMounted, ProtectedSymlinks };
enum class Content { New, Old, Absent };
enum class Inode { Kept, Replaced, Created };

struct WriteCase {
    const char* name;
    Layout (*arrange)(const std::string& base);
    Setting setting;
    uid_t writer;
    size_t size; // of the image written
    int error;   // 0: the write succeeds
    const char* message;
    Content content;
    Inode inode;
    mode_t mode;
    uid_t owner;
};

void PrintTo(const WriteCase& c, std::ostream* out) {
    *out << c.name;
}

constexpr size_t IMAGE = 131072;
const char* const OPEN_FAILED = "IO-Error on open()";
const char* const WRITE_FAILED = "IO-Error on write()";
using Base = const std::string&;

const WriteCase WRITE_CASES[] = {
    {"NewFileIs0600UnderUmask022", [](Base at) { return one(at + "/nvm.bin"); }, Setting::Plain, 0, IMAGE, 0,
     "", Content::New, Inode::Created, 0600, 0},
    {"ReplaceKeepsModeAndOwner", [](Base at) { return one(place(at + "/nvm.bin", 0640, NOBODY)); },
     Setting::Plain, 0, IMAGE, 0, "", Content::New, Inode::Replaced, 0640, NOBODY},
    {"EmptyImageEmptiesTheFile", [](Base at) { return one(place(at + "/nvm.bin", 0644, 0)); }, Setting::Plain,
     0, 0, 0, "", Content::New, Inode::Replaced, 0644, 0},
    {"LinkInAPrivateDirectoryWritesItsTargetInPlace",
     [](Base at) {
         EXPECT_EQ(::symlink("real", (at + "/link").c_str()), 0);
         return Layout{at + "/link", place(at + "/real", 0644, 0)};
     },
     Setting::Plain, 0, IMAGE, 0, "", Content::New, Inode::Kept, 0644, 0},
    {"LinkPlantedInAStickyDirectoryIsNotFollowed",
     [](Base at) {
         std::string link = directory(at + "/sticky", 01777, 0) + "/nvm.bin";
         EXPECT_EQ(::symlink("../secret", link.c_str()) | ::lchown(link.c_str(), NOBODY, NOBODY), 0);
         return Layout{link, place(at + "/secret", 0600, 0)};
     },
     Setting::ProtectedSymlinks, 0, IMAGE, EACCES, OPEN_FAILED, Content::Old, Inode::Kept, 0600, 0},
    {"ReadOnlyFileOfTheWriterIsRefused",
     [](Base at) { return one(place(directory(at + "/own", 0755, NOBODY) + "/nvm.bin", 0444, NOBODY)); },
     Setting::Plain, NOBODY, IMAGE, EACCES, OPEN_FAILED, Content::Old, Inode::Kept, 0444, NOBODY},
    {"WritableFileInAReadOnlyDirectoryIsWrittenInPlace",
     [](Base at) { return one(place(directory(at + "/readonly", 0755, 0) + "/nvm.bin", 0644, NOBODY)); },
     Setting::Plain, NOBODY, IMAGE, 0, "", Content::New, Inode::Kept, 0644, NOBODY},
    {"RootFileInAStickyDirectoryIsWrittenInPlaceByAnotherUser",
     [](Base at) { return one(place(directory(at + "/sticky", 01777, 0) + "/nvm.bin", 0666, 0)); },
     Setting::Plain, NOBODY, IMAGE, 0, "", Content::New, Inode::Kept, 0666, 0},
    {"HardLinkedFileIsWrittenInPlace", [](Base at) { return hardLinked(at + "/nvm.bin"); }, Setting::Plain, 0,
     IMAGE, 0, "", Content::New, Inode::Kept, 0644, 0},
    {"BindMountedFileIsWrittenInPlace", [](Base at) { return one(at + "/nvm.bin"); }, Setting::BindMounted, 0,
     IMAGE, 0, "", Content::New, Inode::Kept, 0644, 0},
    {"NameOf250CharactersIsReplaced",
     [](Base at) { return one(place(at + "/" + std::string(250, 'n'), 0644, 0)); }, Setting::Plain, 0, IMAGE,
     0, "", Content::New, Inode::Replaced, 0644, 0},
    {"FullDiskKeepsTheEarlierFile", [](Base at) { return one(place(at + "/nvm.bin", 0644, 0)); },
     Setting::FullDisk, 0, IMAGE, ENOSPC, WRITE_FAILED, Content::Old, Inode::Kept, 0644, 0},
    {"FullDiskLeavesNoNewFile", [](Base at) { return one(at + "/nvm.bin"); }, Setting::FullDisk, 0, IMAGE,
     ENOSPC, WRITE_FAILED, Content::Absent, Inode::Created, 0, 0},
    {"FullDiskFailsBeforeAHardLinkedFileIsTouched", [](Base at) { return hardLinked(at + "/nvm.bin"); },
     Setting::FullDisk, 0, IMAGE, ENOSPC, "IO-Error on fallocate()", Content::Old, Inode::Kept, 0644, 0},
    {"MissingDirectoryFailsAtOpen", [](Base at) { return one(at + "/no/nvm.bin"); }, Setting::Plain, 0, IMAGE,
     ENOENT, OPEN_FAILED, Content::Absent, Inode::Created, 0, 0},
};

class WriteFileCases : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteFileCases, DecidesLikeAPlainOpenAndKeepsEarlierFiles) {
    const WriteCase& c = GetParam();
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give files to another user";
    TemporaryDirectory top;
    ASSERT_EQ(::chmod(top.path.c_str(), 0755), 0);
    std::string base = c.setting == Setting::FullDisk ? top.file("disk") : top.path;
    Mount mount;
    if (c.setting == Setting::FullDisk) {
        ASSERT_TRUE(::mkdir(base.c_str(), 0755) == 0 &&
                    mount.make("tarnwick-test", base, "tmpfs", 0, "size=64k,mode=0755"))
            << std::strerror(errno);
    }
    if (c.setting == Setting::BindMounted) {
        ASSERT_TRUE(mount.make(place(top.file("source"), 0644, 0), place(top.file("nvm.bin"), 0644, 0),
                               nullptr, MS_BIND, nullptr))
            << std::strerror(errno);
    }
    Sysctl protectedSymlinks("/proc/sys/fs/protected_symlinks");
    if (c.setting == Setting::ProtectedSymlinks && !protectedSymlinks.set("1")) {
        GTEST_SKIP() << "fs.protected_symlinks cannot be set to 1 here; the row did not run";
    }
    mode_t umask = ::umask(022);
    Layout layout = c.arrange(base);
    struct stat before = {}, after = {}, link = {};
    ::lstat(layout.inspected.c_str(), &before);
    bool wasLink = ::lstat(layout.written.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    std::vector<std::string> names = tree(top.path);
    if (c.error == 0 && c.inode == Inode::Created)
        names.push_back(layout.written.substr(top.path.size() + 1));
    std::sort(names.begin(), names.end());

    std::string image(c.size, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = char(i * 7 + 1);
    Outcome outcome = writeAs(c.writer, layout.written, image);
    ::umask(umask);

    EXPECT_EQ(outcome.error, c.error) << std::strerror(outcome.error);
    EXPECT_EQ(outcome.message, c.message);
    EXPECT_EQ(tree(top.path), names) << "a file was left behind or removed";
    EXPECT_EQ(::lstat(layout.written.c_str(), &link) == 0 && S_ISLNK(link.st_mode), wasLink);
    if (c.content == Content::Absent) {
        EXPECT_NE(::lstat(layout.inspected.c_str(), &after), 0);
        return;
    }
    EXPECT_EQ(fileContent(layout.inspected), c.content == Content::New ? image : std::string(OLD));
    ASSERT_EQ(::lstat(layout.inspected.c_str(), &after), 0);
    if (c.inode != Inode::Created) {
        EXPECT_EQ(after.st_ino == before.st_ino, c.inode == Inode::Kept);
    }
    EXPECT_EQ(after.st_mode & 07777, c.mode);
    EXPECT_EQ(after.st_uid, c.owner);
    EXPECT_EQ(after.st_gid, c.owner);
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteFileCases, testing::ValuesIn(WRITE_CASES),
                         [](const testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

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
