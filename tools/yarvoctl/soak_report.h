// The soak's report for a technician: one self-contained HTML page (styles
// and plots inline, nothing fetched), a table per reel and plots of the stop
// time and the offset at rest of every spin.
#ifndef YARVOCTL_SOAK_REPORT_H
#define YARVOCTL_SOAK_REPORT_H

#include <string>

#include "soak.h"

namespace yarvoctl {

std::string soakReportHtml(const soak::Report& report);

// Writes the page to `fd` (opened for `path`); false with a message.
bool writeSoakReport(int fd, const std::string& path, const soak::Report& report, std::string* error);

}  // namespace yarvoctl

#endif
