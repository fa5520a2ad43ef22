// LoadTransformedFile in all four modes on arbitrary file contents: a damaged or foreign
// file must end in an error code, never in a crash or a write outside the buffer.
//
// Input layout: byte 0 selects the mode (bits 0-1: compress, encrypt), byte 1 sizes the
// transform buffer; the rest is the file's contents.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "classes/trevaskencryptor.h"
#include "fuzz/fuzz_support.h"

namespace {
const kv::fuzz::ScratchFile* scratch = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static const kv::fuzz::ScratchFile file;
    scratch = &file;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool compress = (data[0] & 1) != 0;
    const bool encrypt = (data[0] & 2) != 0;
    const size_t contents = size - 2;
    scratch->Write(data + 2, contents);

    CTrevaskEncryptor encryptor(compress, encrypt);
    // 0 installs no buffer at all; other values give the contents plus 0 to 254 blocks.
    const size_t length = data[1] == 0 ? 0 : contents + 16 * (data[1] - 1);
    std::unique_ptr<char[]> buffer(new char[length == 0 ? 1 : length]);
    encryptor.SetTransformBuffer(length == 0 ? nullptr : buffer.get(), length);

    size_t restored = 1;
    int error = 0, detail = 0;
    const char* out = encryptor.LoadTransformedFile(scratch->path(), &restored, &error, &detail);
    if (out == nullptr) {
        WARDEX_FUZZ_CHECK(error < 0 && restored == 0, "a refusal carries a code and length 0");
        return 0;
    }
    WARDEX_FUZZ_CHECK(error == 0, "a result carries no error code");
    WARDEX_FUZZ_CHECK(out >= buffer.get() && out + restored <= buffer.get() + length,
                      "the result lies inside the transform buffer");
    return 0;
}
