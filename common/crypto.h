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
#ifndef WARDEX_COMMON_CRYPTO_H_
#define WARDEX_COMMON_CRYPTO_H_

#include <string>

#include "common/secrets.h"

namespace kv {
namespace crypto {

std::string Encrypt(const std::string& text, bool machine);
std::string Decrypt(const std::string& data, bool machine);

}  // namespace crypto
}  // namespace kv

#endif  // WARDEX_COMMON_CRYPTO_H_
