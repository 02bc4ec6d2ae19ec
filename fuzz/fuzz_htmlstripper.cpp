// Feeds arbitrary bytes to the HTML stripper. The first byte chooses the options; the rest is the
// input. Checks the invariants that every result and record must satisfy.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "htmlStripper.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const unsigned options = data[0];
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);

    htmlStripper::HtmlStripper stripper;
    stripper.setCollapseWhitespace((options & 1U) != 0);
    static const char* const kNames[] = {"td", "TR", "table", "img", "a", "b", "script", ""};
    for (unsigned bit = 0; bit < 7; ++bit) {
        if ((options & (2U << bit)) != 0) {
            stripper.keepTag(kNames[bit]);
        }
    }
    stripper.process(input);
    const std::string& result = stripper.result();

    // The result never outgrows the input, so the reserved storage is never reallocated.
    check(result.size() <= input.size());
    check(result.capacity() >= input.size());
    if ((options >> 1U) == 0) {
        check(stripper.tagRecords().empty());
        if (input.find('<') == std::string::npos && (options & 1U) == 0) {
            check(result == input);
        }
    }
    for (const auto& record : stripper.tagRecords()) {
        check(record.startOffset < result.size() && result[record.startOffset] == '<');
        check(record.data.text == &result);
        check(record.startOffset < record.data.start);
        check(record.data.start + record.data.length <= record.endOffset);
        check(record.endOffset <= result.size());
        for (const auto& param : record.params) {
            check(param.name.start >= record.startOffset);
            check(param.name.start + param.name.length <= record.data.start);
            const bool valueless = param.value.start == 0 && param.value.length == 0;
            check(valueless || param.value.start + param.value.length <= record.data.start);
        }
    }

    // A second call on the same stripper starts clean and gives the same answer.
    const std::string first = result;
    const std::size_t records = stripper.tagRecords().size();
    stripper.process(input);
    check(stripper.result() == first);
    check(stripper.tagRecords().size() == records);
    return 0;
}
