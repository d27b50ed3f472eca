// The private world a host program runs in on the kernel path: a mount
// namespace (inside a user namespace when not root) where /dev and
// /sys/class are tmpfs copies of the real ones, with the host's own entries
// bound back in, plus /dev/Kmora_N and /sys/class/Kmora served by the board
// file system.  Nothing outside the namespace changes; when its last process
// ends, the kernel takes every mount away.
#ifndef YARVO_SIM_TOOL_SANDBOX_H
#define YARVO_SIM_TOOL_SANDBOX_H

#include <string>
#include <vector>

#include "board_fs.h"

namespace yarvo::simtool {

// What stops the kernel path on this machine, one sentence each (empty when
// nothing does).  Tries it for real in a short-lived child process: a mount
// namespace, a FUSE mount in it.
std::vector<std::string> kernelPathProblems();

class Sandbox {
public:
    // Enters a private mount namespace; as a user other than root, a user
    // namespace first, mapping the user and group to themselves.  Must be
    // called while the process has one thread.  False with a message.
    bool enter(std::string* error);

    // Mounts the board file system and lays out /dev and /sys/class.  The
    // file system starts serving here (its thread answers the lookups the
    // binds make).  False with a message.
    bool populate(BoardFileSystem& fs, const std::vector<unsigned>& instances, std::string* error);

    bool unprivileged() const { return userNamespace_; }
    // Host entries that could not be bound into the copies (not fatal).
    const std::vector<std::string>& skipped() const { return skipped_; }

private:
    bool userNamespace_ = false;
    std::vector<std::string> skipped_;
    bool copyDirectory(const char* path, const char* fsType, unsigned long flags, const std::string& options,
                       bool (*keep)(const char* name), std::string* error);
};

}  // namespace yarvo::simtool

#endif
