#include "src/xml_names.h"

#include <cstring>

#include <tinyxml2.h>

namespace kv {
namespace xml {

namespace {

// Bound implicitly in every document; it may not be redeclared to anything else.
constexpr char kXmlPrefix[] = "xml";
constexpr char kXmlNamespace[] = "http://www.w3.org/XML/1998/namespace";

// Where the prefix ends in the name, or null when the name has none.
const char* PrefixEnd(const char* name) { return std::strchr(name, ':'); }

}  // namespace

std::string LocalName(const tinyxml2::XMLElement& element) {
    const char* name = element.Name();
    const char* colon = PrefixEnd(name);
    return colon != nullptr ? std::string(colon + 1) : std::string(name);
}

std::string NamespaceOf(const tinyxml2::XMLElement& element) {
    const char* name = element.Name();
    const char* colon = PrefixEnd(name);
    std::string declaration = "xmlns";
    if (colon != nullptr) {
        const std::string prefix(name, static_cast<size_t>(colon - name));
        if (prefix == kXmlPrefix) return kXmlNamespace;
        declaration += ':';
        declaration += prefix;
    }
    // The nearest declaration in scope wins: the element's own, then its ancestors'.
    for (const tinyxml2::XMLNode* node = &element; node != nullptr; node = node->Parent()) {
        const tinyxml2::XMLElement* scope = node->ToElement();
        if (scope == nullptr) break;
        if (const char* uri = scope->Attribute(declaration.c_str())) return uri;
    }
    return std::string();
}

bool IsNamed(const tinyxml2::XMLElement* element, const char* ns, const char* local) {
    if (element == nullptr) return false;
    // The local name is the cheap test; most siblings fail it before any scope walk.
    const char* name = element->Name();
    const char* colon = PrefixEnd(name);
    if (std::strcmp(colon != nullptr ? colon + 1 : name, local) != 0) return false;
    return NamespaceOf(*element) == ns;
}

const tinyxml2::XMLElement* FirstChildNamed(const tinyxml2::XMLElement* parent, const char* ns, const char* local) {
    if (parent == nullptr) return nullptr;
    for (const tinyxml2::XMLElement* child = parent->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        if (IsNamed(child, ns, local)) return child;
    }
    return nullptr;
}

}  // namespace xml
}  // namespace kv
