#include "session_recorder.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "output_file.h"
#include "session.h"
#include "yarvo.h"

namespace yarvo::simtool {

std::string libraryVersionText() {
    Yarvo yarvo;
    unsigned char text[8] = {};
    yarvo.GetDllVersion(text);
    return std::string(reinterpret_cast<const char*>(text));
}

SessionRecorder::~SessionRecorder() {
    if (fd_ >= 0) ::close(fd_);
}

bool SessionRecorder::start(sim::VirtualDriver& driver, const std::vector<unsigned>& instances,
                            const std::string& path, std::string* error) {
    tools::OutputFileOptions options;
    options.truncate = true;
    fd_ = tools::openOutputFile(path, options, error);
    if (fd_ < 0) return false;
    driver_ = &driver;
    path_ = path;
    session::Header header;
    header.project = session::projectVersion();
    header.library = libraryVersionText();
    header.recorder = "yarvo-sim run";
    header.started = session::startedNow();
    for (const unsigned instance : instances) {
        session::Board board;
        board.instance = instance;
        const std::string base = "/sys/class/Kmora/Kmora_" + std::to_string(instance) + "/device/";
        board.hasProduct = driver.readAttribute((base + "product").c_str(), &board.product);
        board.hasSpeed = driver.readAttribute((base + "speed").c_str(), &board.speed);
        board.nodeError = driver.openNode(instance);
        header.boards.push_back(board);
    }
    write(session::headerLine(header));
    if (writeError_.load() != 0) {
        *error = "cannot write the session " + path + ": " + std::strerror(writeError_.load());
        return false;
    }
    return true;
}

bool SessionRecorder::finish(int status, std::string* error) {
    if (fd_ < 0) return true;
    write(session::endLine(now(), status));
    ::close(fd_);
    fd_ = -1;
    if (writeError_.load() != 0) {
        *error = "the session " + path_ + " is incomplete: " + std::strerror(writeError_.load());
        return false;
    }
    return true;
}

uint64_t SessionRecorder::now() { return driver_->clock().now(); }

void SessionRecorder::write(const std::string& line) {
    if (!session::appendLine(fd_, line)) {
        int expected = 0;
        writeError_.compare_exchange_strong(expected, errno != 0 ? errno : EIO);
    }
}

bool SessionRecorder::attribute(unsigned instance, bool product, bool found, std::string* text) {
    write(session::attributeLine(now(), instance, product, found ? 0 : ENOENT, *text));
    return found;
}

int SessionRecorder::open(unsigned instance, int error) {
    write(session::openLine(now(), instance, error));
    return error;
}

int SessionRecorder::transfer(unsigned instance, const wire::TransferBlock& request, wire::TransferBlock* block,
                              int error) {
    write(session::transferLine(now(), instance, request, *block, error == 0 ? 0 : -1, error));
    return error;
}

}  // namespace yarvo::simtool
