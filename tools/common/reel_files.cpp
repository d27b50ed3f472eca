// Reel-definition files under the tools' rules, and why one did not load.
#include "reel_files.h"

#include <sys/stat.h>

#include <cstring>

#include <tinyxml.h>

namespace yarvo::tools {

namespace {

using detail::ReelFileLoad;
using detail::Refusal;
using detail::Unfinished;

// What a file of this type is, for "PATH is a FIFO, not a ...".
const char* fileTypeName(unsigned mode) {
    switch (mode & S_IFMT) {
    case S_IFDIR: return "a directory";
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    default: return "not a regular file";
    }
}

std::string notRegular(const std::string& path, unsigned mode) {
    return path + " is " + fileTypeName(mode) + ", not a reel-definition file";
}

std::string tooLarge(const std::string& path, unsigned long long size) {
    return path + " is " + std::to_string(size) + " bytes, more than the " +
           std::to_string(kMaxReelFileBytes >> 20) + " MiB a reel-definition file may have";
}

const char* refusalText(Refusal refusal) {
    switch (refusal) {
    case Refusal::TooDeep:
        return "elements nested deeper than 64, which TinyXML would parse on the host's stack";
    case Refusal::CutCharacter: return "a UTF-8 character cut short by the end of the file";
    case Refusal::BrokenCharacter: return "a UTF-8 character whose continuation bytes are missing";
    case Refusal::MalformedReference:
        return "a character reference that is not \"&#\" digits \";\" (TinyXML would jump to the next \";\")";
    case Refusal::LocaleDependent:
        return "a byte above 0x7F where TinyXML's reading depends on the host's locale "
               "(in an unquoted attribute value or a declaration)";
    case Refusal::None: break;
    }
    return "refused";
}

const char* unfinishedText(Unfinished what) {
    switch (what) {
    case Unfinished::Element: return "element";
    case Unfinished::Value: return "quoted value";
    case Unfinished::Comment: return "comment";
    case Unfinished::Markup: return "markup";
    case Unfinished::None: break;
    }
    return "";
}

}  // namespace

std::string reelFilePathProblem(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return "";
    if (!S_ISREG(st.st_mode)) return notRegular(path, static_cast<unsigned>(st.st_mode));
    if (static_cast<unsigned long long>(st.st_size) > kMaxReelFileBytes) {
        return tooLarge(path, static_cast<unsigned long long>(st.st_size));
    }
    return "";
}

std::unique_ptr<TiXmlDocument> loadReelFileForTool(const std::string& path, ReelFileLoad* load) {
    return std::unique_ptr<TiXmlDocument>(detail::loadReelFile(path.c_str(), load, kMaxReelFileBytes));
}

LoadFailure describeLoadFailure(const std::string& path, const ReelFileLoad& load) {
    LoadFailure f;
    switch (load.status) {
    case ReelFileLoad::Loaded: break;
    case ReelFileLoad::CannotOpen: f.message = "cannot open " + path + ": " + std::strerror(load.systemError); break;
    case ReelFileLoad::NotRegularFile: f.message = notRegular(path, load.fileType); break;
    case ReelFileLoad::TooLarge: f.message = tooLarge(path, load.size); break;
    case ReelFileLoad::CannotRead:
        f.message = "cannot read " + path + ": " +
                    (load.systemError != 0 ? std::strerror(load.systemError) : "it changed while read");
        break;
    case ReelFileLoad::OutOfMemory: f.message = "not enough memory to load " + path; break;
    case ReelFileLoad::Refused:
        f.line = load.screening.row;
        f.column = load.screening.column;
        f.message = std::string("refused before parsing: ") + refusalText(load.screening.refusal);
        break;
    case ReelFileLoad::ParseFailed:
        f.line = load.row;
        f.column = load.column;
        f.message = load.parserError;
        // When the file ends too early TinyXML names no place, or the end;
        // the screen names what is left open.
        if (load.screening.unfinished != Unfinished::None && (f.line == 0 || f.line >= load.screening.endRow)) {
            f.line = load.screening.openRow;
            f.column = load.screening.openColumn;
            std::string what = unfinishedText(load.screening.unfinished);
            if (load.screening.unfinished == Unfinished::Element) {
                what += std::string(" '") + load.screening.openName + "'";
            }
            f.message = "the file ends before this " + what + " is closed (" + f.message + ")";
        }
        break;
    }
    return f;
}

}  // namespace yarvo::tools
