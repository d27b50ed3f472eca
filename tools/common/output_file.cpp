#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace yarvo::tools {

int openOutputFile(const std::string& path, const OutputFileOptions& options, std::string* error) {
    // Non-blocking at first: opening a FIFO must not wait for a reader.
    const int common = O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_APPEND;
    int fd = ::open(path.c_str(), O_WRONLY | common, 0644);
    if (fd < 0 && errno == ENXIO) {
        fd = ::open(path.c_str(), O_RDWR | common, 0644);   // a FIFO nobody reads yet
    }
    if (fd < 0) {
        const int err = errno;
        *error = err == ELOOP ? path + " is a symbolic link; it is not written through"
                              : "cannot open " + path + ": " + std::strerror(err);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *error = "cannot examine " + path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (S_ISREG(st.st_mode)) {
        if (st.st_uid != ::geteuid()) {
            *error = path + " belongs to another user (uid " + std::to_string(st.st_uid) + "); it is not written";
            ::close(fd);
            return -1;
        }
        if (st.st_nlink > 1) {
            *error = path + " has other hard links; it is not written";
            ::close(fd);
            return -1;
        }
        if (options.truncate && ::ftruncate(fd, 0) != 0) {
            *error = "cannot empty " + path + ": " + std::strerror(errno);
            ::close(fd);
            return -1;
        }
    } else if (S_ISFIFO(st.st_mode) && options.nonBlocking) {
        // Opened for writing alone, a FIFO whose reader goes away raises
        // SIGPIPE; opened for both, it never does.
        if ((::fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY) {
            const int both = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (both >= 0) {
                ::close(fd);
                fd = both;
            }
        }
    }
    if (!options.nonBlocking) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    return fd;
}

}  // namespace yarvo::tools
