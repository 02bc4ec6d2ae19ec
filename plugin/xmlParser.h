// The web service's answer as a list of items: the plug-in's parser collects one BriefItem per
// "MessageBrief" or "ArticleBrief" element, dispatched through a static element handler table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "parser.h"

namespace plugin {

// One message or article.
struct BriefItem {
    std::string boardName;
    std::string url;
    std::string subject;
    std::string author;  // reduced to plain text
    std::int32_t messagesInThread = 0;
};

// One parser per answer: construct, hand it the three XML message groups, parse, read items().
class XmlParser : public expat::Parser {
public:
    XmlParser();
    ~XmlParser() override;

    std::vector<BriefItem>& items() { return items_; }
    const std::vector<BriefItem>& items() const { return items_; }

    // The element handler table, filled at load and never changed.
    static const expat::ElementHandler kElementHandlers[];

private:
    void beginRecord();
    void endRecord();
    void setBoardName();
    void setUrl();
    void setSubject();
    void setAuthor();
    void setMessagesInThread();

    std::vector<BriefItem> items_;
    bool inRecord_ = false;
};

}  // namespace plugin
