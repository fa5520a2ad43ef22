// kv::StoredPassword: the recording-server password, kept encrypted and machine-bound in
// "./wardex.json" and in plain text only in this object's memory.
//
// Protect() takes "server_password" as the file holds it. A plain text (anything but the
// hex of a ciphertext of at least two blocks) is encrypted and written back, the file
// left to its owner only (0600); the stored form is decrypted, and one of the older form
// without an integrity check is stored again with it. A stored form that does not
// decrypt (another machine identity) leaves the file alone and the password unusable:
// logging in with anything but the right password could lock the account. What went
// wrong comes back as diagnostics; the file is never left without a password it had.
// The plain text is wiped when the object is destroyed or moved from.
#ifndef WARDEX_SRC_SERVICE_STORED_PASSWORD_H_
#define WARDEX_SRC_SERVICE_STORED_PASSWORD_H_

#include <functional>
#include <string>

#include "common/common_json.h"
#include "common/crypto.h"
#include "src/service/diagnostic.h"

namespace kv {

// The machine-bound cipher of the stored form; tests give one of their own.
struct PasswordCipher {
    std::function<std::string(const std::string& plain)> encrypt;  // "" on failure
    std::function<crypto::PasswordDecryption(const std::string& cipher, std::string& plain)> decrypt;
};
// crypto::EncryptPassword and crypto::DecryptPassword.
PasswordCipher MachineCipher();

class StoredPassword {
public:
    // A password that is not in any file (the built-in default): usable as it is.
    explicit StoredPassword(std::string plain) : plain_(std::move(plain)) {}
    StoredPassword(StoredPassword&& other) noexcept;
    StoredPassword& operator=(StoredPassword&& other) noexcept;
    StoredPassword(const StoredPassword&) = delete;
    StoredPassword& operator=(const StoredPassword&) = delete;
    ~StoredPassword() { Wipe(); }

    // `text` is "server_password" of `file`, which is written as described above.
    static StoredPassword Protect(const std::string& text, json::JsonConfigFile& file, const PasswordCipher& cipher,
                                  Diagnostics& out);

    // False: the stored form did not decrypt, and no login may be attempted.
    bool usable() const { return usable_; }
    const std::string& plain() const { return plain_; }

private:
    void Wipe();

    std::string plain_;
    bool usable_ = true;
};

}  // namespace kv

#endif  // WARDEX_SRC_SERVICE_STORED_PASSWORD_H_
