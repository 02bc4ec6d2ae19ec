#include <cstdio>

#include "platform/messageBox.h"

namespace platform {

void showMessageBox(const std::string& text, const std::string& caption) {
    // One write, so that the report is not split by output of other threads; a final line end
    // keeps the terminal tidy when the text has none.
    std::string out = caption;
    out += '\n';
    out += text;
    if (out.back() != '\n')
        out += '\n';
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
}

bool messageBoxCanBeSeen() {
    return false;
}

}  // namespace platform
