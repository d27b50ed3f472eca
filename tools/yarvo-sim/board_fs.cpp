// The FUSE file system of the kernel path (libfuse3, low-level API).
#define FUSE_USE_VERSION 35
#include "board_fs.h"

#include <fuse_lowlevel.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "board_name.h"
#include "transport.h"

namespace yarvo::simtool {

namespace {

// Inode numbers: fixed, derived from the board instance.
constexpr fuse_ino_t kRoot = FUSE_ROOT_ID;   // 1
constexpr fuse_ino_t kClass = 2;
constexpr fuse_ino_t kNoop = 3;              // Kmora_noop (benchmarks only)
constexpr fuse_ino_t kNode = 16;             // + instance: Kmora_N
constexpr fuse_ino_t kClassBoard = 32;       // + instance: class/Kmora_N
constexpr fuse_ino_t kDevice = 48;           // + instance: class/Kmora_N/device
constexpr fuse_ino_t kProduct = 64;          // + instance: .../device/product
constexpr fuse_ino_t kSpeed = 80;            // + instance: .../device/speed
constexpr fuse_ino_t kEnd = 96;

// sysfs reports 4096 for every attribute whatever its text.
constexpr off_t kAttributeSize = 4096;

enum class Kind { None, Root, Class, Node, ClassBoard, Device, Product, Speed, Noop };

struct Inode {
    Kind kind = Kind::None;
    unsigned instance = 0;
};

Inode decode(fuse_ino_t ino) {
    if (ino == kRoot) {
        return {Kind::Root, 0};
    }
    if (ino == kClass) {
        return {Kind::Class, 0};
    }
    if (ino == kNoop) {
        return {Kind::Noop, 0};
    }
    if (ino < kNode || ino >= kEnd) {
        return {};
    }
    const unsigned instance = static_cast<unsigned>((ino - kNode) % 16);
    static const Kind kinds[] = {Kind::Node, Kind::ClassBoard, Kind::Device, Kind::Product, Kind::Speed};
    return {kinds[(ino - kNode) / 16], instance};
}

BoardFileSystem* fsOf(fuse_req_t req) { return static_cast<BoardFileSystem*>(fuse_req_userdata(req)); }

// Whether the inode exists now: nodes exist for every board served; the
// class entries only while the board is plugged in.
bool exists(BoardFileSystem* fs, const Inode& in) {
    switch (in.kind) {
    case Kind::None:
        return false;
    case Kind::Root:
    case Kind::Class:
        return true;
    case Kind::Node:
        return fs->serves(in.instance);
    case Kind::Noop:
        return fs->servesNoop();
    default:
        return fs->serves(in.instance) && fs->driver().pluggedIn(in.instance);
    }
}

fuse_ino_t inodeOf(Kind kind, unsigned instance) {
    switch (kind) {
    case Kind::Root: return kRoot;
    case Kind::Class: return kClass;
    case Kind::Node: return kNode + instance;
    case Kind::ClassBoard: return kClassBoard + instance;
    case Kind::Device: return kDevice + instance;
    case Kind::Product: return kProduct + instance;
    case Kind::Speed: return kSpeed + instance;
    case Kind::Noop: return kNoop;
    case Kind::None: break;
    }
    return 0;
}

void fillAttributes(const Inode& in, fuse_ino_t ino, struct stat* st) {
    static const time_t created = std::time(nullptr);
    std::memset(st, 0, sizeof *st);
    st->st_ino = ino;
    st->st_atime = st->st_mtime = st->st_ctime = created;
    st->st_uid = ::getuid();
    st->st_gid = ::getgid();
    switch (in.kind) {
    case Kind::Root:
    case Kind::Class:
    case Kind::ClassBoard:
    case Kind::Device:
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        break;
    case Kind::Node:
    case Kind::Noop:
        st->st_mode = S_IFREG | 0666;
        st->st_nlink = 1;
        break;
    default:
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = kAttributeSize;
        break;
    }
}

std::string attributePath(const Inode& in) {
    return "/sys/class/Kmora/Kmora_" + std::to_string(in.instance) +
           (in.kind == Kind::Product ? "/device/product" : "/device/speed");
}

bool boardName(const char* name, unsigned* instance) {
    const int n = names::boardName(name);
    if (n >= 0) {
        *instance = static_cast<unsigned>(n);
    }
    return n >= 0;
}

Inode child(const Inode& parent, const char* name) {
    unsigned instance = 0;
    switch (parent.kind) {
    case Kind::Root:
        if (std::strcmp(name, "class") == 0) {
            return {Kind::Class, 0};
        }
        if (std::strcmp(name, "Kmora_noop") == 0) {
            return {Kind::Noop, 0};
        }
        if (boardName(name, &instance)) {
            return {Kind::Node, instance};
        }
        break;
    case Kind::Class:
        if (boardName(name, &instance)) {
            return {Kind::ClassBoard, instance};
        }
        break;
    case Kind::ClassBoard:
        if (std::strcmp(name, "device") == 0) {
            return {Kind::Device, parent.instance};
        }
        break;
    case Kind::Device:
        if (std::strcmp(name, "product") == 0) {
            return {Kind::Product, parent.instance};
        }
        if (std::strcmp(name, "speed") == 0) {
            return {Kind::Speed, parent.instance};
        }
        break;
    default:
        break;
    }
    return {};
}

// Class entries come and go with unplugging, so the kernel asks again every
// time; the root never changes.
double timeoutFor(const Inode& in) {
    return in.kind == Kind::Root || in.kind == Kind::Node || in.kind == Kind::Noop ? 1.0 : 0.0;
}

void onLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    BoardFileSystem* fs = fsOf(req);
    const Inode p = decode(parent);
    if (!exists(fs, p)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    const Inode c = child(p, name);
    if (!exists(fs, c)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_entry_param entry;
    std::memset(&entry, 0, sizeof entry);
    entry.ino = inodeOf(c.kind, c.instance);
    entry.generation = 1;
    entry.attr_timeout = timeoutFor(c);
    entry.entry_timeout = timeoutFor(c);
    fillAttributes(c, entry.ino, &entry.attr);
    fuse_reply_entry(req, &entry);
}

void onGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    const Inode in = decode(ino);
    if (!exists(fsOf(req), in)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st;
    fillAttributes(in, ino, &st);
    fuse_reply_attr(req, &st, timeoutFor(in));
}

void onReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    BoardFileSystem* fs = fsOf(req);
    const Inode in = decode(ino);
    if (!exists(fs, in)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    std::vector<std::pair<std::string, Inode>> entries = {{".", in}, {"..", in}};
    switch (in.kind) {
    case Kind::Root:
        entries.push_back({"class", {Kind::Class, 0}});
        for (unsigned i = 0; i < sim::kInstances; ++i) {
            if (exists(fs, {Kind::Node, i})) {
                entries.push_back({"Kmora_" + std::to_string(i), {Kind::Node, i}});
            }
        }
        if (exists(fs, {Kind::Noop, 0})) {
            entries.push_back({"Kmora_noop", {Kind::Noop, 0}});
        }
        break;
    case Kind::Class:
        for (unsigned i = 0; i < sim::kInstances; ++i) {
            if (exists(fs, {Kind::ClassBoard, i})) {
                entries.push_back({"Kmora_" + std::to_string(i), {Kind::ClassBoard, i}});
            }
        }
        break;
    case Kind::ClassBoard:
        entries.push_back({"device", {Kind::Device, in.instance}});
        break;
    case Kind::Device:
        entries.push_back({"product", {Kind::Product, in.instance}});
        entries.push_back({"speed", {Kind::Speed, in.instance}});
        break;
    default:
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::vector<char> buffer(size);
    size_t used = 0;
    for (size_t i = static_cast<size_t>(offset); i < entries.size(); ++i) {
        struct stat st;
        fillAttributes(entries[i].second, inodeOf(entries[i].second.kind, entries[i].second.instance), &st);
        const size_t need = fuse_add_direntry(req, buffer.data() + used, size - used, entries[i].first.c_str(),
                                              &st, static_cast<off_t>(i + 1));
        if (need > size - used) {
            break;
        }
        used += need;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

void onOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    BoardFileSystem* fs = fsOf(req);
    const Inode in = decode(ino);
    if (!exists(fs, in)) {
        fuse_reply_err(req, in.kind == Kind::Node ? ENODEV : ENOENT);
        return;
    }
    fi->direct_io = 1;
    fi->keep_cache = 0;
    if (in.kind == Kind::Noop) {
        fi->nonseekable = 1;
        fi->fh = 0;
        fuse_reply_open(req, fi);
        return;
    }
    if (in.kind == Kind::Node) {
        const int err = fs->driver().openNode(in.instance);
        if (err != 0) {
            fuse_reply_err(req, sim::carriedErrno(err));
            return;
        }
        fi->nonseekable = 1;
        fi->fh = 0;
        fuse_reply_open(req, fi);
        return;
    }
    if (in.kind != Kind::Product && in.kind != Kind::Speed) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY) {
        fuse_reply_err(req, EACCES);
        return;
    }
    // Like sysfs, the text is taken when the file is opened.
    std::string text;
    if (!fs->driver().readAttribute(attributePath(in).c_str(), &text)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fi->fh = reinterpret_cast<uint64_t>(new std::string(text));
    fuse_reply_open(req, fi);
}

void onRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
    const Inode in = decode(ino);
    if ((in.kind != Kind::Product && in.kind != Kind::Speed) || fi->fh == 0) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    const std::string& text = *reinterpret_cast<const std::string*>(fi->fh);
    if (offset < 0 || static_cast<size_t>(offset) >= text.size()) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    const size_t n = std::min(size, text.size() - static_cast<size_t>(offset));
    fuse_reply_buf(req, text.data() + offset, n);
}

void onRelease(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    const Inode in = decode(ino);
    if ((in.kind == Kind::Product || in.kind == Kind::Speed) && fi->fh != 0) {
        delete reinterpret_cast<std::string*>(fi->fh);
        fi->fh = 0;
    }
    fuse_reply_err(req, 0);
}

// The board's one request.  The kernel hands restricted ioctls over with the
// argument size encoded in the request (528 bytes in and out); a 32-bit caller
// on a 64-bit kernel arrives with FUSE_IOCTL_COMPAT and the same request
// number and block layout, since the block holds no pointers or longs.
void onIoctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void*, fuse_file_info*, unsigned flags,
             const void* in, size_t inSize, size_t outSize) {
    BoardFileSystem* fs = fsOf(req);
    const Inode node = decode(ino);
    if (node.kind == Kind::Noop) {
        // The floor: the same round trip through the kernel, no board.
        fuse_reply_ioctl(req, 0, in, std::min(inSize, outSize));
        return;
    }
    if (node.kind != Kind::Node || !fs->serves(node.instance)) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    if ((flags & FUSE_IOCTL_UNRESTRICTED) != 0 || cmd != static_cast<unsigned>(wire::kTransferRequest)) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    if (inSize != sizeof(wire::TransferBlock) || outSize != sizeof(wire::TransferBlock) || in == nullptr) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    wire::TransferBlock block;
    std::memcpy(&block, in, sizeof block);
    const int err = fs->driver().transfer(node.instance, &block);
    if (err != 0) {
        // An error the kernel cannot carry back would leave the host's
        // request unanswered for ever.
        fuse_reply_err(req, sim::carriedErrno(err));
        return;
    }
    fuse_reply_ioctl(req, 0, &block, sizeof block);
}

const fuse_lowlevel_ops& operations() {
    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops o;
        std::memset(&o, 0, sizeof o);
        o.lookup = onLookup;
        o.getattr = onGetattr;
        o.readdir = onReaddir;
        o.open = onOpen;
        o.read = onRead;
        o.release = onRelease;
        o.ioctl = onIoctl;
        return o;
    }();
    return ops;
}

}  // namespace

std::string mountOptions(int fuseFd) {
    // allow_other: a host that drops root (or runs as another user inside
    // the namespace) reaches the board; default_permissions: the kernel
    // then checks the modes (nodes 0666, texts 0444) as for any file.
    return "fd=" + std::to_string(fuseFd) + ",rootmode=40000,user_id=" + std::to_string(::getuid()) +
           ",group_id=" + std::to_string(::getgid()) + ",allow_other,default_permissions";
}

BoardFileSystem::BoardFileSystem(sim::VirtualDriver& driver, std::vector<unsigned> instances)
    : driver_(driver), instances_(std::move(instances)) {}

BoardFileSystem::~BoardFileSystem() {
    // The serving thread may sit in a read of /dev/fuse for as long as some
    // process keeps a file of ours open; it ends with the process.
    if (thread_.joinable()) {
        thread_.detach();
    }
}

bool BoardFileSystem::serves(unsigned instance) const {
    return std::find(instances_.begin(), instances_.end(), instance) != instances_.end();
}

bool BoardFileSystem::mount(const std::string& mountPoint, std::string* error) {
    // Close-on-exec: a copy of this descriptor in the program would keep the
    // connection alive after the daemon's death, and its requests would hang
    // instead of failing.
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *error = std::string("cannot open /dev/fuse: ") + std::strerror(errno);
        return false;
    }
    const std::string options = mountOptions(fd);
    if (::mount("yarvo-sim", mountPoint.c_str(), "fuse.yarvo-sim", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        *error = "cannot mount the board file system on " + mountPoint + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    char name[] = "yarvo-sim";
    char* argv[] = {name, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    session_ = fuse_session_new(&args, &operations(), sizeof(fuse_lowlevel_ops), this);
    fuse_opt_free_args(&args);
    // "/dev/fd/N" hands libfuse a /dev/fuse descriptor that is already
    // mounted, so that libfuse never runs fusermount.
    const std::string fdPath = "/dev/fd/" + std::to_string(fd);
    if (session_ == nullptr || fuse_session_mount(session_, fdPath.c_str()) != 0) {
        *error = "cannot start the FUSE session";
        ::umount2(mountPoint.c_str(), MNT_DETACH);
        ::close(fd);
        return false;
    }
    // Signals belong to the main thread, which forwards them to the program.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    thread_ = std::thread([this] { fuse_session_loop(session_); });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return true;
}

void BoardFileSystem::shutDown() {
    if (session_ != nullptr) {
        fuse_session_exit(session_);
    }
}

}  // namespace yarvo::simtool
