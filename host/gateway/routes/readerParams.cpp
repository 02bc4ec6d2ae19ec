#include "readerParams.h"

#include <algorithm>
#include <vector>

#include "textEscape.h"

namespace host {

namespace {

constexpr std::string_view kTaken = "limit, filter and filterout";

// The words of one filter value, as given; empty ones are dropped by normalise().
void addWords(std::vector<std::string>& words, std::string_view value) {
    std::size_t start = 0;
    while (true) {
        const std::size_t bar = value.find('|', start);
        words.emplace_back(value.substr(start, bar - start));
        if (bar == std::string_view::npos) {
            return;
        }
        start = bar + 1;
    }
}

std::optional<std::size_t> parseLimit(std::string_view value) {
    if (value.empty() || value.size() > 7) {
        return std::nullopt;
    }
    std::size_t n = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        n = n * 10 + static_cast<std::size_t>(c - '0');
    }
    return n >= 1 && n <= kMaxLimit ? std::optional<std::size_t>(n) : std::nullopt;
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) {
        out += out.empty() ? "" : ", ";
        out += name;
    }
    return out;
}

}  // namespace

ReaderParams parseReaderParams(std::string_view query, feeds::FeedFormat format) {
    ReaderParams result;
    feeds::ItemSelection selection;
    std::vector<std::string> unknown;  // printable, each once
    std::vector<std::string> selecting;
    std::optional<std::string> limitText;
    std::size_t pos = 0;
    while (pos <= query.size()) {
        const std::size_t amp = std::min(query.find('&', pos), query.size());
        const std::string_view pair = query.substr(pos, amp - pos);
        pos = amp + 1;
        if (pair.empty()) {
            continue;
        }
        const std::size_t equals = pair.find('=');
        const std::string_view rawName = pair.substr(0, equals);
        const std::string_view rawValue =
            equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        const std::optional<std::string> name = text::percentDecodeStrict(rawName);
        if (name == "key") {
            continue;
        }
        const std::optional<std::string> value = text::percentDecodeStrict(rawValue);
        if (!name || !value) {
            result.error = "Can't read the query parameter " + text::printable(pair) +
                           ": a '%' that is not followed by two hexadecimal digits\n";
            return result;
        }
        if (*name != "limit" && *name != "filter" && *name != "filterout") {
            const std::string shown = text::printable(*name);
            if (std::find(unknown.begin(), unknown.end(), shown) == unknown.end()) {
                unknown.push_back(shown);
            }
            continue;
        }
        if (std::find(selecting.begin(), selecting.end(), *name) == selecting.end()) {
            selecting.push_back(*name);
        }
        if (*name == "filter") {
            addWords(selection.keep, *value);
        } else if (*name == "filterout") {
            addWords(selection.drop, *value);
        } else if (limitText && *limitText != *value) {
            result.error = "Query parameter limit is given twice with different values: " +
                           text::printable(*limitText) + " and " + text::printable(*value) + "\n";
            return result;
        } else if (const std::optional<std::size_t> limit = parseLimit(*value)) {
            limitText = *value;
            selection.limit = limit;
        } else {
            result.error = "Bad query parameter limit=" + text::printable(*value) +
                           ": the number of items is a whole number from 1 to " +
                           std::to_string(kMaxLimit) + "\n";
            return result;
        }
    }
    if (!unknown.empty()) {
        result.error = "Unknown query parameter" + std::string(unknown.size() > 1 ? "s" : "") +
                       ": " + joined(unknown) + "\nA feed takes " + std::string(kTaken) +
                       " (and key, an access key).\n";
        return result;
    }
    if (format == feeds::FeedFormat::plugin && !selecting.empty()) {
        result.error = "The plug-in's own text (.plugin) is served as it is and takes no " +
                       std::string("reader parameters: ") + joined(selecting) +
                       "\nThe .rss, .atom and .json feeds take " + std::string(kTaken) + ".\n";
        return result;
    }
    selection.normalise();
    if (!selection.selectsAll()) {
        result.selection = std::move(selection);
    }
    return result;
}

}  // namespace host
