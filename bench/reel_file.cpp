#include "reel_file.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace yarvo::bench {

namespace {

constexpr unsigned kStepsPerTurn = 200;
constexpr int kLastHalfStepSpeed = 120;

// Cruise period of a speed, in 100-microsecond units: a turn is 400 half
// steps (or 200 full steps), so a half step every 60e6 / (400 v)
// microseconds at v turns a minute.
unsigned cruisePeriod(int speed, bool fullSteps) {
    const unsigned stepsPerTurn = fullSteps ? kStepsPerTurn : 2 * kStepsPerTurn;
    const unsigned period = 600000u / (stepsPerTurn * static_cast<unsigned>(speed));
    return std::max(1u, std::min(255u, period));
}

void appendRamp(std::string& out, const char* name, unsigned cruise, bool up) {
    // From four times the cruise period (at most 255) to the cruise period,
    // evenly: ramp-ups shorten the period, ramp-downs lengthen it.
    const unsigned start = std::min(255u, cruise * 4);
    char buffer[32];
    out += "        <";
    out += name;
    std::snprintf(buffer, sizeof buffer, " num-entries=\"%u\"", kRampEntries);
    out += buffer;
    for (unsigned i = 0; i < kRampEntries; ++i) {
        const unsigned k = up ? i : kRampEntries - 1 - i;
        const unsigned period = start - (start - cruise) * k / (kRampEntries - 1);
        std::snprintf(buffer, sizeof buffer, "%s r%03u=\"%u\"", i % 10 == 0 ? "\n         " : "", i, period);
        out += buffer;
    }
    out += "/>\n";
}

}  // namespace

std::string reelTypeName(unsigned index) {
    char name[16];
    std::snprintf(name, sizeof name, "max-%02u", index);
    return name;
}

std::string maximalReelFile() {
    std::string out;
    out.reserve(2u << 20);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<!-- Generated: the largest reel-definition file the library accepts. -->\n";
    out += "<tamso-reel-definitions>\n";
    char buffer[96];
    for (unsigned t = 0; t < kReelTypes; ++t) {
        out += "  <reel-def type=\"" + reelTypeName(t) + "\">\n";
        out += "    <params position-detection-method=\"1\" tamper-detection-method=\"1\"\n"
               "            duty-cycle-off=\"48\" duty-cycle-on=\"192\"\n"
               "            tab-width=\"8\" tab-type=\"1\" tab-offset=\"2\" error-deadband=\"2\"/>\n";
        std::snprintf(buffer, sizeof buffer, "    <symbol-table steps-per-turn=\"%u\" symbols-per-turn=\"%u\"",
                      kStepsPerTurn, kSymbols);
        out += buffer;
        for (unsigned s = 0; s < kSymbols; ++s) {
            std::snprintf(buffer, sizeof buffer, "%s s%03u=\"%u\"", s % 10 == 0 ? "\n       " : "", s, 2 * s);
            out += buffer;
        }
        out += "/>\n";
        for (unsigned k = 0; k < kSpeeds; ++k) {
            const int speed = kSlowestSpeed + static_cast<int>(k) * (kFastestSpeed - kSlowestSpeed) /
                                                  static_cast<int>(kSpeeds - 1);
            const bool full = speed > kLastHalfStepSpeed;
            std::snprintf(buffer, sizeof buffer, "    <ramp-table speed=\"%d\" step-type=\"%s\">\n", speed,
                          full ? "full" : "half");
            out += buffer;
            const unsigned cruise = cruisePeriod(speed, full);
            appendRamp(out, "ramp-up", cruise, true);
            appendRamp(out, "ramp-down", cruise, false);
            out += "    </ramp-table>\n";
        }
        out += "  </reel-def>\n";
    }
    out += "</tamso-reel-definitions>\n";
    return out;
}

ScratchDirectory::ScratchDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/yarvo-bench-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) != nullptr) {
        path_ = name.data();
    }
}

ScratchDirectory::~ScratchDirectory() {
    if (path_.empty()) {
        return;
    }
    if (DIR* dir = ::opendir(path_.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                ::unlink((path_ + "/" + name).c_str());
            }
        }
        ::closedir(dir);
    }
    ::rmdir(path_.c_str());
}

std::string ScratchDirectory::write(const std::string& name, const std::string& text) {
    if (path_.empty()) {
        return "";
    }
    const std::string file = path_ + "/" + name;
    FILE* f = std::fopen(file.c_str(), "wb");
    if (f == nullptr) {
        return "";
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok) {
        return "";
    }
    return file;
}

}  // namespace yarvo::bench
