#include "htmlStripper.h"

namespace htmlStripper {

namespace {

// Tags that end an open record implicitly, because table markup often leaves closing tags out. A
// rule's closers end the record in their opening and closing forms; the record's own closing tag
// always ends it.
struct ClosingRule {
    std::string_view name;
    std::string_view closers;  // ";"-separated
};

constexpr ClosingRule kClosingRules[] = {
    {"table", ""},
    {"tr", "table"},
    {"td", "td;tr;table"},
    {"img", "a;td;tr;table"},
};

const ClosingRule* findClosingRule(std::string_view name) {
    for (const ClosingRule& rule : kClosingRules) {
        if (text::equalsNoCase(rule.name, name)) {
            return &rule;
        }
    }
    return nullptr;
}

bool inCloserList(std::string_view list, std::string_view name) {
    while (!list.empty()) {
        const std::size_t separator = list.find(';');
        const std::string_view closer = list.substr(0, separator);
        if (!closer.empty() && text::equalsNoCase(closer, name)) {
            return true;
        }
        if (separator == std::string_view::npos) {
            break;
        }
        list.remove_prefix(separator + 1);
    }
    return false;
}

// The scanner tests every tag character for whitespace; kept inline here for that reason. Same
// set as misc::isSpace: space, tab, line feed, vertical tab, form feed, carriage return.
constexpr bool isWhitespace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool isQuote(char c) {
    return c == '"' || c == '\'';
}

// The quote tracker of tags and values: an empty tracker takes a quote, the same quote empties it,
// the other quote leaves it as it is.
void trackQuote(char& tracker, char c) {
    if (!isQuote(c)) {
        return;
    }
    if (tracker == 0) {
        tracker = c;
    } else if (tracker == c) {
        tracker = 0;
    }
}

}  // namespace

bool HtmlStripper::TagName::equalsNoCase(std::string_view name) const {
    if (!closing) {
        return text::equalsNoCase(bare, name);
    }
    return !name.empty() && name.front() == '/' && text::equalsNoCase(bare, name.substr(1));
}

void HtmlStripper::process(const std::string& html) {
    input_ = &html;
    position_ = 0;
    inScript_ = false;
    result_.clear();
    result_.reserve(html.size());
    tagRecords_.clear();
    openRecords_.clear();

    const std::size_t length = html.size();
    while (position_ < length) {
        if (!collapseWhitespace_) {
            // Text up to the next tag is copied (or, inside SCRIPT, dropped) as one piece.
            std::size_t next = html.find('<', position_);
            if (next == std::string::npos) {
                next = length;
            }
            if (!inScript_) {
                result_.append(html, position_, next - position_);
            }
            position_ = next;
            if (position_ == length) {
                break;
            }
        }
        const char c = html[position_++];
        if (c == '<') {
            if (position_ + 3 <= length && html[position_] == '!' && html[position_ + 1] == '-' &&
                html[position_ + 2] == '-') {
                // The search starts at the "!", so "<!-->" is a complete comment.
                const std::size_t close = html.find("-->", position_);
                if (close == std::string::npos) {
                    position_ = length;  // an unterminated comment swallows the rest
                    break;
                }
                position_ = close + 3;
                continue;
            }
            TagName name;
            std::string_view params;
            if (scanTag(name, params)) {
                handleTag(name, params);
            }
            continue;
        }
        if (inScript_) {
            continue;
        }
        if (collapseWhitespace_ && (c == ' ' || c == '\t') && !result_.empty() &&
            isWhitespace(result_.back())) {
            continue;
        }
        result_.push_back(c);
    }
    closeAtEnd();
    input_ = nullptr;
}

// Scans a tag from just after its "<" up to the ">" that is not inside quoted parameters. Returns
// false when the input ends first; the tag's characters are then lost.
bool HtmlStripper::scanTag(TagName& name, std::string_view& params) {
    enum class State { BeforeName, Name, Between, Parameters };
    const std::string_view in(*input_);
    State state = State::BeforeName;
    std::size_t bareStart = 0;
    std::size_t bareEnd = 0;
    std::size_t paramsStart = 0;
    char quote = 0;
    while (position_ < in.size()) {
        const std::size_t at = position_++;
        const char c = in[at];
        if (c == '>' && quote == 0) {
            name.bare = in.substr(bareStart, bareEnd - bareStart);
            params = state == State::Parameters ? in.substr(paramsStart, at - paramsStart)
                                                : std::string_view();
            return true;
        }
        switch (state) {
            case State::BeforeName:
                if (isWhitespace(c)) {
                    break;
                }
                if (c == '/') {
                    name.closing = true;
                    bareStart = bareEnd = at + 1;
                } else {
                    bareStart = at;
                    bareEnd = at + 1;
                }
                state = State::Name;
                break;
            case State::Name:
                if (!isWhitespace(c)) {
                    if (bareStart == bareEnd) {
                        bareStart = at;  // the first character after "/" and whitespace
                    }
                    bareEnd = at + 1;
                } else if (!(name.closing && bareStart == bareEnd)) {
                    state = State::Between;  // whitespace right after a lone "/" is skipped
                }
                break;
            case State::Between:
                // The first parameter character is not taken as a quote.
                if (!isWhitespace(c)) {
                    paramsStart = at;
                    state = State::Parameters;
                }
                break;
            case State::Parameters:
                trackQuote(quote, c);
                // Only ">" and quotes matter from here on: pass over everything else at once.
                while (position_ < in.size() && in[position_] != '>' && !isQuote(in[position_])) {
                    ++position_;
                }
                break;
        }
    }
    return false;
}

void HtmlStripper::handleTag(const TagName& name, std::string_view params) {
    const std::size_t tagStart = result_.size();
    if (name.equalsNoCase("script")) {
        inScript_ = true;
    } else if (name.isClosingOf("script")) {
        inScript_ = false;
    }

    for (const std::string& kept : keptTags_) {
        const bool opening = name.equalsNoCase(kept);
        if (!opening && !name.isClosingOf(kept)) {
            continue;
        }
        if (opening) {
            TagRecord record;
            record.name.reserve(name.bare.size() + 1);
            if (name.closing) {
                record.name += '/';
            }
            record.name += name.bare;
            record.startOffset = tagStart;
            record.endOffset = tagStart;
            openRecords_.push_back(tagRecords_.size());
            tagRecords_.push_back(std::move(record));
        }
        // Rebuilt without the whitespace before the name and with one space before the
        // parameters; it is never longer than the tag as written.
        result_ += '<';
        if (name.closing) {
            result_ += '/';
        }
        result_ += name.bare;
        std::size_t paramsStart = result_.size();
        if (!params.empty()) {
            result_ += ' ';
            paramsStart = result_.size();
            result_ += params;
        }
        const std::size_t paramsEnd = result_.size();
        result_ += '>';
        if (opening) {
            TagRecord& record = tagRecords_.back();
            record.data = TextRange{&result_, result_.size(), 0};
            parseParams(record, paramsStart, paramsEnd);
        }
        break;
    }

    if (!openRecords_.empty()) {
        closeRecords(name, tagStart);
    }
}

// Splits the parameter text standing in result_[start, end) into name/value pairs. A name ends at
// a space or "=" (not at a tab); an unquoted value ends at a space. A value enclosed in a pair of
// the same quotes is narrowed to exclude them.
//
// A parameter written without a value (as in <td nowrap> or <td nowrap width=5>) is recorded
// wherever it stands, also at the end of the text, with the empty value range (start 0, length 0);
// the character after it that is neither whitespace nor "=" starts the next name. A name followed
// by "=" and nothing else is recorded the same way.
void HtmlStripper::parseParams(TagRecord& record, std::size_t start, std::size_t end) const {
    enum class State { BeforeName, InName, AfterName, BeforeValue, InValue };
    State state = State::BeforeName;
    char quote = 0;
    std::size_t nameStart = 0;
    std::size_t nameEnd = 0;
    std::size_t valueStart = 0;

    const auto addValueless = [&] {
        record.params.push_back(TagParam{TextRange{&result_, nameStart, nameEnd - nameStart},
                                         TextRange{&result_, 0, 0}});
    };
    const auto addValue = [&](std::size_t valueEnd) {
        std::size_t length = valueEnd - valueStart;
        std::size_t first = valueStart;
        if (length >= 2 && isQuote(result_[first]) && result_[valueEnd - 1] == result_[first]) {
            ++first;
            length -= 2;
        }
        record.params.push_back(TagParam{TextRange{&result_, nameStart, nameEnd - nameStart},
                                         TextRange{&result_, first, length}});
    };

    for (std::size_t i = start; i < end; ++i) {
        const char c = result_[i];
        switch (state) {
            case State::BeforeName:
                if (!isWhitespace(c)) {
                    nameStart = i;
                    state = State::InName;
                }
                break;
            case State::InName:
                if (c == '=') {
                    nameEnd = i;
                    state = State::BeforeValue;
                } else if (c == ' ') {
                    nameEnd = i;
                    state = State::AfterName;
                }
                break;
            case State::AfterName:
                if (isWhitespace(c)) {
                    break;
                }
                if (c == '=') {
                    state = State::BeforeValue;
                    break;
                }
                addValueless();
                nameStart = i;
                state = State::InName;
                break;
            case State::BeforeValue:
                if (isWhitespace(c)) {
                    break;
                }
                valueStart = i;
                state = State::InValue;
                [[fallthrough]];
            case State::InValue:
                trackQuote(quote, c);
                if (quote == 0 && (c == ' ' || c == '>')) {
                    addValue(i);
                    state = State::BeforeName;
                }
                break;
        }
    }

    switch (state) {
        case State::InValue:
            addValue(end);
            break;
        case State::InName:
            nameEnd = end;
            addValueless();
            break;
        case State::AfterName:
        case State::BeforeValue:
            addValueless();
            break;
        case State::BeforeName:
            break;
    }
}

// Ends, newest first, every open record that the tag at result offset `tagStart` closes: its own
// closing tag, or a tag of its closing rule. One tag may close several records.
void HtmlStripper::closeRecords(const TagName& name, std::size_t tagStart) {
    for (std::size_t i = openRecords_.size(); i-- > 0;) {
        TagRecord& record = tagRecords_[openRecords_[i]];
        if (record.startOffset == tagStart) {
            continue;  // the record made for this very tag
        }
        bool closes = name.isClosingOf(record.name);
        if (!closes) {
            const ClosingRule* rule = findClosingRule(record.name);
            closes = rule != nullptr &&
                     (name.isClosingOf(rule->name) || inCloserList(rule->closers, name.bare));
        }
        if (!closes) {
            continue;
        }
        record.data.length = tagStart - record.data.start;
        record.endOffset = result_.size();
        openRecords_.erase(openRecords_.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void HtmlStripper::closeAtEnd() {
    for (std::size_t i = openRecords_.size(); i-- > 0;) {
        TagRecord& record = tagRecords_[openRecords_[i]];
        record.data.length = result_.size() - record.data.start;
        record.endOffset = result_.size();
    }
    openRecords_.clear();
}

}  // namespace htmlStripper
