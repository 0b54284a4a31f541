#define FUSE_USE_VERSION 35
#include "GpioFs.hpp"

#include "SysfsText.hpp"

#include <fuse_lowlevel.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gpiofs {

namespace {

// Inode numbers: fixed ones for the root files, four per line above firstLineIno.
constexpr fuse_ino_t exportIno = 2;
constexpr fuse_ino_t unexportIno = 3;
constexpr fuse_ino_t firstLineIno = 16;

enum class Node { Root, Export, Unexport, LineDirectory, Direction, Value };

struct Inode {
    Node node;
    unsigned gpio;
};

fuse_ino_t inodeNumber(unsigned gpio, Node node) {
    const fuse_ino_t base = firstLineIno + fuse_ino_t{gpio} * 4;
    return node == Node::LineDirectory ? base : node == Node::Direction ? base + 1 : base + 2;
}

bool decode(fuse_ino_t ino, Inode& inode) {
    if (ino == FUSE_ROOT_ID || ino == exportIno || ino == unexportIno) {
        inode = {ino == FUSE_ROOT_ID ? Node::Root : ino == exportIno ? Node::Export : Node::Unexport, 0};
        return true;
    }
    if (ino < firstLineIno || (ino - firstLineIno) % 4 == 3 || (ino - firstLineIno) / 4 > 0xFFFFFFFFu)
        return false;
    const fuse_ino_t kind = (ino - firstLineIno) % 4;
    inode = {kind == 0   ? Node::LineDirectory
             : kind == 1 ? Node::Direction
                         : Node::Value,
             static_cast<unsigned>((ino - firstLineIno) / 4)};
    return true;
}

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Sysfs attributes report a page as their size; with direct I/O the size never limits a read.
struct stat attributes(fuse_ino_t ino, Node node) {
    struct stat st {};
    st.st_ino = ino;
    const bool directory = node == Node::Root || node == Node::LineDirectory;
    if (directory) {
        st.st_mode = S_IFDIR | 0755;
        st.st_nlink = 2;
    } else {
        st.st_mode = S_IFREG | (node == Node::Export || node == Node::Unexport ? 0200 : 0644);
        st.st_nlink = 1;
        st.st_size = 4096;
    }
    return st;
}

} // namespace

// The FUSE request handlers. Each takes the lock only while it reads or changes the lines and the log;
// nothing is cached by the kernel (all timeouts 0, direct I/O), so every access comes here.
struct Operations {
    static GpioFs& fs(fuse_req_t req) { return *static_cast<GpioFs*>(fuse_req_userdata(req)); }

    static void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
        GpioFs& self = fs(req);
        fuse_entry_param entry{};
        const std::string_view wanted(name);
        {
            std::lock_guard lock(self.mutex);
            Inode dir{};
            if (!decode(parent, dir)) {
                fuse_reply_err(req, ENOENT);
                return;
            }
            unsigned gpio = 0;
            if (dir.node == Node::Root && wanted == "export") {
                entry.ino = exportIno;
                entry.attr = attributes(exportIno, Node::Export);
            } else if (dir.node == Node::Root && wanted == "unexport") {
                entry.ino = unexportIno;
                entry.attr = attributes(unexportIno, Node::Unexport);
            } else if (dir.node == Node::Root && parseLineName(wanted, gpio) && self.lines.count(gpio)) {
                entry.ino = inodeNumber(gpio, Node::LineDirectory);
                entry.generation = self.lines.at(gpio).generation;
                entry.attr = attributes(entry.ino, Node::LineDirectory);
            } else if (dir.node == Node::LineDirectory && self.lines.count(dir.gpio) &&
                       (wanted == "direction" || wanted == "value")) {
                const Node node = wanted == "direction" ? Node::Direction : Node::Value;
                entry.ino = inodeNumber(dir.gpio, node);
                entry.generation = self.lines.at(dir.gpio).generation;
                entry.attr = attributes(entry.ino, node);
            }
        }
        // An error reply (rather than a zero inode) keeps the kernel from caching the absence at all.
        if (entry.ino == 0)
            fuse_reply_err(req, ENOENT);
        else
            fuse_reply_entry(req, &entry);
    }

    static bool exists(GpioFs& self, fuse_ino_t ino, Inode& inode) {
        std::lock_guard lock(self.mutex);
        if (!decode(ino, inode))
            return false;
        const bool lineNode =
            inode.node == Node::LineDirectory || inode.node == Node::Direction || inode.node == Node::Value;
        return !lineNode || self.lines.count(inode.gpio) != 0;
    }

    static void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
        Inode inode{};
        if (!exists(fs(req), ino, inode)) {
            fuse_reply_err(req, ENOENT);
            return;
        }
        const struct stat st = attributes(ino, inode.node);
        fuse_reply_attr(req, &st, 0.0);
    }

    // Accepted and ignored, so that a shell's `echo 17 > export` (which truncates) works.
    static void setattr(fuse_req_t req, fuse_ino_t ino, struct stat*, int, fuse_file_info* fi) {
        getattr(req, ino, fi);
    }

    static void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
        GpioFs& self = fs(req);
        Inode inode{};
        if (!exists(self, ino, inode)) {
            fuse_reply_err(req, ENOENT);
            return;
        }
        if (inode.node != Node::Root && inode.node != Node::LineDirectory) {
            fuse_reply_err(req, ENOTDIR);
            return;
        }
        std::vector<std::pair<std::string, struct stat>> entries;
        entries.emplace_back(".", attributes(ino, inode.node));
        entries.emplace_back("..", attributes(FUSE_ROOT_ID, Node::Root));
        if (inode.node == Node::Root) {
            entries.emplace_back("export", attributes(exportIno, Node::Export));
            entries.emplace_back("unexport", attributes(unexportIno, Node::Unexport));
            std::lock_guard lock(self.mutex);
            for (const auto& [gpio, line] : self.lines) {
                const fuse_ino_t child = inodeNumber(gpio, Node::LineDirectory);
                entries.emplace_back("gpio" + std::to_string(gpio), attributes(child, Node::LineDirectory));
            }
        } else {
            for (Node node : {Node::Direction, Node::Value}) {
                const fuse_ino_t child = inodeNumber(inode.gpio, node);
                entries.emplace_back(node == Node::Direction ? "direction" : "value",
                                     attributes(child, node));
            }
        }
        std::vector<char> buffer(size);
        size_t used = 0;
        for (size_t i = static_cast<size_t>(offset); i < entries.size(); ++i) {
            const size_t length =
                fuse_add_direntry(req, buffer.data() + used, size - used, entries[i].first.c_str(),
                                  &entries[i].second, static_cast<off_t>(i + 1));
            if (length > size - used)
                break;
            used += length;
        }
        fuse_reply_buf(req, buffer.data(), used);
    }

    static void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        GpioFs& self = fs(req);
        int error = 0;
        {
            std::lock_guard lock(self.mutex);
            Inode inode{};
            const int access = fi->flags & O_ACCMODE;
            if (!decode(ino, inode)) {
                error = ENOENT;
            } else if (inode.node == Node::Root || inode.node == Node::LineDirectory) {
                error = EISDIR;
            } else if (inode.node == Node::Export || inode.node == Node::Unexport) {
                error = access == O_WRONLY ? 0 : EACCES; // write-only attributes
                fi->fh = 0;
            } else if (!self.lines.count(inode.gpio)) {
                error = ENOENT;
            } else if (inode.node == Node::Value && self.faults.eaccesOnValueOpen) {
                error = EACCES;
            } else {
                fi->fh = self.lines.at(inode.gpio).generation;
            }
        }
        if (error != 0) {
            fuse_reply_err(req, error);
            return;
        }
        fi->direct_io = 1;
        fi->keep_cache = 0;
        fuse_reply_open(req, fi);
    }

    static void read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
        GpioFs& self = fs(req);
        std::string text;
        int error = 0;
        {
            std::lock_guard lock(self.mutex);
            Inode inode{};
            if (!decode(ino, inode) || (inode.node != Node::Direction && inode.node != Node::Value)) {
                error = EACCES;
            } else {
                const auto line = self.lines.find(inode.gpio);
                if (line == self.lines.end() || line->second.generation != fi->fh)
                    error = ENODEV; // the line was unexported since this file was opened
                else if (inode.node == Node::Direction)
                    text = line->second.direction + "\n";
                else
                    text = line->second.value ? "1\n" : "0\n";
            }
        }
        if (error != 0) {
            fuse_reply_err(req, error);
            return;
        }
        const size_t start = std::min(text.size(), static_cast<size_t>(offset));
        fuse_reply_buf(req, text.data() + start, std::min(size, text.size() - start));
    }

    // Writes are taken whole at any offset: sysfs hands every write to the attribute as it comes,
    // and the value file is written repeatedly without seeking.
    static void write(fuse_req_t req, fuse_ino_t ino, const char* data, size_t size, off_t,
                      fuse_file_info* fi) {
        GpioFs& self = fs(req);
        const std::string text(data, size);
        std::function<void(unsigned, int)> callback;
        unsigned gpio = 0;
        int level = -1;
        int error = 0;
        {
            std::lock_guard lock(self.mutex);
            Inode inode{};
            if (!decode(ino, inode)) {
                fuse_reply_err(req, EIO);
                return;
            }
            Event event{Event::Value, inode.gpio, text, 0, 0};
            switch (inode.node) {
            case Node::Export:
                event.kind = Event::Export;
                error = self.exportLine(text, event.gpio);
                break;
            case Node::Unexport:
                event.kind = Event::Unexport;
                error = self.unexportLine(text, event.gpio);
                break;
            case Node::Direction:
                event.kind = Event::Direction;
                error = self.writeDirection(inode.gpio, fi->fh, text, level);
                break;
            case Node::Value:
                error = self.writeValue(inode.gpio, fi->fh, text, level);
                break;
            default:
                error = EISDIR;
            }
            gpio = event.gpio;
            event.monotonicNs = monotonicNs();
            event.error = error;
            self.log.push_back(std::move(event));
            if (error == 0 && level >= 0)
                callback = self.valueCallback;
        }
        if (callback)
            callback(gpio, level);
        if (error != 0)
            fuse_reply_err(req, error);
        else
            fuse_reply_write(req, size);
    }
};

int GpioFs::exportLine(const std::string& text, unsigned& gpio) {
    if (!parseNumber(text, gpio))
        return EINVAL;
    if (faults.ebusyOnExport || lines.count(gpio))
        return EBUSY;
    lines[gpio] = Line{"in", 0, ++lastGeneration, 0};
    return 0;
}

int GpioFs::unexportLine(const std::string& text, unsigned& gpio) {
    if (!parseNumber(text, gpio) || !lines.count(gpio))
        return EINVAL;
    lines.erase(gpio);
    return 0;
}

int GpioFs::writeDirection(unsigned gpio, uint64_t generation, const std::string& text, int& level) {
    const auto found = lines.find(gpio);
    if (found == lines.end() || found->second.generation != generation)
        return ENODEV;
    Line& line = found->second;
    if (faults.einvalOnDirection)
        return EINVAL;
    if (++line.directionWrites <= faults.eaccesDirectionWrites)
        return EACCES;
    std::string direction;
    if (!parseDirection(text, direction, level))
        return EINVAL;
    line.direction = direction;
    if (level >= 0)
        line.value = level;
    return 0;
}

int GpioFs::writeValue(unsigned gpio, uint64_t generation, const std::string& text, int& level) {
    const auto found = lines.find(gpio);
    if (found == lines.end() || found->second.generation != generation)
        return ENODEV;
    Line& line = found->second;
    if (line.direction != "out")
        return EPERM;
    unsigned number = 0;
    if (!parseNumber(text, number))
        return EINVAL;
    level = number != 0 ? 1 : 0;
    line.value = level;
    return 0;
}

GpioFs::~GpioFs() {
    unmount();
}

void GpioFs::preExport(unsigned gpio, const std::string& direction, int value) {
    std::lock_guard lock(mutex);
    std::string word;
    int level = -1;
    if (!parseDirection(direction, word, level))
        word = "in";
    // Only "low" and "high" carry a level of their own.
    if (direction != "low" && direction != "high")
        level = value != 0 ? 1 : 0;
    lines[gpio] = Line{word, level, ++lastGeneration, 0};
}

void GpioFs::setFaults(const Faults& newFaults) {
    std::lock_guard lock(mutex);
    faults = newFaults;
}

void GpioFs::onValue(std::function<void(unsigned gpio, int value)> callback) {
    std::lock_guard lock(mutex);
    valueCallback = std::move(callback);
}

std::vector<Event> GpioFs::events() const {
    std::lock_guard lock(mutex);
    return log;
}

bool GpioFs::isExported(unsigned gpio) const {
    std::lock_guard lock(mutex);
    return lines.count(gpio) != 0;
}

std::string GpioFs::direction(unsigned gpio) const {
    std::lock_guard lock(mutex);
    const auto line = lines.find(gpio);
    return line == lines.end() ? std::string() : line->second.direction;
}

int GpioFs::value(unsigned gpio) const {
    std::lock_guard lock(mutex);
    const auto line = lines.find(gpio);
    return line == lines.end() ? -1 : line->second.value;
}

bool GpioFs::mount(const std::string& mountPoint, std::string& error) {
    if (session != nullptr) {
        error = "already mounted";
        return false;
    }
    static fuse_lowlevel_ops operations = [] {
        fuse_lowlevel_ops ops{};
        ops.lookup = Operations::lookup;
        ops.getattr = Operations::getattr;
        ops.setattr = Operations::setattr;
        ops.readdir = Operations::readdir;
        ops.open = Operations::open;
        ops.read = Operations::read;
        ops.write = Operations::write;
        return ops;
    }();
    char program[] = "gpiofs";
    char dashO[] = "-o";
    char options[] = "fsname=gpiofs,subtype=gpiofs,allow_other";
    char* argv[] = {program, dashO, options, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    session = fuse_session_new(&args, &operations, sizeof operations, this);
    fuse_opt_free_args(&args);
    if (session == nullptr) {
        error = "cannot create a FUSE session";
        return false;
    }
    if (fuse_session_mount(session, mountPoint.c_str()) != 0) {
        fuse_session_destroy(session);
        session = nullptr;
        error = "cannot mount FUSE at " + mountPoint + " (is /dev/fuse usable?)";
        return false;
    }
    wakeFd = eventfd(0, EFD_CLOEXEC);
    if (wakeFd < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        fuse_session_unmount(session);
        fuse_session_destroy(session);
        session = nullptr;
        return false;
    }
    server = std::thread([this] { serve(); });
    return true;
}

// Our own loop instead of fuse_session_loop: waiting on the eventfd as well lets unmount() stop the
// thread between two requests without relying on a request arriving.
void GpioFs::serve() {
    fuse_buf buffer{};
    pollfd fds[2] = {{fuse_session_fd(session), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0)
            break;
        const int received = fuse_session_receive_buf(session, &buffer);
        if (received == -EINTR || received == -EAGAIN)
            continue;
        if (received <= 0)
            break; // unmounted from outside, or the connection was aborted
        fuse_session_process_buf(session, &buffer);
    }
    std::free(buffer.mem);
}

void GpioFs::unmount() {
    if (session == nullptr)
        return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
    server.join();
    // Closing the device aborts the connection (requests still waiting fail with ENOTCONN), then the
    // mount is detached lazily, so nothing can hang here even with files still open on it.
    fuse_session_unmount(session);
    fuse_session_destroy(session);
    session = nullptr;
    ::close(wakeFd);
    wakeFd = -1;
}

} // namespace gpiofs
