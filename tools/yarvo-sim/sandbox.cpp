// Namespaces and mounts of the kernel path.
#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace yarvo::simtool {

namespace {

constexpr char kStaging[] = "/dev/.yarvo-sim";

std::string errnoText(int err) { return std::strerror(err); }

bool writeFile(const char* path, const std::string& text, std::string* error) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        *error = std::string("cannot write ") + path + ": " + errnoText(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    ::close(fd);
    return true;
}

// First line of a /proc/sys file, or "" when it does not exist.
std::string sysctl(const char* path) {
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        return "";
    }
    char line[64] = {};
    if (std::fgets(line, sizeof line, f) == nullptr) {
        line[0] = 0;
    }
    std::fclose(f);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

bool enterNamespaces(bool userNamespace, std::string* error) {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWNS | (userNamespace ? CLONE_NEWUSER : 0)) != 0) {
        *error = std::string("cannot create a private ") + (userNamespace ? "user and mount" : "mount") +
                 " namespace: " + errnoText(errno);
        return false;
    }
    if (userNamespace) {
        if (!writeFile("/proc/self/setgroups", "deny", error) ||
            !writeFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1", error) ||
            !writeFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1", error)) {
            return false;
        }
    }
    // Nothing mounted from here on may reach the host's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *error = std::string("cannot make the mounts private: ") + errnoText(errno);
        return false;
    }
    return true;
}

// The trial of kernelPathProblems(), run in a child: namespace, a tmpfs to
// mount on, a FUSE mount (nobody serves it; the mount alone is the test).
int trial(bool userNamespace, int reportFd) {
    std::string error;
    auto fail = [&](const std::string& message) {
        (void)!::write(reportFd, message.data(), message.size());
        return 1;
    };
    if (!enterNamespaces(userNamespace, &error)) {
        return fail(error);
    }
    // Opened inside the user namespace: the kernel mounts a FUSE descriptor
    // only in the user namespace that opened it.
    const int fuseFd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuseFd < 0) {
        return fail("cannot open /dev/fuse in the namespace: " + errnoText(errno));
    }
    if (::mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755,size=64k") != 0) {
        return fail("cannot mount a tmpfs over /dev in the namespace: " + errnoText(errno));
    }
    if (::mount("tmpfs", "/sys/class", "tmpfs", MS_NOSUID, "mode=755,size=64k") != 0) {
        return fail("cannot mount a tmpfs over /sys/class in the namespace: " + errnoText(errno));
    }
    if (::mkdir("/dev/fuse-trial", 0700) != 0 ||
        ::mount("yarvo-sim", "/dev/fuse-trial", "fuse.yarvo-sim", MS_NOSUID | MS_NODEV, mountOptions(fuseFd).c_str()) != 0) {
        return fail("cannot mount a FUSE file system in the namespace: " + errnoText(errno));
    }
    return 0;
}

}  // namespace

std::vector<std::string> kernelPathProblems() {
    std::vector<std::string> problems;
    const bool root = ::geteuid() == 0;
    struct stat st;
    if (::stat("/dev/fuse", &st) != 0) {
        problems.push_back("/dev/fuse does not exist (load the fuse module, or install fuse3)");
    } else {
        const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            problems.push_back(root ? "/dev/fuse cannot be opened: " + errnoText(errno)
                                    : "/dev/fuse is not open to users (mode " +
                                          std::to_string((st.st_mode >> 6) & 7) +
                                          std::to_string((st.st_mode >> 3) & 7) + std::to_string(st.st_mode & 7) +
                                          "; it needs read and write for everyone, as the fuse3 package sets it)");
        } else {
            ::close(fd);
        }
    }
    if (!root) {
        if (sysctl("/proc/sys/user/max_user_namespaces") == "0") {
            problems.push_back("user namespaces are switched off (sysctl user.max_user_namespaces = 0)");
        }
        if (sysctl("/proc/sys/kernel/unprivileged_userns_clone") == "0") {
            problems.push_back("unprivileged user namespaces are switched off (sysctl kernel.unprivileged_userns_clone = 0)");
        }
        if (sysctl("/proc/sys/kernel/apparmor_restrict_unprivileged_userns") == "1") {
            problems.push_back("AppArmor restricts unprivileged user namespaces "
                               "(sysctl kernel.apparmor_restrict_unprivileged_userns = 1)");
        }
    }
    if (!problems.empty()) {
        return problems;
    }
    // The sysctls can all look right and a container still refuse; try.
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        problems.push_back("pipe: " + errnoText(errno));
        return problems;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        ::_exit(trial(!root, pipeFds[1]));
    }
    ::close(pipeFds[1]);
    std::string report;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        report.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (pid < 0) {
        problems.push_back("fork: " + errnoText(errno));
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        problems.push_back(report.empty() ? "the namespace trial failed" : report);
    }
    return problems;
}

bool Sandbox::enter(std::string* error) {
    userNamespace_ = ::geteuid() != 0;
    return enterNamespaces(userNamespace_, error);
}

// Mounts a tmpfs over `path` and re-creates every entry that `keep` accepts:
// symbolic links as copies, everything else as an empty file or directory
// with the original bound onto it (recursively, so /dev/pts, /dev/shm and
// their like come along).  The originals are reached through a descriptor
// taken before the tmpfs covers them.
bool Sandbox::copyDirectory(const char* path, const char* fsType, unsigned long flags, const std::string& options,
                            bool (*keep)(const char* name), std::string* error) {
    const int dirFd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        *error = std::string("cannot open ") + path + ": " + errnoText(errno);
        return false;
    }
    const int listFd = ::dup(dirFd);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (dir == nullptr) {
        *error = std::string("cannot list ") + path + ": " + errnoText(errno);
        ::close(dirFd);
        return false;
    }
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 && keep(entry->d_name)) {
            names.push_back(entry->d_name);
        }
    }
    ::closedir(dir);

    if (::mount(fsType, path, fsType, flags, options.c_str()) != 0) {
        *error = std::string("cannot mount a tmpfs over ") + path + ": " + errnoText(errno);
        ::close(dirFd);
        return false;
    }
    const std::string origin = "/proc/self/fd/" + std::to_string(dirFd) + "/";
    for (const std::string& name : names) {
        const std::string target = std::string(path) + "/" + name;
        struct stat st;
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;   // gone meanwhile
        }
        if (S_ISLNK(st.st_mode)) {
            char link[4096];
            const ssize_t n = ::readlinkat(dirFd, name.c_str(), link, sizeof link - 1);
            if (n < 0 || (link[n] = 0, ::symlink(link, target.c_str()) != 0)) {
                skipped_.push_back(target);
            }
            continue;
        }
        bool made;
        if (S_ISDIR(st.st_mode)) {
            made = ::mkdir(target.c_str(), st.st_mode & 07777) == 0;
        } else {
            const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            made = fd >= 0;
            if (made) {
                ::close(fd);
            }
        }
        if (!made || ::mount((origin + name).c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            skipped_.push_back(target);
        }
    }
    ::close(dirFd);
    return true;
}

namespace {

// The host's own board files are never shown: the namespace has only the
// virtual boards.
bool notBoardNode(const char* name) { return std::strncmp(name, "Kmora_", 6) != 0; }
bool notBoardClass(const char* name) { return std::strcmp(name, "Kmora") != 0; }

bool bindFile(const std::string& source, const std::string& target, bool directory, std::string* error) {
    const bool made = directory ? ::mkdir(target.c_str(), 0755) == 0 : [&] {
        const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
        }
        return fd >= 0;
    }();
    if (!made || ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        *error = "cannot bind " + source + " onto " + target + ": " + errnoText(errno);
        return false;
    }
    return true;
}

}  // namespace

bool Sandbox::populate(BoardFileSystem& fs, const std::vector<unsigned>& instances, std::string* error) {
    if (!copyDirectory("/dev", "tmpfs", MS_NOSUID, "mode=755,size=1m", notBoardNode, error)) {
        return false;
    }
    // The board file system is mounted on a staging directory only while
    // its files are bound to their places; then the staging mount and
    // directory go, and the binds keep the file system alive.
    if (::mkdir(kStaging, 0700) != 0) {
        *error = std::string("cannot create ") + kStaging + ": " + errnoText(errno);
        return false;
    }
    if (!fs.mount(kStaging, error)) {
        return false;
    }
    for (unsigned instance : instances) {
        const std::string name = "Kmora_" + std::to_string(instance);
        if (!bindFile(std::string(kStaging) + "/" + name, "/dev/" + name, false, error)) {
            return false;
        }
    }
    if (fs.servesNoop() && !bindFile(std::string(kStaging) + "/Kmora_noop", "/dev/Kmora_noop", false, error)) {
        return false;
    }
    if (!copyDirectory("/sys/class", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=755,size=64k",
                       notBoardClass, error)) {
        return false;
    }
    if (!bindFile(std::string(kStaging) + "/class", "/sys/class/Kmora", true, error)) {
        return false;
    }
    // Like sysfs, /sys/class takes no new entries.
    (void)::mount(nullptr, "/sys/class", nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
    if (::umount2(kStaging, MNT_DETACH) != 0 || ::rmdir(kStaging) != 0) {
        *error = std::string("cannot remove the staging mount ") + kStaging + ": " + errnoText(errno);
        return false;
    }
    return true;
}

}  // namespace yarvo::simtool
