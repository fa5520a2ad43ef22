#include "common/crypto.h"

#include "common/common_json.h"
#include "common/string_util.h"
#include "common/wipe.h"

namespace kv {
namespace crypto {

namespace {

MachineSpecificConverter MakeConverter(bool machine, const std::string& suffix = std::string()) {
    std::shared_ptr<Options> options = Options::Create();
    if (machine) options->Add("machine", "true");
    return MachineSpecificConverter(suffix, options);
}

// Printable: well-formed UTF-8 without control characters (exactly the texts the log
// escaping leaves as they are).
bool IsPrintableText(const std::string& text) {
    if (!json::IsValidUtf8(text)) return false;
    std::string escaped = escape_log_text(text);
    const bool same = escaped == text;
    WipeSecret(escaped);
    return same;
}

// The ciphertext length the legacy padding gives for a plaintext of n bytes: the IV
// block, then n NUL-padded to 16 bytes, or to the next block boundary and one block
// more when n already ends on one.
size_t LegacyCipherLength(size_t n) {
    constexpr size_t kBlock = 16;
    const size_t padded = n <= kBlock ? kBlock : (n % kBlock == 0 ? n + kBlock : (n / kBlock + 1) * kBlock);
    return kBlock + padded;
}

}  // namespace

const char kPasswordCheck[] = "#wardex-pw:1";

std::string Encrypt(const std::string& text, bool machine) {
    if (text.empty()) return text;
    return MakeConverter(machine).Encrypt(text);
}

std::string Decrypt(const std::string& data, bool machine) {
    if (data.empty()) return data;
    return MakeConverter(machine).Decrypt(data);
}

std::string EncryptPassword(const std::string& password) {
    if (password.empty()) return std::string();
    return MakeConverter(true, kPasswordCheck).Encrypt(password);
}

PasswordDecryption DecryptPassword(const std::string& data, std::string& password) {
    WipeSecret(password);
    password.clear();
    if (data.empty()) return PasswordDecryption::kFailed;
    std::string plain = MakeConverter(true, kPasswordCheck).Decrypt(data);
    if (!plain.empty()) {
        password = std::move(plain);
        return PasswordDecryption::kDecrypted;
    }
    // Without the check only the shape of the result can tell a wrong key: garbage is
    // rarely printable text of a length that fits the ciphertext.
    plain = MakeConverter(true).Decrypt(data);
    if (plain.empty() || LegacyCipherLength(plain.size()) != data.size() || !IsPrintableText(plain)) {
        WipeSecret(plain);
        return PasswordDecryption::kFailed;
    }
    password = std::move(plain);
    return PasswordDecryption::kDecryptedLegacy;
}

}  // namespace crypto
}  // namespace kv
