// DetransformBuffer in all four modes on arbitrary bytes and transform buffer sizes:
// refusals must come back as codes, and nothing may be written outside the buffer.
// A second path transforms the input first and requires the round trip to restore it.
//
// Input layout: byte 0 selects the mode (bits 0-1: compress, encrypt) and the path
// (bit 2: round trip); byte 1 sizes the transform buffer; the rest is the data.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "classes/trevaskencryptor.h"
#include "fuzz/fuzz_support.h"

namespace {

// The transform buffer exactly as large as asked, so that ASan sees any overrun.
std::unique_ptr<char[]> MakeBuffer(size_t length) { return std::unique_ptr<char[]>(new char[length == 0 ? 1 : length]); }

void Detransform(bool compress, bool encrypt, uint8_t sizing, const char* input, size_t size) {
    CTrevaskEncryptor encryptor(compress, encrypt);
    // 0 asks for one byte too few (refused), other values add 0 to 254 blocks of room.
    const size_t length = sizing == 0 ? (size == 0 ? 0 : size - 1) : size + 16 * (sizing - 1);
    auto buffer = MakeBuffer(length);
    encryptor.SetTransformBuffer(buffer.get(), length);

    size_t restored = size;
    int error = 0, detail = 0;
    const char* out = encryptor.DetransformBuffer(input, &restored, &error, &detail);
    if (out == nullptr) {
        WARDEX_FUZZ_CHECK(error < 0 && restored == 0, "a refusal carries a code and length 0");
        return;
    }
    WARDEX_FUZZ_CHECK(error == 0, "a result carries no error code");
    WARDEX_FUZZ_CHECK(out >= buffer.get() && out + restored <= buffer.get() + length,
                      "the result lies inside the transform buffer");
}

void RoundTrip(bool compress, bool encrypt, const char* input, size_t size) {
    if (size == 0) return;
    CTrevaskEncryptor encryptor(compress, encrypt);
    const size_t length = 2 * size + 128;
    auto buffer = MakeBuffer(length);
    encryptor.SetTransformBuffer(buffer.get(), length);

    size_t transformed_length = size;
    int error = 0, detail = 0;
    const char* transformed = encryptor.TransformBuffer(input, &transformed_length, &error, &detail);
    if (transformed == nullptr) return;
    WARDEX_FUZZ_CHECK(transformed_length <= length, "the transform fits its buffer");
    auto copy = MakeBuffer(transformed_length);
    std::memcpy(copy.get(), transformed, transformed_length);

    size_t restored_length = transformed_length;
    const char* restored = encryptor.DetransformBuffer(copy.get(), &restored_length, &error, &detail);
    WARDEX_FUZZ_CHECK(restored != nullptr, "a transformed buffer detransforms");
    // Encrypted text is text: NUL bytes in it meet the padding rule, so only text without
    // them has a fixed restored form. Compressed bytes come back whole.
    const bool text_only = encrypt && !compress;
    if (text_only && std::memchr(input, '\0', size) != nullptr) return;
    const size_t expected = size;
    WARDEX_FUZZ_CHECK(restored_length == expected, "the round trip restores the length");
    WARDEX_FUZZ_CHECK(std::memcmp(restored, input, expected) == 0, "the round trip restores the bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool compress = (data[0] & 1) != 0;
    const bool encrypt = (data[0] & 2) != 0;
    const char* input = reinterpret_cast<const char*>(data + 2);
    if ((data[0] & 4) != 0) {
        RoundTrip(compress, encrypt, input, size - 2);
    } else {
        Detransform(compress, encrypt, data[1], input, size - 2);
    }
    return 0;
}
