// Namespace-aware names on top of tinyxml2, which keeps element names as written.
//
// An element's name "p:local" (or "local") is bound to a namespace URI by the nearest
// "xmlns:p" (or "xmlns") attribute on the element itself or on one of its ancestors, as
// XML namespaces define it. A sender may choose any prefix and declare it anywhere in
// scope, so the answers of a receiver are read by (URI, local name), never by prefix.
// An undeclared prefix, or no default namespace in scope, gives the empty URI (no
// namespace); xmlns="" undeclares the default.
//
// Names are resolved as a reader descends: a Scope holds the declarations of one element
// over those of the Scope it sits in. Each element's declarations are read once, and a
// prefix is looked up in a sorted map per enclosing Scope, so finding a child by name
// costs each sibling's own attributes and one look-up. An answer full of declarations and
// decoy siblings is thus read in time about linear in its size; rescanning the ancestors'
// attributes for every child would make it quadratic. Nothing here throws on bad input.
#ifndef WARDEX_SRC_XML_NAMES_H_
#define WARDEX_SRC_XML_NAMES_H_

#include <map>
#include <string_view>

namespace tinyxml2 {
class XMLElement;
}

namespace kv {
namespace xml {

// The part of the element's name after its prefix (the whole name when it has none).
const char* LocalName(const tinyxml2::XMLElement& element);

// The namespace declarations in force inside one element. Holds pointers into the
// element's document and to `outer`: both must outlive it.
class Scope {
public:
    // The scope inside `element`; `outer` is the scope of its parent, null for the root
    // element (or for an element read without its ancestors).
    Scope(const tinyxml2::XMLElement& element, const Scope* outer);

    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    const tinyxml2::XMLElement& element() const { return *element_; }
    // The namespace URI of the element itself; "" when it is bound to none.
    const char* Namespace() const { return namespace_; }
    // True when the element is named `local` in namespace `ns`.
    bool Is(const char* ns, const char* local) const;

    // The namespace URI of `child`, a child element of this scope's element.
    const char* NamespaceOfChild(const tinyxml2::XMLElement& child) const;
    // The first child element named `local` in namespace `ns`; null when there is none.
    const tinyxml2::XMLElement* FirstChildNamed(const char* ns, const char* local) const;

private:
    // The URI `prefix` ("" for the default namespace) is bound to here or further out;
    // null when no scope declares it.
    const char* Lookup(std::string_view prefix) const;

    const tinyxml2::XMLElement* element_;
    const Scope* outer_;
    std::map<std::string_view, const char*> declared_;  // prefix -> URI, of this element only
    const char* namespace_ = "";
};

}  // namespace xml
}  // namespace kv

#endif  // WARDEX_SRC_XML_NAMES_H_
