// The web service's answer as a list of items: the plug-in's parser collects one BriefItem per
// "MessageBrief" or "ArticleBrief" element, dispatched through a static element handler table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "htmlStripper.h"
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

// Receives each item of a streaming XmlParser once the item is complete.
class ItemSink {
  public:
    // The item is the parser's and is reused for the next one; the sink may change it in place.
    virtual void item(BriefItem& item) = 0;

  protected:
    ~ItemSink() = default;
};

// One parser per answer: construct, hand it the three XML message groups, parse, read items().
// Constructed with an ItemSink, it streams instead: each item goes to the sink as soon as it is
// complete (at the end of its record, or at the start of a record nested in it) and items() stays
// empty, so an answer of any length needs the room of one item.
class XmlParser : public expat::Parser {
  public:
    XmlParser();
    explicit XmlParser(ItemSink* sink);
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

    // The item the field elements fill.
    BriefItem& record() { return sink_ != nullptr ? current_ : items_.back(); }
    void emit();

    std::vector<BriefItem> items_;
    bool inRecord_ = false;
    ItemSink* sink_ = nullptr;
    BriefItem current_;     // streaming: the item being filled, its strings reused
    bool pending_ = false;  // streaming: current_ holds an item not yet given to the sink
    htmlStripper::HtmlStripper stripper_;
};

}  // namespace plugin
