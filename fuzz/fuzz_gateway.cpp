// Drives the gateway's request handling (routes, channel names, feed forms, cache, schedule,
// validators, status and index pages) with a fake plug-in and a fake clock. The input is lines:
//   +N                 the clock moves N seconds on (N: up to four digits)
//   !ok !conv !fail !big !throw !unknown
//                      how the fake plug-in answers the fetches from now on (!conv: a text the
//                      converter reads, !ok: one it cannot)
//   METHOD TARGET[\tName: value]...
//                      a request with its headers
// Invariants, whatever the requests:
//   - a configured channel is fetched no sooner than its interval after a success, no sooner
//     than 30 s after a failure, and never sooner than its interval after its last success; no
//     other name is ever fetched;
//   - every request is answered exactly once, with a status the routes can give;
//   - a channel's form answered 200 comes from a text the plug-in gave for that very channel:
//     .plugin byte for byte, the other forms carrying that text's mark (or gzip-compressed);
//   - the answer of a HEAD, 304 or error never carries a feed.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "channelCache.h"
#include "channelScheduler.h"
#include "channelDirectory.h"
#include "feedFormats.h"
#include "httpService.h"
#include "httpText.h"
#include "textEscape.h"

namespace {

using namespace std::chrono_literals;

const host::Intervals kIntervals{60, 300, 600};

void check(bool condition, int line = __builtin_LINE()) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_gateway: the invariant at line %d does not hold\n", line);
        std::abort();
    }
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

enum class Mode { Ok, Convertible, Fail, Big, Throw, Unknown };

struct Harness {
    std::int64_t seconds = 1'800'000'000;
    Mode mode = Mode::Ok;
    int version = 0;
    std::map<std::string, std::vector<std::int64_t>> fetchStarts;
    std::map<std::string, bool> lastSucceeded;
    std::map<std::string, std::int64_t> lastSuccess;
    std::map<std::string, std::set<std::string>> textsGiven;
    std::map<std::string, std::set<std::string>> marksGiven;
    std::shared_ptr<const host::ChannelSet> channels;

    host::TimePoint now() const { return host::TimePoint(std::chrono::seconds(seconds)); }

    std::int64_t interval(const std::string& name) const {
        return kIntervals.forKind(channels->find(name)->intervalKind);
    }

    host::FetchOutcome fetch(const std::string& name, std::size_t maxBytes) {
        check(channels->find(name) != nullptr);
        std::vector<std::int64_t>& starts = fetchStarts[name];
        if (!starts.empty()) {
            const std::int64_t since = seconds - starts.back();
            check(since >= (lastSucceeded[name] ? interval(name) : 30));
        }
        if (lastSuccess.count(name) != 0) {
            check(seconds - lastSuccess[name] >= interval(name));
        }
        starts.push_back(seconds);
        // What the cache will make of it: only a text within the limit is a success.
        lastSucceeded[name] = mode == Mode::Ok || mode == Mode::Convertible;
        if (lastSucceeded[name]) {
            lastSuccess[name] = seconds;
        }
        switch (mode) {
            case Mode::Fail:
                return host::FetchOutcome{1, {}, "Bad HTTP response: 500 Internal Server Error"};
            case Mode::Throw:
                throw std::runtime_error("the fetcher threw");
            case Mode::Unknown:
                return host::FetchOutcome{5, {}, "Unknown channel: " + name};
            case Mode::Big:
                return host::FetchOutcome{0, std::string(maxBytes + 1, 'x'), {}};
            case Mode::Ok:
            case Mode::Convertible:
                break;
        }
        const std::string mark = "mark-" + std::to_string(++version) + "-";
        std::string text = mode == Mode::Ok
                               ? "<RSS>" + name + "#" + mark
                               : "<RSS><CHANNEL><TITLE>" + mark + "</TITLE><ITEM><TITLE>" +
                                     "<![CDATA[item " + mark + "]]></TITLE><LINK>http://h/" + mark +
                                     "</LINK></ITEM></CHANNEL></RSS>";
        textsGiven[name].insert(text);
        marksGiven[name].insert(mark);
        return host::FetchOutcome{0, text, {}};
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Harness harness;
    {
        host::ChannelSet set = host::servableChannels({{"lounge", "Lounge"},
                                                       {"boards", "Boards"},
                                                       {"a b", "Spaced"},
                                                       {"Caf\xE9", "Caf\xE9"}});
        set.channels[0].intervalKind = host::IntervalKind::lounge;
        set.channels[1].intervalKind = host::IntervalKind::messageBoards;
        harness.channels = std::make_shared<const host::ChannelSet>(std::move(set));
    }

    host::CacheOptions options;
    options.minInterval = std::chrono::seconds(kIntervals.longest());
    options.maxFeedBytes = 256;
    options.now = [&harness] { return harness.now(); };
    options.launch = [](std::function<void()> job) { job(); };  // deterministic: no threads
    host::ChannelCache cache(
        [&harness](const std::string& name, std::size_t maxBytes) {
            return harness.fetch(name, maxBytes);
        },
        options);
    cache.setChannels(host::channelSchedules(*harness.channels, kIntervals),
                      std::chrono::seconds(kIntervals.longest()));

    host::ServiceSources sources;
    sources.mainPage = [] { return host::CallResult{0, "<html>main</html>", {}}; };
    sources.channels = [&harness] { return harness.channels; };
    sources.intervals = [] { return kIntervals; };
    sources.now = options.now;
    sources.log = [](const std::string&) {};
    host::HttpService service(cache, sources);

    const std::string input(reinterpret_cast<const char*>(data), size);
    for (const std::string& line : split(input, '\n')) {
        if (!line.empty() && line[0] == '+') {
            harness.seconds += std::atoi(line.substr(1, 4).c_str());
            continue;
        }
        if (!line.empty() && line[0] == '!') {
            const std::string word = line.substr(1);
            harness.mode = word == "conv"      ? Mode::Convertible
                           : word == "fail"    ? Mode::Fail
                           : word == "big"     ? Mode::Big
                           : word == "throw"   ? Mode::Throw
                           : word == "unknown" ? Mode::Unknown
                                               : Mode::Ok;
            continue;
        }
        const std::vector<std::string> fields = split(line, '\t');
        const std::size_t space = fields[0].find(' ');
        host::HttpRequest request;
        request.method = fields[0].substr(0, space);
        request.target = space == std::string::npos ? "/" : fields[0].substr(space + 1);
        const std::size_t question = request.target.find('?');
        request.path = request.target.substr(0, question);
        request.query = question == std::string::npos ? "" : request.target.substr(question + 1);
        request.peer = "127.0.0.1";
        for (std::size_t i = 1; i < fields.size(); ++i) {
            const std::size_t colon = fields[i].find(':');
            request.headers.push_back(
                host::HttpHeader{fields[i].substr(0, colon),
                                 colon == std::string::npos ? "" : fields[i].substr(colon + 1)});
        }

        int answers = 0;
        host::HttpResponse answer;
        service.handle(request, [&](host::HttpResponse response) {
            ++answers;
            answer = std::move(response);
        });
        check(answers == 1);  // fetches run inline, so every answer is given at once
        static const std::set<int> kStatuses = {200, 304, 404, 405, 500, 502, 503, 504};
        check(kStatuses.count(answer.status) == 1);
        const bool isChannel = request.path.rfind("/channels/", 0) == 0;
        if (isChannel && answer.status == 200) {
            // Only /channels/NAME.FORMAT with a configured NAME can be answered 200.
            const std::string& path = request.path;
            const std::size_t dot = path.rfind('.');
            check(dot != std::string::npos && dot > 10);
            const auto format = host::feeds::parseFeedFormat(path.substr(dot + 1));
            const auto name = text::percentDecodeStrict(path.substr(10, dot - 10));
            check(format && name && harness.channels->find(*name) != nullptr);
            const std::string body(answer.body.view());
            const std::string* encoding = answer.header("Content-Encoding");
            if (encoding != nullptr) {
                check(*encoding == "gzip" && body.rfind("\x1f\x8b", 0) == 0);
            } else if (*format == host::feeds::FeedFormat::plugin) {
                check(harness.textsGiven[*name].count(body) == 1);
            } else {
                bool marked = false;
                for (const std::string& mark : harness.marksGiven[*name]) {
                    marked = marked || body.find(mark) != std::string::npos;
                }
                check(marked);
            }
        }
        if (answer.status == 304) {
            check(answer.body.empty());
        }
        if (isChannel && answer.status >= 400) {
            // A message, never a feed (a 404 may echo the path, and so a mark).
            const std::string body(answer.body.view());
            check(body.rfind("<?xml", 0) != 0 && body.rfind("{\n  \"version\"", 0) != 0);
            for (const auto& [name, texts] : harness.textsGiven) {
                check(texts.count(body) == 0);
            }
        }
        service.answered(request, answer, answer.body.size(), std::chrono::microseconds(1));
    }
    for (const host::ChannelStatus& status : cache.status()) {
        check(harness.channels->find(status.name) != nullptr);
    }
    return 0;
}
