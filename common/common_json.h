// kv::json: the configuration file and the two JSON text forms of the service.
//
// JsonConfigFile binds one JSON document to one file path. It parses the file at
// construction (strict JSON: no comments, no duplicate member names, no trailing comma,
// valid UTF-8; a leading UTF-8 byte-order mark is skipped) and is in the error state
// when the file is missing, unreadable, malformed or its top level is not an object.
// load_state() tells these apart and problem() gives the reason as text: strerror of
// the read, or the parser's message with line and column. Reading never changes the
// file. Getters then leave their outputs unchanged; setters, RemoveValue and
// UpdateFile return false. Member order is kept: new members go last, SetValue on an
// existing member replaces it in place, RemoveValue moves the last member into the
// removed member's place. Not thread-safe; one thread uses one file at a time.
//
// On disk the document is indented by four blanks per level, numbers are "%d" when they
// equal their 32-bit truncation and "%f" otherwise, only " \ \b \f \n \r \t are escaped
// with their short forms (other control bytes as \u00xx), the slash is not escaped and
// the text has no final newline. SaveFile replaces the file atomically: the text is
// written to a temporary file beside it, flushed to disk and renamed over the old one,
// which keeps its permission bits and (as far as the writer may) its owner and group;
// a file created new is readable by its owner only.
#ifndef WARDEX_COMMON_COMMON_JSON_H_
#define WARDEX_COMMON_COMMON_JSON_H_

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <sys/types.h>

#include <nlohmann/json.hpp>

namespace kv {
namespace json {

using Value = nlohmann::ordered_json;

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or code points
// above U+10FFFF). Builders of documents use it to refuse what cannot be serialised.
bool IsValidUtf8(const std::string& text);

// Writes `value` to `path` in the indented on-disk form. 0 on success, -1 on failure
// (null path, a value that cannot be serialised, or any I/O error; the old file, if
// any, is then left as it was).
int SaveFile(const char* path, const Value& value);
// The same, but the file ends up with the permission bits `mode`; `previous_mode`, when
// given, receives the bits the file had before (0 when it did not exist).
int SaveFile(const char* path, const Value& value, mode_t mode, mode_t* previous_mode);

// The compact form (no whitespace between tokens) into `out`. Takes ownership of the
// value. Fails, leaving `out` unchanged and returning false, when the value holds a
// string that is not valid UTF-8 or a number that is not finite.
bool JsonToString(Value value, std::string& out);
// One string of that compact form, quoted and escaped, appended to `out`: what
// JsonToString writes for a string value or a member name. Appends nothing and returns
// false when `text` is not valid UTF-8. For writers of fixed shapes that need no Value.
bool AppendJsonString(const std::string& text, std::string& out);

// Readers of one member of `object` (a value that is not an object has no members).
// String: a non-empty string member is copied to `out`, anything else leaves it alone.
void LoadValueIfPresent(const Value& object, const char* name, std::string& out);
// Bool: a boolean member is copied to `out`, anything else leaves it alone.
void LoadValueIfPresent(const Value& object, const char* name, bool& out);
// Numbers: any member sets `out`; a member that is not a number counts as 0. Integral
// types narrower than 32 bits take the number truncated toward zero to 32 bits and then
// its low bits (40000 into a short gives -25536); wider ones take it truncated toward
// zero and clamped to their range.
template <typename T>
typename std::enable_if<std::is_arithmetic<T>::value && !std::is_same<T, bool>::value>::type LoadValueIfPresent(
    const Value& object, const char* name, T& out);
// Array of strings: each string element (empty ones too) is appended to `out` in
// order; other elements are skipped; `out` is never cleared.
void LoadValuesIfPresent(const Value& object, const char* name, std::vector<std::string>& out);

// What the constructor found at the path.
enum class LoadState {
    kLoaded,      // a JSON object
    kMissing,     // no such file
    kUnreadable,  // the file exists but could not be read (permission, a folder, I/O)
    kInvalid,     // read, but not strict JSON or its top level is not an object
};

class JsonConfigFile {
public:
    // Reads and parses `path` (null is taken as an empty path, which cannot be read).
    explicit JsonConfigFile(const char* path);
    ~JsonConfigFile() = default;

    JsonConfigFile(const JsonConfigFile&) = delete;
    JsonConfigFile& operator=(const JsonConfigFile&) = delete;

    bool Error() const { return root_ == nullptr || object_ == nullptr; }
    // How the file was found at construction (kLoaded again after New()).
    LoadState load_state() const { return state_; }
    // Why the file gave no document: strerror of the read, or the parser's message with
    // line and column; "" when it was loaded.
    const std::string& problem() const { return problem_; }
    // Replaces the document by an empty object; the path stays.
    void New();

    void GetValue(const char* name, std::string& out) const;
    template <typename T>
    void GetValue(const char* name, T& out) const {
        if (!Error()) LoadValueIfPresent(*object_, name, out);
    }
    void GetValues(const char* name, std::vector<std::string>& out) const;

    // False in the error state and for text (or a name) that is not valid UTF-8 or a
    // number that is not finite.
    bool SetValue(const char* name, const std::string& value);
    bool SetValue(const char* name, const char* value);
    bool SetValue(const char* name, double value);
    bool SetValue(const char* name, int value) { return SetValue(name, static_cast<double>(value)); }
    bool SetValue(const char* name, bool value);
    // False in the error state and when there is no such member.
    bool RemoveValue(const char* name);

    // Writes the document to the path through SaveFile; false in the error state or
    // when the write fails (the document in memory is unchanged either way).
    bool UpdateFile();
    // The same, but the file is left readable and writable by its owner only (0600);
    // `previous_mode` receives its permission bits before the write (0 when new).
    bool UpdateFilePrivately(mode_t* previous_mode);

    // The document itself, for readers that need more than the typed getters; null in
    // the error state.
    const Value* object() const { return object_; }

private:
    bool Set(const char* name, Value value);

    std::unique_ptr<Value> root_;
    Value* object_ = nullptr;  // points into root_ when its top level is an object
    std::string path_;
    LoadState state_ = LoadState::kMissing;
    std::string problem_;
};

namespace detail {
// Truncates toward zero to 32 bits as the configuration has always read numbers; the
// result for numbers outside the 32-bit range is not meaningful but is never undefined.
int32_t TruncateTo32(double number);
template <typename T>
T SaturatingCast(double number) {
    if (std::isnan(number)) return 0;
    if (number <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (number >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(number);
}
const Value* FindMember(const Value& object, const char* name);
}  // namespace detail

template <typename T>
typename std::enable_if<std::is_arithmetic<T>::value && !std::is_same<T, bool>::value>::type LoadValueIfPresent(
    const Value& object, const char* name, T& out) {
    const Value* member = detail::FindMember(object, name);
    if (member == nullptr) return;
    const double number = member->is_number() ? member->get<double>() : 0.0;
    if constexpr (std::is_integral<T>::value && sizeof(T) < sizeof(int32_t)) {
        out = static_cast<T>(detail::TruncateTo32(number));
    } else if constexpr (std::is_integral<T>::value) {
        out = detail::SaturatingCast<T>(number);
    } else {
        out = static_cast<T>(number);
    }
}

}  // namespace json
}  // namespace kv

#endif  // WARDEX_COMMON_COMMON_JSON_H_
