// The reel-definition file's vocabulary: element names, limits, and the
// comparison of type names and step types.  Shared by the library's decoder
// and the reel-file checker of yarvoctl, so that both read files by the same
// names and limits.
#ifndef YARVO_REEL_FILE_FORMAT_H
#define YARVO_REEL_FILE_FORMAT_H

namespace yarvo::format {

constexpr char kRootName[] = "tamso-reel-definitions";
constexpr char kReelDefName[] = "reel-def";
constexpr char kParamsName[] = "params";
constexpr char kSymbolTableName[] = "symbol-table";
constexpr char kRampTableName[] = "ramp-table";
constexpr char kRampUpName[] = "ramp-up";
constexpr char kRampDownName[] = "ramp-down";

constexpr unsigned kMaxSymbols = 200;      // on the stored 8-bit symbols-per-turn
constexpr unsigned kMaxRampEntries = 60;   // on the stored 8-bit num-entries
constexpr unsigned kMaxRampTables = 25;
constexpr unsigned kMaxStepsPerTurn = 32767;  // a turn of 2 x 32767 half steps fits 16 bits

// Compares two texts ignoring the case of ASCII letters only, whatever the
// host's locale says about other characters.
inline bool equalIgnoringAsciiCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char ca = static_cast<unsigned char>(*a);
        unsigned char cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (ca == '\0') return true;
    }
}

}  // namespace yarvo::format

#endif
