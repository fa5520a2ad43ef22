// Key material and secret handling.
//
// The machine identity (the output of "sudo -n ./scripts/get_id.sh", run from the
// working directory) keys the protection of stored passwords. The converters encrypt
// short secrets with AES-128 through CTrevaskEncryptor: TrevaskEncryptionConverter
// under raw key bytes (or the transformer's default key), MachineSpecificConverter under
// the SHA-256 of the machine identity or of an explicit "key" option, with a check
// suffix. Secret files hold a random prefix and a doubly encrypted secret.
//
// Every failure is an empty result: no key material, a transform error, a suffix
// mismatch. Decrypted texts end at their first NUL byte. Nothing here logs or throws.
// Secret-bearing strings are wiped with make_secret() before they are released.
#ifndef WARDEX_COMMON_SECRETS_H_
#define WARDEX_COMMON_SECRETS_H_

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace utils {

// Runs its action, if any, when it goes out of scope. An exception thrown by the
// action ends the process.
class ScopedAction {
public:
    explicit ScopedAction(std::function<void()> action) : action_(std::move(action)) {}
    ~ScopedAction() {
        if (action_) action_();
    }

    ScopedAction(const ScopedAction&) = delete;
    ScopedAction& operator=(const ScopedAction&) = delete;

private:
    std::function<void()> action_;
};

}  // namespace utils

namespace UtilsCommon {

// `text`, or "" when it is null.
const char* SEmptyFromNull(const char* text);

}  // namespace UtilsCommon

namespace kv {
namespace crypto {

// A string-to-string option set shared between a converter and its creator. Keys:
// "machine" (any non-empty value: key on the machine alone, not on the user) and "key"
// (explicit key material in place of the machine identity). Values are wiped when the
// set is released.
class Options : public std::enable_shared_from_this<Options> {
public:
    static std::shared_ptr<Options> Create();
    ~Options();

    Options(const Options&) = delete;
    Options& operator=(const Options&) = delete;

    // The value stored for `key`, or "".
    std::string Find(const std::string& key) const;
    // Inserts the pair; a key that is already present keeps its first value.
    void Add(const std::string& key, const std::string& value);

private:
    Options() = default;

    std::map<std::string, std::string> values_;
};

// Overwrites every byte of `secret` with NUL (keeping its length) at scope exit. The
// guard must be destroyed before the string.
utils::ScopedAction make_secret(std::string& secret);

// The 32-byte SHA-256 digest of `data`, as raw bytes.
std::string sha256(const std::string& data);

// 0 when the `count` bytes at `a` and `b` are equal, non-zero otherwise; the time taken
// does not depend on where they differ. The sign means nothing.
int secure_memcmp(const void* a, const void* b, size_t count);

// The standard output of "sudo -n ./scripts/get_id.sh" exactly as printed (empty when
// sudo refuses or the script is missing). Unless `machine` is true, the real user id in
// decimal is appended (for root started through sudo: the caller's "SUDO_UID"), so the
// per-user form is never empty. The command runs on every call.
std::string GetMachineID(bool machine);

// The first of `folder`/scripts/get_id.sh, `folder`/scripts, `folder` itself and every
// folder above it (shown as absolute paths) that a user other than root could replace,
// with `fault` saying why; "" (and `fault` cleared) when none can. Safe means: owned by
// root and not writable by group or others, where a writable folder with the sticky bit
// counts as safe for the root-owned entries inside it. A missing script or scripts
// folder is safe unless its folder lets others create entries. Like OpenSSH's
// StrictModes, run before sudo runs the script as root.
std::string FindReplaceableIdentityPath(const std::string& folder, std::string& fault);
// The same for the working directory, whose paths are shown as "./scripts/get_id.sh"...
std::string FindReplaceableIdentityPath(std::string& fault);

// Turns secrets into ciphertext and back. Converters are immutable; an empty input comes
// back unchanged, every failure as "".
class ISecretConverter {
public:
    virtual ~ISecretConverter() = default;
    virtual std::string Encrypt(const std::string& plain) const = 0;
    virtual std::string Decrypt(const std::string& data) const = 0;

    // Encrypts `plain` and then overwrites it with NUL bytes.
    std::string Encrypt(std::string&& plain) const;
};

// AES-128-CBC under the first 16 of `key` (NUL-padded), or under the transformer's
// default key when `key` is empty. Ciphertext: the encrypted IV block, then the
// NUL-padded blocks of the plaintext (32 bytes for 1 to 16 plaintext bytes).
class TrevaskEncryptionConverter : public ISecretConverter {
public:
    TrevaskEncryptionConverter(const std::string& key, const std::shared_ptr<Options>& options);
    ~TrevaskEncryptionConverter() override;

    using ISecretConverter::Encrypt;
    std::string Encrypt(const std::string& plain) const override;
    std::string Decrypt(const std::string& data) const override;

private:
    std::string key_;
    std::shared_ptr<Options> options_;
};

// TrevaskEncryptionConverter under SHA-256 of the key material: the option "key" when
// set, else the machine identity (machine-wide when the option "machine" is set, else
// per user). Encrypts plain + suffix; Decrypt gives "" unless the plaintext is longer
// than the suffix and ends with it. With an empty suffix nothing is checked: a wrong
// key yields unrelated bytes. Each call without a "key" option runs the identity script.
class MachineSpecificConverter : public ISecretConverter {
public:
    MachineSpecificConverter(const std::string& suffix, const std::shared_ptr<Options>& options);
    ~MachineSpecificConverter() override;

    using ISecretConverter::Encrypt;
    std::string Encrypt(const std::string& plain) const override;
    std::string Decrypt(const std::string& data) const override;

private:
    // The key material for this call, or "".
    std::string KeyMaterial() const;

    std::string suffix_;
    std::shared_ptr<Options> options_;
};

// Secret text: the prefix, then the default-key encryption of the per-user
// MachineSpecificConverter encryption (suffix = prefix) of the secret. The inner
// ciphertext is drawn again while it holds a NUL byte, which the parse would cut, so a
// secret and prefix without NUL bytes always come back from ParseSecret().
std::string CreateSecret(const std::string& prefix, const std::string& secret);
// Splits `text` into its first `prefixLength` bytes and the decrypted secret. Both
// outputs are cleared first; a text shorter than the prefix leaves them empty, a text
// that does not decrypt leaves the secret empty.
void ParseSecret(const std::string& text, size_t prefixLength, std::string& prefix, std::string& secret);
// A secret text for a random secret and a random prefix of the given lengths, chosen so
// that ParseSecret() restores both exactly (neither holds a NUL byte). "" when no such
// text turned up within a bounded number of draws, which only happens when the machine
// identity changes between calls or the secret is several kilobytes long.
std::string GenerateSecret(size_t secretLength, size_t prefixLength);
// The secret text stored at `path`; on first use (no file, or an empty one) a new one
// is generated and written. "" when it cannot be generated or written.
std::string GetOrCreateSecret(const char* path, size_t secretLength, size_t prefixLength);

}  // namespace crypto
}  // namespace kv

#endif  // WARDEX_COMMON_SECRETS_H_
