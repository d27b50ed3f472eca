// Starting the host program and supervising its process tree.
#include "supervise.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace yarvo::simtool {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kTickMillis = 100;   // longest sleep between looks at the tree

volatile sig_atomic_t gProgram = 0;
volatile sig_atomic_t gStops = 0;
int gWakeFds[2] = {-1, -1};   // written by the handlers, so that waiting ends at once

void wake() {
    const int saved = errno;
    const char byte = 0;
    (void)!::write(gWakeFds[1], &byte, 1);
    errno = saved;
}

// The first stop sent to yarvo-sim alone is passed on to the program (one
// typed at the terminal reaches it by itself); from the second on, it is
// killed.  The rest of the tree is the main loop's business.
void onStopSignal(int sig, siginfo_t* info, void*) {
    gStops = gStops + 1;
    const pid_t program = gProgram;
    if (program > 0) {
        if (gStops > 1) {
            ::kill(program, SIGKILL);
        } else if (info == nullptr || info->si_code != SI_KERNEL) {
            ::kill(program, sig);
        }
    }
    wake();
}

void onChild(int) { wake(); }

bool executable(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

void signalAll(const std::vector<pid_t>& pids, int sig) {
    for (pid_t pid : pids) {
        ::kill(pid, sig);
    }
}

// Child side of fork: becomes the program.  Only async-signal-safe calls.
[[noreturn]] void becomeProgram(const char* path, char* const* argv, int inputFd, int outputFd, int errorFd) {
    struct sigaction deflt;
    std::memset(&deflt, 0, sizeof deflt);
    deflt.sa_handler = SIG_DFL;
    for (int sig : kStopSignals) {
        sigaction(sig, &deflt, nullptr);
    }
    sigaction(SIGCHLD, &deflt, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (inputFd >= 0) {
        ::dup2(inputFd, STDIN_FILENO);
    }
    if (outputFd >= 0) {
        ::dup2(outputFd, STDOUT_FILENO);
        ::dup2(outputFd, STDERR_FILENO);
    }
    ::execv(path, argv);
    const int err = errno;
    const char* prefix = "yarvo-sim: cannot run the program: ";
    (void)!::write(errorFd, prefix, std::strlen(prefix));
    (void)!::write(errorFd, std::strerror(err), std::strlen(std::strerror(err)));
    (void)!::write(errorFd, "\n", 1);
    ::_exit(err == ENOENT ? kNotFound : kNotExecutable);
}

}  // namespace

int resolveProgram(const std::string& name, std::string* path, std::string* message) {
    if (name.find('/') != std::string::npos) {
        if (::access(name.c_str(), F_OK) != 0) {
            *message = name + ": no such file";
            return kNotFound;
        }
        if (!executable(name)) {
            *message = name + ": not an executable file";
            return kNotExecutable;
        }
        *path = name;
        return 0;
    }
    const char* env = std::getenv("PATH");
    const std::string dirs = env != nullptr ? env : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        const size_t colon = dirs.find(':', start);
        const std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (executable(candidate)) {
            *path = candidate;
            return 0;
        }
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    *message = name + ": command not found";
    return kNotFound;
}

int exitCodeOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return kOwnFailure;
}

std::vector<pid_t> descendants() {
    std::map<pid_t, std::vector<pid_t>> children;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return {};
    }
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        FILE* f = std::fopen(path, "r");
        if (f == nullptr) {
            continue;
        }
        char line[1024];
        const size_t n = std::fread(line, 1, sizeof line - 1, f);
        std::fclose(f);
        line[n] = '\0';
        // "pid (comm) state ppid ...": comm may hold spaces and parentheses.
        const char* close = std::strrchr(line, ')');
        char state = 0;
        long parent = 0;
        if (close != nullptr && std::sscanf(close + 1, " %c %ld", &state, &parent) == 2) {
            children[static_cast<pid_t>(parent)].push_back(static_cast<pid_t>(pid));
        }
    }
    ::closedir(proc);
    std::vector<pid_t> out;
    std::vector<pid_t> next = {::getpid()};
    while (!next.empty()) {
        std::vector<pid_t> level;
        for (pid_t p : next) {
            const auto it = children.find(p);
            if (it != children.end()) {
                level.insert(level.end(), it->second.begin(), it->second.end());
            }
        }
        out.insert(out.end(), level.begin(), level.end());
        next = std::move(level);
    }
    return out;
}

bool Supervisor::prepare(std::string* error) {
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        *error = std::string("cannot become the subreaper of the program's processes: ") + std::strerror(errno);
        return false;
    }
    if (gWakeFds[0] < 0 && ::pipe2(gWakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onStopSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int sig : kStopSignals) {
        sigaction(sig, &action, nullptr);
    }
    struct sigaction child;
    std::memset(&child, 0, sizeof child);
    child.sa_handler = onChild;
    child.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&child.sa_mask);
    sigaction(SIGCHLD, &child, nullptr);
    return true;
}

bool Supervisor::start(const std::string& path, const std::vector<std::string>& args, int inputFd, int outputFd,
                       int errorFd, std::string* error) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (std::string& a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        becomeProgram(path.c_str(), argv.data(), inputFd, outputFd, errorFd);
    }
    program_ = pid;
    gProgram = pid;
    return true;
}

const volatile sig_atomic_t* Supervisor::stops() const { return &gStops; }

void Supervisor::handleStops() {
    if (gStops == 0 || killSent_) {
        return;
    }
    if (gStops > 1 || (termSent_ && std::chrono::steady_clock::now() >= killAt_)) {
        signalAll(descendants(), SIGKILL);
        killSent_ = true;
    } else if (programDone_ && !termSent_) {
        signalAll(descendants(), SIGTERM);
        termSent_ = true;
        killAt_ = std::chrono::steady_clock::now() + kGracePeriod;
    }
}

bool Supervisor::running() {
    for (;;) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid > 0) {
            if (pid == program_) {
                programDone_ = true;
                programStatus_ = status;
                gProgram = 0;
            }
            continue;
        }
        if (pid < 0 && errno == EINTR) {
            continue;
        }
        handleStops();
        return pid == 0;   // children left (ECHILD: none)
    }
}

int Supervisor::wait() {
    while (running()) {
        char drain[64];
        while (::read(gWakeFds[0], drain, sizeof drain) > 0) {
        }
        pollfd fd{gWakeFds[0], POLLIN, 0};
        ::poll(&fd, 1, kTickMillis);
    }
    return programDone_ ? exitCodeOf(programStatus_) : kOwnFailure;
}

}  // namespace yarvo::simtool
