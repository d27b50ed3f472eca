// The control channel on a UNIX stream socket (yarvo-sim run --control),
// and its client (yarvo-sim ctl).  The commands themselves are
// sim/control_protocol.h's.
//
// The socket belongs to the daemon's owner:
//  * it is created with mode 0600 whatever the umask, and each client's
//    credentials are checked (SO_PEERCRED): only the daemon's own user and
//    root are served, anyone else is answered "error: permission denied";
//    (as a user other than root the daemon lives in a user namespace, where
//    root outside cannot be told from other users: there only its own user);
//  * one thread serves every client without ever blocking on one: sockets
//    are non-blocking, a client whose unread replies pass kOutputLimit is not
//    read from until it reads them, at most kMaxClients are served at once
//    (the next is answered "error: busy" and closed), and running out of
//    descriptors is answered the same way instead of spinning;
//  * a socket left at the path by an earlier run is replaced only when
//    nobody answers on it (connect refused); starting daemons take turns on
//    the directory (flock), so two never both take one path; at stop the
//    path is removed only while it is still this daemon's socket.
#ifndef YARVO_SIM_TOOL_CONTROL_SERVER_H
#define YARVO_SIM_TOOL_CONTROL_SERVER_H

#include <sys/types.h>

#include <string>
#include <thread>
#include <vector>

#include "control_protocol.h"

namespace yarvo::simtool {

class ControlServer {
public:
    static constexpr size_t kMaxClients = 16;
    static constexpr size_t kOutputLimit = 64 * 1024;
    static constexpr size_t kMaxLine = 4096;

    ControlServer() = default;
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds `path` and starts serving.  False with a message.
    bool start(const std::string& path, sim::VirtualDriver& driver, std::vector<unsigned> instances,
               sim::SymbolNamer namer, std::string* error);
    // Stops serving, closes every connection and removes the socket if the
    // path still names it.
    void stop();

private:
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::thread thread_;
    void serve(sim::VirtualDriver* driver, std::vector<unsigned> instances, sim::SymbolNamer namer);
};

// Client side: sends each command to the socket at `path` and writes each
// reply line to `replies`.  Returns 0 when every reply was "ok", 1 when one
// was an error, 2 when the socket could not be reached or stopped answering
// (message in *error).
int sendControlCommands(const std::string& path, const std::vector<std::string>& commands,
                        std::vector<std::string>* replies, std::string* error);

}  // namespace yarvo::simtool

#endif
