#include "fetchLog.h"

#include <sstream>

#include "httpText.h"
#include "textDates.h"
#include "textEscape.h"

namespace host {

std::string fetchLogLine(const ChannelStatus& s, std::chrono::milliseconds fetchTimeout,
                         TimePoint now) {
    std::ostringstream line;
    // Names come from the INI file: nothing of them may break the log line.
    line << text::isoDate(now);
    if (s.fetching && s.overdue) {
        line << " fetching " << text::printable(s.name) << ": no answer within "
             << secondsText(fetchTimeout)
             << "; readers without a feed get 504 until the plug-in returns";
        return line.str();
    }
    if (s.origin == Origin::elsewhere) {
        line << " " << text::printable(s.name)
             << " is being fetched by another process on the same state; its last feed is served "
                "meanwhile";
        return line.str();
    }
    line << (s.origin == Origin::restored ? " restored " : " fetched ") << text::printable(s.name)
         << (s.origin == Origin::restored ? " from the state: " : ": ");
    if (s.lastStatus == DOVETRAIL_STATUS_OK) {
        line << "ok, " << s.lastBytes << " bytes";
    } else {
        line << "failed (status " << s.lastStatus << "): " << text::printable(s.lastError);
        if (s.failureStreak > 1) {
            line << " (" << s.failureStreak << " failures in a row)";
        }
        if (!s.lastHint.empty()) {
            line << "; hint: " << text::printable(s.lastHint);
        }
    }
    if (s.origin == Origin::restored) {
        line << ", fetched " << text::isoDate(s.lastFetch);
    } else {
        line << ", " << s.lastDuration.count() << " ms";
    }
    line << "; next fetch " << text::isoDate(s.nextFetch);
    if (!s.conversionError.empty()) {
        line << "; served in the plug-in's form only: " << text::printable(s.conversionError);
    }
    if (!s.stateError.empty()) {
        line << "; " << text::printable(s.stateError);
    }
    return line.str();
}

}  // namespace host
