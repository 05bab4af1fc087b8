// What the auditor writes: the terminal report, AUDIT_CONTEXT.md and audit_report.json.
#pragma once

#include <string>
#include <string_view>

#include "kestrune/base/json.h"

namespace kestrune::audit {

// `text` wrapped in the ANSI sequence of `code` (red, yellow, green, cyan,
// bold, dim, orange; nothing for another code) and a reset; unchanged when
// `enabled` is false.
std::string colorize(std::string_view code, std::string_view text, bool enabled = true);

// The human-readable report of a results record, lines joined with "\n" and no
// final line break. Only the last component of `root` is shown.
std::string format_report(std::string_view root, const json::Object& r, bool color = true);

// The text of AUDIT_CONTEXT.md (no final line break).
std::string audit_context(const json::Object& r);
// Writes root/.braid/AUDIT_CONTEXT.md whole and returns its path.
std::string write_audit_context(const std::string& root, const json::Object& r);

// audit_report.json: the results record without "_graph", indented by 2, no final line break.
std::string report_json(const json::Object& r);

}  // namespace kestrune::audit
