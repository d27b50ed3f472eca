// The soak's HTML report: plain HTML and inline SVG, no script.
#include "soak_report.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "firmware.h"   // the virtual board's power names and status flags

namespace yarvoctl {

namespace {

constexpr double kWidth = 760, kHeight = 170;                  // one plot
constexpr double kLeft = 56, kRight = 12, kTop = 12, kBottom = 30;
constexpr size_t kMissesListed = 20;

std::string escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (c < 0x20 || c > 0x7E) {
                char code[8];
                std::snprintf(code, sizeof code, "&#%u;", c);
                out += code;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

std::string number(double v, int decimals = 0) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string flagsText(const soak::Report& report, uint8_t flags) {
    if (!report.virtualFirmware) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02x", flags);
        return text;
    }
    std::string text;
    if (flags & yarvo::sim::kFlagPositionError) text += "position error ";
    if (flags & yarvo::sim::kFlagIndexMissing) text += "index missing ";
    if (flags & yarvo::sim::kFlagSyncArmed) text += "synchronisation not completed ";
    return text.empty() ? "-" : text;
}

// A plot of one value per spin: a line through all, the misses as red dots,
// and dashed lines at the given levels (the offset's limits).
struct Series {
    std::vector<double> values;
    std::vector<bool> misses;
};

std::string plot(const std::string& title, const std::string& unit, const std::string& across, const Series& s,
                 const std::vector<double>& levels) {
    double lo = 0, hi = 1;
    for (double v : s.values) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    for (double v : levels) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    if (hi - lo < 1e-9) hi = lo + 1;
    const double span = hi - lo, pad = span * 0.08;
    lo -= pad;
    hi += pad;
    const size_t n = std::max<size_t>(s.values.size(), 2);
    const double w = kWidth - kLeft - kRight, h = kHeight - kTop - kBottom;
    auto x = [&](size_t i) { return kLeft + w * double(i) / double(n - 1); };
    auto y = [&](double v) { return kTop + h * (hi - v) / (hi - lo); };

    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(kWidth) + "\" height=\"" +
                      number(kHeight) + "\" role=\"img\" aria-label=\"" + escape(title) + "\">";
    svg += "<rect x=\"" + number(kLeft) + "\" y=\"" + number(kTop) + "\" width=\"" + number(w) + "\" height=\"" +
           number(h) + "\" class=\"frame\"/>";
    for (double level : levels) {
        svg += "<line x1=\"" + number(kLeft) + "\" x2=\"" + number(kLeft + w) + "\" y1=\"" + number(y(level), 1) +
               "\" y2=\"" + number(y(level), 1) + "\" class=\"limit\"/>";
    }
    // Axis labels: the value range and the spin numbers.
    const double top = hi - pad, bottom = lo + pad;
    for (double v : {top, bottom}) {
        svg += "<text x=\"" + number(kLeft - 6) + "\" y=\"" + number(y(v) + 4, 1) + "\" class=\"axis\" text-anchor=\"end\">" +
               number(v, std::fabs(v) < 10 && v != std::floor(v) ? 1 : 0) + "</text>";
    }
    svg += "<text x=\"" + number(kLeft) + "\" y=\"" + number(kHeight - 10) + "\" class=\"axis\">1</text>";
    svg += "<text x=\"" + number(kLeft + w) + "\" y=\"" + number(kHeight - 10) +
           "\" class=\"axis\" text-anchor=\"end\">" + std::to_string(s.values.size()) + "</text>";
    svg += "<text x=\"" + number(kLeft + w / 2) + "\" y=\"" + number(kHeight - 10) +
           "\" class=\"axis\" text-anchor=\"middle\">" + escape(across) + "</text>";
    svg += "<text x=\"14\" y=\"" + number(kTop + h / 2) + "\" class=\"axis\" text-anchor=\"middle\" transform=\"rotate(-90 14 " +
           number(kTop + h / 2) + ")\">" + escape(unit) + "</text>";
    if (!s.values.empty()) {
        std::string path;
        for (size_t i = 0; i < s.values.size(); ++i) {
            path += (i ? " L" : "M") + number(x(i), 1) + " " + number(y(s.values[i]), 1);
        }
        svg += "<path d=\"" + path + "\" class=\"series\"/>";
        for (size_t i = 0; i < s.values.size(); ++i) {
            if (s.misses[i]) {
                svg += "<circle cx=\"" + number(x(i), 1) + "\" cy=\"" + number(y(s.values[i]), 1) +
                       "\" r=\"3\" class=\"miss\"><title>" + escape(across) + " " + std::to_string(i + 1) +
                       ": miss</title></circle>";
            }
        }
    }
    return svg + "</svg>";
}

std::string row(const std::string& name, const std::string& value, bool bad = false) {
    return "<tr><th>" + escape(name) + "</th><td" + (bad ? " class=\"bad\"" : "") + ">" + escape(value) + "</td></tr>";
}

std::string reelSection(const soak::Report& report, const soak::ReelReport& r) {
    const soak::StopTimes t = soak::stopTimes(r);
    int least = 0, greatest = 0;
    soak::offsetSpread(r, &least, &greatest);
    Series stop, offset, drift;
    std::vector<std::pair<const soak::Rest*, unsigned>> misses;   // with the spins before it
    unsigned moved = 0, spins = 0;
    for (const soak::Rest& rest : r.rests) {
        spins += rest.kind == soak::Rest::Spin;
        if (rest.miss && misses.size() < kMissesListed) misses.push_back({&rest, spins});
        moved += rest.kind == soak::Rest::Resync && unsigned(std::abs(rest.moved)) > r.limit;
        if (rest.kind == soak::Rest::Resync) {
            drift.values.push_back(rest.moved);
            drift.misses.push_back(rest.miss);
        }
        if (rest.kind != soak::Rest::Spin) continue;
        stop.values.push_back(rest.stopMs);
        stop.misses.push_back(rest.miss);
        offset.values.push_back(rest.offset);
        offset.misses.push_back(rest.miss);
    }
    const bool clean = r.clean();
    std::string html = "<section id=\"reel-" + std::to_string(r.reel) + "\"><h2>Reel " + std::to_string(r.reel) +
                       " <span class=\"type\">" + escape(r.type) + "</span> <span class=\"" +
                       (clean ? "good\">clean" : "bad\">not clean") + "</span></h2><table class=\"facts\">";
    html += row("spins", std::to_string(r.spins));
    html += row("misses", std::to_string(r.misses), r.misses != 0);
    html += row("synchronisations (every " + std::to_string(report.resyncEvery) + " spins and after the last)",
                std::to_string(r.resyncs));
    html += row("counter moved at the index by more than " + std::to_string(r.limit) + " half steps",
                std::to_string(moved), moved != 0);
    if (report.virtualFirmware) {
        html += row("position error flag", std::to_string(r.positionErrors), r.positionErrors != 0);
        html += row("index missing flag", std::to_string(r.indexMissing), r.indexMissing != 0);
        html += row("synchronisation not completed", std::to_string(r.syncFailed), r.syncFailed != 0);
    } else {
        std::string raw;
        for (uint8_t f : r.rawFlags) raw += flagsText(report, f) + " ";
        html += row("status byte 1 seen at rest", raw.empty() ? "-" : raw);
    }
    html += row("did not stop in time", std::to_string(r.timeouts), r.timeouts != 0);
    html += row("stop time min / median / 99th percentile",
                number(t.min, 1) + " / " + number(t.median, 1) + " / " + number(t.p99, 1) + " ms");
    html += row("offset at rest (half steps), least to greatest",
                std::to_string(least) + " to " + std::to_string(greatest) + " (limit " + std::to_string(r.limit) + " either way)",
                std::max(-least, greatest) > int(r.limit));
    const std::vector<double> limits{-double(r.limit), double(r.limit)};
    html += "</table><h3>Stop time of each spin</h3>" + plot("stop time of each spin", "ms", "spin", stop, {});
    html += "<h3>Offset at rest of each spin, by the board's counter</h3>" +
            plot("offset at rest of each spin", "half steps", "spin", offset, limits);
    html += "<h3>How far each synchronisation moved the counter (steps the counter and the reel parted by)</h3>" +
            plot("counter moved at each synchronisation", "half steps", "synchronisation", drift, limits);
    if (!misses.empty()) {
        html += "<h3>First misses</h3><table class=\"misses\"><tr><th>what</th><th>aimed at</th>"
                "<th>rested on</th><th>offset</th><th>moved at the index</th><th>flags</th></tr>";
        for (const auto& [m, spin] : misses) {
            html += "<tr><td>" +
                    (m->kind == soak::Rest::Spin ? "spin " + std::to_string(spin) + " at speed " + std::to_string(m->speed)
                                                 : "synchronisation after spin " + std::to_string(spin)) +
                    (m->timedOut ? ", did not stop in time" : "") + "</td><td>symbol " + std::to_string(m->target) +
                    "</td><td>symbol " + std::to_string(m->symbol) + "</td><td>" + std::to_string(m->offset) + "</td><td>" +
                    (m->kind == soak::Rest::Spin ? "-" : std::to_string(m->moved)) + "</td><td>" +
                    escape(flagsText(report, m->flags)) + "</td></tr>";
        }
        html += "</table>";
    }
    return html + "</section>";
}

const char kStyle[] =
    "body{font:15px/1.45 sans-serif;color:#222;margin:24px auto;max-width:800px;padding:0 12px}"
    "h1{font-size:24px;margin:0 0 4px}h2{font-size:19px;margin:28px 0 8px;border-top:1px solid #ccc;padding-top:16px}"
    "h3{font-size:14px;margin:14px 0 4px;color:#555}"
    "table{border-collapse:collapse;margin:6px 0}th,td{text-align:left;padding:3px 10px 3px 0;vertical-align:top}"
    "table.facts th{font-weight:normal;color:#555}table.overview{margin-top:14px}"
    "table.overview th,table.overview td{border-bottom:1px solid #ddd;padding-right:18px}table.misses td,table.misses th{border-bottom:1px solid #ddd;font-size:13px}"
    ".good{color:#186a2e;font-weight:bold}.bad{color:#b3261e;font-weight:bold}.type{color:#555;font-weight:normal}"
    ".verdict{font-size:18px;margin:10px 0}"
    "svg .frame{fill:#fafafa;stroke:#bbb}svg .series{fill:none;stroke:#2f5fa7;stroke-width:1}"
    "svg .miss{fill:#d32f2f}svg .limit{stroke:#c77;stroke-dasharray:4 3}svg .axis{font:11px sans-serif;fill:#555}";

}  // namespace

std::string soakReportHtml(const soak::Report& report) {
    std::string notClean;
    for (const soak::ReelReport& r : report.reels) {
        if (!r.clean()) notClean += (notClean.empty() ? "" : ", ") + std::to_string(r.reel);
    }
    const std::string verdict = report.interrupted ? "<span class=\"bad\">Interrupted</span> before the end"
                                : notClean.empty() ? "<span class=\"good\">Every reel clean</span>"
                                                   : "<span class=\"bad\">Not clean: reel " + notClean + "</span>";
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Reel soak</title><style>";
    html += kStyle;
    html += "</style></head><body><h1>Reel soak</h1><p class=\"verdict\">" + verdict + "</p><table class=\"facts\">";
    html += row("firmware", report.firmware);
    const auto power = [&report](uint32_t p) {
        const char* name = report.virtualFirmware ? yarvo::sim::powerStatusName(uint8_t(p)) : nullptr;
        return name != nullptr ? std::string(name) : std::to_string(p);
    };
    html += row("power status at the start and at the end", power(report.powerAtStart) + ", " + power(report.powerAtEnd),
                report.virtualFirmware && (report.powerAtStart != yarvo::sim::kPowerGood ||
                                           report.powerAtEnd != yarvo::sim::kPowerGood));
    html += row("reels", std::to_string(report.reels.size()) + ", " + std::to_string(report.spins) + " spins each");
    html += row("seed (repeats the same targets and speeds)", std::to_string(report.seed));
    html += row("a miss", "a rest off the aimed symbol by more than the limit (half the smallest gap between "
                          "neighbouring symbols), a counter the synchronisation moves by more than the limit" +
                          std::string(report.virtualFirmware ? ", or a fault flag of the board" : ""));
    html += "</table><table class=\"overview\"><tr><th>reel</th><th>type</th><th>spins</th><th>misses</th>"
            "<th>median stop</th><th></th></tr>";
    for (const soak::ReelReport& r : report.reels) {
        html += "<tr><td><a href=\"#reel-" + std::to_string(r.reel) + "\">" + std::to_string(r.reel) + "</a></td><td>" +
                escape(r.type) + "</td><td>" + std::to_string(r.spins) + "</td><td" + (r.misses ? " class=\"bad\"" : "") +
                ">" + std::to_string(r.misses) + "</td><td>" + number(soak::stopTimes(r).median, 1) + " ms</td><td>" +
                (r.clean() ? "<span class=\"good\">clean</span>" : "<span class=\"bad\">not clean</span>") + "</td></tr>";
    }
    html += "</table>";
    for (const soak::ReelReport& r : report.reels) html += reelSection(report, r);
    return html + "</body></html>\n";
}

bool writeSoakReport(int fd, const std::string& path, const soak::Report& report, std::string* error) {
    const std::string html = soakReportHtml(report);
    size_t done = 0;
    while (done < html.size()) {
        const ssize_t n = ::write(fd, html.data() + done, html.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = "cannot write " + path + ": " + std::strerror(errno);
            return false;
        }
        done += size_t(n);
    }
    return true;
}

}  // namespace yarvoctl
