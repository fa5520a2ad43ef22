// Namespace-aware names on top of tinyxml2, which keeps element names as written.
//
// An element's name "p:local" (or "local") is bound to a namespace URI by the nearest
// "xmlns:p" (or "xmlns") attribute on the element itself or on one of its ancestors, as
// XML namespaces define it. A sender may choose any prefix and declare it anywhere in
// scope, so the answers of a receiver are read by (URI, local name), never by prefix.
// An undeclared prefix, or no default namespace in scope, gives the empty URI (no
// namespace); xmlns="" undeclares the default. The functions keep no state and never throw.
#ifndef WARDEX_SRC_XML_NAMES_H_
#define WARDEX_SRC_XML_NAMES_H_

#include <string>

namespace tinyxml2 {
class XMLElement;
}

namespace kv {
namespace xml {

// The part of the element's name after its prefix (the whole name when it has none).
std::string LocalName(const tinyxml2::XMLElement& element);

// The namespace URI the element's prefix (or the default namespace) is bound to in its
// scope; empty when it is bound to none.
std::string NamespaceOf(const tinyxml2::XMLElement& element);

// True when `element` is non-null and named `local` in namespace `ns`.
bool IsNamed(const tinyxml2::XMLElement* element, const char* ns, const char* local);

// The first child element of `parent` named `local` in namespace `ns`; null when there is
// none or `parent` is null.
const tinyxml2::XMLElement* FirstChildNamed(const tinyxml2::XMLElement* parent, const char* ns, const char* local);

}  // namespace xml
}  // namespace kv

#endif  // WARDEX_SRC_XML_NAMES_H_
