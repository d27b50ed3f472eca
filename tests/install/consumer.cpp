// A host program built against the installed package only: it proves that
// the header, the library and its pkg-config/CMake descriptions fit together.
#include <yarvo.h>

#include <cstdio>
#include <cstring>

int main() {
    Yarvo board;
    unsigned char version[16];
    std::memset(version, 'x', sizeof version);
    if (!board.GetDllVersion(version)) {
        std::fprintf(stderr, "consumer: GetDllVersion: code %u\n",
                     static_cast<unsigned>(board.GetLastError()));
        return 1;
    }
    if (std::memcmp(version, "14", 3) != 0) {
        std::fprintf(stderr, "consumer: library version is not \"14\"\n");
        return 1;
    }
    std::printf("consumer: library version %s\n", reinterpret_cast<char*>(version));
    return 0;
}
