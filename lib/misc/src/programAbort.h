// The last resort: report that the program cannot go on, then end the process.
#pragma once

#include <string>

namespace misc {

// The report text: "PROGRAM ABORT: " and the message (when given) and a line end; "- FUNCTION: "
// with the name up to its first '(' and "()" (when given); "- FILE:     " with the file and
// " (line N)" and a line end, or "<unknown>" without a line end.
std::string programAbortReport(const char* message, const char* file, unsigned long line,
                               const char* function);

// Hands the report to the report writer (when one is set), then shows it in a message box
// captioned "PROGRAM ABORT" and calls exit(1). Returns at once, doing nothing, when an abort is
// already under way in the process.
// Where the report is written before the box is shown: the plug-in's log. The writer runs on the
// aborting thread, while other threads may hold any lock, so it must take none of them. Null: none.
using AbortReportWriter = void (*)(const std::string& report) noexcept;
void setAbortReportWriter(AbortReportWriter writer) noexcept;

void programAbort(const char* message, const char* file, unsigned long line, const char* function);

}  // namespace misc
