#include "src/soap/xml_guard.h"

#include <string_view>

namespace kv {
namespace xml {

namespace {

// Markup whose content is skipped up to its end marker.
struct Skipped {
    std::string_view start;  // after '<'
    std::string_view end;
};
// End tags are not among them: tinyxml2 parses an end tag's attributes like a start
// tag's (checking each for a duplicate) before it drops the tag.
constexpr Skipped kSkipped[] = {{"!--", "-->"}, {"![CDATA[", "]]>"}, {"?", "?>"}, {"!", ">"}};

}  // namespace

bool AttributesWithin(const char* data, size_t size, size_t max_attributes) {
    const std::string_view text(data, data != nullptr ? size : 0);
    size_t at = 0;
    while ((at = text.find('<', at)) != std::string_view::npos) {
        ++at;
        bool skipped = false;
        for (const Skipped& markup : kSkipped) {
            if (text.compare(at, markup.start.size(), markup.start) != 0) continue;
            at = text.find(markup.end, at + markup.start.size());
            if (at == std::string_view::npos) return true;
            at += markup.end.size();
            skipped = true;
            break;
        }
        if (skipped) continue;
        // A start or end tag: every attribute has one quoted value, and '>' ends the tag only
        // outside of values.
        size_t attributes = 0;
        while (at < text.size() && text[at] != '>') {
            const char c = text[at];
            if (c == '"' || c == '\'') {
                at = text.find(c, at + 1);
                if (at == std::string_view::npos) return true;
                if (++attributes > max_attributes) return false;
            }
            ++at;
        }
    }
    return true;
}

}  // namespace xml
}  // namespace kv
