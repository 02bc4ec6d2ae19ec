#include "feedVariants.h"

#include <algorithm>

namespace host::feeds {

namespace {

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

void normaliseWords(std::vector<std::string>& words) {
    for (std::string& word : words) {
        std::transform(word.begin(), word.end(), word.begin(), lowerAscii);
    }
    std::erase_if(words, [](const std::string& word) { return word.empty(); });
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
}

// Each word with its length first: no word's bytes can pass for a separator.
void appendWords(std::string& key, const std::vector<std::string>& words) {
    for (const std::string& word : words) {
        key += std::to_string(word.size());
        key += ':';
        key += word;
    }
    key += ';';
}

bool holdsAny(std::string_view title, const std::vector<std::string>& words) {
    return std::any_of(words.begin(), words.end(),
                       [title](const std::string& word) { return titleHolds(title, word); });
}

}  // namespace

void ItemSelection::normalise() {
    normaliseWords(keep);
    normaliseWords(drop);
}

std::string ItemSelection::key() const {
    std::string key = limit ? std::to_string(*limit) : std::string();
    key += ';';
    appendWords(key, keep);
    appendWords(key, drop);
    return key;
}

bool titleHolds(std::string_view title, std::string_view lowerWord) {
    if (lowerWord.size() > title.size()) {
        return false;
    }
    for (std::size_t start = 0; start + lowerWord.size() <= title.size(); ++start) {
        std::size_t i = 0;
        while (i < lowerWord.size() && lowerAscii(title[start + i]) == lowerWord[i]) {
            ++i;
        }
        if (i == lowerWord.size()) {
            return true;
        }
    }
    return false;
}

ChannelModel selectItems(const ChannelModel& channel, const ItemSelection& selection) {
    ChannelModel selected;
    selected.title = channel.title;
    selected.description = channel.description;
    selected.link = channel.link;
    selected.imageUrl = channel.imageUrl;
    selected.repaired = channel.repaired;
    for (const FeedItem& item : channel.items) {
        if (selection.limit && selected.items.size() >= *selection.limit) {
            break;
        }
        if ((selection.keep.empty() || holdsAny(item.title, selection.keep)) &&
            !holdsAny(item.title, selection.drop)) {
            selected.items.push_back(item);
        }
    }
    return selected;
}

std::shared_ptr<const PreparedBody> FeedVariants::form(const ChannelModel& channel,
                                                       const FeedContext& context,
                                                       const ItemSelection& selection,
                                                       FeedFormat format) {
    std::string key(formatName(format));
    key += ';';
    key += selection.key();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (const auto found = byKey_.find(key); found != byKey_.end()) {
            recent_.splice(recent_.begin(), recent_, found->second);
            return found->second->second;
        }
    }
    // Written without the lock: a big channel takes a while, and other readers of this feed's
    // variants need not wait for it. Two readers of one new selection may both write it.
    auto body = std::make_shared<const PreparedBody>(prepareBody(
        writeFeed(format, {}, selectItems(channel, selection), context), contentType(format)));
    if (capacity_ == 0) {
        return body;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (const auto found = byKey_.find(key); found != byKey_.end()) {
        // Another reader kept it meanwhile: the same bytes, so share that one.
        recent_.splice(recent_.begin(), recent_, found->second);
        return found->second->second;
    }
    if (recent_.size() >= capacity_) {
        byKey_.erase(recent_.back().first);
        recent_.pop_back();
    }
    recent_.emplace_front(key, body);
    byKey_.emplace(std::move(key), recent_.begin());
    return body;
}

std::size_t FeedVariants::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return recent_.size();
}

}  // namespace host::feeds
