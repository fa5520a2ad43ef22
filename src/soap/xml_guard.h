// A cheap look at XML bytes before tinyxml2 parses them.
//
// tinyxml2 checks each new attribute against those already on its element, so an element
// with n attributes costs n * n / 2 comparisons: 20,000 attributes, half a megabyte, take
// seconds. Receivers' answers go through this check first, and an element with more
// attributes than a bound is refused unparsed. The scan is linear and reads the bytes
// as tinyxml2 tokenises them: comments, CDATA sections, processing instructions and
// declarations are skipped whole, and attribute values (quoted, possibly holding '>')
// are counted, one per attribute, in end tags as in start tags.
#ifndef WARDEX_SRC_XML_GUARD_H_
#define WARDEX_SRC_XML_GUARD_H_

#include <cstddef>

namespace kv {
namespace xml {

// False when some start tag in the bytes carries more than `max_attributes` attributes.
// Malformed bytes pass: tinyxml2 rejects them itself.
bool AttributesWithin(const char* data, size_t size, size_t max_attributes);

}  // namespace xml
}  // namespace kv

#endif  // WARDEX_SRC_XML_GUARD_H_
