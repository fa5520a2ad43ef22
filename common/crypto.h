// Protection of stored passwords.
//
// Encrypt() turns a text into raw ciphertext that only this machine (machine == true)
// or only this user on this machine (machine == false) can turn back with Decrypt().
// The key is the SHA-256 of the machine identity (see secrets.h), so every call runs
// the identity script once. An empty input comes back unchanged without running it.
// An empty result for a non-empty input is a failure: for Encrypt it means the text
// could not be protected (no identity: the script is missing or sudo refused it).
// Decrypt() has no integrity check: under a wrong key it returns unrelated bytes or "".
// Callers store the ciphertext as hex and wipe plaintexts with make_secret().
//
// The stored recording-server password goes through EncryptPassword/DecryptPassword,
// which add that check: the plaintext carries the fixed suffix kPasswordCheck inside the
// encryption, so a wrong machine identity is detected instead of yielding garbage.
// Values stored before the check existed (plain Encrypt(text, true)) are still read,
// but only when they decrypt to printable UTF-8 of a length that fits the ciphertext;
// the caller is told so that it can store them again in the checked form.
#ifndef WARDEX_COMMON_CRYPTO_H_
#define WARDEX_COMMON_CRYPTO_H_

#include <string>

#include "common/secrets.h"

namespace kv {
namespace crypto {

std::string Encrypt(const std::string& text, bool machine);
std::string Decrypt(const std::string& data, bool machine);

// Fixed text appended to the password before encryption and checked on decryption.
extern const char kPasswordCheck[];

// The machine-wide ciphertext of password + kPasswordCheck; "" on failure (no machine
// identity) or for an empty password.
std::string EncryptPassword(const std::string& password);

enum class PasswordDecryption {
    kDecrypted,        // checked form, right key
    kDecryptedLegacy,  // form without the check, and it decrypted to printable UTF-8
    kFailed,           // wrong key, no machine identity, or not a ciphertext at all
};
// Decrypts a value made by EncryptPassword (or by the older Encrypt(text, true)).
// `password` receives the plaintext only on success and is cleared otherwise.
PasswordDecryption DecryptPassword(const std::string& data, std::string& password);

}  // namespace crypto
}  // namespace kv

#endif  // WARDEX_COMMON_CRYPTO_H_
