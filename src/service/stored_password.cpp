#include "src/service/stored_password.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "common/string_util.h"
#include "common/wipe.h"

namespace kv {

namespace {

// The stored password is the hex text of its ciphertext, and the ciphertext is at least
// two 16-byte blocks long; a text of any other shape is a password typed in by hand.
bool IsStoredForm(const std::string& text) {
    if (text.size() < 64 || text.size() % 32 != 0) return false;
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

void WipeString(std::string& text) {
    WipeSecret(text);
    text.clear();
}

// Encrypts `plain` into the file's "server_password"; false when that failed.
bool Store(const std::string& plain, json::JsonConfigFile& file, const PasswordCipher& cipher, Diagnostics& out) {
    std::string encrypted = cipher.encrypt(plain);
    if (encrypted.empty()) {
        out.push_back({ERROR, "Could not protect \"server_password\" of \"./wardex.json\": no machine identity (\"sudo -n "
                              "./scripts/get_id.sh\" failed); the file is left as it is"});
        return false;
    }
    const std::string stored = hex_encode(encrypted);
    WipeString(encrypted);
    mode_t previous_mode = 0;
    if (!file.SetValue("server_password", stored) || !file.UpdateFilePrivately(&previous_mode)) {
        out.push_back({ERROR, "Could not write the encrypted \"server_password\" to \"./wardex.json\""});
        return false;
    }
    if ((previous_mode & (S_IRWXG | S_IRWXO)) != 0) {
        out.push_back({WARNING, "\"./wardex.json\" was open to group or others; it holds the encrypted password, so it "
                                "is now readable and writable by its owner only (0600)"});
    }
    return true;
}

}  // namespace

PasswordCipher MachineCipher() { return PasswordCipher{crypto::EncryptPassword, crypto::DecryptPassword}; }

// Copied and then wiped rather than moved: a moved-from short string keeps its bytes.
StoredPassword::StoredPassword(StoredPassword&& other) noexcept : plain_(other.plain_), usable_(other.usable_) {
    other.Wipe();
}

StoredPassword& StoredPassword::operator=(StoredPassword&& other) noexcept {
    if (this != &other) {
        Wipe();
        plain_ = other.plain_;
        usable_ = other.usable_;
        other.Wipe();
    }
    return *this;
}

void StoredPassword::Wipe() { WipeString(plain_); }

StoredPassword StoredPassword::Protect(const std::string& text, json::JsonConfigFile& file,
                                       const PasswordCipher& cipher, Diagnostics& out) {
    StoredPassword password(text);
    if (!IsStoredForm(text)) {
        // A failure is reported and the plain text is still what the login uses.
        Store(password.plain_, file, cipher, out);
        return password;
    }
    std::string encrypted = hex_decode(text);
    std::string plain;
    const crypto::PasswordDecryption outcome = cipher.decrypt(encrypted, plain);
    WipeString(encrypted);
    password.Wipe();
    if (outcome == crypto::PasswordDecryption::kFailed) {
        // The stored value stays for when the identity comes back.
        out.push_back({ERROR, "Could not decrypt \"server_password\" of \"./wardex.json\": most likely the machine "
                              "identity changed (a cloned disk or a regenerated machine-id) since it was encrypted, or "
                              "./scripts/get_id.sh cannot be run; enter the password again in plain text and restart. "
                              "The stored value is kept and no login is attempted"});
        WipeString(plain);
        password.usable_ = false;
        return password;
    }
    password.plain_ = plain;
    WipeString(plain);
    if (outcome == crypto::PasswordDecryption::kDecryptedLegacy && Store(password.plain_, file, cipher, out)) {
        out.push_back({INFO, "\"server_password\" of \"./wardex.json\" stored again with its integrity check"});
    }
    return password;
}

}  // namespace kv
