#include "channelRows.h"

#include "indexPage.h"
#include "textEncoding.h"

namespace host {

std::vector<ChannelRow> channelRows(const ChannelSet& configured,
                                    const std::vector<ChannelStatus>& seen,
                                    const Intervals& intervals) {
    std::vector<ChannelRow> rows;
    for (const ChannelEntry& channel : configured.channels) {
        ChannelRow row;
        row.channel = &channel;
        row.status.name = channel.name;
        row.status.interval = std::chrono::seconds(intervals.forKind(channel.intervalKind));
        for (const ChannelStatus& status : seen) {
            if (status.name == channel.name) {
                row.status = status;
                break;
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string indexPage(const PageInput& page, const std::string& baseUrl) {
    // Texts from the INI file or the plug-in, as UTF-8 for the page.
    const auto utf8 = [](std::string_view bytes) { return feeds::iniValueToUtf8(bytes); };
    feeds::IndexPageInput input;
    input.baseUrl = baseUrl;
    input.linkQuery = page.linkQuery;
    input.lounge = std::chrono::seconds(page.intervals.lounge);
    input.messageBoards = std::chrono::seconds(page.intervals.messageBoards);
    input.articles = std::chrono::seconds(page.intervals.articles);
    input.now = page.now;
    if (page.problem) {
        input.problem = utf8(page.problem->message);
        input.problemHint = utf8(page.problem->hint);
        input.nextAttempt = page.problem->nextAttempt;
    }
    for (const ChannelRow& row : page.rows) {
        const ChannelStatus& s = row.status;
        feeds::IndexChannel channel;
        channel.name = s.name;
        channel.title = utf8(row.channel->title);
        channel.description = utf8(row.channel->description);
        channel.refetchInterval = s.interval;
        if (s.fetched) {
            channel.lastFetch = s.lastFetch;
            channel.nextFetch = s.nextFetch;
        }
        channel.fetching = s.fetching;
        channel.status = s.lastStatus;
        channel.error = utf8(s.lastError);
        channel.hint = utf8(s.lastHint);
        channel.hasFeed = s.lastSuccess.has_value();
        channel.conversionError = utf8(s.conversionError);
        input.channels.push_back(std::move(channel));
    }
    return feeds::renderIndexPage(input);
}

}  // namespace host
