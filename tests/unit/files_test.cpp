// Whole files as the emulator runs never meet them: links, permissions, other owners, hard links,
// bind mounts and a full disk when a backup is written; pieces from a FIFO when an image is read.
#include "rawio/Exception.hpp"
#include "rawio/Files.hpp"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct TemporaryDirectory {
    TemporaryDirectory() {
        char pattern[] = "/tmp/tarnwick-files-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TemporaryDirectory() { fs::remove_all(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }

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

// The errno and message of the exception a call raised; 0 and "" when it raised none.
std::pair<int, std::string> raisedBy(const std::function<void()>& call) {
    try {
        call();
    } catch (const RawIO::Exception& e) {
        return {e.error, e.message};
    }
    return {0, ""};
}

// A FIFO (a pipe from another program) is read to its end however its pieces arrive, and written
// in place.
TEST(Files, FifosAreReadWholeAndWrittenInPlace) {
    TemporaryDirectory dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        FileDescriptor out(open(fifo.c_str(), O_WRONLY));
        for (const char* piece : {"first ", "second ", "third"}) {
            EXPECT_GT(write(out.get(), piece, std::strlen(piece)), 0);
            usleep(5000);
        }
    });
    uint8_t storage[64];
    View got = RawIO::readFile(fifo, Span(storage));
    writer.join();
    EXPECT_EQ(std::string(got.begin(), got.end()), "first second third");

    std::string received;
    std::thread reader([&] { received = fileContent(fifo); });
    std::pair<int, std::string> outcome = raisedBy([&] { RawIO::writeFile(fifo, viewOf("streamed")); });
    EXPECT_EQ(outcome, std::make_pair(0, std::string()));
    if (outcome.first != 0) // the reader may still wait for a writer
        FileDescriptor(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    reader.join();
    EXPECT_EQ(received, "streamed");
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(raisedBy([&] { RawIO::readFile(dir.file("missing"), Span(storage)); }),
              std::make_pair(ENOENT, std::string("IO-Error on open()")));
}

// Every name below `directory`, sorted, relative to it.
std::vector<std::string> tree(const std::string& directory) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(directory))
        names.push_back(entry.path().lexically_relative(directory));
    std::sort(names.begin(), names.end());
    return names;
}

constexpr uid_t NOBODY = 65534; // used as group id too
constexpr const char* OLD = "old image";

std::string place(const std::string& path, mode_t mode, uid_t owner) {
    putFile(path, OLD);
    EXPECT_EQ(chmod(path.c_str(), mode) | chown(path.c_str(), owner, owner), 0) << path;
    return path;
}

std::string directory(const std::string& path, mode_t mode, uid_t owner) {
    EXPECT_EQ(mkdir(path.c_str(), 0700) | chmod(path.c_str(), mode) | chown(path.c_str(), owner, owner), 0)
        << path;
    return path;
}

// The write as `writer`, from a thread that alone takes on that user's credentials (the raw system
// calls change the calling thread only).
std::pair<int, std::string> writeAs(uid_t writer, const std::string& path, const std::string& image) {
    std::pair<int, std::string> outcome = {-1, "cannot change the user"};
    std::thread([&] {
        if (syscall(SYS_setgroups, 0, nullptr) == 0 && syscall(SYS_setresgid, writer, writer, writer) == 0 &&
            syscall(SYS_setresuid, writer, writer, writer) == 0)
            outcome = raisedBy([&] { RawIO::writeFile(path, viewOf(image)); });
    }).join();
    return outcome;
}

// A mount in the test process's own mount namespace, undone at the end of a case.
struct Mount {
    bool make(const std::string& source, const std::string& at, const char* type, unsigned long flags,
              const char* options) {
        static bool privateMounts =
            unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        if (privateMounts && mount(source.c_str(), at.c_str(), type, flags, options) == 0)
            point = at;
        return !point.empty();
    }
    ~Mount() {
        if (!point.empty())
            umount(point.c_str());
    }
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
    EXPECT_EQ(link(place(path, 0644, 0).c_str(), (path + ".other").c_str()), 0);
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

// clang-format off
const WriteCase WRITE_CASES[] = {
    {"NewFileIs0600UnderUmask022", [](Base at) { return one(at + "/nvm.bin"); },
     Setting::Plain, 0, IMAGE, 0, "", Content::New, Inode::Created, 0600, 0},
    {"ReplaceKeepsModeAndOwner", [](Base at) { return one(place(at + "/nvm.bin", 0640, NOBODY)); },
     Setting::Plain, 0, IMAGE, 0, "", Content::New, Inode::Replaced, 0640, NOBODY},
    {"EmptyImageEmptiesTheFile", [](Base at) { return one(place(at + "/nvm.bin", 0644, 0)); },
     Setting::Plain, 0, 0, 0, "", Content::New, Inode::Replaced, 0644, 0},
    {"LinkInAPrivateDirectoryWritesItsTargetInPlace", [](Base at) {
         EXPECT_EQ(symlink("real", (at + "/link").c_str()), 0);
         return Layout{at + "/link", place(at + "/real", 0644, 0)}; },
     Setting::Plain, 0, IMAGE, 0, "", Content::New, Inode::Kept, 0644, 0},
    {"LinkPlantedInAStickyDirectoryIsNotFollowed", [](Base at) {
         std::string link = directory(at + "/sticky", 01777, 0) + "/nvm.bin";
         EXPECT_EQ(symlink("../secret", link.c_str()) | lchown(link.c_str(), NOBODY, NOBODY), 0);
         return Layout{link, place(at + "/secret", 0600, 0)}; },
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
    {"HardLinkedFileIsWrittenInPlace", [](Base at) { return hardLinked(at + "/nvm.bin"); },
     Setting::Plain, 0, IMAGE, 0, "", Content::New, Inode::Kept, 0644, 0},
    {"BindMountedFileIsWrittenInPlace", [](Base at) { return one(at + "/nvm.bin"); },
     Setting::BindMounted, 0, IMAGE, 0, "", Content::New, Inode::Kept, 0644, 0},
    {"NameOf250CharactersIsReplaced", [](Base at) { return one(place(at + "/" + std::string(250, 'n'), 0644, 0)); },
     Setting::Plain, 0, IMAGE, 0, "", Content::New, Inode::Replaced, 0644, 0},
    {"FullDiskKeepsTheEarlierFile", [](Base at) { return one(place(at + "/nvm.bin", 0644, 0)); },
     Setting::FullDisk, 0, IMAGE, ENOSPC, WRITE_FAILED, Content::Old, Inode::Kept, 0644, 0},
    {"FullDiskLeavesNoNewFile", [](Base at) { return one(at + "/nvm.bin"); },
     Setting::FullDisk, 0, IMAGE, ENOSPC, WRITE_FAILED, Content::Absent, Inode::Created, 0, 0},
    {"FullDiskFailsBeforeAHardLinkedFileIsTouched", [](Base at) { return hardLinked(at + "/nvm.bin"); },
     Setting::FullDisk, 0, IMAGE, ENOSPC, "IO-Error on fallocate()", Content::Old, Inode::Kept, 0644, 0},
    {"MissingDirectoryFailsAtOpen", [](Base at) { return one(at + "/no/nvm.bin"); },
     Setting::Plain, 0, IMAGE, ENOENT, OPEN_FAILED, Content::Absent, Inode::Created, 0, 0},
};
// clang-format on

class WriteFileCases : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteFileCases, DecidesLikeAPlainOpenAndKeepsEarlierFiles) {
    const WriteCase& c = GetParam();
    TemporaryDirectory top;
    ASSERT_EQ(chmod(top.path.c_str(), 0755), 0);
    std::string base = c.setting == Setting::FullDisk ? top.file("disk") : top.path;
    Mount mount;
    if (c.setting == Setting::FullDisk) {
        ASSERT_TRUE(mkdir(base.c_str(), 0755) == 0 &&
                    mount.make("tarnwick-test", base, "tmpfs", 0, "size=64k,mode=0755"))
            << std::strerror(errno);
    }
    if (c.setting == Setting::BindMounted) {
        ASSERT_TRUE(mount.make(place(top.file("source"), 0644, 0), place(top.file("nvm.bin"), 0644, 0),
                               nullptr, MS_BIND, nullptr))
            << std::strerror(errno);
    }
    const char* const PROTECTED_SYMLINKS = "/proc/sys/fs/protected_symlinks";
    std::string earlier = fileContent(PROTECTED_SYMLINKS);
    if (c.setting == Setting::ProtectedSymlinks) {
        putFile(PROTECTED_SYMLINKS, "1");
        ASSERT_EQ(fileContent(PROTECTED_SYMLINKS), "1\n") << "fs.protected_symlinks cannot be set here";
    }
    mode_t umask = ::umask(022);
    Layout layout = c.arrange(base);
    struct stat before = {}, after = {};
    lstat(layout.inspected.c_str(), &before);
    std::vector<std::string> names = tree(top.path);
    if (c.error == 0 && c.inode == Inode::Created)
        names.push_back(fs::path(layout.written).lexically_relative(top.path));
    std::sort(names.begin(), names.end());

    std::string image(c.size, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = char(i * 7 + 1);
    std::pair<int, std::string> outcome = writeAs(c.writer, layout.written, image);
    ::umask(umask);
    if (c.setting == Setting::ProtectedSymlinks)
        putFile(PROTECTED_SYMLINKS, earlier);

    EXPECT_EQ(outcome, std::make_pair(c.error, std::string(c.message))) << std::strerror(outcome.first);
    EXPECT_EQ(tree(top.path), names) << "a file was left behind or removed";
    if (c.content == Content::Absent) {
        EXPECT_NE(lstat(layout.inspected.c_str(), &after), 0);
        return;
    }
    EXPECT_TRUE(fileContent(layout.inspected) == (c.content == Content::New ? image : std::string(OLD)))
        << (c.content == Content::New ? "the new image" : "the earlier file") << " was expected";
    ASSERT_EQ(lstat(layout.inspected.c_str(), &after), 0);
    if (c.inode != Inode::Created) {
        EXPECT_EQ(after.st_ino == before.st_ino, c.inode == Inode::Kept);
    }
    EXPECT_EQ(after.st_mode & 07777, c.mode);
    EXPECT_EQ(after.st_uid, c.owner);
    EXPECT_EQ(after.st_gid, c.owner);
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteFileCases, testing::ValuesIn(WRITE_CASES),
                         [](const testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

} // namespace
