// Known-answer checks of the transformer's cipher. This binary supplies its own
// GenerateIV16, which the linker prefers over the client library's, so that the IV
// block (the encryption of the IV) and everything chained behind it can be compared
// with published vectors.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "classes/trevaskencryptor.h"
#include "tests/secrets/test_support.h"

using testing_support::AesBlock;
using testing_support::Cbc;
using testing_support::Hex;
using testing_support::ToHex;

namespace {
unsigned char g_next_iv[16];
}  // namespace

extern "C" void GenerateIV16(unsigned char iv[16]) { std::memcpy(iv, g_next_iv, 16); }

namespace {

void SetNextIv(const std::string& iv) {
    ASSERT_EQ(16u, iv.size());
    std::memcpy(g_next_iv, iv.data(), 16);
}

// Encrypt-only transform of `plain` under `key` (16 bytes, mode 0).
std::string Transform(const std::string& key, const std::string& plain) {
    CTrevaskEncryptor encryptor(false, true, key, CTrevaskEncryptor::KEY_BYTES_16);
    std::vector<char> buffer(plain.size() + 48);
    encryptor.SetTransformBuffer(buffer.data(), buffer.size());
    size_t length = plain.size();
    int error = 0;
    int detail = 0;
    const char* out = encryptor.TransformBuffer(plain.data(), &length, &error, &detail);
    EXPECT_EQ(0, error);
    return out ? std::string(out, length) : std::string();
}

struct BlockVector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// FIPS-197 Appendix C.1 and Appendix B.
const BlockVector kFips197[] = {
    {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
};

TEST(AesKnownAnswer, FirstBlockIsTheEncryptedIvUnderFips197Vectors) {
    for (const BlockVector& v : kFips197) {
        SetNextIv(Hex(v.plain));
        const std::string out = Transform(Hex(v.key), "x");
        ASSERT_EQ(32u, out.size());
        EXPECT_EQ(v.cipher, ToHex(out.substr(0, 16))) << v.key;
    }
}

TEST(AesKnownAnswer, DecryptionUndoesFips197BlockAndChainsOnTheFirstBlock) {
    // Ciphertext: chaining block X, then the FIPS-197 cipher block. The result is the
    // FIPS-197 plaintext XOR X; X = 0x80... keeps it free of NUL bytes.
    for (const BlockVector& v : kFips197) {
        const std::string x(16, '\x80');
        const std::string input = x + Hex(v.cipher);
        CTrevaskEncryptor encryptor(false, true, Hex(v.key), CTrevaskEncryptor::KEY_BYTES_16);
        std::vector<char> buffer(input.size() + 48);
        encryptor.SetTransformBuffer(buffer.data(), buffer.size());
        size_t length = input.size();
        int error = 0;
        int detail = 0;
        const char* out = encryptor.DetransformBuffer(input.data(), &length, &error, &detail);
        ASSERT_NE(nullptr, out);
        std::string expected = Hex(v.plain);
        for (char& c : expected) c = static_cast<char>(c ^ '\x80');
        EXPECT_EQ(ToHex(expected), ToHex(std::string(out, length)));
    }
}

TEST(AesKnownAnswer, ChainMatchesSp800_38aCbcVectorAndPadsWithAWholeNulBlock) {
    // NIST SP 800-38A F.2.1: CBC-AES128 with IV 000102...0f. The transformer chains on
    // its encrypted IV block, so the IV handed to it is the decryption of that vector IV.
    const std::string key = Hex("2b7e151628aed2a6abf7158809cf4f3c");
    const std::string chain = Hex("000102030405060708090a0b0c0d0e0f");
    const std::string plain = Hex(
        "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
        "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const std::string published =
        "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
        "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7";
    SetNextIv(AesBlock(key, chain, false));

    const std::string out = Transform(key, plain);
    ASSERT_EQ(16u + 64u + 16u, out.size());
    EXPECT_EQ(ToHex(chain), ToHex(out.substr(0, 16)));
    EXPECT_EQ(published, ToHex(out.substr(16, 64)));
    // 64 bytes end on a block boundary: one block of 16 NUL bytes follows, chained on C4.
    EXPECT_EQ(ToHex(AesBlock(key, out.substr(64, 16), true)), ToHex(out.substr(80, 16)));
}

TEST(AesKnownAnswer, ShortInputIsNulPaddedToOneBlockAndChainedOnTheIvBlock) {
    const std::string key = Hex("000102030405060708090a0b0c0d0e0f");
    const std::string iv = Hex("f0e1d2c3b4a5968778695a4b3c2d1e0f");
    SetNextIv(iv);
    const std::string out = Transform(key, "hello");
    ASSERT_EQ(32u, out.size());
    const std::string first = AesBlock(key, iv, true);
    EXPECT_EQ(ToHex(first), ToHex(out.substr(0, 16)));
    const std::string padded = std::string("hello") + std::string(11, '\0');
    EXPECT_EQ(ToHex(Cbc(key, first, padded, true)), ToHex(out.substr(16)));
}

TEST(AesKnownAnswer, SeedKeyIsTheSeedBytesTwice) {
    const int64_t seed = 0x0123456789abcdefLL;
    std::string key(16, '\0');
    std::memcpy(&key[0], &seed, 8);
    std::memcpy(&key[8], &seed, 8);
    const std::string iv = Hex("00112233445566778899aabbccddeeff");
    SetNextIv(iv);
    CTrevaskEncryptor encryptor(false, true, seed);
    std::vector<char> buffer(64);
    encryptor.SetTransformBuffer(buffer.data(), buffer.size());
    size_t length = 3;
    int error = 0;
    int detail = 0;
    const char* out = encryptor.TransformBuffer("abc", &length, &error, &detail);
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(ToHex(AesBlock(key, iv, true)), ToHex(std::string(out, 16)));
}

TEST(AesKnownAnswer, DefaultKeyIsSharedByEveryDefaultObjectAndIsNotTheEmptyKey) {
    const std::string iv = Hex("0f0e0d0c0b0a09080706050403020100");
    SetNextIv(iv);
    CTrevaskEncryptor encryptor(false, true);
    std::vector<char> buffer(64);
    encryptor.SetTransformBuffer(buffer.data(), buffer.size());
    size_t length = 4;
    int error = 0;
    int detail = 0;
    const char* out = encryptor.TransformBuffer("pass", &length, &error, &detail);
    ASSERT_NE(nullptr, out);
    const std::string first(out, 16);

    // A second default object restores the text.
    CTrevaskEncryptor other(false, true);
    std::vector<char> other_buffer(64);
    other.SetTransformBuffer(other_buffer.data(), other_buffer.size());
    size_t back = 32;
    const char* restored = other.DetransformBuffer(out, &back, &error, &detail);
    ASSERT_NE(nullptr, restored);
    EXPECT_EQ("pass", std::string(restored, back));
    // The default key is not the all-NUL key of an empty key string.
    EXPECT_NE(ToHex(AesBlock(std::string(16, '\0'), iv, true)), ToHex(first));
}

}  // namespace
