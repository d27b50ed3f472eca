// The virtual kernel driver: instances, sysfs texts, node opening, the
// transfer entry point with fault injection and logging, and the clock.
#include "virtual_driver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "board_name.h"

namespace yarvo::sim {

namespace {

bool sameFault(const Fault& a, const Fault& b) {
    return a.kind == b.kind && a.value == b.value && a.payload == b.payload;
}

// Copies at most the block's buffer from a length the host gave.
size_t clampToBuffer(uint32_t length) { return length <= wire::kBufferSize ? length : wire::kBufferSize; }

}  // namespace

void VirtualDriver::Instance::clear(uint64_t now) {
    present = false;
    plugged = true;
    nodeOpens = true;
    product = kProductText;
    speed = kFullSpeedText;
    // Every instance keeps a board object, present or not, so that the test
    // side can always reach one.
    firmware = std::make_unique<Firmware>();
    time = now;
    transfers = 0;
    faults.clear();
    schedule.clear();
    std::lock_guard<std::mutex> lock(snapshotMutex);
    last = BoardSnapshot();
}

VirtualDriver::VirtualDriver() { reset(); }

void VirtualDriver::reset() {
    clock_.reset();
    for (Instance& b : boards_) {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.clear(0);
    }
    {
        std::lock_guard<std::mutex> lock(logMutex_);
        log_.clear();
    }
    logging_.store(true);
    changeObservers([](Observers& o) { o = Observers(); });
    setInterceptor(nullptr);
}

void VirtualDriver::plug(unsigned instance) {
    Instance& b = boards_.at(instance);
    const uint64_t now = clock_.now();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.clear(now);
    b.present = true;
}

void VirtualDriver::remove(unsigned instance) {
    Instance& b = boards_.at(instance);
    std::lock_guard<std::mutex> lock(b.mutex);
    b.present = false;
    b.faults.clear();
}

bool VirtualDriver::present(unsigned instance) const {
    if (instance >= kInstances) {
        return false;
    }
    std::lock_guard<std::mutex> lock(boards_[instance].mutex);
    return boards_[instance].present;
}

void VirtualDriver::setProduct(unsigned instance, const std::string& text) {
    Instance& b = boards_.at(instance);
    std::lock_guard<std::mutex> lock(b.mutex);
    b.product = text;
}

void VirtualDriver::setSpeed(unsigned instance, const std::string& text) {
    Instance& b = boards_.at(instance);
    std::lock_guard<std::mutex> lock(b.mutex);
    b.speed = text;
}

void VirtualDriver::setNodeOpens(unsigned instance, bool opens) {
    Instance& b = boards_.at(instance);
    std::lock_guard<std::mutex> lock(b.mutex);
    b.nodeOpens = opens;
}

void VirtualDriver::unplug(unsigned instance) {
    Instance& b = boards_.at(instance);
    std::lock_guard<std::mutex> lock(b.mutex);
    b.plugged = false;
}

void VirtualDriver::replug(unsigned instance) {
    Instance& b = boards_.at(instance);
    std::lock_guard<std::mutex> lock(b.mutex);
    b.plugged = true;
}

bool VirtualDriver::pluggedIn(unsigned instance) const {
    if (instance >= kInstances) {
        return false;
    }
    const Instance& b = boards_[instance];
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.present && b.plugged;
}

void VirtualDriver::catchUp(Instance& b, uint64_t now) {
    // Another thread may have read a later time and got here first.
    now = now > b.time ? now : b.time;
    // Absent boards stand still.
    while (!b.schedule.empty() && b.schedule.front().atMicros <= now) {
        const ScheduledFault next = b.schedule.front();
        b.schedule.erase(b.schedule.begin());
        if (next.atMicros > b.time) {
            if (b.present) {
                b.firmware->advance(next.atMicros - b.time);
            }
            b.time = next.atMicros;
        }
        applyBoardFault(*b.firmware, next.fault);
    }
    if (now > b.time && b.present) {
        b.firmware->advance(now - b.time);
    }
    b.time = now;
}

BoardSnapshot VirtualDriver::snapshot(unsigned instance) {
    BoardSnapshot s;
    s.instance = instance;
    if (instance >= kInstances) {
        return s;
    }
    Instance& b = boards_[instance];
    std::unique_lock<std::mutex> lock(b.mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        std::lock_guard<std::mutex> last(b.snapshotMutex);
        s = b.last;
        s.instance = instance;
        return s;
    }
    catchUp(b, clock_.now());
    const Firmware& fw = *b.firmware;
    s.present = b.present;
    s.plugged = b.present && b.plugged;
    s.timeMicros = b.time;
    s.inputs = fw.inputs();
    s.changedInputs = fw.changedInputs();
    s.outputs = fw.outputs();
    s.power = fw.powerStatus();
    s.transfers = b.transfers;
    for (const FaultRun& run : b.faults) {
        s.pendingFaults += run.count;
    }
    for (unsigned r = 0; r < kBoardReels; ++r) {
        s.reels[r] = fw.reel(r).snapshot();
    }
    const size_t speedLength = std::min(b.speed.find('\n'), sizeof s.speed - 1);
    b.speed.copy(s.speed, speedLength);
    lock.unlock();
    std::lock_guard<std::mutex> last(b.snapshotMutex);
    b.last = s;
    return s;
}

bool VirtualDriver::readAttribute(const char* path, std::string* text) {
    bool product = false;
    const int instance = names::boardAttribute(path, &product);
    if (instance < 0) {
        return false;
    }
    const Instance& b = boards_[static_cast<unsigned>(instance)];
    std::string local;
    std::string* out = text != nullptr ? text : &local;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        found = b.present && b.plugged;
        if (found) {
            *out = product ? b.product : b.speed;
        }
    }
    if (const std::shared_ptr<Interceptor> through = interceptor()) {
        found = through->attribute(static_cast<unsigned>(instance), product, found, out);
    }
    return found;
}

int VirtualDriver::nodeInstance(const char* path) { return names::boardNode(path); }

int VirtualDriver::openNode(unsigned instance) {
    if (instance >= kInstances) {
        return ENOENT;
    }
    const Instance& b = boards_[instance];
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        error = !b.present || !b.plugged ? ENOENT : b.nodeOpens ? 0 : EACCES;
    }
    if (const std::shared_ptr<Interceptor> through = interceptor()) {
        error = through->open(instance, error);
    }
    return error;
}

// The request in `block` answered by the board, under the board's lock:
// the next fault first, then the firmware.
int VirtualDriver::serve(Instance& b, wire::TransferBlock* block) {
    if (!b.present || !b.plugged) {
        return ENODEV;
    }
    // The next fault is used up by this transfer, whatever becomes of it.
    const Fault* fault = b.faults.empty() ? nullptr : &b.faults.front().fault;
    auto usedUp = [&b](int result) {
        if (--b.faults.front().count == 0) {
            b.faults.pop_front();
        }
        return result;
    };
    if (fault != nullptr && fault->kind == Fault::Errno) {
        return usedUp(fault->value);
    }
    if (block->word0 != wire::kBlockWord0 || block->word1 != wire::kBlockWord1 || block->requestLength < 1 ||
        block->requestLength > wire::kMaxRequestPayload + 1) {
        return fault != nullptr ? usedUp(EINVAL) : EINVAL;
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

    if (fault != nullptr) {
        switch (fault->kind) {
        case Fault::ResponseLength:
            block->responseLength = static_cast<uint32_t>(fault->value);
            break;
        case Fault::Echo:
            block->buffer[0] = static_cast<uint8_t>(fault->value);
            break;
        case Fault::Status:
            block->buffer[1] = static_cast<uint8_t>(fault->value);
            break;
        case Fault::Payload: {
            const size_t n = fault->payload.size() <= wire::kBufferSize - 2 ? fault->payload.size()
                                                                            : wire::kBufferSize - 2;
            if (n > 0) {
                std::memcpy(block->buffer + 2, fault->payload.data(), n);
            }
            block->responseLength = static_cast<uint32_t>(n + 2);
            break;
        }
        case Fault::Errno:
            break;
        }
        return usedUp(0);
    }
    return 0;
}

int VirtualDriver::transfer(unsigned instance, wire::TransferBlock* block) {
    if (block == nullptr) {
        return EFAULT;
    }
    const uint64_t now = clock_.now();
    const bool keepBytes = logging_.load(std::memory_order_relaxed) || observing_.load(std::memory_order_acquire);
    TransferRecord record;
    record.instance = instance;
    record.timeMicros = now;
    record.word0 = block->word0;
    record.word1 = block->word1;
    record.requestLength = block->requestLength;
    record.responseOffered = block->responseLength;
    record.command = block->buffer[0];
    // The byte copies are made only for the log and the observer: with both
    // off a transfer allocates nothing.
    if (keepBytes && block->requestLength > 1) {
        record.payload.assign(block->buffer + 1, block->buffer + clampToBuffer(block->requestLength));
    }

    // With an interceptor the request is kept as the host sent it: the
    // board's answer overwrites the block.
    const std::shared_ptr<Interceptor> through = instance < kInstances ? interceptor() : nullptr;
    wire::TransferBlock request;
    if (through) {
        request = *block;
    }
    int error = ENODEV;
    if (instance < kInstances) {
        Instance& b = boards_[instance];
        std::lock_guard<std::mutex> lock(b.mutex);
        catchUp(b, now);
        record.timeMicros = b.time;
        ++b.transfers;
        error = serve(b, block);
    }
    if (through) {
        error = through->transfer(instance, request, block, error);
    }

    record.error = error;
    if (error == 0) {
        record.responseLength = block->responseLength;
        record.echo = block->buffer[0];
        record.status = block->buffer[1];
        if (keepBytes && block->responseLength > 2) {
            record.response.assign(block->buffer + 2, block->buffer + clampToBuffer(block->responseLength));
        }
    }
    if (keepBytes) {
        deliver(std::move(record));
    }
    return error;
}

void VirtualDriver::deliver(TransferRecord&& record) {
    if (observing_.load(std::memory_order_acquire)) {
        const std::shared_ptr<const Observers> observers = std::atomic_load(&observers_);
        if (observers && observers->primary) {
            (*observers->primary)(record);
        }
        if (observers) {
            for (const auto& more : observers->more) {
                (*more.second)(record);
            }
        }
    }
    if (logging_.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lock(logMutex_);
        log_.push_back(std::move(record));
    }
}

bool VirtualDriver::injectFault(unsigned instance, const Fault& fault, uint64_t times) {
    if (instance >= kInstances || times == 0 || (fault.kind == Fault::Errno && fault.value <= 0)) {
        return false;
    }
    Instance& b = boards_[instance];
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!b.faults.empty() && sameFault(b.faults.back().fault, fault)) {
        uint64_t& count = b.faults.back().count;
        count = times > UINT64_MAX - count ? UINT64_MAX : count + times;
        return true;
    }
    if (b.faults.size() >= kMaxFaultRuns) {
        return false;
    }
    b.faults.push_back(FaultRun{fault, times});
    return true;
}

bool VirtualDriver::failNext(unsigned instance, int err, uint64_t times) {
    Fault fault;
    fault.kind = Fault::Errno;
    fault.value = err;
    return injectFault(instance, fault, times);
}

uint64_t VirtualDriver::pendingFaults(unsigned instance) const {
    if (instance >= kInstances) {
        return 0;
    }
    const Instance& b = boards_[instance];
    std::lock_guard<std::mutex> lock(b.mutex);
    uint64_t total = 0;
    for (const FaultRun& run : b.faults) {
        total = run.count > UINT64_MAX - total ? UINT64_MAX : total + run.count;
    }
    return total;
}

size_t VirtualDriver::pendingFaultRuns(unsigned instance) const {
    if (instance >= kInstances) {
        return 0;
    }
    const Instance& b = boards_[instance];
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.faults.size();
}

void VirtualDriver::clearFaults() {
    for (Instance& b : boards_) {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.faults.clear();
    }
}

bool VirtualDriver::scheduleFault(unsigned instance, uint64_t atMicros, const BoardFault& fault) {
    if (instance >= kInstances) {
        return false;
    }
    Instance& b = boards_[instance];
    std::lock_guard<std::mutex> lock(b.mutex);
    if (b.schedule.size() >= kMaxScheduledFaults) {
        return false;
    }
    ScheduledFault s;
    s.instance = instance;
    s.atMicros = atMicros;
    s.fault = fault;
    auto after = std::upper_bound(b.schedule.begin(), b.schedule.end(), atMicros,
                                  [](uint64_t at, const ScheduledFault& f) { return at < f.atMicros; });
    b.schedule.insert(after, s);
    return true;
}

size_t VirtualDriver::scheduledFaults(unsigned instance) const {
    if (instance >= kInstances) {
        return 0;
    }
    const Instance& b = boards_[instance];
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.schedule.size();
}

std::vector<TransferRecord> VirtualDriver::log() const {
    std::lock_guard<std::mutex> lock(logMutex_);
    return log_;
}

std::vector<TransferRecord> VirtualDriver::log(unsigned instance) const {
    std::lock_guard<std::mutex> lock(logMutex_);
    std::vector<TransferRecord> out;
    for (const TransferRecord& r : log_) {
        if (r.instance == instance) {
            out.push_back(r);
        }
    }
    return out;
}

size_t VirtualDriver::transferCount() const {
    std::lock_guard<std::mutex> lock(logMutex_);
    return log_.size();
}

void VirtualDriver::clearLog() {
    std::lock_guard<std::mutex> lock(logMutex_);
    log_.clear();
}

void VirtualDriver::setLogging(bool on) { logging_.store(on); }

template <class Change> void VirtualDriver::changeObservers(Change change) {
    std::lock_guard<std::mutex> lock(observerMutex_);
    const std::shared_ptr<const Observers> current = std::atomic_load(&observers_);
    auto next = std::make_shared<Observers>(current ? *current : Observers());
    change(*next);
    const bool any = next->primary != nullptr || !next->more.empty();
    std::atomic_store(&observers_, std::shared_ptr<const Observers>(std::move(next)));
    observing_.store(any, std::memory_order_release);
}

void VirtualDriver::setTransferObserver(TransferObserver observer) {
    std::shared_ptr<const TransferObserver> next;
    if (observer) {
        next = std::make_shared<const TransferObserver>(std::move(observer));
    }
    changeObservers([&](Observers& o) { o.primary = next; });
}

unsigned VirtualDriver::addTransferObserver(TransferObserver observer) {
    unsigned handle = 0;
    changeObservers([&](Observers& o) {
        handle = nextObserver_++;
        o.more.emplace_back(handle, std::make_shared<const TransferObserver>(std::move(observer)));
    });
    return handle;
}

void VirtualDriver::removeTransferObserver(unsigned handle) {
    changeObservers([&](Observers& o) {
        for (auto it = o.more.begin(); it != o.more.end(); ++it) {
            if (it->first == handle) {
                o.more.erase(it);
                break;
            }
        }
    });
}

void VirtualDriver::setInterceptor(std::shared_ptr<Interceptor> interceptor) {
    intercepting_.store(interceptor != nullptr, std::memory_order_release);
    std::atomic_store(&interceptor_, std::move(interceptor));
}

std::shared_ptr<Interceptor> VirtualDriver::interceptor() const {
    if (!intercepting_.load(std::memory_order_acquire)) {
        return nullptr;
    }
    return std::atomic_load(&interceptor_);
}

void VirtualDriver::advance(std::chrono::microseconds by) {
    if (by.count() > 0) {
        clock_.advance(static_cast<uint64_t>(by.count()));
    }
}

uint64_t VirtualDriver::nowMicros() const { return clock_.current(); }

void VirtualDriver::useRealTime(bool on) { clock_.followWall(on); }

void VirtualDriver::syncToWallClock() {
    const uint64_t now = clock_.now();
    for (Instance& b : boards_) {
        std::lock_guard<std::mutex> lock(b.mutex);
        catchUp(b, now);
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
