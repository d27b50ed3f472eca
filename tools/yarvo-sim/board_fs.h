// The FUSE file system that stands in for the kernel driver's files:
//
//   Kmora_N                      one per board: opening it asks the virtual
//                                driver (openNode); its ioctl 0xC2108100
//                                carries the 528-byte transfer block to the
//                                board (transfer), from 64-bit and 32-bit
//                                callers alike
//   class/Kmora_N/device/product the sysfs texts, read from the virtual driver
//   class/Kmora_N/device/speed   at open; an unplugged board's directory
//                                vanishes from class/
//   Kmora_noop                   only with serveNoop(true), for benchmarks: its
//                                ioctl is answered at once with the bytes it
//                                brought, the floor of the FUSE path
//
// The sandbox binds Kmora_N onto /dev/Kmora_N and class/ onto
// /sys/class/Kmora.  Requests are served on one thread of this process.
// Mounted with allow_other and default_permissions: every process of the
// private namespace, whatever its user, reaches the nodes (mode 0666) and
// reads the texts (0444), as with the kernel driver's own files.
#ifndef YARVO_SIM_TOOL_BOARD_FS_H
#define YARVO_SIM_TOOL_BOARD_FS_H

#include <string>
#include <thread>
#include <vector>

#include "virtual_driver.h"

struct fuse_session;

namespace yarvo::simtool {

// The mount options of the board file system on the /dev/fuse descriptor
// `fuseFd` (the sandbox's trial mount uses them too).
std::string mountOptions(int fuseFd);

class BoardFileSystem {
public:
    BoardFileSystem(sim::VirtualDriver& driver, std::vector<unsigned> instances);
    ~BoardFileSystem();
    BoardFileSystem(const BoardFileSystem&) = delete;
    BoardFileSystem& operator=(const BoardFileSystem&) = delete;

    // Mounts the file system on the directory `mountPoint` (this needs
    // CAP_SYS_ADMIN in the mount namespace's owner: root, or the user
    // namespace that the sandbox made) and starts serving it.  False with a
    // message.
    bool mount(const std::string& mountPoint, std::string* error);

    // Stops answering: the serving thread ends once the kernel lets go of the
    // file system (or the process exits, which makes every request fail).
    void shutDown();

    sim::VirtualDriver& driver() { return driver_; }
    bool serves(unsigned instance) const;

    // Whether Kmora_noop is served.  Set before mount().
    void serveNoop(bool on) { noop_ = on; }
    bool servesNoop() const { return noop_; }

private:
    sim::VirtualDriver& driver_;
    std::vector<unsigned> instances_;
    bool noop_ = false;
    fuse_session* session_ = nullptr;
    std::thread thread_;
};

}  // namespace yarvo::simtool

#endif
