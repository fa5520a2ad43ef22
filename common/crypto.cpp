#include "common/crypto.h"

#include <mbedtls/aes.h>

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

// The legacy form only drops its NUL padding on the way back, so a wrong key that happens
// to yield a short printable text would pass the other checks about once in a few
// hundred tries. The padding itself is the better witness: decrypted here block by block
// (AES-128-CBC, the first cipher block chaining the rest, under the first 16 bytes of the
// SHA-256 of the machine identity, as the converter does), every byte after the text
// must be NUL, which garbage almost never is.
bool LegacyPaddingIsClean(const std::string& data, size_t text_length) {
    constexpr size_t kBlock = 16;
    if (data.size() < 2 * kBlock || data.size() % kBlock != 0) return false;
    std::string material = GetMachineID(true);
    auto wipe_material = make_secret(material);
    if (material.empty()) return false;
    std::string key = sha256(material);
    auto wipe_key = make_secret(key);
    std::string plain(data.size() - kBlock, '\0');
    auto wipe_plain = make_secret(plain);

    mbedtls_aes_context context;
    mbedtls_aes_init(&context);
    bool ok = mbedtls_aes_setkey_dec(&context, reinterpret_cast<const unsigned char*>(key.data()), 128) == 0;
    unsigned char block[kBlock];
    for (size_t at = kBlock; ok && at < data.size(); at += kBlock) {
        ok = mbedtls_aes_crypt_ecb(&context, MBEDTLS_AES_DECRYPT, reinterpret_cast<const unsigned char*>(&data[at]),
                                   block) == 0;
        for (size_t i = 0; ok && i < kBlock; ++i) {
            plain[at - kBlock + i] = static_cast<char>(block[i] ^ static_cast<unsigned char>(data[at - kBlock + i]));
        }
    }
    WipeBytes(block, sizeof(block));
    mbedtls_aes_free(&context);
    if (!ok || text_length > plain.size()) return false;
    for (size_t i = text_length; i < plain.size(); ++i) {
        if (plain[i] != '\0') return false;
    }
    return true;
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
    // Without the check only the shape of the result can tell a wrong key: printable
    // text, of a length that fits the ciphertext, followed by nothing but NUL padding.
    plain = MakeConverter(true).Decrypt(data);
    if (plain.empty() || LegacyCipherLength(plain.size()) != data.size() || !IsPrintableText(plain) ||
        !LegacyPaddingIsClean(data, plain.size())) {
        WipeSecret(plain);
        return PasswordDecryption::kFailed;
    }
    password = std::move(plain);
    return PasswordDecryption::kDecryptedLegacy;
}

}  // namespace crypto
}  // namespace kv
