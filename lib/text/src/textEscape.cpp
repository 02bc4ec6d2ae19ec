#include "textEscape.h"

#include <cstddef>

namespace text {

namespace {

bool isUnreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// The byte of the escape starting at text[at] ('%'), or -1 when no two hex digits follow.
int escapedByte(std::string_view text, std::size_t at) {
    if (text.size() - at < 3) {
        return -1;
    }
    const int high = hexValue(text[at + 1]);
    const int low = hexValue(text[at + 2]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

}  // namespace

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void appendHexByte(std::string& out, unsigned char byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
}

std::string percentEncode(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        if (isUnreserved(c)) {
            out += c;
        } else {
            out += '%';
            appendHexByte(out, static_cast<unsigned char>(c));
        }
    }
    return out;
}

std::string percentDecode(std::string_view text, ZeroByte zero) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int byte = text[i] == '%' ? escapedByte(text, i) : -1;
        if (byte > 0 || (byte == 0 && zero == ZeroByte::decode)) {
            out += static_cast<char>(byte);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<std::string> percentDecodeStrict(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const int byte = escapedByte(text, i);
        if (byte < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(byte);
        i += 2;
    }
    return out;
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
            out += "\\x";
            appendHexByte(out, u);
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace text
