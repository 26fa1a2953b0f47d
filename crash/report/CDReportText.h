// The bug report as text: the header lines and the sections of a report,
// rendered into the one plain 8-bit text that is shown, saved and mailed.
//
// Header: each label padded with blanks to the longest label plus one, then
// ": " and the content with its line breaks turned into blanks and runs of
// blanks collapsed; lines joined by CR LF, no break after the last. Labels
// and section names get the same treatment, so no text can break the
// report's layout.
// Sections: CR LF CR LF, the name (":" added when it has none), then every
// content line after a CR LF, with trailing blanks removed and an empty line
// written as "." so that blank lines only ever separate sections.
// Pure functions on plain values; safe to call on any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "crash/report/ICDFields.h"

std::string RenderBugReport(const std::vector<TCDField>& header, const std::vector<TCDField>& sections);
std::string RenderBugReport(const TICDFields& header, const TICDFields& sections);

// A header value as the report text shows it: line breaks turned into blanks
// and runs of blanks collapsed to one.
std::string HeaderValueText(std::string_view content);

// One header line as the renderer writes it, for a label padded to `width`
// characters (the longest label plus one).
std::string RenderHeaderLine(std::string_view label, std::string_view content, std::size_t width);
