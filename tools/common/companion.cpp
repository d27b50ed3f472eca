#include "companion.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

namespace yarvo::tools {

namespace {

bool isFile(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string realPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return path;
    }
    std::string out = resolved;
    std::free(resolved);
    return out;
}

}  // namespace

std::string findCompanion(const std::string& fileName, const std::string& relative, const std::string& fallback) {
    std::vector<std::string> candidates;
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir = self;
        dir.erase(dir.rfind('/') + 1);
        candidates.push_back(dir + fileName);
        if (!relative.empty()) {
            candidates.push_back(dir + relative);
        }
    }
    candidates.push_back(fallback);
    for (const std::string& c : candidates) {
        if (isFile(c)) {
            return realPath(c);
        }
    }
    return "";
}

}  // namespace yarvo::tools
