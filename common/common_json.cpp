#include "common/common_json.h"

#include "common/string_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <unordered_set>

namespace kv {
namespace json {

namespace {

// Deeper documents are refused when read, which also bounds the recursion of the
// serialisers below for anything that came from a file.
constexpr size_t kMaxNesting = 2048;
constexpr const char* kIndent = "    ";

class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports the outcome; close errors on a written file matter.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    void Reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_;
};

// Removes the temporary file unless the rename has consumed it.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& path() const { return path_; }
    void Release() { path_.clear(); }

private:
    std::string path_;
};

// 0 when the whole regular file was read, else the errno that stopped it (EISDIR for
// anything that is not a regular file).
int ReadWholeFile(const std::string& path, std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return errno;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return errno;
    if (S_ISDIR(info.st_mode)) return EISDIR;
    if (!S_ISREG(info.st_mode)) return EINVAL;
    text.clear();
    text.reserve(static_cast<size_t>(info.st_size));
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof(buffer));
        if (got == 0) return 0;
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
}

bool WriteAll(int fd, const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t put = ::write(fd, text.data() + written, text.size() - written);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        written += static_cast<size_t>(put);
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Counts the bytes the parser has taken from the text, so that a problem found by the
// checks below can be placed by line and column like the parser's own messages.
class CountingIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    CountingIterator(const char* at, size_t* consumed) : at_(at), consumed_(consumed) {}
    reference operator*() const { return *at_; }
    CountingIterator& operator++() {
        ++at_;
        ++*consumed_;
        return *this;
    }
    CountingIterator operator++(int) {
        CountingIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const CountingIterator& other) const { return at_ == other.at_; }
    bool operator!=(const CountingIterator& other) const { return at_ != other.at_; }

private:
    const char* at_;
    size_t* consumed_;
};

// "line L, column C" of the point after `consumed` bytes, counted as the parser does.
std::string Where(const std::string& text, size_t consumed) {
    consumed = std::min(consumed, text.size());
    size_t line = 1;
    size_t line_start = 0;
    for (size_t i = 0; i < consumed; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(consumed - line_start);
}

// Builds the document through the library's own DOM builder and adds what plain JSON
// parsing lets through: a member name twice in one object (the library would keep the
// last silently) and nesting deeper than kMaxNesting. The first problem is kept as text.
class StrictDocumentBuilder {
public:
    StrictDocumentBuilder(Value& root, const std::string& text, const size_t& consumed)
        : dom_(root, /*allow_exceptions=*/false), text_(text), consumed_(consumed) {}

    bool null() { return dom_.null(); }
    bool boolean(bool value) { return dom_.boolean(value); }
    bool number_integer(Value::number_integer_t value) { return dom_.number_integer(value); }
    bool number_unsigned(Value::number_unsigned_t value) { return dom_.number_unsigned(value); }
    bool number_float(Value::number_float_t value, const Value::string_t& text) { return dom_.number_float(value, text); }
    bool string(Value::string_t& value) { return dom_.string(value); }
    bool binary(Value::binary_t& value) { return dom_.binary(value); }
    bool start_object(std::size_t count) {
        if (!Enter()) return false;
        names_.emplace_back();
        return dom_.start_object(count);
    }
    bool key(Value::string_t& name) {
        if (names_.empty() || !names_.back().insert(name).second) {
            problem_ = "duplicate member name \"" + name + "\" at " + Where(text_, consumed_);
            return false;
        }
        return dom_.key(name);
    }
    bool end_object() {
        if (!names_.empty()) names_.pop_back();
        --depth_;
        return dom_.end_object();
    }
    bool start_array(std::size_t count) { return Enter() && dom_.start_array(count); }
    bool end_array() {
        --depth_;
        return dom_.end_array();
    }
    bool parse_error(std::size_t position, const std::string& token, const nlohmann::detail::exception& error) {
        // "[json.exception.parse_error.101] parse error at line 1, column 9: ..." without
        // the library's tag, which means nothing to whoever edits the file.
        std::string message = error.what();
        const size_t tag_end = message.find("] ");
        if (message.compare(0, 1, "[") == 0 && tag_end != std::string::npos) message.erase(0, tag_end + 2);
        problem_ = message;
        return dom_.parse_error(position, token, error);
    }

    const std::string& problem() const { return problem_; }

private:
    bool Enter() {
        if (++depth_ <= kMaxNesting) return true;
        problem_ = "nesting deeper than " + std::to_string(kMaxNesting) + " levels at " + Where(text_, consumed_);
        return false;
    }

    nlohmann::detail::json_sax_dom_parser<Value> dom_;
    const std::string& text_;
    const size_t& consumed_;
    std::vector<std::unordered_set<std::string>> names_;
    size_t depth_ = 0;
    std::string problem_;
};

// Strict JSON: no comments, valid UTF-8, one value with nothing after it, no duplicate
// member names. A leading UTF-8 byte-order mark is skipped by the library. On failure
// the result is null and `problem` says what and where.
std::unique_ptr<Value> ParseDocument(const std::string& text, std::string& problem) {
    auto document = std::make_unique<Value>();
    size_t consumed = 0;
    StrictDocumentBuilder builder(*document, text, consumed);
    const char* begin = text.data();
    const bool parsed = Value::sax_parse(CountingIterator(begin, &consumed),
                                         CountingIterator(begin + text.size(), &consumed), &builder,
                                         Value::input_format_t::json, /*strict=*/true, /*ignore_comments=*/false);
    if (!parsed || document->is_discarded()) {
        problem = builder.problem().empty() ? "not a JSON document" : builder.problem();
        return nullptr;
    }
    return document;
}

bool AppendNumber(double number, std::string& out) {
    if (!std::isfinite(number)) return false;
    char buffer[64];
    if (number >= INT32_MIN && number <= INT32_MAX && number == static_cast<double>(static_cast<int32_t>(number))) {
        std::snprintf(buffer, sizeof(buffer), "%d", static_cast<int>(number));
        out += buffer;
        return true;
    }
    const int needed = std::snprintf(buffer, sizeof(buffer), "%f", number);
    if (needed < 0) return false;
    if (static_cast<size_t>(needed) < sizeof(buffer)) {
        out += buffer;
        return true;
    }
    std::string wide(static_cast<size_t>(needed) + 1, '\0');
    std::snprintf(&wide[0], wide.size(), "%f", number);
    wide.resize(static_cast<size_t>(needed));
    out += wide;
    return true;
}

bool AppendString(const std::string& text, std::string& out) {
    if (!IsValidUtf8(text)) return false;
    out += '"';
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: {
                const unsigned char byte = static_cast<unsigned char>(c);
                // A raw control byte would make the file unreadable on the next start,
                // and an unreadable configuration is replaced by the defaults.
                if (byte < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
                    out += escaped;
                } else {
                    out += c;
                }
            }
        }
    }
    out += '"';
    return true;
}

void AppendIndent(int level, std::string& out) {
    for (int i = 0; i < level; ++i) out += kIndent;
}

bool AppendValue(const Value& value, bool indented, int level, std::string& out) {
    switch (value.type()) {
        case Value::value_t::null: out += "null"; return true;
        case Value::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return true;
        case Value::value_t::number_integer:
        case Value::value_t::number_unsigned:
        case Value::value_t::number_float: return AppendNumber(value.get<double>(), out);
        case Value::value_t::string: return AppendString(value.get_ref<const std::string&>(), out);
        case Value::value_t::object: {
            if (value.empty()) {
                out += "{}";
                return true;
            }
            out += '{';
            bool first = true;
            for (const auto& member : value.items()) {
                if (!first) out += ',';
                first = false;
                if (indented) {
                    out += '\n';
                    AppendIndent(level + 1, out);
                }
                if (!AppendString(member.key(), out)) return false;
                out += indented ? ": " : ":";
                if (!AppendValue(member.value(), indented, level + 1, out)) return false;
            }
            if (indented) {
                out += '\n';
                AppendIndent(level, out);
            }
            out += '}';
            return true;
        }
        case Value::value_t::array: {
            if (value.empty()) {
                out += "[]";
                return true;
            }
            out += '[';
            bool first = true;
            for (const Value& element : value) {
                if (!first) out += ',';
                first = false;
                if (indented) {
                    out += '\n';
                    AppendIndent(level + 1, out);
                }
                if (!AppendValue(element, indented, level + 1, out)) return false;
            }
            if (indented) {
                out += '\n';
                AppendIndent(level, out);
            }
            out += ']';
            return true;
        }
        case Value::value_t::binary:
        case Value::value_t::discarded: return false;
    }
    return false;
}

}  // namespace

namespace detail {

int32_t TruncateTo32(double number) {
    if (std::isnan(number)) return 0;
    const double truncated = std::trunc(number);
    if (truncated >= INT32_MIN && truncated <= INT32_MAX) return static_cast<int32_t>(truncated);
    // Outside 32 bits: keep the low 32 bits of the integer part, as a cut register would.
    const double wrapped = std::fmod(truncated, 4294967296.0);
    const int64_t low = static_cast<int64_t>(wrapped < 0 ? wrapped + 4294967296.0 : wrapped);
    return static_cast<int32_t>(static_cast<uint32_t>(low));
}

const Value* FindMember(const Value& object, const char* name) {
    if (name == nullptr || !object.is_object()) return nullptr;
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

}  // namespace detail

bool IsValidUtf8(const std::string& text) {
    for (size_t i = 0, length = 0; i < text.size(); i += length) {
        length = utf8_sequence_length(text, i);
        if (length == 0) return false;
    }
    return true;
}

namespace {

int Save(const char* path, const Value& value, const mode_t* forced_mode, mode_t* previous_mode) {
    if (previous_mode != nullptr) *previous_mode = 0;
    if (path == nullptr || *path == '\0') return -1;
    std::string text;
    if (!AppendValue(value, /*indented=*/true, 0, text)) return -1;

    // A link stays a link: the file it names is the one replaced.
    std::string target = path;
    struct stat info {};
    if (::lstat(path, &info) == 0 && S_ISLNK(info.st_mode)) {
        char* resolved = ::realpath(path, nullptr);
        if (resolved == nullptr) return -1;
        target = resolved;
        std::free(resolved);
    }
    // The file holds the recording-server password: a new one is for its owner only.
    mode_t mode = S_IRUSR | S_IWUSR;
    bool existed = false;
    if (::stat(target.c_str(), &info) == 0) {
        existed = true;
        mode = info.st_mode & 07777;
        if (previous_mode != nullptr) *previous_mode = mode;
    }
    if (forced_mode != nullptr) mode = *forced_mode;

    std::vector<char> temp_name(target.begin(), target.end());
    const char kSuffix[] = ".XXXXXX";
    temp_name.insert(temp_name.end(), kSuffix, kSuffix + sizeof(kSuffix));
    UniqueFd fd(::mkostemp(temp_name.data(), O_CLOEXEC));
    if (!fd.valid()) return -1;
    TemporaryFile temp(temp_name.data());

    if (!WriteAll(fd.get(), text)) return -1;
    // The replacement belongs to whoever owned the old file (a "sudo wardex" must not
    // leave the service's file to root). Only a privileged writer can give a file away;
    // for anyone else the file already was theirs or this fails and it becomes theirs,
    // which they could read anyway.
    if (existed && (info.st_uid != ::geteuid() || info.st_gid != ::getegid())) {
        if (::fchown(fd.get(), info.st_uid, info.st_gid) != 0) {
            // Not privileged: keep at least the group when that is allowed.
            (void)!::fchown(fd.get(), static_cast<uid_t>(-1), info.st_gid);
        }
    }
    if (::fchmod(fd.get(), mode) != 0) return -1;
    if (::fsync(fd.get()) != 0) return -1;
    if (!fd.Close()) return -1;
    if (::rename(temp.path().c_str(), target.c_str()) != 0) return -1;
    temp.Release();

    // Makes the rename itself durable; the new text is in place either way.
    UniqueFd directory(::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.valid()) ::fsync(directory.get());
    return 0;
}

}  // namespace

int SaveFile(const char* path, const Value& value) { return Save(path, value, nullptr, nullptr); }

int SaveFile(const char* path, const Value& value, mode_t mode, mode_t* previous_mode) {
    return Save(path, value, &mode, previous_mode);
}

bool AppendJsonString(const std::string& text, std::string& out) { return AppendString(text, out); }

bool JsonToString(Value value, std::string& out) {
    std::string text;
    if (!AppendValue(value, /*indented=*/false, 0, text)) return false;
    out = std::move(text);
    return true;
}

void LoadValueIfPresent(const Value& object, const char* name, std::string& out) {
    const Value* member = detail::FindMember(object, name);
    if (member == nullptr || !member->is_string()) return;
    const std::string& text = member->get_ref<const std::string&>();
    if (!text.empty()) out = text;
}

void LoadValueIfPresent(const Value& object, const char* name, bool& out) {
    const Value* member = detail::FindMember(object, name);
    if (member != nullptr && member->is_boolean()) out = member->get<bool>();
}

void LoadValuesIfPresent(const Value& object, const char* name, std::vector<std::string>& out) {
    const Value* member = detail::FindMember(object, name);
    if (member == nullptr || !member->is_array()) return;
    for (const Value& element : *member) {
        if (element.is_string()) out.push_back(element.get<std::string>());
    }
}

JsonConfigFile::JsonConfigFile(const char* path) : path_(path != nullptr ? path : "") {
    if (path_.empty()) {
        state_ = LoadState::kUnreadable;
        problem_ = std::strerror(ENOENT);
        return;
    }
    std::string text;
    const int read_error = ReadWholeFile(path_, text);
    if (read_error == ENOENT) {
        state_ = LoadState::kMissing;
        problem_ = std::strerror(read_error);
        return;
    }
    if (read_error != 0) {
        state_ = LoadState::kUnreadable;
        problem_ = std::strerror(read_error);
        return;
    }
    root_ = ParseDocument(text, problem_);
    if (root_ != nullptr && root_->is_object()) {
        object_ = root_.get();
        state_ = LoadState::kLoaded;
        return;
    }
    state_ = LoadState::kInvalid;
    if (root_ != nullptr) problem_ = "the top level is not an object";
}

void JsonConfigFile::New() {
    root_ = std::make_unique<Value>(Value::object());
    state_ = LoadState::kLoaded;
    problem_.clear();
    object_ = root_.get();
}

void JsonConfigFile::GetValue(const char* name, std::string& out) const {
    if (!Error()) LoadValueIfPresent(*object_, name, out);
}

void JsonConfigFile::GetValues(const char* name, std::vector<std::string>& out) const {
    if (!Error()) LoadValuesIfPresent(*object_, name, out);
}

bool JsonConfigFile::Set(const char* name, Value value) {
    if (Error() || name == nullptr || !IsValidUtf8(name)) return false;
    // operator[] keeps an existing member where it is and appends a new one.
    (*object_)[name] = std::move(value);
    return true;
}

bool JsonConfigFile::SetValue(const char* name, const std::string& value) {
    if (!IsValidUtf8(value)) return false;
    return Set(name, Value(value));
}

bool JsonConfigFile::SetValue(const char* name, const char* value) {
    if (value == nullptr) return false;
    return SetValue(name, std::string(value));
}

bool JsonConfigFile::SetValue(const char* name, double value) {
    if (!std::isfinite(value)) return false;
    return Set(name, Value(value));
}

bool JsonConfigFile::SetValue(const char* name, bool value) { return Set(name, Value(value)); }

bool JsonConfigFile::RemoveValue(const char* name) {
    if (Error() || name == nullptr) return false;
    const auto found = object_->find(name);
    if (found == object_->end()) return false;
    // The last member takes the removed member's place; the others keep theirs.
    const std::string removed = found.key();
    const std::string last = std::prev(object_->end()).key();
    Value reordered = Value::object();
    for (auto& member : object_->items()) {
        if (member.key() == last) continue;
        if (member.key() == removed) {
            if (removed != last) reordered[last] = std::move((*object_)[last]);
            continue;
        }
        reordered[member.key()] = std::move(member.value());
    }
    *object_ = std::move(reordered);
    return true;
}

bool JsonConfigFile::UpdateFile() {
    if (Error()) return false;
    return SaveFile(path_.c_str(), *root_) == 0;
}

bool JsonConfigFile::UpdateFilePrivately(mode_t* previous_mode) {
    if (previous_mode != nullptr) *previous_mode = 0;
    if (Error()) return false;
    return SaveFile(path_.c_str(), *root_, S_IRUSR | S_IWUSR, previous_mode) == 0;
}

}  // namespace json
}  // namespace kv
