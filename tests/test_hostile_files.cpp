// Hostile reel-definition files: nesting deep enough to exhaust the parser's
// stack, huge values and files, every count at and beyond its limit, odd and
// broken encodings.  Each must end in a clear status code (never a crash or
// a read outside the parser's buffer, which the sanitizer and memcheck runs
// of this suite would report), and the object must go on working: a good
// file loaded afterwards configures reels as usual.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cabinet.h"
#include "reel_file_check.h"
#include "yarvo.h"

namespace {

namespace fs = std::filesystem;
using yarvo::sim::VirtualCabinet;
using Bytes = std::vector<uint8_t>;

constexpr unsigned kLimit = yarvo::detail::kMaxReelFileNesting;

// A literal with its embedded NUL bytes, without the terminator.
template <size_t N>
std::string raw(const char (&bytes)[N]) {
    return std::string(bytes, N - 1);
}

std::string repeat(const std::string& s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

std::string entries(const char* letter, unsigned count, unsigned value = 7) {
    std::string s;
    char attr[32];
    for (unsigned i = 0; i < count; ++i) {
        std::snprintf(attr, sizeof attr, " %s%03u=\"%u\"", letter, i, value + i);
        s += attr;
    }
    return s;
}

// A reel type with the given symbol-table and ramp-table text.
std::string reelDef(const std::string& type, const std::string& symbolTable, const std::string& rampTables,
                    const std::string& extraAttributes = "") {
    return "<reel-def type=\"" + type + "\"" + extraAttributes + ">"
           "<params position-detection-method=\"1\" tamper-detection-method=\"0\" duty-cycle-off=\"40\" "
           "duty-cycle-on=\"200\" tab-width=\"6\" tab-type=\"1\" tab-offset=\"0\" error-deadband=\"3\"/>" +
           symbolTable + rampTables + "</reel-def>";
}

std::string smallTable() {
    return "<symbol-table steps-per-turn=\"48\" symbols-per-turn=\"4\" s000=\"0\" s001=\"24\" s002=\"48\" "
           "s003=\"72\"/>";
}

std::string rampTable(int speed, unsigned up, unsigned down, const char* stepType = "half") {
    return "<ramp-table speed=\"" + std::to_string(speed) + "\" step-type=\"" + stepType + "\">" +
           "<ramp-up num-entries=\"" + std::to_string(up) + "\"" + entries("r", up) + "/>" +
           "<ramp-down num-entries=\"" + std::to_string(down) + "\"" + entries("r", down) + "/>" +
           "</ramp-table>";
}

std::string probe(const std::string& type = "probe") { return reelDef(type, smallTable(), rampTable(100, 3, 2)); }

std::string doc(const std::string& body, const std::string& head = "<?xml version=\"1.0\"?>\n") {
    return head + "<tamso-reel-definitions>" + body + "</tamso-reel-definitions>\n";
}

class HostileFiles : public ::testing::Test {
protected:
    void SetUp() override {
        cab.board(0);
        ASSERT_TRUE(yarvo.Init());
        char tmpl[] = "/tmp/yarvo-hostile-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string write(const std::string& bytes) {
        const std::string path = (dir / ("f" + std::to_string(files++) + ".xml")).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    bool setPath(std::string path) { return yarvo.VendorSetReelFilePath(&path[0]); }
    bool configure(unsigned char reel, std::string type) {
        cab.clearLog();
        return yarvo.VendorConfigureReel(reel, &type[0]);
    }
    Bytes sent(uint8_t command) {
        for (const auto& r : cab.log())
            if (r.command == command) return r.payload;
        return {};
    }
    // After whatever went before, a good file loads and configures every
    // reel, and the board hears the good file's values.
    void expectGoodFileStillWorks() {
        ASSERT_TRUE(setPath(YARVO_EXAMPLE_REEL_FILE)) << yarvo.GetLastError();
        for (unsigned char reel = 0; reel < 8; ++reel) {
            ASSERT_TRUE(configure(reel, "classic-12")) << int(reel) << " " << yarvo.GetLastError();
            const Bytes params = sent(51);
            ASSERT_EQ(params.size(), 9u);
            EXPECT_EQ(params[0], reel);
            EXPECT_EQ((params[1] << 8) | params[2], 96);  // 48 steps per turn, in half steps
        }
    }

    VirtualCabinet cab;
    Yarvo yarvo;
    fs::path dir;
    unsigned files = 0;
};

// Files the screen must refuse before the parser sees them, or that the
// parser refuses itself: every one fails with ReelMsgFileLoadFailed and
// leaves the document loaded before in use.
TEST_F(HostileFiles, UnsafeOrBrokenFilesFailToLoadAndKeepTheDocumentInUse) {
    const std::string nest = repeat("<a>", 100000) + repeat("</a>", 100000);  // ~700 KB
    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"elements nested 100000 deep", doc(nest)},
        {"nesting one beyond the limit", repeat("<a>", kLimit + 1) + repeat("</a>", kLimit + 1)},
        {"deep nesting of self-closing tags",
         doc(repeat("<a x=\"1\">", 5000) + "<b/>" + repeat("</a>", 5000))},
        {"10 MB of start tags", repeat("<tamso-reel-definitions>", 10 * 1024 * 1024 / 24)},
        {"a numeric reference that would carry the parser over markup",
         doc("<reel-def type=\"&#x\">" + repeat("<a>", 5000) + "x;\"/>" + probe())},
        {"a decimal reference that would carry the parser over markup",
         doc("<z>&#" + repeat("<a>", 5000) + "#;</z>" + probe())},
        {"a file ending inside a UTF-8 character in an attribute",
         "<?xml version=\"1.0\"?><tamso-reel-definitions x=\"\xF0"},
        {"a file ending inside a UTF-8 character in text", "<?xml version=\"1.0\"?><a>\xF0"},
        {"a UTF-8 character cut short before a quote",
         "\xEF\xBB\xBF" + doc("<reel-def type=\"\xE2\x82\"" + repeat("<a>", 5000))},
        {"invalid UTF-8 after a byte-order mark", "\xEF\xBB\xBF" + doc(probe("\xC3(\xA9"))},
        {"invalid UTF-8 after a UTF-8 declaration",
         doc(probe("caf\xE9"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>")},
        {"a single-byte declaration after a byte-order mark is still UTF-8",
         "\xEF\xBB\xBF" + doc(probe("caf\xE9"), "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>")},
        {"a NUL byte", doc(probe() + std::string(1, '\0') + probe("late"))},
        {"UTF-16LE with byte-order mark", raw("\xFF\xFE<\0?\0x\0m\0l\0 \0?\0>\0")},
        {"UTF-16BE with byte-order mark", raw("\xFE\xFF\0<\0?\0x\0m\0l\0 \0?\0>")},
        {"UTF-32LE with byte-order mark", raw("\xFF\xFE\0\0<\0\0\0")},
        {"a byte-order mark alone", "\xEF\xBB\xBF"},
        {"an empty file", ""},
        {"white space only", repeat(" \n\t", 1000)},
        {"an attribute value with an unmatched quote", doc(probe() + "<reel-def type=\"x/>")},
        {"a byte above 0x7F in an unquoted value", doc("<x a=caf\xE9 b=\"<a>\"/>" + probe())},
        {"a non-ASCII word in a declaration", doc(probe(), "<?xml-stylesheet href=\"\xC3\xBC\" ?>")},
        {"a declaration keyword whose case folding depends on the locale",
         doc(probe(), "<?xml VERSION=\"1.0\"?>")},
        {"an unclosed root element", "<tamso-reel-definitions>" + probe()},
        {"a mismatched end tag", doc(probe() + "<reel-def type=\"x\"></reel-dfe>")},
        {"10 MB of random markup in an unclosed root", [] {
             const char* tokens[] = {"<a>", "</a>", "<b x=\"1\"/>", "text ", "&amp;", "<!--c-->", "\xC3\xA9"};
             std::string s = "<r>";
             uint32_t x = 12345;
             while (s.size() < 10 * 1024 * 1024) {
                 x = x * 1103515245u + 12345u;
                 s += tokens[(x >> 16) % 7];
             }
             return s;
         }()},
    };
    ASSERT_TRUE(setPath(YARVO_EXAMPLE_REEL_FILE));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(setPath(write(c.bytes)));
        EXPECT_EQ(yarvo.GetLastError(), ReelMsgFileLoadFailed);
        // The example document loaded before is still the one in use.
        EXPECT_TRUE(configure(1, "deluxe-22")) << yarvo.GetLastError();
    }
    EXPECT_FALSE(setPath(dir.string()));  // a directory
    EXPECT_EQ(yarvo.GetLastError(), ReelMsgFileLoadFailed);
    EXPECT_FALSE(setPath("/dev/zero"));
    EXPECT_EQ(yarvo.GetLastError(), ReelMsgFileLoadFailed);
    expectGoodFileStillWorks();
}

// Where and why the screen refuses a text, and where a text that ends too
// early leaves something open: what check-reels reports.
TEST(ReelFileScreen, SaysWhereAndWhy) {
    using yarvo::detail::Refusal;
    using yarvo::detail::Unfinished;
    const struct {
        std::string text;
        Refusal refusal;
        Unfinished unfinished;
        int row, column;  // of the refusal, or of what is left open
    } cases[] = {
        {"<r>\n  " + repeat("<a>", kLimit) + "</r>", Refusal::TooDeep, Unfinished::None, 2, 3 + 3 * int(kLimit - 1)},
        {"\xEF\xBB\xBF<r>\n<a>\xE2\x82", Refusal::CutCharacter, Unfinished::None, 2, 4},
        {"\xEF\xBB\xBF<r a=\"\xC3(\"/>", Refusal::BrokenCharacter, Unfinished::None, 1, 7},
        {"<r>&#12<a>#;</r>", Refusal::MalformedReference, Unfinished::None, 1, 4},
        {"<r a=\xE9/>", Refusal::LocaleDependent, Unfinished::None, 1, 6},
        {"<r>\n\t<a x=\"1\">text", Refusal::None, Unfinished::Element, 2, 5},
        {"<r>\n<a x=\"1", Refusal::None, Unfinished::Value, 2, 6},
        {"<r><!-- no end", Refusal::None, Unfinished::Comment, 1, 4},
        {"<?xml version=\"1.0\"?><r/>&#x<a>x; after the root", Refusal::None, Unfinished::None, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string padded = c.text + std::string(yarvo::detail::kScreenPadding, '\0');
        const yarvo::detail::Screening s = yarvo::detail::screenReelText(padded.c_str());
        EXPECT_EQ(s.refusal, c.refusal);
        EXPECT_EQ(s.unfinished, c.unfinished);
        const bool open = c.unfinished != Unfinished::None;
        EXPECT_EQ(open ? s.openRow : s.row, c.row);
        EXPECT_EQ(open ? s.openColumn : s.column, c.column);
    }
}

// The deferred first load (VendorConfigureReel with no file loaded yet)
// goes through the same screen.
TEST_F(HostileFiles, DeferredLoadOfADeeplyNestedDefaultFileFails) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    std::ofstream(dir / "tamso-reel-definitions.xml") << doc(repeat("<a>", 100000) + repeat("</a>", 100000));
    ASSERT_EQ(chdir(dir.c_str()), 0);
    const bool configured = configure(0, "probe");
    const KReelMsg code = yarvo.GetLastError();
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_FALSE(configured);
    EXPECT_EQ(code, ReelMsgFileLoadFailed);
    EXPECT_TRUE(cab.log().empty());
    expectGoodFileStillWorks();
}

// Files that are odd but safe load, and their reel types work.
TEST_F(HostileFiles, OddButSafeFilesLoad) {
    const std::string latin1Head = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n";
    struct Case {
        const char* what;
        std::string bytes;
        std::string type;   // a reel type of the file, configured afterwards
    };
    const std::vector<Case> cases = {
        {"nesting at the limit (outside the reel types)",
         doc(repeat("<a>", kLimit - 1) + repeat("</a>", kLimit - 1) + probe()), "probe"},
        {"deep nesting inside a comment", doc("<!--" + repeat("<a>", 100000) + "-->" + probe()), "probe"},
        {"deep nesting inside CDATA", doc("<x><![CDATA[" + repeat("<a>", 100000) + "]]></x>" + probe()), "probe"},
        {"a 10 MB comment", doc("<!--" + std::string(10 * 1024 * 1024, 'c') + "-->" + probe()), "probe"},
        {"a 10 MB attribute value the decoder ignores",
         doc(reelDef("probe", smallTable(), rampTable(100, 3, 2), " note=\"" + std::string(10 * 1024 * 1024, 'n') + "\"")),
         "probe"},
        {"a 1 MB reel type name", doc(probe(std::string(1024 * 1024, 'T')) + probe()), "probe"},
        {"5000 reel types, the last one wanted", doc(repeat(probe("filler"), 5000) + probe("last")), "LAST"},
        {"UTF-8 byte-order mark, no declaration", "\xEF\xBB\xBF" + doc(probe(), ""), "probe"},
        {"UTF-8 with byte-order mark, non-ASCII name and comment",
         "\xEF\xBB\xBF" + doc("<!-- Gl\xC3\xBC" "cksrad \xE2\x82\xAC \xF0\x9F\x8E\xB0 -->" + probe("gl\xC3\xBC" "ck-\xE2\x82\xAC")),
         "GL\xC3\xBC" "CK-\xE2\x82\xAC"},
        {"Latin-1 declared, Latin-1 name and comment",
         doc("<!-- caf\xE9 -->" + probe("caf\xE9"), latin1Head), "CAF\xE9"},
        {"references in values and text", doc("<x>&amp;&#65;&#x42;&lt;</x>" + probe("a&amp;b")), "a&b"},
        {"CRLF line ends and a DOCTYPE", "<?xml version=\"1.0\"?>\r\n<!DOCTYPE tamso-reel-definitions>\r\n" +
                                             doc(probe(), ""),
         "probe"},
        {"text after the root is ignored", doc(probe()) + "trailing \x01\xFF junk <<<", "probe"},
        {"a NUL byte after the root ends the text", doc(probe()) + std::string(1, '\0') + repeat("<a>", 5000),
         "probe"},
        {"a style-sheet instruction after the declaration",
         doc(probe(), "<?xml version=\"1.0\"?>\n<?xml-stylesheet type=\"text/xsl\" href=\"reels.xsl\"?>\n"),
         "probe"},
        {"non-ASCII element and attribute names in UTF-8",
         "\xEF\xBB\xBF" + doc("<gl\xC3\xBC" "ck \xC3\xA9t\xC3\xA9=\"\xE2\x82\xAC\"/>" + probe()), "probe"},
        {"a declaration in capitals, single quotes and extra attributes",
         doc(probe(), "<?XML  version = '1.0'  encoding='utf-8'  standalone='yes' ?>"), "probe"},
        {"broken UTF-8 in a comment and a name", "\xEF\xBB\xBF" + doc("<!-- \xC3( \xFF --><n\xC3>x</n\xC3>" + probe()),
         "probe"},
        {"an empty numeric reference", doc("<x>&#;&#x;</x>" + probe()), "probe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(setPath(write(c.bytes))) << yarvo.GetLastError();
        EXPECT_TRUE(configure(2, c.type)) << yarvo.GetLastError();
        EXPECT_EQ(sent(51).size(), 9u);
    }
    expectGoodFileStillWorks();
}

// A reel type at every maximum at once runs through every symbol-level
// operation, and every count beyond a limit is refused with the reel type.
TEST_F(HostileFiles, CountsAtAndBeyondEveryLimit) {
    const std::string fullSymbols =
        "<symbol-table steps-per-turn=\"1000\" symbols-per-turn=\"200\"" + entries("s", 200, 0) + "/>";
    std::string fullRamps;
    for (int i = 0; i < 25; ++i) fullRamps += rampTable(10 + 10 * i, 60, 60, i % 2 ? "full" : "half");
    std::string body = reelDef("max", fullSymbols, fullRamps);
    struct Beyond {
        const char* type;
        std::string symbols, ramps;
    };
    const std::vector<Beyond> beyond = {
        {"symbols-201", "<symbol-table steps-per-turn=\"1000\" symbols-per-turn=\"201\"" + entries("s", 201, 0) + "/>",
         rampTable(100, 3, 2)},
        {"symbols-huge", "<symbol-table steps-per-turn=\"1000\" symbols-per-turn=\"99999999999999999999\"/>",
         rampTable(100, 3, 2)},
        {"ramp-up-61", smallTable(), rampTable(100, 61, 2)},
        {"ramp-down-61", smallTable(), rampTable(100, 3, 61)},
        {"ramp-tables-26", smallTable(), fullRamps + rampTable(999, 1, 1)},
    };
    for (const Beyond& b : beyond) body += reelDef(b.type, b.symbols, b.ramps);
    ASSERT_TRUE(setPath(write(doc(body))));

    ASSERT_TRUE(configure(3, "max")) << yarvo.GetLastError();
    EXPECT_EQ(sent(42).size(), 62u);  // 60 entries, reel and length
    EXPECT_EQ(sent(43).size(), 62u);
    // The last symbol and the last ramp table are reachable.
    cab.clearLog();
    ASSERT_TRUE(yarvo.VendorStopReelSpinAtPosition(3, 199));
    EXPECT_EQ(sent(50), (Bytes{3, 0, 199}));
    EXPECT_FALSE(yarvo.VendorStopReelSpinAtPosition(3, 200));
    EXPECT_EQ(yarvo.GetLastError(), ReelMsgBadParameter);
    cab.clearLog();
    ASSERT_TRUE(yarvo.VendorSpinReelStartSkill(3, -100000)) << yarvo.GetLastError();  // nearest: 250, half steps
    EXPECT_EQ(sent(48), (Bytes{3, 0xFF}));
    ASSERT_TRUE(yarvo.VendorSpinReelStopSkill(3)) << yarvo.GetLastError();
    KReelStatusEx status{};
    ASSERT_TRUE(yarvo.VendorGetReelStatus(3, &status)) << yarvo.GetLastError();
    EXPECT_LT(status.nearestSymbol, 200u);
    EXPECT_EQ(status.reelSpeed, -250);
    ASSERT_TRUE(yarvo.VendorSpinReelToSymbol(3, 199, 250)) << yarvo.GetLastError();
    ASSERT_TRUE(yarvo.VendorSpinReelNumberOfSymbols(3, 399, -10)) << yarvo.GetLastError();
    ASSERT_TRUE(yarvo.VendorSynchroniseReel(3)) << yarvo.GetLastError();

    for (const Beyond& b : beyond) {
        SCOPED_TRACE(b.type);
        EXPECT_FALSE(configure(4, b.type));
        EXPECT_EQ(yarvo.GetLastError(), ReelMsgReelDataError);
        EXPECT_TRUE(cab.log().empty());
    }
    expectGoodFileStillWorks();
}

// Definitions whose geometry makes no sense (symbols beyond the turn, a turn
// of 0, descending positions) are the
// file's business, but no symbol-level operation may read outside the
// definition or crash on them: each ends with a status code or a command.
TEST_F(HostileFiles, NonsenseGeometryGivesStatusCodes) {
    const std::vector<std::string> tables = {
        "<symbol-table steps-per-turn=\"0\" symbols-per-turn=\"2\" s000=\"0\" s001=\"1\"/>",
        "<symbol-table steps-per-turn=\"32767\" symbols-per-turn=\"2\" s000=\"0\" s001=\"4294967295\"/>",
        "<symbol-table steps-per-turn=\"48\" symbols-per-turn=\"3\" s000=\"90\" s001=\"10\" s002=\"5000\"/>",
        "<symbol-table steps-per-turn=\"48\" symbols-per-turn=\"0\"/>",
        "<symbol-table steps-per-turn=\"1\" symbols-per-turn=\"1\" s000=\"65535\"/>",
    };
    std::string body;
    for (size_t i = 0; i < tables.size(); ++i)
        body += reelDef("g" + std::to_string(i), tables[i], rampTable(100, 60, 60) + rampTable(5, 1, 0));
    ASSERT_TRUE(setPath(write(doc(body))));
    const std::vector<KReelMsg> allowed = {ReelMsgBadParameter, ReelMsgReelDataError, ReelMsgBadStepCount,
                                           ReelMsgNoSuitableSpeed};
    auto expectCode = [&](bool ok) {
        if (!ok) {
            EXPECT_NE(std::find(allowed.begin(), allowed.end(), yarvo.GetLastError()), allowed.end())
                << yarvo.GetLastError();
        }
    };
    for (size_t i = 0; i < tables.size(); ++i) {
        SCOPED_TRACE(tables[i]);
        ASSERT_TRUE(configure(5, "g" + std::to_string(i))) << yarvo.GetLastError();
        KReelStatusEx status{};
        for (int speed : {100, -100, 5, 0}) {
            expectCode(yarvo.VendorSpinReelToSymbol(5, 0, speed));
            expectCode(yarvo.VendorSpinReelToSymbol(5, 1, speed));
            if (speed != 0) {
                expectCode(yarvo.VendorSpinReelNumberOfSymbols(5, 1, speed));
                expectCode(yarvo.VendorSpinReelNumberOfSymbols(5, 0xFFFFFFFFu, speed));
                expectCode(yarvo.VendorSpinReelStartSkill(5, speed));
            }
            expectCode(yarvo.VendorSpinReelStopSkill(5));
            expectCode(yarvo.VendorStopReelSpinAtPosition(5, 1));
            expectCode(yarvo.VendorGetReelStatus(5, &status));
            expectCode(yarvo.VendorSynchroniseReel(5));
            cab.advance(std::chrono::milliseconds(50));
        }
    }
    expectGoodFileStillWorks();
}

}  // namespace
