#include "common/secrets.h"

#include "common/wipe.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "classes/trevaskencryptor.h"
#include "common/gen_random.h"
#include "kvapi/kvAPI.h"

namespace UtilsCommon {

const char* SEmptyFromNull(const char* text) { return text != nullptr ? text : ""; }

}  // namespace UtilsCommon

namespace kv {
namespace crypto {

namespace {

constexpr const char* kMachineIdCommand = "sudo -n ./scripts/get_id.sh";
constexpr int kReadChunk = 4096;
// The outer layer gives its plaintext back only up to the first NUL byte, so an inner
// ciphertext holding one cannot be restored. Each byte of it is NUL one time in 256: a
// short secret's 32 bytes hit that in about one draw in eight, and every new draw (a new
// IV) is independent, so a few hundred draws only fail for secrets of many kilobytes.
constexpr int kSecretDraws = 256;

void Wipe(std::string& text) { kv::WipeSecret(text); }

// Appends without leaving copies behind: when the string has to grow, the old storage
// is wiped before it is released.
void AppendWiping(std::string& text, const char* data, size_t length) {
    if (text.size() + length > text.capacity()) {
        std::string larger;
        larger.reserve(std::max(2 * text.capacity(), text.size() + length));
        larger.assign(text);
        Wipe(text);
        text.swap(larger);
    }
    text.append(data, length);
}

std::string ReadAll(FILE* stream, int chunk) {
    std::string result;
    if (stream == nullptr || chunk <= 0) return result;
    auto wipe_result = make_secret(result);
    std::string block(static_cast<size_t>(chunk), '\0');
    auto wipe_block = make_secret(block);
    while (!std::feof(stream)) {
        const size_t got = std::fread(&block[0], 1, block.size(), stream);
        AppendWiping(result, block.data(), got);
        if (std::ferror(stream)) {
            if (errno == EINTR) {
                std::clearerr(stream);
                continue;
            }
            return std::string();
        }
    }
    std::string complete;
    complete.swap(result);
    return complete;
}

std::string ReadTextFile(const char* path) {
    if (path == nullptr) return std::string();
    FILE* file = std::fopen(path, "rbe");
    if (file == nullptr) return std::string();
    utils::ScopedAction close_file([file] { std::fclose(file); });
    return ReadAll(file, kReadChunk);
}

bool WriteTextFile(const char* path, const std::string& text) {
    if (path == nullptr) return false;
    std::ofstream file(path, std::ios::out | std::ios::binary | std::ios::trunc);
    if (file.is_open()) {
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
        file.flush();
    }
    return !file.fail();
}

int GetCommandOutput(const char* command, std::string& output) {
    FILE* pipe = ::popen(UtilsCommon::SEmptyFromNull(command), "re");
    if (pipe == nullptr) return -1;
    std::string printed = ReadAll(pipe, kReadChunk);
    const int status = ::pclose(pipe);
    output.swap(printed);
    Wipe(printed);
    return status;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           secure_memcmp(text.data() + text.size() - suffix.size(), suffix.data(), suffix.size()) == 0;
}

// Random bytes without NUL: decrypted texts end at their first NUL byte.
std::string RandomText(size_t length) {
    std::string text;
    GenRandomBytes(text, length);
    for (char& c : text) {
        while (c == '\0') {
            unsigned char byte = 0;
            GenRandomBytes(&byte, 1);
            c = static_cast<char>(byte);
        }
    }
    return text;
}

// Why a user other than root could replace the entry at `path` (its contents, or for a
// folder the entries inside it); "" when no one but root can. A missing `path` counts
// only when `parent`, its folder, lets others create entries.
std::string ReplaceableFault(const std::string& path, const std::string& parent) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        struct stat folder {};
        if (errno == ENOENT && ::stat(parent.c_str(), &folder) == 0 && (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            return "is missing, and a user other than root may create it";
        }
        return std::string();
    }
    std::ostringstream fault;
    if (S_ISLNK(info.st_mode)) return "is a symbolic link";
    if (info.st_uid != 0) {
        fault << "is owned by uid " << info.st_uid << ", not root";
        return fault.str();
    }
    const bool sticky_folder = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky_folder) {
        fault << "is writable by group or others (mode " << std::oct << (info.st_mode & 07777) << ")";
        return fault.str();
    }
    return std::string();
}

std::string FindReplaceable(const std::string& shown_folder, const std::string& real_folder, std::string& fault) {
    std::vector<std::pair<std::string, std::string>> paths;  // (path to check, its folder)
    const std::string scripts = real_folder + "/scripts";
    paths.emplace_back(scripts + "/get_id.sh", scripts);
    paths.emplace_back(scripts, real_folder);
    for (std::string path = real_folder; !path.empty();) {
        const size_t slash = path.find_last_of('/');
        const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
        paths.emplace_back(path, parent);
        path = path == "/" ? std::string() : parent;
    }
    for (const auto& entry : paths) {
        fault = ReplaceableFault(entry.first, entry.second);
        if (fault.empty()) continue;
        if (entry.first.compare(0, real_folder.size(), real_folder) == 0 && entry.first.size() > real_folder.size()) {
            return shown_folder + entry.first.substr(real_folder.size());
        }
        return entry.first;
    }
    return std::string();
}

}  // namespace

std::string FindReplaceableIdentityPath(const std::string& folder, std::string& fault) {
    fault.clear();
    char* resolved = ::realpath(folder.c_str(), nullptr);
    if (resolved == nullptr) {
        fault = "cannot be resolved";
        return folder;
    }
    const std::string real_folder = resolved;
    std::free(resolved);
    return FindReplaceable(folder, real_folder, fault);
}

std::string FindReplaceableIdentityPath(std::string& fault) { return FindReplaceableIdentityPath(".", fault); }

std::shared_ptr<Options> Options::Create() { return std::shared_ptr<Options>(new Options()); }

Options::~Options() {
    for (auto& entry : values_) Wipe(entry.second);
}

std::string Options::Find(const std::string& key) const {
    auto found = values_.find(key);
    return found == values_.end() ? std::string() : found->second;
}

void Options::Add(const std::string& key, const std::string& value) { values_.emplace(key, value); }

utils::ScopedAction make_secret(std::string& secret) {
    return utils::ScopedAction([&secret] { Wipe(secret); });
}

std::string sha256(const std::string& data) {
    std::string digest(32, '\0');
    ::sha256(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
             reinterpret_cast<unsigned char*>(&digest[0]));
    return digest;
}

int secure_memcmp(const void* a, const void* b, size_t count) {
    const signed char* left = static_cast<const signed char*>(a);
    const signed char* right = static_cast<const signed char*>(b);
    int difference = 0;
    for (size_t i = 0; i < count; ++i) difference |= left[i] - right[i];
    return difference;
}

std::string GetMachineID(bool machine) {
    std::string id;
    GetCommandOutput(kMachineIdCommand, id);
    if (machine) return id;
    std::string user = std::to_string(::getuid());
    if (user == "0") {
        const char* sudo_uid = std::getenv("SUDO_UID");
        if (sudo_uid != nullptr && *sudo_uid != '\0') user = sudo_uid;
    }
    id += user;
    return id;
}

std::string ISecretConverter::Encrypt(std::string&& plain) const {
    auto wipe_plain = make_secret(plain);
    return Encrypt(static_cast<const std::string&>(plain));
}

TrevaskEncryptionConverter::TrevaskEncryptionConverter(const std::string& key, const std::shared_ptr<Options>& options)
    : key_(key), options_(options) {}

TrevaskEncryptionConverter::~TrevaskEncryptionConverter() { Wipe(key_); }

std::string TrevaskEncryptionConverter::Encrypt(const std::string& plain) const {
    if (plain.empty()) return plain;
    std::string work(plain.size() + 48, '\0');
    auto wipe_work = make_secret(work);
    CTrevaskEncryptor encryptor(false, true);
    if (!key_.empty()) encryptor.SetKey(key_, CTrevaskEncryptor::KEY_BYTES_32);
    encryptor.SetTransformBuffer(&work[0], work.size());
    size_t length = plain.size();
    int error = 0;
    int detail = 0;
    const char* result = encryptor.TransformBuffer(plain.data(), &length, &error, &detail);
    return result != nullptr ? std::string(result, length) : std::string();
}

std::string TrevaskEncryptionConverter::Decrypt(const std::string& data) const {
    if (data.empty()) return data;
    std::string work(data.size() + 48, '\0');
    auto wipe_work = make_secret(work);
    CTrevaskEncryptor encryptor(false, true);
    if (!key_.empty()) encryptor.SetKey(key_, CTrevaskEncryptor::KEY_BYTES_32);
    encryptor.SetTransformBuffer(&work[0], work.size());
    size_t length = data.size();
    int error = 0;
    int detail = 0;
    const char* result = encryptor.DetransformBuffer(data.data(), &length, &error, &detail);
    return result != nullptr ? std::string(result, length) : std::string();
}

MachineSpecificConverter::MachineSpecificConverter(const std::string& suffix, const std::shared_ptr<Options>& options)
    : suffix_(suffix), options_(options ? options : Options::Create()) {}

MachineSpecificConverter::~MachineSpecificConverter() { Wipe(suffix_); }

std::string MachineSpecificConverter::KeyMaterial() const {
    std::string material = options_->Find("key");
    if (material.empty()) material = GetMachineID(!options_->Find("machine").empty());
    return material;
}

std::string MachineSpecificConverter::Encrypt(const std::string& plain) const {
    if (plain.empty()) return plain;
    std::string material = KeyMaterial();
    auto wipe_material = make_secret(material);
    if (material.empty()) return std::string();
    TrevaskEncryptionConverter converter(sha256(material), Options::Create());
    return converter.Encrypt(plain + suffix_);
}

std::string MachineSpecificConverter::Decrypt(const std::string& data) const {
    if (data.empty()) return data;
    std::string material = KeyMaterial();
    auto wipe_material = make_secret(material);
    if (material.empty()) return std::string();
    TrevaskEncryptionConverter converter(sha256(material), Options::Create());
    std::string plain = converter.Decrypt(data);
    auto wipe_plain = make_secret(plain);
    if (plain.size() <= suffix_.size() || !EndsWith(plain, suffix_)) return std::string();
    return plain.substr(0, plain.size() - suffix_.size());
}

std::string CreateSecret(const std::string& prefix, const std::string& secret) {
    MachineSpecificConverter inner(prefix, Options::Create());
    TrevaskEncryptionConverter outer(std::string(), Options::Create());
    std::string sealed = inner.Encrypt(secret);
    for (int draw = 1; draw < kSecretDraws && sealed.find('\0') != std::string::npos; ++draw) {
        sealed = inner.Encrypt(secret);
    }
    return prefix + outer.Encrypt(sealed);
}

void ParseSecret(const std::string& text, size_t prefixLength, std::string& prefix, std::string& secret) {
    Wipe(secret);
    prefix.clear();
    secret.clear();
    if (text.size() < prefixLength) return;
    prefix = text.substr(0, prefixLength);
    TrevaskEncryptionConverter outer(std::string(), Options::Create());
    const std::string inner = outer.Decrypt(text.substr(prefixLength));
    MachineSpecificConverter converter(prefix, Options::Create());
    secret = converter.Decrypt(inner);
}

std::string GenerateSecret(size_t secretLength, size_t prefixLength) {
    std::string secret = RandomText(secretLength);
    auto wipe_secret = make_secret(secret);
    const std::string prefix = RandomText(prefixLength);
    // CreateSecret already avoids an inner ciphertext that would be cut on the way back;
    // the parse proves it, and a failed one (the identity changed between the two
    // calls) is drawn again.
    for (int attempt = 0; attempt < kSecretDraws; ++attempt) {
        std::string text = CreateSecret(prefix, secret);
        std::string parsedPrefix;
        std::string parsedSecret;
        auto wipe_parsed = make_secret(parsedSecret);
        ParseSecret(text, prefixLength, parsedPrefix, parsedSecret);
        if (parsedPrefix == prefix && parsedSecret.size() == secret.size() &&
            secure_memcmp(parsedSecret.data(), secret.data(), secret.size()) == 0) {
            return text;
        }
    }
    return std::string();
}

std::string GetOrCreateSecret(const char* path, size_t secretLength, size_t prefixLength) {
    std::string text = ReadTextFile(path);
    if (text.empty()) {
        text = GenerateSecret(secretLength, prefixLength);
        if (text.empty() || !WriteTextFile(path, text)) return std::string();
    }
    return text;
}

}  // namespace crypto
}  // namespace kv
