// The virtual kernel driver: instances, sysfs texts, node opening, the
// transfer entry point with fault injection and logging, and the clock.
#include "virtual_driver.h"

#include <cerrno>
#include <cstring>

namespace yarvo::sim {

namespace {

constexpr char kClassPrefix[] = "/sys/class/Kmora/Kmora_";
constexpr char kNodePrefix[] = "/dev/Kmora_";

// Parses a decimal instance number 0-15 at *p (no sign, no leading zero but
// for "0") and moves p past it.  -1 when there is none.
int parseInstance(const char*& p) {
    if (*p < '0' || *p > '9') {
        return -1;
    }
    if (*p == '0') {
        ++p;
        return (*p >= '0' && *p <= '9') ? -1 : 0;
    }
    int value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        if (value >= static_cast<int>(kInstances)) {
            return -1;
        }
        ++p;
    }
    return value;
}

bool startsWith(const char* text, const char* prefix, size_t length) {
    return std::strncmp(text, prefix, length) == 0;
}

// Board time that the wall clock has reached: `baseMicros` was board time
// at the steady-clock instant `base`.
uint64_t wallTarget(std::chrono::steady_clock::time_point base, uint64_t baseMicros) {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - base);
    return baseMicros + static_cast<uint64_t>(elapsed.count());
}

}  // namespace

VirtualDriver::VirtualDriver() { reset(); }

void VirtualDriver::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Instance& b : boards_) {
        b = Instance();
        // Every instance keeps a board object, present or not, so that the
        // test side can always reach one.
        b.firmware = std::make_unique<Firmware>();
    }
    log_.clear();
    logging_ = true;
    observer_ = nullptr;
    now_ = 0;
    realTime_ = false;
    wallBaseMicros_ = 0;
}

void VirtualDriver::plug(unsigned instance) {
    std::lock_guard<std::mutex> lock(mutex_);
    Instance& b = boards_.at(instance);
    b = Instance();
    b.present = true;
    b.firmware = std::make_unique<Firmware>();
}

void VirtualDriver::remove(unsigned instance) {
    std::lock_guard<std::mutex> lock(mutex_);
    Instance& b = boards_.at(instance);
    b.present = false;
    b.faults.clear();
}

bool VirtualDriver::present(unsigned instance) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return instance < kInstances && boards_[instance].present;
}

void VirtualDriver::setProduct(unsigned instance, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    boards_.at(instance).product = text;
}

void VirtualDriver::setSpeed(unsigned instance, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    boards_.at(instance).speed = text;
}

void VirtualDriver::setNodeOpens(unsigned instance, bool opens) {
    std::lock_guard<std::mutex> lock(mutex_);
    boards_.at(instance).nodeOpens = opens;
}

void VirtualDriver::unplug(unsigned instance) {
    std::lock_guard<std::mutex> lock(mutex_);
    boards_.at(instance).plugged = false;
}

void VirtualDriver::replug(unsigned instance) {
    std::lock_guard<std::mutex> lock(mutex_);
    boards_.at(instance).plugged = true;
}

bool VirtualDriver::pluggedIn(unsigned instance) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return instance < kInstances && boards_[instance].present && boards_[instance].plugged;
}

bool VirtualDriver::readAttribute(const char* path, std::string* text) {
    if (path == nullptr || !startsWith(path, kClassPrefix, sizeof kClassPrefix - 1)) {
        return false;
    }
    const char* p = path + sizeof kClassPrefix - 1;
    const int instance = parseInstance(p);
    if (instance < 0) {
        return false;
    }
    const bool product = std::strcmp(p, "/device/product") == 0;
    const bool speed = std::strcmp(p, "/device/speed") == 0;
    if (!product && !speed) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const Instance& b = boards_[instance];
    if (!b.present || !b.plugged) {
        return false;
    }
    if (text != nullptr) {
        *text = product ? b.product : b.speed;
    }
    return true;
}

int VirtualDriver::nodeInstance(const char* path) {
    if (path == nullptr || !startsWith(path, kNodePrefix, sizeof kNodePrefix - 1)) {
        return -1;
    }
    const char* p = path + sizeof kNodePrefix - 1;
    const int instance = parseInstance(p);
    return (instance >= 0 && *p == '\0') ? instance : -1;
}

int VirtualDriver::openNode(unsigned instance) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (instance >= kInstances || !boards_[instance].present || !boards_[instance].plugged) {
        return ENOENT;
    }
    return boards_[instance].nodeOpens ? 0 : EACCES;
}

int VirtualDriver::transfer(unsigned instance, wire::TransferBlock* block) {
    if (block == nullptr) {
        return EFAULT;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (realTime_) {
        const uint64_t target = wallTarget(wallBase_, wallBaseMicros_);
        if (target > now_) {
            advanceLocked(target - now_);
        }
    }

    TransferRecord record;
    record.instance = instance;
    record.timeMicros = now_;
    record.word0 = block->word0;
    record.word1 = block->word1;
    record.requestLength = block->requestLength;
    record.responseOffered = block->responseLength;
    record.command = block->buffer[0];
    // The byte copies are made only for the log and the observer: with both
    // off a transfer allocates nothing.
    const bool keepBytes = logging_ || observer_ != nullptr;
    if (keepBytes && block->requestLength > 1) {
        const size_t n = block->requestLength <= wire::kBufferSize ? block->requestLength : wire::kBufferSize;
        record.payload.assign(block->buffer + 1, block->buffer + n);
    }
    auto finish = [&](int error) {
        record.error = error;
        if (error == 0) {
            record.responseLength = block->responseLength;
            record.echo = block->buffer[0];
            record.status = block->buffer[1];
            if (keepBytes && block->responseLength > 2) {
                const size_t n = block->responseLength <= wire::kBufferSize ? block->responseLength
                                                                            : wire::kBufferSize;
                record.response.assign(block->buffer + 2, block->buffer + n);
            }
        }
        if (observer_) {
            observer_(record);
        }
        if (logging_) {
            log_.push_back(std::move(record));
        }
        return error;
    };

    if (instance >= kInstances || !boards_[instance].present || !boards_[instance].plugged) {
        return finish(ENODEV);
    }
    Instance& b = boards_[instance];
    Fault fault;
    bool haveFault = false;
    if (!b.faults.empty()) {
        fault = std::move(b.faults.front());
        b.faults.pop_front();
        haveFault = true;
        if (fault.kind == Fault::Errno) {
            return finish(fault.value);
        }
    }
    if (block->word0 != wire::kBlockWord0 || block->word1 != wire::kBlockWord1 ||
        block->requestLength < 1 || block->requestLength > wire::kMaxRequestPayload + 1) {
        return finish(EINVAL);
    }

    // The firmware reads the request from a copy: the response overwrites
    // the buffer it came in.
    uint8_t request[wire::kMaxRequestPayload + 1];
    std::memcpy(request, block->buffer, block->requestLength);
    uint8_t payload[wire::kMaxResponsePayload];
    uint32_t payloadLength = 0;
    const uint8_t status = b.firmware->handle(request, block->requestLength, payload, &payloadLength);
    if (payloadLength > wire::kMaxResponsePayload) {
        payloadLength = wire::kMaxResponsePayload;
    }
    block->buffer[0] = request[0];
    block->buffer[1] = status;
    std::memcpy(block->buffer + 2, payload, payloadLength);
    block->responseLength = payloadLength + 2;

    if (haveFault) {
        switch (fault.kind) {
        case Fault::ResponseLength:
            block->responseLength = static_cast<uint32_t>(fault.value);
            break;
        case Fault::Echo:
            block->buffer[0] = static_cast<uint8_t>(fault.value);
            break;
        case Fault::Status:
            block->buffer[1] = static_cast<uint8_t>(fault.value);
            break;
        case Fault::Payload: {
            const size_t n = fault.payload.size() <= wire::kBufferSize - 2 ? fault.payload.size()
                                                                           : wire::kBufferSize - 2;
            if (n > 0) {
                std::memcpy(block->buffer + 2, fault.payload.data(), n);
            }
            block->responseLength = static_cast<uint32_t>(n + 2);
            break;
        }
        case Fault::Errno:
            break;
        }
    }
    return finish(0);
}

void VirtualDriver::injectFault(unsigned instance, const Fault& fault, unsigned times) {
    std::lock_guard<std::mutex> lock(mutex_);
    Instance& b = boards_.at(instance);
    for (unsigned i = 0; i < times; ++i) {
        b.faults.push_back(fault);
    }
}

void VirtualDriver::failNext(unsigned instance, int err, unsigned times) {
    Fault fault;
    fault.kind = Fault::Errno;
    fault.value = err;
    injectFault(instance, fault, times);
}

void VirtualDriver::clearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Instance& b : boards_) {
        b.faults.clear();
    }
}

std::vector<TransferRecord> VirtualDriver::log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

std::vector<TransferRecord> VirtualDriver::log(unsigned instance) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<TransferRecord> out;
    for (const TransferRecord& r : log_) {
        if (r.instance == instance) {
            out.push_back(r);
        }
    }
    return out;
}

size_t VirtualDriver::transferCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_.size();
}

void VirtualDriver::clearLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
}

void VirtualDriver::setLogging(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    logging_ = on;
}

void VirtualDriver::setTransferObserver(TransferObserver observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

void VirtualDriver::advance(std::chrono::microseconds by) {
    if (by.count() <= 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t micros = static_cast<uint64_t>(by.count());
    // In real time the wall clock is shifted with it, so that the next
    // synchronisation does not count this stretch twice.
    wallBaseMicros_ += micros;
    advanceLocked(micros);
}

uint64_t VirtualDriver::nowMicros() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

void VirtualDriver::useRealTime(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (on && !realTime_) {
        wallBase_ = std::chrono::steady_clock::now();
        wallBaseMicros_ = now_;
    }
    realTime_ = on;
}

void VirtualDriver::syncToWallClock() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!realTime_) {
        return;
    }
    const uint64_t target = wallTarget(wallBase_, wallBaseMicros_);
    if (target > now_) {
        advanceLocked(target - now_);
    }
}

void VirtualDriver::advanceLocked(uint64_t micros) {
    now_ += micros;
    for (Instance& b : boards_) {
        if (b.present) {
            b.firmware->advance(micros);
        }
    }
}

VirtualDriver& driver() {
    // Never destroyed: a host may still talk to its board from a static
    // object's destructor or an exit handler, after function-local statics
    // are gone.
    static VirtualDriver* const instance = new VirtualDriver();
    return *instance;
}

}  // namespace yarvo::sim
