#include "common/common_json.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool ReadWholeFile(const std::string& path, std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    text.clear();
    text.reserve(static_cast<size_t>(info.st_size));
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof(buffer));
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
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

// Strict JSON: nlohmann already refuses comments (unless asked not to) and invalid
// UTF-8; duplicate member names it would silently merge, so they are caught here.
std::unique_ptr<Value> ParseDocument(const std::string& text) {
    size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) ++start;
    if (start == text.size() || (text[start] != '{' && text[start] != '[')) return nullptr;

    std::vector<std::unordered_set<std::string>> open_objects;
    size_t depth = 0;
    bool refused = false;
    auto check = [&](int, Value::parse_event_t event, Value& parsed) {
        switch (event) {
            case Value::parse_event_t::object_start:
                open_objects.emplace_back();
                if (++depth > kMaxNesting) refused = true;
                break;
            case Value::parse_event_t::array_start:
                if (++depth > kMaxNesting) refused = true;
                break;
            case Value::parse_event_t::object_end:
                if (!open_objects.empty()) open_objects.pop_back();
                --depth;
                break;
            case Value::parse_event_t::array_end:
                --depth;
                break;
            case Value::parse_event_t::key:
                if (open_objects.empty() || !open_objects.back().insert(parsed.get<std::string>()).second) {
                    refused = true;
                }
                break;
            case Value::parse_event_t::value:
                break;
        }
        return true;
    };
    auto document = std::make_unique<Value>(Value::parse(text.begin() + static_cast<std::ptrdiff_t>(start),
                                                         text.end(), check, /*allow_exceptions=*/false,
                                                         /*ignore_comments=*/false));
    if (refused || document->is_discarded()) return nullptr;
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
    const size_t size = text.size();
    size_t i = 0;
    while (i < size) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // overlong
            if (lead == 0xED) high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;   // overlong
            if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (size - i < length) return false;
        const unsigned char second = static_cast<unsigned char>(text[i + 1]);
        if (second < low || second > high) return false;
        for (size_t k = 2; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if (next < 0x80 || next > 0xBF) return false;
        }
        i += length;
    }
    return true;
}

int SaveFile(const char* path, const Value& value) {
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
    if (::stat(target.c_str(), &info) == 0) mode = info.st_mode & 07777;

    std::vector<char> temp_name(target.begin(), target.end());
    const char kSuffix[] = ".XXXXXX";
    temp_name.insert(temp_name.end(), kSuffix, kSuffix + sizeof(kSuffix));
    UniqueFd fd(::mkostemp(temp_name.data(), O_CLOEXEC));
    if (!fd.valid()) return -1;
    TemporaryFile temp(temp_name.data());

    if (!WriteAll(fd.get(), text)) return -1;
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
    std::string text;
    if (path_.empty() || !ReadWholeFile(path_, text)) return;
    root_ = ParseDocument(text);
    if (root_ != nullptr && root_->is_object()) object_ = root_.get();
}

void JsonConfigFile::New() {
    root_ = std::make_unique<Value>(Value::object());
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

}  // namespace json
}  // namespace kv
