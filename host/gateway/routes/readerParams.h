// The reader parameters of a feed's query: /channels/NAME.{rss,atom,json}?limit=N&filter=WORDS&
// filterout=WORDS select the feed's items, from the model of the feed the cache holds.
//
// - limit=N: the first N items that pass the filters; N a whole number from 1 to kMaxLimit.
// - filter=WORDS: only items whose title holds one of the words; filterout=WORDS: not those whose
//   title holds one. `|` separates the words, empty ones are ignored, letter case (ASCII) too; a
//   word is plain text, no pattern. A repeated filter or filterout adds its words; a repeated
//   limit must repeat its value.
// - key=KEY is the access key (readerAccess.h), never a selection. Any other parameter is an
//   error, as are all of these on .plugin (the plug-in's own text, served byte for byte).
// - Names and values are strictly percent-decoded; '+' stays '+' (a blank is %20).
//
// Plain functions and values; safe from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "feedFormats.h"
#include "feedVariants.h"

namespace host {

inline constexpr std::size_t kMaxLimit = 1000000;

struct ReaderParams {
    // The items asked for, normalised; nothing when the query asks for every item (no
    // parameters, or only empty words).
    std::optional<feeds::ItemSelection> selection;
    // Why the query cannot be answered (for a 400), naming the parameter and value, printable;
    // empty when it can.
    std::string error;
};

ReaderParams parseReaderParams(std::string_view query, feeds::FeedFormat format);

}  // namespace host
