// yarvo-sim: runs an unmodified host program against virtual K-Mora Yarvo
// Boards through the real kernel path (a FUSE-served /dev/Kmora_N in a
// private mount namespace), with a live view and a control channel; or, where
// FUSE is unavailable, with the in-process LD_PRELOAD transport.
//
//   yarvo-sim run [options] -- PROGRAM [ARGS...]
//   yarvo-sim ctl SOCKET COMMAND...      (or commands on standard input)
//   yarvo-sim check
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "board_fs.h"
#include "board_setup.h"
#include "control.h"
#include "sandbox.h"
#include "terminal_view.h"
#include "transfer_log.h"

namespace {

using namespace yarvo::simtool;

constexpr int kOwnFailure = 125;   // yarvo-sim itself failed; the program never ran
constexpr int kNotExecutable = 126;
constexpr int kNotFound = 127;
constexpr char kDefaultReelFile[] = "tamso-reel-definitions.xml";
constexpr char kDefaultLog[] = "yarvo-sim.log";

void say(const std::string& text) { std::fprintf(stderr, "yarvo-sim: %s\n", text.c_str()); }

// ------------------------------------------------------------ signals

volatile sig_atomic_t gChild = 0;
volatile sig_atomic_t gStops = 0;

// A signal typed at the terminal reaches the program by itself (it shares
// our process group); one sent to yarvo-sim alone is passed on.  From the
// second stop on, the program is killed.
void onStopSignal(int sig, siginfo_t* info, void*) {
    gStops = gStops + 1;
    const pid_t child = gChild;
    if (child <= 0) {
        return;
    }
    if (gStops > 1) {
        ::kill(child, SIGKILL);
    } else if (info == nullptr || info->si_code != SI_KERNEL) {
        ::kill(child, sig);
    }
}

void installSignalHandlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onStopSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaction(sig, &action, nullptr);
    }
}

// ------------------------------------------------------------ programs

// The program's path as execv wants it: PROGRAM itself when it holds a '/',
// else the first executable of that name on PATH.  Resolved before fork so
// that the child only has to exec.
int resolveProgram(const std::string& name, std::string* path) {
    auto executable = [](const std::string& p) {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
    };
    if (name.find('/') != std::string::npos) {
        if (::access(name.c_str(), F_OK) != 0) {
            say(name + ": no such file");
            return kNotFound;
        }
        if (!executable(name)) {
            say(name + ": not an executable file");
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
        std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
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
    say(name + ": command not found");
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

std::vector<char*> argvOf(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return argv;
}

// ------------------------------------------------------------ preload

std::string preloadLibrary(const std::string& given) {
    if (!given.empty()) {
        return given;
    }
    std::vector<std::string> candidates;
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = 0;
        std::string dir = self;
        dir = dir.substr(0, dir.rfind('/'));
        // Installed: <libdir>/yarvo/ relative to <bindir>.
        candidates.push_back(dir + "/" YARVO_SIM_PRELOAD_RELATIVE);
    }
    candidates.push_back(YARVO_SIM_PRELOAD_BUILD_PATH);
    for (const std::string& c : candidates) {
        char real[PATH_MAX];
        if (::access(c.c_str(), R_OK) == 0 && ::realpath(c.c_str(), real) != nullptr) {
            return real;
        }
    }
    return "";
}

// ------------------------------------------------------------ run

struct RunOptions {
    std::vector<std::string> boards;
    CabinetPlan cabinet;
    std::string reelFile;
    std::vector<std::string> reelTypes;
    std::string controlPath;
    bool view = false, noView = false;
    std::string logPath;
    std::string transferLogPath;
    bool preload = false;
    std::string preloadLibraryPath;
    bool verbose = false;
    bool benchNoop = false;
    std::vector<std::string> program;
};

int runWithPreload(RunOptions& o, const std::string& programPath) {
    const std::string library = preloadLibrary(o.preloadLibraryPath);
    if (library.empty()) {
        say("cannot find libyarvo-sim-preload.so (give it with --preload-library)");
        return kOwnFailure;
    }
    say("in-process transport: it covers dynamically linked glibc programs only; the boards live "
        "inside the program, so there is no view and no control channel");
    if (o.view || !o.controlPath.empty() || !o.cabinet.product.empty()) {
        say("--view, --control and --product do not apply with --preload and are ignored");
    }
    const char* old = std::getenv("LD_PRELOAD");
    const std::string preload = library + (old != nullptr && *old != 0 ? std::string(":") + old : "");
    if (!o.transferLogPath.empty()) {
        // The preload appends to it from inside the program (and from every
        // program that one starts): emptied here once, named absolutely.
        const int fd = ::open(o.transferLogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
        char real[PATH_MAX];
        if (fd < 0 || ::realpath(o.transferLogPath.c_str(), real) == nullptr) {
            say("cannot open the transfer log " + o.transferLogPath + ": " + std::strerror(errno));
            return kOwnFailure;
        }
        ::close(fd);
        ::setenv("YARVO_SIM_LOG", real, 1);
    }
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    ::setenv("YARVO_SIM_BOARDS", preloadBoardList(o.cabinet).c_str(), 1);
    std::vector<char*> argv = argvOf(o.program);
    ::execv(programPath.c_str(), argv.data());
    say(o.program[0] + ": " + std::strerror(errno));
    return errno == ENOENT ? kNotFound : kNotExecutable;
}

// Child side of fork: becomes the program.  Only async-signal-safe calls.
[[noreturn]] void becomeProgram(const std::string& path, char* const* argv, int inputFd, int outputFd, int errorFd) {
    struct sigaction deflt;
    std::memset(&deflt, 0, sizeof deflt);
    deflt.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaction(sig, &deflt, nullptr);
    }
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
    ::execv(path.c_str(), argv);
    const int err = errno;
    const char* prefix = "yarvo-sim: cannot run the program: ";
    (void)!::write(errorFd, prefix, std::strlen(prefix));
    (void)!::write(errorFd, std::strerror(err), std::strlen(std::strerror(err)));
    (void)!::write(errorFd, "\n", 1);
    ::_exit(err == ENOENT ? kNotFound : kNotExecutable);
}

int runCommand(RunOptions& o) {
    for (const std::string& text : o.boards) {
        BoardEntry entry;
        std::string error;
        if (!parseBoardEntry(text, &entry, &error)) {
            say(error);
            return kOwnFailure;
        }
        o.cabinet.boards.push_back(entry);
    }
    std::string error;
    if (!validateCabinet(o.cabinet, &error)) {
        say(error);
        return kOwnFailure;
    }
    std::string programPath;
    if (const int status = resolveProgram(o.program[0], &programPath); status != 0) {
        return status;
    }
    if (o.preload) {
        return runWithPreload(o, programPath);
    }

    // Reel types, so that the view and status can name symbols.
    ReelLabels labels;
    for (const std::string& value : o.reelTypes) {
        if (!labels.assignment.add(value, &error)) {
            say(error);
            return kOwnFailure;
        }
    }
    if (o.reelFile.empty() && !o.reelTypes.empty()) {
        o.reelFile = kDefaultReelFile;
    }
    if (!o.reelFile.empty()) {
        if (!labels.strips.load(o.reelFile, &error)) {
            say(error);
            return kOwnFailure;
        }
        for (const std::string& type : labels.assignment.namedTypes()) {
            if (labels.strips.find(type) == nullptr) {
                say("reel type \"" + type + "\" is not in " + o.reelFile);
                return kOwnFailure;
            }
        }
    }

    const std::vector<std::string> problems = kernelPathProblems();
    if (!problems.empty()) {
        say("the kernel path is not available here:");
        for (const std::string& p : problems) {
            std::fprintf(stderr, "  - %s\n", p.c_str());
        }
        say("--preload runs the program with the in-process LD_PRELOAD transport instead "
            "(dynamically linked glibc programs only)");
        return kOwnFailure;
    }

    const bool view = o.view || (!o.noView && ::isatty(STDOUT_FILENO));
    if (view && !::isatty(STDOUT_FILENO)) {
        say("--view needs a terminal on standard output");
        return kOwnFailure;
    }
    if (view && o.logPath.empty()) {
        o.logPath = kDefaultLog;
    }
    int logFd = -1, nullFd = -1;
    if (!o.logPath.empty()) {
        logFd = ::open(o.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
        if (logFd < 0) {
            say("cannot open the log " + o.logPath + ": " + std::strerror(errno));
            return kOwnFailure;
        }
        if (::isatty(logFd) == 0 && ::ftruncate(logFd, 0) != 0) {
            // A log that cannot be emptied is still written to.
        }
    }
    if (view) {
        nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    const int errorFd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);

    // The cabinet: boards in this process's virtual driver, on the wall clock.
    yarvo::sim::VirtualDriver& driver = yarvo::sim::driver();
    buildCabinet(driver, o.cabinet);
    driver.setLogging(false);   // a long run would grow the transfer log without end
    driver.useRealTime(true);
    // The decoded transfer log is streamed instead; opened before the
    // sandbox hides the machine's /dev.
    if (!o.transferLogPath.empty() &&
        !yarvo::decode::streamTransferLog(driver, o.transferLogPath, true, &error)) {
        say(error);
        return kOwnFailure;
    }
    std::vector<unsigned> instances;
    for (const BoardEntry& b : effectiveBoards(o.cabinet)) {
        instances.push_back(b.instance);
    }

    Sandbox sandbox;
    if (!sandbox.enter(&error)) {
        say(error);
        return kOwnFailure;
    }
    static BoardFileSystem fs(driver, instances);   // lives until _exit
    fs.serveNoop(o.benchNoop);
    if (!sandbox.populate(fs, instances, &error)) {
        say(error);
        return kOwnFailure;
    }
    if (o.verbose) {
        for (const std::string& s : sandbox.skipped()) {
            say("not available in the namespace: " + s);
        }
        say(std::string("kernel path ready") + (sandbox.unprivileged() ? " (user namespace)" : ""));
    }

    ControlServer control;
    if (!o.controlPath.empty()) {
        if (!control.start(o.controlPath, driver, instances, &labels, &error)) {
            say(error);
            return kOwnFailure;
        }
        say("control socket " + o.controlPath);
    }
    if (view) {
        say("the program's output goes to " + o.logPath);
    }

    installSignalHandlers();
    std::vector<char*> argv = argvOf(o.program);
    const pid_t pid = ::fork();
    if (pid < 0) {
        say(std::string("fork: ") + std::strerror(errno));
        control.stop();
        return kOwnFailure;
    }
    if (pid == 0) {
        becomeProgram(programPath, argv.data(), nullFd, logFd, errorFd);
    }
    gChild = pid;

    int status = 0;
    bool done = false;
    if (view) {
        ViewSetup setup;
        setup.driver = &driver;
        setup.instances = instances;
        setup.labels = &labels;
        setup.title = o.program[0] + " (pid " + std::to_string(pid) + ")";
        setup.logPath = o.logPath;
        setup.controlPath = o.controlPath;
        auto running = [&] {
            if (!done && ::waitpid(pid, &status, WNOHANG) == pid) {
                done = true;
            }
            return !done;
        };
        if (!runTerminalView(setup, running, &gStops, &error)) {
            say(error);
        }
        if (!done) {
            say(gStops > 0 ? "waiting for the program to end (once more to kill it)"
                           : "view closed; waiting for the program to end");
        }
    }
    while (!done) {
        if (::waitpid(pid, &status, 0) == pid) {
            done = true;
        } else if (errno != EINTR) {
            say(std::string("waitpid: ") + std::strerror(errno));
            status = kOwnFailure << 8;
            done = true;
        }
    }
    gChild = 0;
    control.stop();
    fs.shutDown();
    const int code = exitCodeOf(status);
    if (view || o.verbose) {
        say("the program ended with status " + std::to_string(code));
    }
    return code;
}

// ------------------------------------------------------------ ctl, check

int ctlCommand(const std::string& socket, const std::vector<std::string>& words) {
    std::vector<std::string> commands;
    if (words.empty() || (words.size() == 1 && words[0] == "-")) {
        std::string line;
        while (std::getline(std::cin, line)) {
            commands.push_back(line);
        }
    } else {
        std::string command;
        for (const std::string& w : words) {
            command += (command.empty() ? "" : " ") + w;
        }
        commands.push_back(command);
    }
    std::vector<std::string> replies;
    std::string error;
    const int status = sendControlCommands(socket, commands, &replies, &error);
    for (const std::string& reply : replies) {
        std::printf("%s\n", reply.c_str());
    }
    if (status == 2) {
        say(error);
    }
    return status;
}

int checkCommand(const std::string& preloadGiven) {
    const std::vector<std::string> problems = kernelPathProblems();
    if (problems.empty()) {
        std::printf("kernel path: available (%s)\n",
                    ::geteuid() == 0 ? "as root" : "through a user namespace");
    } else {
        std::printf("kernel path: not available\n");
        for (const std::string& p : problems) {
            std::printf("  - %s\n", p.c_str());
        }
    }
    const std::string library = preloadLibrary(preloadGiven);
    std::printf("in-process transport (--preload): %s\n",
                library.empty() ? "library not found"
                                : (library + " (dynamically linked glibc programs only)").c_str());
    return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Runs unmodified host programs against virtual K-Mora Yarvo Boards.", "yarvo-sim"};
    app.require_subcommand(1);

    RunOptions o;
    CLI::App* run = app.add_subcommand(
        "run", "Run PROGRAM with virtual boards behind /dev/Kmora_N and /sys/class/Kmora (yarvo-sim run [options] -- PROGRAM [ARGS...])");
    run->add_option("-b,--board", o.boards,
                    "A board: INSTANCE[:ADDRESS[:SPEED]], instance 0-15, address 0-7 (repeat for more; default 0:0)")
        ->allow_extra_args(false);
    run->add_option("--speed", o.cabinet.speed, "USB speed text of boards that name none (12 full, 480 high)")
        ->capture_default_str();
    run->add_option("--product", o.cabinet.product,
                    "Product text of every board instead of the real one, to test hosts against wrong boards");
    run->add_option("--reel-file", o.reelFile,
                    "Reel-definition file the view takes symbol positions from (default with --reel-types: " +
                        std::string(kDefaultReelFile) + ")");
    run->add_option("--reel-types", o.reelTypes,
                    "Reel type of each reel, [B:]TYPE,TYPE,...: reels 0, 1, ... of every board, or of board B")
        ->allow_extra_args(false);
    run->add_option("-c,--control", o.controlPath, "UNIX socket that takes control commands (see yarvo-sim ctl)");
    run->add_flag("--view", o.view, "Show the live view (default when standard output is a terminal)");
    run->add_flag("--no-view", o.noView, "Do not show the live view");
    run->add_option("--log", o.logPath,
                    "Send the program's output to this file or terminal (default with the view: " +
                        std::string(kDefaultLog) + ")");
    run->add_option("--transfer-log", o.transferLogPath,
                    "Write each transfer the boards serve to this file, decoded as yarvoctl trace shows it");
    run->add_flag("--preload", o.preload,
                  "Use the in-process LD_PRELOAD transport instead of the kernel path (dynamically linked glibc programs only)");
    run->add_option("--preload-library", o.preloadLibraryPath, "Path of libyarvo-sim-preload.so");
    run->add_flag("-v,--verbose", o.verbose, "Say more about the set-up");
    run->add_flag("--bench-noop", o.benchNoop,
                  "Also serve /dev/Kmora_noop, whose ioctl the daemon answers at once: the floor of the "
                  "kernel path, for benchmarks (kernel path only)");
    run->add_option("program", o.program, "PROGRAM [ARGS...]")->required();
    run->positionals_at_end();
    run->get_option("--view")->excludes("--no-view");

    std::string socket;
    std::vector<std::string> words;
    CLI::App* ctl = app.add_subcommand(
        "ctl", "Send one control command to a running simulator, or one per line from standard input");
    ctl->add_option("socket", socket, "The simulator's control socket")->required();
    ctl->add_option("command", words,
                    "status [B] | boards | board B | input N on|off|toggle | inputs HEX | address A | unplug B | "
                    "replug B | fail B N [ERRNO] | tamper B REEL HALFSTEPS");

    CLI::App* check = app.add_subcommand("check", "Tell which transports work on this machine");
    check->add_option("--preload-library", o.preloadLibraryPath, "Path of libyarvo-sim-preload.so");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kOwnFailure;
    }
    int code;
    if (run->parsed()) {
        code = runCommand(o);
    } else if (ctl->parsed()) {
        code = ctlCommand(socket, words);
    } else {
        code = checkCommand(o.preloadLibraryPath);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    // Threads (the board file system's, the control server's) may still be
    // running; leave without running destructors under them.
    ::_exit(code);
}
