#include "src/soap/xml_names.h"

#include <cstring>

#include <tinyxml2.h>

namespace kv {
namespace xml {

namespace {

// Bound implicitly in every document; it may not be redeclared to anything else.
constexpr std::string_view kXmlPrefix = "xml";
constexpr char kXmlNamespace[] = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kDeclaration = "xmlns";

std::string_view PrefixOf(const char* name) {
    const char* colon = std::strchr(name, ':');
    return colon != nullptr ? std::string_view(name, static_cast<size_t>(colon - name)) : std::string_view();
}

// True when `attribute` declares a namespace; `prefix` is then the prefix it binds (""
// for the default namespace).
bool Declares(const char* attribute, std::string_view& prefix) {
    const std::string_view name(attribute);
    if (name.compare(0, kDeclaration.size(), kDeclaration) != 0) return false;
    if (name.size() == kDeclaration.size()) {
        prefix = std::string_view();
        return true;
    }
    if (name[kDeclaration.size()] != ':') return false;
    prefix = name.substr(kDeclaration.size() + 1);
    return true;
}

}  // namespace

const char* LocalName(const tinyxml2::XMLElement& element) {
    const char* name = element.Name();
    const char* colon = std::strchr(name, ':');
    return colon != nullptr ? colon + 1 : name;
}

Scope::Scope(const tinyxml2::XMLElement& element, const Scope* outer) : element_(&element), outer_(outer) {
    std::string_view prefix;
    for (const tinyxml2::XMLAttribute* attribute = element.FirstAttribute(); attribute != nullptr;
         attribute = attribute->Next()) {
        // The first of two equal declarations wins, as tinyxml2's own look-up has it.
        if (Declares(attribute->Name(), prefix)) declared_.emplace(prefix, attribute->Value());
    }
    const std::string_view own = PrefixOf(element.Name());
    if (own == kXmlPrefix) {
        namespace_ = kXmlNamespace;
    } else if (const char* uri = Lookup(own)) {
        namespace_ = uri;
    }
}

bool Scope::Is(const char* ns, const char* local) const {
    return std::strcmp(LocalName(*element_), local) == 0 && std::strcmp(namespace_, ns) == 0;
}

const char* Scope::Lookup(std::string_view prefix) const {
    for (const Scope* scope = this; scope != nullptr; scope = scope->outer_) {
        const auto found = scope->declared_.find(prefix);
        if (found != scope->declared_.end()) return found->second;
    }
    return nullptr;
}

const char* Scope::NamespaceOfChild(const tinyxml2::XMLElement& child) const {
    const std::string_view prefix = PrefixOf(child.Name());
    if (prefix == kXmlPrefix) return kXmlNamespace;
    // The child's own declaration is nearest; its attributes are read once per call.
    std::string_view declared;
    for (const tinyxml2::XMLAttribute* attribute = child.FirstAttribute(); attribute != nullptr;
         attribute = attribute->Next()) {
        if (Declares(attribute->Name(), declared) && declared == prefix) return attribute->Value();
    }
    const char* uri = Lookup(prefix);
    return uri != nullptr ? uri : "";
}

const tinyxml2::XMLElement* Scope::FirstChildNamed(const char* ns, const char* local) const {
    for (const tinyxml2::XMLElement* child = element_->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        // The local name is the cheap test; most siblings fail it before any look-up.
        if (std::strcmp(LocalName(*child), local) == 0 && std::strcmp(NamespaceOfChild(*child), ns) == 0) {
            return child;
        }
    }
    return nullptr;
}

}  // namespace xml
}  // namespace kv
