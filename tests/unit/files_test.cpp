// Whole files as the emulator runs never meet them: links, permissions, other owners, hard links,
// bind mounts and a full disk when a backup is written.
#include "rawio/Exception.hpp"
#include "rawio/Files.hpp"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <numeric>
#include <sched.h>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct TemporaryDirectory {
    TemporaryDirectory() {
        char pattern[] = "/tmp/tarnwick-files-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TemporaryDirectory() { fs::remove_all(path); }
    std::string path;
};

void putFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string fileContent(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every name below `directory`, relative to it.
std::set<std::string> tree(const std::string& directory) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(directory))
        names.insert(entry.path().lexically_relative(directory));
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
            syscall(SYS_setresuid, writer, writer, writer) == 0) {
            try {
                RawIO::writeFile(path, View(reinterpret_cast<const uint8_t*>(image.data()), image.size()));
                outcome = {0, ""};
            } catch (const RawIO::Exception& e) {
                outcome = {e.error, e.message};
            }
        }
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
    std::string written, inspected;
};
using Base = const std::string&;

Layout fresh(Base at) {
    return {at + "/nvm.bin", at + "/nvm.bin"};
}
Layout hardLinked(Base at) {
    EXPECT_EQ(link(place(at + "/nvm.bin", 0644, 0).c_str(), (at + "/other").c_str()), 0);
    return {at + "/nvm.bin", at + "/other"};
}
// A file of `OWNER` with `MODE` in a new directory of `DIRECTORY_OWNER` with `DIRECTORY_MODE`.
template <mode_t MODE, uid_t OWNER, mode_t DIRECTORY_MODE = 0755, uid_t DIRECTORY_OWNER = 0>
Layout file(Base at) {
    std::string path = directory(at + "/dir", DIRECTORY_MODE, DIRECTORY_OWNER) + "/nvm.bin";
    return {place(path, MODE, OWNER), path};
}
Layout longName(Base at) {
    std::string path = at + "/" + std::string(250, 'n');
    return {place(path, 0644, 0), path};
}
Layout privateLink(Base at) {
    EXPECT_EQ(symlink("real", (at + "/link").c_str()), 0);
    return {at + "/link", place(at + "/real", 0644, 0)};
}
// A link planted by another user in a sticky directory, to a file of root's.
Layout plantedLink(Base at) {
    std::string link = directory(at + "/sticky", 01777, 0) + "/nvm.bin";
    EXPECT_EQ(symlink("../secret", link.c_str()) | lchown(link.c_str(), NOBODY, NOBODY), 0);
    return {link, place(at + "/secret", 0600, 0)};
}

enum class Setting { Plain, EmptyImage, FullDisk, BindMounted };
// What became of the file: new content in a new inode (Created, Replaced) or the old one (InPlace),
// the earlier content untouched (Kept), or no file (Absent).
enum class Outcome { Created, Replaced, InPlace, Kept, Absent };
using enum Setting;
using enum Outcome;

const char* const OPENING = "IO-Error on open()";
const char* const WRITING = "IO-Error on write()";

// clang-format off
struct WriteCase {
    const char* name; Layout (*arrange)(Base base); Setting setting; uid_t writer; // the situation
    int error; const char* message; // the write's failure; error 0: it succeeds
    Outcome outcome; mode_t mode; uid_t owner; // the file afterwards
};

const WriteCase WRITE_CASES[] = {
    {"NewFileIs0600UnderUmask022", fresh, Plain, 0, 0, "", Created, 0600, 0},
    {"ReplaceKeepsModeAndOwner", file<0640, NOBODY>, Plain, 0, 0, "", Replaced, 0640, NOBODY},
    {"EmptyImageEmptiesTheFile", file<0644, 0>, EmptyImage, 0, 0, "", Replaced, 0644, 0},
    {"LinkInAPrivateDirectoryWritesItsTarget", privateLink, Plain, 0, 0, "", InPlace, 0644, 0},
    {"LinkPlantedInAStickyDirectoryIsNotFollowed", plantedLink, Plain, 0, EACCES, OPENING, Kept, 0600, 0},
    {"ReadOnlyFileOfTheWriterIsRefused", file<0444, NOBODY, 0755, NOBODY>, Plain, NOBODY, EACCES, OPENING,
     Kept, 0444, NOBODY},
    {"WritableFileInAReadOnlyDirectory", file<0644, NOBODY>, Plain, NOBODY, 0, "", InPlace, 0644, NOBODY},
    {"RootFileInAStickyDirectoryByAnotherUser", file<0666, 0, 01777>, Plain, NOBODY, 0, "", InPlace, 0666, 0},
    // Root's file in a directory of the writer's: a replace could go ahead but not keep root as owner.
    {"RootFileInTheWritersDirectoryKeepsItsOwner", file<0666, 0, 0755, NOBODY>, Plain, NOBODY, 0, "", InPlace,
     0666, 0},
    {"HardLinkedFileIsWrittenInPlace", hardLinked, Plain, 0, 0, "", InPlace, 0644, 0},
    {"BindMountedFileIsWrittenInPlace", fresh, BindMounted, 0, 0, "", InPlace, 0644, 0},
    {"NameOf250CharactersIsReplaced", longName, Plain, 0, 0, "", Replaced, 0644, 0},
    {"FullDiskKeepsTheEarlierFile", file<0644, 0>, FullDisk, 0, ENOSPC, WRITING, Kept, 0644, 0},
    {"FullDiskLeavesNoNewFile", fresh, FullDisk, 0, ENOSPC, WRITING, Absent, 0, 0},
    {"FullDiskFailsBeforeAHardLink", hardLinked, FullDisk, 0, ENOSPC, "IO-Error on fallocate()", Kept, 0644,
     0},
};
// clang-format on

class WriteFileCases : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteFileCases, DecidesLikeAPlainOpenAndKeepsEarlierFiles) {
    const WriteCase& c = GetParam();
    TemporaryDirectory top;
    ASSERT_EQ(chmod(top.path.c_str(), 0755), 0);
    std::string base = c.setting == FullDisk ? directory(top.path + "/disk", 0755, 0) : top.path;
    Mount mount;
    bool mounted = c.setting == FullDisk ? mount.make("tarnwick-test", base, "tmpfs", 0, "size=64k,mode=0755")
                   : c.setting == BindMounted
                       ? mount.make(place(base + "/source", 0644, 0), place(base + "/nvm.bin", 0644, 0),
                                    nullptr, MS_BIND, nullptr)
                       : true;
    ASSERT_TRUE(mounted) << std::strerror(errno);
    // Links are protected as most systems have it. Only the row that needs it changes this
    // machine-wide setting: rows run side by side would otherwise restore each other's value.
    const char* const PROTECTED_SYMLINKS = "/proc/sys/fs/protected_symlinks";
    const bool planted = c.arrange == plantedLink;
    std::string earlier = fileContent(PROTECTED_SYMLINKS);
    if (planted) {
        putFile(PROTECTED_SYMLINKS, "1");
        if (fileContent(PROTECTED_SYMLINKS) != "1\n")
            GTEST_SKIP() << "fs.protected_symlinks cannot be set to 1 here";
    }
    mode_t umask = ::umask(022);
    Layout layout = c.arrange(base);
    struct stat before = {}, after = {};
    lstat(layout.inspected.c_str(), &before);
    std::set<std::string> names = tree(top.path);
    if (c.outcome == Created)
        names.insert(fs::path(layout.written).lexically_relative(top.path));

    std::string image(c.setting == EmptyImage ? 0 : 131072, '\0');
    std::iota(image.begin(), image.end(), '\1');
    std::pair<int, std::string> outcome = writeAs(c.writer, layout.written, image);
    ::umask(umask);
    if (planted)
        putFile(PROTECTED_SYMLINKS, earlier);

    EXPECT_EQ(outcome, std::make_pair(c.error, std::string(c.message))) << std::strerror(outcome.first);
    EXPECT_EQ(tree(top.path), names) << "a file was left behind or removed";
    if (c.outcome == Absent)
        return; // the tree above shows that no file is there
    EXPECT_TRUE(fileContent(layout.inspected) == (c.outcome == Kept ? std::string(OLD) : image))
        << (c.outcome == Kept ? "the earlier file" : "the new image") << " was expected";
    ASSERT_EQ(lstat(layout.inspected.c_str(), &after), 0);
    // A created file's `before` stayed zeroed: inode 0 is no file's.
    EXPECT_EQ(after.st_ino == before.st_ino, c.outcome == InPlace || c.outcome == Kept);
    EXPECT_EQ(std::tuple(after.st_mode & 07777, after.st_uid, after.st_gid),
              std::tuple(c.mode, c.owner, c.owner));
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteFileCases, testing::ValuesIn(WRITE_CASES),
                         [](const testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

} // namespace
