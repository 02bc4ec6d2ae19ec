// Feeds arbitrary bytes to expat::Parser. The first byte switches the three log groups and makes a
// handler throw; the rest is the document. Checks that every outcome is one of the documented ones.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <streambuf>
#include <string>

#include "log.h"
#include "msgGroup.h"
#include "parser.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

struct HandlerFailure {};

class FuzzParser : public expat::Parser {
  public:
    explicit FuzzParser(bool throwInHandler);

    bool throwInHandler;
    std::size_t collected = 0;

    void collect() {
        collected += charData().size() + tagStackText().size();
        if (throwInHandler && charData() == "!") {
            throw HandlerFailure{};
        }
    }
};

template <auto Op>
constexpr expat::HandlerFunction on = expat::memberHandler<Op>;

constexpr expat::ElementHandler kTable[] = {
    {expat::kStartTag, on<&FuzzParser::collect>, "a"},
    {expat::kEndTag, on<&FuzzParser::collect>, "a"},
    {expat::kEndTag, on<&FuzzParser::collect>, "Subject"},
    {expat::kEndOfTable, nullptr, nullptr},
};

FuzzParser::FuzzParser(bool throwing) : Parser(kTable), throwInHandler(throwing) {}

// Swallows the log, so that enabled groups exercise the line building without filling a disk.
class NullBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static NullBuffer nullBuffer;
    static std::ostream nullStream(&nullBuffer);
    static CMessageGroup elements("FuzzXmlElements");
    static CMessageGroup tagStack("FuzzXmlTagStack");
    static CMessageGroup charData("FuzzXmlCharData");
    static const bool logSet = [] {
        theMessageLog().setOutput(nullStream);
        return true;
    }();
    (void)logSet;

    if (size == 0) {
        return 0;
    }
    const unsigned options = data[0];
    elements.setEnabled((options & 1U) != 0);
    tagStack.setEnabled((options & 2U) != 0);
    charData.setEnabled((options & 4U) != 0);

    FuzzParser parser((options & 8U) != 0);
    parser.setLogGroups(&elements, &tagStack, &charData);
    try {
        parser.parse(reinterpret_cast<const char*>(data + 1), static_cast<int>(size - 1));
        check(parser.tagStack().empty());
    } catch (const expat::Exception& e) {
        check(std::string(e.what()).rfind("XML parse failed (", 0) == 0);
    } catch (const HandlerFailure&) {
        check(parser.throwInHandler);
    }
    return 0;
}
