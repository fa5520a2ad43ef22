// The buffer transformer: layouts and lengths, the text length rule, the refusals,
// compression, the file operations and the error messages.
#include <cerrno>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "classes/trevaskencryptor.h"
#include "tests/secrets/test_support.h"

using testing_support::Cbc;
using testing_support::IndependentDecrypt;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::ToHex;
using testing_support::WriteFile;

namespace {

const std::string kKey = "0123456789abcdef";

std::string Message(int error, int detail = 0) {
    std::string message = "unchanged";
    CTrevaskEncryptor::GetErrorMessage(error, detail, message);
    return message;
}

std::string PseudoRandomBytes(size_t count, unsigned seed) {
    std::mt19937 engine(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(engine() & 0xff);
    return bytes;
}

// One encryptor with a transform buffer of exactly the requested size on the heap, so
// that AddressSanitizer sees any access past it.
class Transformer {
public:
    Transformer(bool compress, bool encrypt, size_t buffer_size)
        : encryptor_(compress, encrypt, kKey, CTrevaskEncryptor::KEY_BYTES_16), buffer_(buffer_size) {
        encryptor_.SetTransformBuffer(buffer_.data(), buffer_.size());
    }

    // Result bytes, or "" with error_ set.
    std::string Transform(const std::string& input) {
        length_ = input.size();
        result_ = encryptor_.TransformBuffer(input.data(), &length_, &error_, &detail_);
        return result_ ? std::string(result_, length_) : std::string();
    }
    std::string Detransform(const std::string& input) {
        // An exactly sized heap copy: reading past the input is caught.
        std::vector<char> exact(input.begin(), input.end());
        length_ = exact.size();
        result_ = encryptor_.DetransformBuffer(exact.empty() ? nullptr : exact.data(), &length_, &error_, &detail_);
        return result_ ? std::string(result_, length_) : std::string();
    }

    CTrevaskEncryptor& encryptor() { return encryptor_; }
    std::vector<char>& buffer() { return buffer_; }
    const char* result() const { return result_; }
    size_t length() const { return length_; }
    int error() const { return error_; }
    int detail() const { return detail_; }

private:
    CTrevaskEncryptor encryptor_;
    std::vector<char> buffer_;
    const char* result_ = nullptr;
    size_t length_ = 0;
    int error_ = 99;
    int detail_ = 99;
};

// --- Layout and lengths -------------------------------------------------------------

TEST(TransformLayout, EncryptOnlyLengthsFollowTheLegacyPadding) {
    const struct {
        size_t in;
        size_t out;
    } cases[] = {{1, 32}, {5, 32}, {15, 32}, {16, 32}, {17, 48}, {31, 48}, {32, 64}, {33, 64}, {48, 80}};
    for (const auto& c : cases) {
        const std::string plain(c.in, 'p');
        Transformer t(false, true, c.in + 48);
        const std::string cipher = t.Transform(plain);
        EXPECT_EQ(0, t.error()) << c.in;
        EXPECT_EQ(c.out, cipher.size()) << c.in;
        EXPECT_EQ(t.buffer().data(), t.result());
        // Independently: IV block, then CBC of the plaintext padded with NUL bytes.
        const std::string padded = plain + std::string(c.out - 16 - c.in, '\0');
        EXPECT_EQ(ToHex(padded), ToHex(IndependentDecrypt(kKey, cipher))) << c.in;
    }
}

TEST(TransformLayout, FiveBytesInFiftyThreeByteBufferRestoreWithTerminator) {
    Transformer t(false, true, 53);
    const std::string cipher = t.Transform("abcde");
    ASSERT_EQ(32u, cipher.size());
    EXPECT_EQ("abcde", t.Detransform(cipher));
    EXPECT_EQ(5u, t.length());
    EXPECT_EQ('\0', t.result()[5]);
}

TEST(TransformLayout, SameInputTwiceGivesTwoCiphertextsThatBothRestore) {
    Transformer t(false, true, 64);
    const std::string first = t.Transform("same password");
    const std::string second = t.Transform("same password");
    EXPECT_NE(first, second);
    EXPECT_EQ("same password", t.Detransform(first));
    EXPECT_EQ("same password", t.Detransform(second));
}

// --- The length rule after decryption ------------------------------------------------

// Decrypts [chain block][CBC of `plain`] built independently of the transformer.
std::string DecryptCrafted(const std::string& plain, size_t* length, char* terminator) {
    const std::string chain = PseudoRandomBytes(16, 7);
    const std::string input = chain + Cbc(kKey, chain, plain, true);
    Transformer t(false, true, input.size() + 48);
    const std::string out = t.Detransform(input);
    *length = t.length();
    *terminator = t.result() ? t.result()[t.length()] : 'x';
    return out;
}

TEST(LengthRule, TextEndsAtFirstNulOrTrailingPadCount) {
    const struct {
        std::string plain;
        size_t expected;
    } cases[] = {
        {std::string("hello") + std::string(11, '\0'), 5},  // NUL padding dropped
        {"ABCDEFGHIJKLMNOP", 16},                           // a whole block, no NUL
        {std::string("AB\0DEFGHIJKLMNOP", 16), 2},          // cut at the first NUL
        {std::string("ABCDEFGHIJKLM\0\0\x03", 16), 13},     // NUL then a pad count
        {std::string("ABCDEFGHIJKLMN\0\x0f", 16), 1},       // pad count m - 1
        {std::string("ABCDEFGHIJKLMN\0\x10", 16), 16},      // pad count too large: kept
        {std::string("ABCDEFGHIJKLMN\0\x80", 16), 16},      // negative as a signed byte: kept
        {std::string(32, 'z'), 32},
    };
    for (const auto& c : cases) {
        size_t length = 0;
        char terminator = 'x';
        const std::string out = DecryptCrafted(c.plain, &length, &terminator);
        EXPECT_EQ(c.expected, length) << ToHex(c.plain);
        EXPECT_EQ(c.plain.substr(0, c.expected), out) << ToHex(c.plain);
        EXPECT_EQ('\0', terminator) << ToHex(c.plain);
    }
}

TEST(LengthRule, NulInEncryptModeCutsTheText) {
    Transformer t(false, true, 64);
    const std::string cipher = t.Transform(std::string("abc\0def", 7));
    EXPECT_EQ("abc", t.Detransform(cipher));
}

TEST(LengthRule, SingleBlockCiphertextGivesEmptyText) {
    Transformer t(false, true, 64);
    EXPECT_EQ("", t.Detransform(std::string(16, 'q')));
    EXPECT_EQ(0, t.error());
    EXPECT_NE(nullptr, t.result());
}

// --- Refusals --------------------------------------------------------------------------

// Each refusal returns no result, a length of 0 and its code (texts: ErrorMessages).
TEST(TransformRefusal, BuffersTooSmallAndCiphertextsNotOfWholeBlocks) {
    const struct {
        bool compress;
        bool encrypt;
        size_t buffer;
        bool detransform;
        std::string input;
        int error;
    } table[] = {
        {false, true, 47, false, "abcde", CTrevaskEncryptor::TRANSFORM_BUFFER_TOO_SMALL},  // one byte short
        {false, false, 47, false, "abcde", CTrevaskEncryptor::TRANSFORM_BUFFER_TOO_SMALL},  // in every mode
        {true, false, 47, false, "abcde", CTrevaskEncryptor::TRANSFORM_BUFFER_TOO_SMALL},
        {true, true, 47, false, "abcde", CTrevaskEncryptor::TRANSFORM_BUFFER_TOO_SMALL},
        {false, true, 31, true, std::string(32, 'c'), CTrevaskEncryptor::TRANSFORM_BUFFER_TOO_SMALL},
        {false, true, 49, true, std::string(1, 'c'), CTrevaskEncryptor::CIPHERTEXT_LENGTH_INVALID},
        {false, true, 63, true, std::string(15, 'c'), CTrevaskEncryptor::CIPHERTEXT_LENGTH_INVALID},
        {false, true, 65, true, std::string(17, 'c'), CTrevaskEncryptor::CIPHERTEXT_LENGTH_INVALID},
        {false, true, 79, true, std::string(31, 'c'), CTrevaskEncryptor::CIPHERTEXT_LENGTH_INVALID},
        {false, true, 81, true, std::string(33, 'c'), CTrevaskEncryptor::CIPHERTEXT_LENGTH_INVALID},
        {false, true, 95, true, std::string(47, 'c'), CTrevaskEncryptor::CIPHERTEXT_LENGTH_INVALID},
        {true, true, 100, true, std::string(20, 'c'), CTrevaskEncryptor::CIPHERTEXT_LENGTH_INVALID},
    };
    int row_number = 0;
    for (const auto& row : table) {
        Transformer t(row.compress, row.encrypt, row.buffer);
        const std::string out = row.detransform ? t.Detransform(row.input) : t.Transform(row.input);
        EXPECT_EQ("", out) << "row " << row_number;
        EXPECT_EQ(row.error, t.error()) << "row " << row_number;
        EXPECT_EQ(0u, t.length()) << "row " << row_number;
        EXPECT_EQ(nullptr, t.result()) << "row " << row_number;
        ++row_number;
    }
}

TEST(TransformRefusal, NoBufferAndNoInput) {
    CTrevaskEncryptor fresh(false, true);
    size_t length = 5;
    int error = 0;
    int detail = 0;
    EXPECT_EQ(nullptr, fresh.TransformBuffer("abcde", &length, &error, &detail));
    EXPECT_EQ(-20, error);
    EXPECT_EQ(0u, length);
    length = 32;
    EXPECT_EQ(nullptr, fresh.DetransformBuffer(std::string(32, 'c').data(), &length, &error, &detail));
    EXPECT_EQ(-20, error);

    Transformer t(false, true, 64);
    EXPECT_EQ("", t.Transform(""));
    EXPECT_EQ(-22, t.error());
    length = 5;
    EXPECT_EQ(nullptr, t.encryptor().TransformBuffer(nullptr, &length, &error, &detail));
    EXPECT_EQ(-22, error);
    EXPECT_EQ(0u, length);

    t.encryptor().SetTransformBuffer(nullptr, 64);
    length = 5;
    EXPECT_EQ(nullptr, t.encryptor().TransformBuffer("abcde", &length, &error, &detail));
    EXPECT_EQ(-20, error);
}

TEST(TransformRefusal, CompressedDataThatOutgrowsTheBufferIsRefused) {
    // Incompressible input: the zlib stream is longer than the input. With room for the
    // stream but not for its padding, the transform must stop instead of padding past
    // the end of the buffer.
    const std::string input = PseudoRandomBytes(200000, 11);
    uLongf compressed_length = compressBound(input.size());
    std::vector<Bytef> compressed(compressed_length);
    ASSERT_EQ(Z_OK, compress2(compressed.data(), &compressed_length,
                              reinterpret_cast<const Bytef*>(input.data()), input.size(), Z_DEFAULT_COMPRESSION));
    const size_t buffer_size = 16 + compressed_length;
    ASSERT_GE(buffer_size, input.size() + 16 + 32) << "the size check alone would refuse";

    Transformer t(true, true, buffer_size);
    EXPECT_EQ("", t.Transform(input));
    EXPECT_EQ(-21, t.error());
    EXPECT_EQ(0u, t.length());

    // One block more and it fits.
    Transformer roomy(true, true, buffer_size + 16);
    const std::string out = roomy.Transform(input);
    EXPECT_EQ(0, roomy.error());
    EXPECT_LE(out.size(), buffer_size + 16);
}

// --- Compression ---------------------------------------------------------------------

TEST(Compression, CompressOnlyRestoresEveryByteValue) {
    std::string input;
    for (int round = 0; round < 4; ++round) {
        for (int b = 0; b < 256; ++b) input.push_back(static_cast<char>(b));
    }
    Transformer t(true, false, input.size() + 64);
    const std::string packed = t.Transform(input);
    ASSERT_EQ(0, t.error());
    EXPECT_EQ(Z_OK, t.detail());
    EXPECT_EQ(0x78, static_cast<unsigned char>(packed[0]));  // zlib stream header
    EXPECT_EQ(ToHex(input), ToHex(t.Detransform(packed)));
    EXPECT_EQ(input.size(), t.length());
}

TEST(Compression, CompressAndEncryptLayoutAndResultPosition) {
    const std::string input = std::string(300, 'a') + std::string("\0\x01\x02 tail", 8);
    uLongf expected_length = compressBound(input.size());
    std::string expected(expected_length, '\0');
    ASSERT_EQ(Z_OK, compress2(reinterpret_cast<Bytef*>(&expected[0]), &expected_length,
                              reinterpret_cast<const Bytef*>(input.data()), input.size(), Z_DEFAULT_COMPRESSION));
    expected.resize(expected_length);

    Transformer t(true, true, input.size() + 64);
    const std::string cipher = t.Transform(input);
    ASSERT_EQ(0, t.error());
    const size_t pad = expected.size() <= 16 ? 16 - expected.size() : 16 - expected.size() % 16;
    ASSERT_EQ(16 + expected.size() + pad, cipher.size());
    EXPECT_EQ(ToHex(expected + std::string(pad, '\0')), ToHex(IndependentDecrypt(kKey, cipher)));

    const std::string restored = t.Detransform(cipher);
    EXPECT_EQ(t.buffer().data() + cipher.size(), t.result());
    EXPECT_EQ(ToHex(input), ToHex(restored));
}

TEST(Compression, CompressAndEncryptRestoresStreamsHoldingNulBytes) {
    // Random data compresses to a stream full of NUL bytes; the text length rule must
    // not cut it.
    int with_nul = 0;
    for (unsigned seed = 1; seed <= 20; ++seed) {
        const std::string input = PseudoRandomBytes(100 + seed * 7, seed);
        Transformer t(true, true, 2 * input.size() + 128);
        const std::string cipher = t.Transform(input);
        ASSERT_EQ(0, t.error()) << seed;
        if (IndependentDecrypt(kKey, cipher).find('\0') < cipher.size() - 32) ++with_nul;
        EXPECT_EQ(ToHex(input), ToHex(t.Detransform(cipher))) << seed;
        EXPECT_EQ(0, t.error()) << seed;
    }
    EXPECT_GT(with_nul, 0);
}

TEST(Compression, CorruptStreamReportsZlibCodeAndDetail) {
    Transformer t(true, false, 256);
    t.Detransform("definitely not zlib");
    EXPECT_EQ(-12, t.error());
    EXPECT_EQ(Z_DATA_ERROR, t.detail());
    EXPECT_EQ(0u, t.length());

    // A valid stream whose output does not fit.
    Transformer packer(true, false, 2048);
    const std::string packed = packer.Transform(std::string(1000, 'x'));
    Transformer small(true, false, 100);
    small.Detransform(packed);
    EXPECT_EQ(-11, small.error());
    EXPECT_EQ(Z_BUF_ERROR, small.detail());
}

// --- Files -----------------------------------------------------------------------------

class TransformFiles : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return dir_.path() + "/" + name; }
    ScratchDir dir_;
};

TEST_F(TransformFiles, SaveVerifiesThenLoadRestores) {
    Transformer t(false, true, 128);
    const std::string text = "stored secret text";
    bool verify_failed = true;
    int detail = -1;
    ASSERT_EQ(0, t.encryptor().SaveTransformedFile(text.data(), text.size(), Path("saved"), &detail, &verify_failed));
    EXPECT_FALSE(verify_failed);
    const std::string file = ReadFile(Path("saved"));
    EXPECT_EQ(48u, file.size());  // no header: exactly the transformed buffer
    EXPECT_EQ(text + std::string(14, '\0'), IndependentDecrypt(kKey, file));

    size_t length = 0;
    int error = -1;
    const char* restored = t.encryptor().LoadTransformedFile(Path("saved"), &length, &error, &detail);
    ASSERT_NE(nullptr, restored);
    EXPECT_EQ(0, error);
    EXPECT_EQ(text, std::string(restored, length));
}

TEST_F(TransformFiles, SaveOfTextWithNulFailsVerificationAndWritesNothing) {
    Transformer t(false, true, 128);
    const std::string text("abc\0def", 7);
    bool verify_failed = false;
    int detail = 0;
    EXPECT_EQ(-31, t.encryptor().SaveTransformedFile(text.data(), text.size(), Path("nul"), &detail, &verify_failed));
    EXPECT_TRUE(verify_failed);
    EXPECT_FALSE(std::filesystem::exists(Path("nul")));
}

TEST_F(TransformFiles, SaveReportsTransformAndCreateFailures) {
    Transformer t(false, true, 20);
    bool verify_failed = true;
    int detail = 0;
    EXPECT_EQ(-21, t.encryptor().SaveTransformedFile("abc", 3, Path("x"), &detail, &verify_failed));
    EXPECT_FALSE(verify_failed);

    Transformer roomy(false, true, 64);
    EXPECT_EQ(-33, roomy.encryptor().SaveTransformedFile("abc", 3, Path("no/such/dir/x"), &detail, &verify_failed));
    EXPECT_FALSE(verify_failed);
}

TEST_F(TransformFiles, LoadOfEmptyFileGivesEmptyText) {
    WriteFile(Path("empty"), "");
    Transformer t(false, true, 64);
    t.buffer()[0] = 'x';
    size_t length = 9;
    int error = -1;
    int detail = 0;
    const char* out = t.encryptor().LoadTransformedFile(Path("empty"), &length, &error, &detail);
    EXPECT_EQ(t.buffer().data(), out);
    EXPECT_EQ(0, error);
    EXPECT_EQ(0u, length);
    EXPECT_EQ('\0', t.buffer()[0]);
}

TEST_F(TransformFiles, ConvertPlaintextThenBackRestoresBinaryFile) {
    const std::string original = PseudoRandomBytes(5000, 3) + std::string(100, '\0');
    WriteFile(Path("plain"), original);
    // Restoring needs room for the transformed file and the restored bytes behind it.
    Transformer t(true, true, 2 * original.size() + 256);
    int detail = 0;
    bool verify_failed = true;
    ASSERT_EQ(0, t.encryptor().ConvertPlaintextFile(Path("plain"), Path("packed"), &detail, &verify_failed));
    EXPECT_FALSE(verify_failed);
    EXPECT_NE(original, ReadFile(Path("packed")));
    ASSERT_EQ(0, t.encryptor().ConvertTransformedFile(Path("packed"), Path("back"), &detail));
    EXPECT_EQ(original, ReadFile(Path("back")));
}

// What each file operation returns for a file it cannot use, and the errno it gives.
TEST_F(TransformFiles, FilesThatCannotBeUsedAreReportedWithTheirCause) {
    Transformer t(false, true, 128);
    int detail = 0;
    bool verify_failed = true;
    ASSERT_EQ(0, t.encryptor().SaveTransformedFile("hello", 5, Path("cut"), &detail, &verify_failed));
    WriteFile(Path("cut"), ReadFile(Path("cut")).substr(0, 20));
    ASSERT_EQ(0, t.encryptor().SaveTransformedFile("abc", 3, Path("saved"), &detail, &verify_failed));
    auto load = [&](const std::string& path, int& error) {
        size_t length = 9;
        const char* out = t.encryptor().LoadTransformedFile(path, &length, &error, &detail);
        EXPECT_EQ(0u, length) << path;
        return out;
    };
    const struct {
        const char* what;
        std::function<int()> operation;
        int error;
        int detail;  // -1: not looked at
    } table[] = {
        {"load, missing", [&] { int error = 0; return load(Path("missing"), error) ? 0 : error; }, -40, ENOENT},
        {"load, a folder", [&] { int error = 0; return load(dir_.path(), error) ? 0 : error; }, -41, -1},
        {"load, cut short", [&] { int error = 0; return load(Path("cut"), error) ? 0 : error; }, -23, -1},
        {"convert plain, missing",
         [&] { return t.encryptor().ConvertPlaintextFile(Path("missing"), Path("out"), &detail, &verify_failed); },
         -40, ENOENT},
        {"convert plain, a folder",
         [&] { return t.encryptor().ConvertPlaintextFile(dir_.path(), Path("out"), &detail, &verify_failed); }, -41,
         -1},
        {"convert back, missing",
         [&] { return t.encryptor().ConvertTransformedFile(Path("missing"), Path("out"), &detail); }, -40, ENOENT},
        {"convert back, no folder for the target",
         [&] { return t.encryptor().ConvertTransformedFile(Path("saved"), Path("no/dir/out"), &detail); }, -33, -1},
    };
    for (const auto& row : table) {
        detail = 0;
        EXPECT_EQ(row.error, row.operation()) << row.what;
        if (row.detail >= 0) {
            EXPECT_EQ(row.detail, detail) << row.what;
        }
    }
    EXPECT_EQ("failed to locate file (err 2)", Message(-40, ENOENT));
}

// --- Messages --------------------------------------------------------------------------

TEST(ErrorMessages, EveryCodeHasItsText) {
    const struct {
        int code;
        const char* text;
    } table[] = {
        {-1, "memory error in compression"},
        {-2, "invalid compression buffer"},
        {-3, "compression failed (err 7)"},
        {-10, "memory error in decompression"},
        {-11, "invalid decompression buffer"},
        {-12, "decompressing an invalid compressed image"},
        {-13, "decompression failed (err 7)"},
        {-20, "transform buffer invalid for operation"},
        {-21, "transform buffer too small for operation"},
        {-22, "input buffer invalid for operation"},
        {-23, "encrypted input length invalid for operation"},
        {-30, "memory error in verifying saving transformed file"},
        {-31, "size mismatch in verifying saving transformed file"},
        {-32, "data mismatch in verifying saving transformed file"},
        {-33, "failed to create file when saving transformed file"},
        {-34, "failed to write file when saving transformed file"},
        {-40, "failed to locate file (err 7)"},
        {-41, "failed to open file for reading"},
        {-42, "failed to determine size of file to read"},
        {-43, "failed to allocate memory for reading file"},
        {-44, "failed to read file"},
    };
    for (const auto& entry : table) EXPECT_EQ(entry.text, Message(entry.code, 7)) << entry.code;
    EXPECT_EQ("unchanged", Message(0, 0));
    EXPECT_EQ("unchanged", Message(-4, 1));
}

TEST(ErrorMessages, DetailIsCutToFifteenCharacters) {
    EXPECT_EQ("failed to locate file (err 12345678)", Message(-40, 12345678));
    EXPECT_EQ("failed to locate file (err -1234567)", Message(-40, -1234567));
    EXPECT_EQ("failed to locate file (err 123456789", Message(-40, 123456789));
}

}  // namespace
