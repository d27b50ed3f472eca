// Board channel: the driver object and its status codes, finding and opening
// the board through the kernel driver's sysfs attributes and device node, and
// the one command/response transfer through the driver's ioctl.
#include "yarvo.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <tinyxml.h>

#include "wire.h"

namespace {

// A failed search holds no board: commands must not reach a board the host
// never chose, nor one it held before the search.
void releaseBoardAfterFailedSearch(int& fd) {
    if (fd != -1) {
        ::close(fd);
        fd = -1;
    }
}

constexpr char kDefaultReelFile[] = "tamso-reel-definitions.xml";
constexpr char kBoardIdentity[] = "K-Mora Yarvo Board";
constexpr size_t kBoardIdentityLength = sizeof(kBoardIdentity) - 1;  // 18
constexpr unsigned kInstancesForInit = 16;
constexpr unsigned kInstancesForAddress = 8;
constexpr unsigned kHighestAddress = 15;

// Reads one block of up to `size` bytes of a sysfs attribute into `buffer`.
// False when the attribute cannot be opened.  Bytes not read keep their
// previous content; callers compare only prefixes.
bool readAttribute(const char* path, char* buffer, size_t size) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return false;
    }
    (void)std::fread(buffer, 1, size, file);
    std::fclose(file);
    return true;
}

}  // namespace

Yarvo::Yarvo()
    : deviceFd(-1),
      boardSpeed(USBBoardSpeedNone),
      lastError(ReelMsgOk),
      stepsPerSymbol(0),
      reelFilePath{},
      reelDocument(),
      reelDocumentLoaded(false),
      reelConfigured{},
      reelData{},
      currentSpeed{},
      reelDirection{1, 1, 1, 1, 1, 1, 1, 1},
      rampDownLength{},
      rampUpLength{} {
    std::memcpy(reelFilePath, kDefaultReelFile, sizeof(kDefaultReelFile));
}

// A copy starts as a new object: it must never share the source's descriptor
// (two objects closing one descriptor would close someone else's file).
Yarvo::Yarvo(Yarvo& /*other*/) : Yarvo() {}

Yarvo& Yarvo::operator=(Yarvo& /*other*/) { return *this; }

Yarvo::~Yarvo() {
    if (deviceFd != -1) {
        ::close(deviceFd);
    }
    deviceFd = -1;
}

bool Yarvo::Close() { return true; }

KReelMsg Yarvo::GetLastError() { return lastError; }

void Yarvo::setLastError(KReelMsg code) { lastError = code; }

bool Yarvo::isReelNumberValid(unsigned char reel) {
    if (reel > 7) {
        setLastError(ReelMsgBadReelNumber);
        return false;
    }
    if (!reelConfigured[reel]) {
        setLastError(ReelMsgReelNotConfigured);
        return false;
    }
    return true;
}

bool Yarvo::GetDllVersion(unsigned char* version) {
    if (version == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    std::memcpy(version, "14", 3);
    return true;
}

bool Yarvo::GetProductVersion(unsigned char* version) {
    if (version == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    std::memcpy(version, "3", 2);
    return true;
}

bool Yarvo::initPort(unsigned int instance) {
    // The attribute texts are read into a cleared buffer, so that a text
    // shorter than what it is compared with never matches on stale bytes.
    char path[128];
    char text[128];
    std::snprintf(path, sizeof path, "/sys/class/Kmora/Kmora_%u/device/product", instance);
    std::memset(text, 0, sizeof text);
    if (!readAttribute(path, text, sizeof text)) {
        return false;
    }
    if (std::memcmp(text, kBoardIdentity, kBoardIdentityLength) != 0) {
        return false;
    }

    std::snprintf(path, sizeof path, "/sys/class/Kmora/Kmora_%u/device/speed", instance);
    std::memset(text, 0, sizeof text);
    if (!readAttribute(path, text, sizeof text)) {
        boardSpeed = USBBoardSpeedNone;
        return false;
    }
    if (std::memcmp(text, "12", 2) == 0) {
        boardSpeed = USBBoardSpeedFull;
    } else if (std::memcmp(text, "480", 3) == 0) {
        boardSpeed = USBBoardSpeedHigh;
    } else {
        boardSpeed = USBBoardSpeedNone;
        return false;
    }

    std::snprintf(path, sizeof path, "/dev/Kmora_%u", instance);
    int fd = ::open(path, O_RDWR);
    // The new opening replaces the held descriptor; the one it replaces is
    // closed so that repeated openings never leak descriptors.
    if (deviceFd != -1 && deviceFd != fd) {
        ::close(deviceFd);
    }
    deviceFd = fd;
    return deviceFd != -1;
}

bool Yarvo::Init() {
    for (unsigned instance = 0; instance < kInstancesForInit; ++instance) {
        setLastError(ReelMsgOk);
        if (initPort(instance)) {
            return true;
        }
    }
    releaseBoardAfterFailedSearch(deviceFd);
    return false;
}

bool Yarvo::InitUSBBoard(unsigned int address) {
    if (address > kHighestAddress) {
        setLastError(ReelMsgBadParameter);
        return false;
    }
    for (unsigned instance = 0; instance < kInstancesForAddress; ++instance) {
        if (!initPort(instance)) {
            continue;
        }
        unsigned char report[yarvo::wire::kReceiveBufferSize];
        if (!getInputs(report)) {
            continue;
        }
        if ((report[2] & 0x07) == address) {
            return true;
        }
    }
    releaseBoardAfterFailedSearch(deviceFd);
    return false;
}

bool Yarvo::GetBoardSpeed(USBBoardSpeed* speed) {
    if (speed == nullptr) {
        setLastError(ReelMsgNullPointer);
        return false;
    }
    *speed = boardSpeed;
    return true;
}

bool Yarvo::performUSBIO(unsigned char command, unsigned char* request,
                         unsigned long requestLength, unsigned char* response,
                         unsigned long* responseLength) {
    if (requestLength > yarvo::wire::kMaxRequestPayload) {
        setLastError(ReelMsgBadParameter);
        return false;
    }
    if (responseLength == nullptr || response == nullptr ||
        (requestLength != 0 && request == nullptr)) {
        setLastError(ReelMsgNullPointer);
        return false;
    }

    // The driver takes all 528 bytes: those past the request are zeroed with
    // explicit_bzero, which costs far less here than the string instruction
    // a zero-initialised block compiles to.
    yarvo::wire::TransferBlock block;
    block.word0 = yarvo::wire::kBlockWord0;
    block.word1 = yarvo::wire::kBlockWord1;
    block.requestLength = static_cast<uint32_t>(requestLength + 1);
    block.responseLength = yarvo::wire::kResponseOffered;
    block.buffer[0] = command;
    if (requestLength != 0) {
        std::memcpy(&block.buffer[1], request, requestLength);
    }
    explicit_bzero(&block.buffer[1 + requestLength], sizeof block.buffer - 1 - requestLength);

    if (::ioctl(deviceFd, yarvo::wire::kTransferRequest, &block) != 0) {
        setLastError(ReelMsgTransferFailed);
        return false;
    }
    const uint32_t length = block.responseLength;
    if (length < yarvo::wire::kMinResponseLength || length > yarvo::wire::kMaxResponseLength) {
        setLastError(ReelMsgBadResponseLength);
        return false;
    }
    if (block.buffer[0] != command || block.buffer[1] != 0) {
        setLastError(ReelMsgBadResponse);
        return false;
    }
    *responseLength = length - 2;
    if (length > 2) {
        std::memcpy(response, &block.buffer[2], length - 2);
    }
    return true;
}
