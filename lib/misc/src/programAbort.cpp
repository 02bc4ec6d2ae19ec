#include "programAbort.h"

#include <atomic>
#include <cstdlib>
#include <sstream>

#include "platform/messageBox.h"

namespace misc {

namespace {

// Set by the first abort and never cleared: an abort raised while the first one reports (by
// another thread, or by exit processing) must not report again or re-enter exit().
std::atomic<bool> abortUnderWay{false};
std::atomic<AbortReportWriter> reportWriter{nullptr};

}  // namespace

std::string programAbortReport(const char* message, const char* file, unsigned long line,
                               const char* function) {
    std::ostringstream report;
    if (message != nullptr)
        report << "PROGRAM ABORT: " << message;
    report << '\n';
    if (function != nullptr) {
        const std::string_view name(function);
        report << "- FUNCTION: " << name.substr(0, name.find('(')) << "()\n";
    }
    report << "- FILE:     ";
    if (file != nullptr) {
        report << file << " (line " << line << ")\n";
    } else {
        report << "<unknown>";
    }
    return report.str();
}

void setAbortReportWriter(AbortReportWriter writer) noexcept {
    reportWriter.store(writer);
}

void programAbort(const char* message, const char* file, unsigned long line, const char* function) {
    if (abortUnderWay.exchange(true))
        return;
    const std::string report = programAbortReport(message, file, line, function);
    // Written first: a box may never be closed, and the log is where the report is looked for.
    if (const AbortReportWriter writer = reportWriter.load())
        writer(report);
    platform::showMessageBox(report, "PROGRAM ABORT");
    std::exit(1);
}

}  // namespace misc
