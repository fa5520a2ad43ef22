#include "common/string_util.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kv {

namespace {

bool is_ascii_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(unsigned char c) { return c >= '0' && c <= '9'; }

size_t measured_length(const char* text, size_t length) {
    return length == std::string::npos ? std::strlen(text) : length;
}

// Number conversions stop at an embedded NUL; a std::string may hold one, and what
// follows it still counts as text after the number.
const char* text_end(const std::string& text) { return text.c_str() + text.size(); }

}  // namespace

unsigned hex_to_int(char c) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (is_ascii_digit(byte)) return byte - '0';
    if (is_ascii_letter(byte)) return static_cast<unsigned>(byte | 0x20) - 87;
    return 0;
}

std::string hex_encode(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0x0f];
    }
    return out;
}

std::string hex_decode(const std::string& text) {
    std::string out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        out += static_cast<char>(((hex_to_int(text[i]) << 4) | hex_to_int(text[i + 1])) & 0xff);
    }
    return out;
}

std::string url_encode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (is_ascii_letter(byte) || is_ascii_digit(byte) || byte == '-' || byte == '_' || byte == '.' ||
            byte == '~') {
            out += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof(escaped), "%%%02x", byte);
            out += escaped;
        }
    }
    return out;
}

std::string url_decode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(((hex_to_int(text[i + 1]) << 4) | hex_to_int(text[i + 2])) & 0xff);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string quote(const char* text, size_t length, const char* specials) {
    if (text == nullptr) return "\"\"";
    length = measured_length(text, length);
    std::string out;
    out.reserve(length + 2);
    out += '"';
    for (size_t i = 0; i < length; ++i) {
        // strchr finds the terminator too, so NUL is special whatever the set holds.
        if (text[i] == '\0' || (specials != nullptr && std::strchr(specials, text[i]) != nullptr)) out += '\\';
        out += text[i];
    }
    out += '"';
    return out;
}

std::string quote(const std::string& text, const char* specials) {
    return quote(text.data(), text.size(), specials);
}

std::string escape_characters(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '\a': out += "\\a"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\v': out += "\\v"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            case '"': out += "\\\""; break;
            case '\'': out += "\\'"; break;
            case '?': out += "\\?"; break;
            case '\\': out += "\\\\"; break;
            default: {
                const unsigned char byte = static_cast<unsigned char>(c);
                if (byte < 32) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
                    out += escaped;
                } else {
                    out += c;
                }
            }
        }
    }
    return out;
}

size_t utf8_sequence_length(const std::string& text, size_t i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    const unsigned char second = static_cast<unsigned char>(text[i + 1]);
    if (second < low || second > high) return 0;
    for (size_t k = 2; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if (next < 0x80 || next > 0xBF) return 0;
    }
    return length;
}

std::string cut_quoted_text(const std::string& text, size_t keep) {
    if (text.size() <= keep) return text;
    size_t end = keep;
    // Back to the start of a sequence that would be split (at most three bytes back).
    for (size_t back = 0; back < 3 && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++back) {
        --end;
    }
    return text.substr(0, end) + "...(" + std::to_string(text.size() - end) + " more bytes)";
}

std::string escape_log_text(const std::string& text) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            switch (byte) {
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    out += "\\x";
                    out += kDigits[byte >> 4];
                    out += kDigits[byte & 0x0F];
            }
            ++i;
            continue;
        }
        const size_t length = utf8_sequence_length(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
            ++i;
            continue;
        }
        if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            const unsigned char control = static_cast<unsigned char>(text[i + 1]);
            out += "\\u00";
            out += kDigits[control >> 4];
            out += kDigits[control & 0x0F];
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

std::vector<std::string> split(const char* text, size_t length, char delimiter) {
    std::vector<std::string> fields;
    if (text == nullptr) return fields;
    length = measured_length(text, length);
    size_t start = 0;
    for (;;) {
        const void* found = std::memchr(text + start, delimiter, length - start);
        if (found == nullptr) {
            fields.emplace_back(text + start, length - start);
            return fields;
        }
        const size_t end = static_cast<size_t>(static_cast<const char*>(found) - text);
        fields.emplace_back(text + start, end - start);
        start = end + 1;
    }
}

std::vector<std::string> split(const std::string& text, char delimiter) {
    return split(text.data(), text.size(), delimiter);
}

namespace string_converters {

int string_to_long(const std::string& text, long& out) {
    errno = 0;
    char* end = nullptr;
    out = std::strtol(text.c_str(), &end, 10);
    if (errno == ERANGE) return kOutOfRange;
    if (end == nullptr) return kNoEndPosition;
    if (end == text.c_str()) return kNoNumber;
    if (end != text_end(text)) return kTrailingText;
    return kConverted;
}

int string_to_double(const std::string& text, double& out) {
    errno = 0;
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    if (errno != 0) return kOutOfRange;
    if (end == nullptr) return kNoEndPosition;
    if (end == text.c_str()) return kNoNumber;
    if (end != text_end(text)) return kTrailingText;
    return kConverted;
}

int string_to_int(const std::string& text, int& out) {
    long value = 0;
    const int result = string_to_long(text, value);
    // Clamped rather than truncated: a long cut to int would turn LONG_MAX into -1.
    if (value < INT_MIN) {
        out = INT_MIN;
    } else if (value > INT_MAX) {
        out = INT_MAX;
    } else {
        out = static_cast<int>(value);
        return result;
    }
    if (result != kConverted) return result;
    errno = ERANGE;
    return kOutOfRange;
}

}  // namespace string_converters
}  // namespace kv
