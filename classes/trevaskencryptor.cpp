#include "classes/trevaskencryptor.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <mbedtls/aes.h>
#include <zlib.h>

#include "common/wipe.h"
#include "kvapi/kvAPI.h"

namespace {

constexpr size_t kBlock = 16;

void Wipe(void* data, size_t length) { kv::WipeBytes(data, length); }

void WipeString(std::string& text) { kv::WipeSecret(text); }

// Legacy padding: NUL bytes up to one block for short data, else up to the next block
// boundary, and a whole block more when the data already ends on one.
size_t PadCount(size_t m) { return m <= kBlock ? kBlock - m : kBlock - (m % kBlock); }
size_t Padded(size_t m) { return m + PadCount(m); }

// The default key's eight bytes. Built code by code at run time so that the key does
// not sit in the binary as one readable text.
std::string DefaultKeyHalf() {
    static const int kCodes[8] = {0x4b, 0x76, 0x21, 0x77, 0x34, 0x52, 0x64, 0x39};
    std::string half;
    half.reserve(8);
    for (int code : kCodes) half.push_back(static_cast<char>(code));
    return half;
}

// An AES context that is zeroised on every path out.
class AesContext {
public:
    AesContext() { mbedtls_aes_init(&ctx_); }
    ~AesContext() { mbedtls_aes_free(&ctx_); }
    AesContext(const AesContext&) = delete;
    AesContext& operator=(const AesContext&) = delete;
    mbedtls_aes_context* get() { return &ctx_; }

private:
    mbedtls_aes_context ctx_;
};

// The cipher key: the first 16 key bytes, NUL-padded when there are fewer.
struct Key128 {
    explicit Key128(const std::string& key) {
        std::memset(bytes, 0, sizeof(bytes));
        std::memcpy(bytes, key.data(), key.size() < sizeof(bytes) ? key.size() : sizeof(bytes));
    }
    ~Key128() { Wipe(bytes, sizeof(bytes)); }
    unsigned char bytes[kBlock];
};

// A heap block for whole files; wiped before release because it may hold plain text.
class HeapBlock {
public:
    explicit HeapBlock(size_t length) : data_(new (std::nothrow) char[length == 0 ? 1 : length]), length_(length) {}
    ~HeapBlock() {
        if (data_) Wipe(data_.get(), length_);
    }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    char* get() const { return data_.get(); }

private:
    std::unique_ptr<char[]> data_;
    size_t length_;
};

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Length rule for decrypted text: drop the NUL padding (and a trailing pad count when
// the byte before it is NUL), then terminate the text.
void ApplyLengthRule(char* out, size_t* length) {
    size_t m = *length;
    if (m <= 1) return;
    const signed char last = static_cast<signed char>(out[m - 1]);
    const char prev = out[m - 2];
    if (prev != 0 || last == 0) {
        m = strnlen(out, m);
    } else if (last >= 1 && static_cast<size_t>(last) <= m - 1) {
        m -= static_cast<size_t>(last);
    }
    out[m] = '\0';
    *length = m;
}

// Writes the whole block and closes the file; false on a short write or failing close.
bool WriteAndClose(FilePtr file, const char* data, size_t length) {
    const bool written = length == 0 || std::fwrite(data, 1, length, file.get()) == length;
    const bool closed = std::fclose(file.release()) == 0;
    return written && closed;
}

// The size of an open file, found by seeking to its end and back.
bool FileSize(FILE* file, size_t* size) {
    if (std::fseek(file, 0, SEEK_END) != 0) return false;
    const long end = std::ftell(file);
    if (end < 0 || std::fseek(file, 0, SEEK_SET) != 0) return false;
    *size = static_cast<size_t>(end);
    return true;
}

void Set(int* out, int value) {
    if (out != nullptr) *out = value;
}

}  // namespace

CTrevaskEncryptor::CTrevaskEncryptor(bool compress, bool encrypt) : m_Compress(compress), m_Encrypt(encrypt) {
    Init();
    std::string half = DefaultKeyHalf();
    m_Key = half + half;
    WipeString(half);
}

CTrevaskEncryptor::CTrevaskEncryptor(bool compress, bool encrypt, const std::string& key, EncryptionMode mode)
    : m_Compress(compress), m_Encrypt(encrypt) {
    Init();
    if (encrypt) SetKey(key, mode);
}

CTrevaskEncryptor::CTrevaskEncryptor(bool compress, bool encrypt, int64_t seed)
    : m_Compress(compress), m_Encrypt(encrypt) {
    Init();
    m_Key.assign(2 * sizeof(seed), '\0');
    std::memcpy(&m_Key[0], &seed, sizeof(seed));
    std::memcpy(&m_Key[sizeof(seed)], &seed, sizeof(seed));
}

CTrevaskEncryptor::~CTrevaskEncryptor() { WipeString(m_Key); }

void CTrevaskEncryptor::Init() { m_UseLegacyAES = true; }

void CTrevaskEncryptor::SetKey(const std::string& key, EncryptionMode mode) {
    const size_t keep = mode == KEY_BYTES_16 ? 16 : 32;
    WipeString(m_Key);
    m_Key.assign(keep, '\0');
    std::memcpy(&m_Key[0], key.data(), key.size() < keep ? key.size() : keep);
}

void CTrevaskEncryptor::SetTransformBuffer(char* buffer, size_t length) {
    m_TransformBuffer = buffer;
    m_TransformBufferLength = buffer == nullptr ? 0 : length;
}

void CTrevaskEncryptor::Encrypt(char* in, char* out, size_t* length) {
    unsigned char* const cipher = reinterpret_cast<unsigned char*>(out);
    GenerateIV16(cipher);

    const size_t padded = Padded(*length);
    std::memset(in + *length, 0, padded - *length);

    Key128 key(m_Key);
    AesContext aes;
    mbedtls_aes_setkey_enc(aes.get(), key.bytes, 128);
    mbedtls_aes_crypt_ecb(aes.get(), MBEDTLS_AES_ENCRYPT, cipher, cipher);

    const unsigned char* previous = cipher;
    for (size_t offset = 0; offset < padded; offset += kBlock) {
        unsigned char* block = reinterpret_cast<unsigned char*>(in + offset);
        for (size_t i = 0; i < kBlock; ++i) block[i] ^= previous[i];
        unsigned char* target = cipher + kBlock + offset;
        mbedtls_aes_crypt_ecb(aes.get(), MBEDTLS_AES_ENCRYPT, block, target);
        previous = target;
    }
    *length = padded + kBlock;
}

size_t CTrevaskEncryptor::DecryptBlocks(const char* in, char* out, size_t length) {
    Key128 key(m_Key);
    AesContext aes;
    mbedtls_aes_setkey_dec(aes.get(), key.bytes, 128);

    // Both the previous cipher block and the current one are copied out first, so the
    // output may overlap the input from below.
    unsigned char previous[kBlock];
    unsigned char current[kBlock];
    unsigned char plain[kBlock];
    std::memcpy(previous, in, kBlock);
    for (size_t offset = kBlock; offset + kBlock <= length; offset += kBlock) {
        std::memcpy(current, in + offset, kBlock);
        mbedtls_aes_crypt_ecb(aes.get(), MBEDTLS_AES_DECRYPT, current, plain);
        for (size_t i = 0; i < kBlock; ++i) plain[i] ^= previous[i];
        std::memcpy(out + offset - kBlock, plain, kBlock);
        std::memcpy(previous, current, kBlock);
    }
    Wipe(plain, sizeof(plain));
    return length - kBlock;
}

void CTrevaskEncryptor::Decrypt(const char* in, char* out, size_t* length) {
    *length = DecryptBlocks(in, out, *length);
    ApplyLengthRule(out, length);
}

int CTrevaskEncryptor::Compress(const char* in, size_t inLength, char* out, size_t* outLength, int* detail) {
    uLongf produced = *outLength;
    const int z = compress2(reinterpret_cast<Bytef*>(out), &produced, reinterpret_cast<const Bytef*>(in), inLength,
                            Z_DEFAULT_COMPRESSION);
    Set(detail, z);
    switch (z) {
        case Z_OK: *outLength = produced; return 0;
        case Z_MEM_ERROR: *outLength = 0; return COMPRESS_MEMORY;
        case Z_BUF_ERROR: *outLength = 0; return COMPRESS_BUFFER;
        default: *outLength = 0; return COMPRESS_FAILED;
    }
}

int CTrevaskEncryptor::Decompress(const char* in, size_t inLength, char* out, size_t* outLength, int* detail) {
    uLongf produced = *outLength;
    const int z =
        uncompress(reinterpret_cast<Bytef*>(out), &produced, reinterpret_cast<const Bytef*>(in), inLength);
    Set(detail, z);
    switch (z) {
        case Z_OK: *outLength = produced; return 0;
        case Z_MEM_ERROR: *outLength = 0; return DECOMPRESS_MEMORY;
        case Z_BUF_ERROR: *outLength = 0; return DECOMPRESS_BUFFER;
        case Z_DATA_ERROR: *outLength = 0; return DECOMPRESS_DATA;
        default: *outLength = 0; return DECOMPRESS_FAILED;
    }
}

int CTrevaskEncryptor::CheckBuffers(const char* input, const size_t* length) const {
    if (m_TransformBuffer == nullptr || m_TransformBufferLength == 0) return TRANSFORM_BUFFER_INVALID;
    if (input == nullptr || length == nullptr || *length == 0) return INPUT_BUFFER_INVALID;
    return 0;
}

char* CTrevaskEncryptor::TransformBuffer(const char* input, size_t* length, int* error, int* detail) {
    Set(error, 0);
    Set(detail, 0);
    auto fail = [&](int code) -> char* {
        Set(error, code);
        if (length != nullptr) *length = 0;
        return nullptr;
    };
    if (const int code = CheckBuffers(input, length)) return fail(code);
    const size_t n = *length;
    if (n > m_TransformBufferLength || m_TransformBufferLength - n < PadCount(n) + 2 * kBlock) {
        return fail(TRANSFORM_BUFFER_TOO_SMALL);
    }

    char* const buffer = m_TransformBuffer;
    if (m_Compress && m_Encrypt) {
        size_t compressed = m_TransformBufferLength - kBlock;
        const int code = Compress(input, n, buffer + kBlock, &compressed, detail);
        if (code != 0) return fail(code);
        // Compressed data can outgrow its input; the IV block and the pad must still fit.
        if (Padded(compressed) > m_TransformBufferLength - kBlock) return fail(TRANSFORM_BUFFER_TOO_SMALL);
        Encrypt(buffer + kBlock, buffer, &compressed);
        *length = compressed;
    } else if (m_Compress) {
        size_t compressed = m_TransformBufferLength;
        const int code = Compress(input, n, buffer, &compressed, detail);
        if (code != 0) return fail(code);
        *length = compressed;
    } else if (m_Encrypt) {
        std::memmove(buffer + kBlock, input, n);
        size_t encrypted = n;
        Encrypt(buffer + kBlock, buffer, &encrypted);
        *length = encrypted;
    } else {
        std::memmove(buffer, input, n);
    }
    return buffer;
}

char* CTrevaskEncryptor::DetransformBuffer(const char* input, size_t* length, int* error, int* detail) {
    Set(error, 0);
    Set(detail, 0);
    auto fail = [&](int code) -> char* {
        Set(error, code);
        if (length != nullptr) *length = 0;
        return nullptr;
    };
    if (const int code = CheckBuffers(input, length)) return fail(code);
    const size_t n = *length;
    if (m_TransformBufferLength < n) return fail(TRANSFORM_BUFFER_TOO_SMALL);
    if (m_Encrypt && (n < kBlock || n % kBlock != 0)) return fail(CIPHERTEXT_LENGTH_INVALID);

    char* const buffer = m_TransformBuffer;
    if (m_Compress && m_Encrypt) {
        // The zlib stream delimits itself, so it is handed over whole with its padding:
        // the text length rule would cut it at its first NUL byte.
        const size_t decrypted = DecryptBlocks(input, buffer, n);
        size_t restored = m_TransformBufferLength - n;
        const int code = Decompress(buffer, decrypted, buffer + n, &restored, detail);
        if (code != 0) return fail(code);
        *length = restored;
        return buffer + n;
    }
    if (m_Compress) {
        size_t restored = m_TransformBufferLength;
        const int code = Decompress(input, n, buffer, &restored, detail);
        if (code != 0) return fail(code);
        *length = restored;
    } else if (m_Encrypt) {
        size_t restored = n;
        Decrypt(input, buffer, &restored);
        *length = restored;
    } else {
        std::memmove(buffer, input, n);
    }
    return buffer;
}

int CTrevaskEncryptor::SaveTransformedFile(const char* data, size_t length, const std::string& path, int* detail,
                                           bool* verifyFailed) {
    auto verify_failed = [&](int code) {
        if (verifyFailed != nullptr) *verifyFailed = true;
        return code;
    };
    if (verifyFailed != nullptr) *verifyFailed = false;

    int error = 0;
    size_t transformedLength = length;
    const char* transformed = TransformBuffer(data, &transformedLength, &error, detail);
    if (transformed == nullptr) return error;

    HeapBlock copy(transformedLength);
    if (copy.get() == nullptr) return verify_failed(VERIFY_MEMORY);
    std::memcpy(copy.get(), transformed, transformedLength);

    size_t restoredLength = transformedLength;
    const char* restored = DetransformBuffer(copy.get(), &restoredLength, &error, detail);
    if (restored == nullptr) return verify_failed(error);
    if (restoredLength != length) return verify_failed(VERIFY_SIZE_MISMATCH);
    if (std::memcmp(restored, data, length) != 0) return verify_failed(VERIFY_DATA_MISMATCH);

    FilePtr file(std::fopen(path.c_str(), "wbe"));
    if (!file) return SAVE_CREATE_FAILED;
    if (!WriteAndClose(std::move(file), copy.get(), transformedLength)) return SAVE_WRITE_FAILED;
    return 0;
}

char* CTrevaskEncryptor::LoadTransformedFile(const std::string& path, size_t* length, int* error, int* detail) {
    Set(error, 0);
    Set(detail, 0);
    if (length != nullptr) *length = 0;
    auto fail = [&](int code) -> char* {
        Set(error, code);
        return nullptr;
    };
    if (length == nullptr) return fail(INPUT_BUFFER_INVALID);

    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        Set(detail, errno);
        return fail(LOCATE_FAILED);
    }
    // A directory opens and seeks like a file but reports no usable size.
    if (!S_ISREG(info.st_mode)) return fail(OPEN_FAILED);
    FilePtr file(std::fopen(path.c_str(), "rbe"));
    if (!file) return fail(OPEN_FAILED);
    size_t size = 0;
    if (!FileSize(file.get(), &size)) return fail(SIZE_FAILED);
    if (size == 0) {
        if (m_TransformBuffer == nullptr || m_TransformBufferLength == 0) return fail(TRANSFORM_BUFFER_INVALID);
        m_TransformBuffer[0] = '\0';
        return m_TransformBuffer;
    }

    HeapBlock contents(size);
    if (contents.get() == nullptr) return fail(READ_MEMORY);
    if (std::fread(contents.get(), 1, size, file.get()) != size) return fail(READ_FAILED);
    file.reset();

    size_t restoredLength = size;
    char* restored = DetransformBuffer(contents.get(), &restoredLength, error, detail);
    if (restored != nullptr) *length = restoredLength;
    return restored;
}

int CTrevaskEncryptor::ConvertTransformedFile(const std::string& sourcePath, const std::string& targetPath,
                                              int* detail) {
    int error = 0;
    size_t length = 0;
    const char* restored = LoadTransformedFile(sourcePath, &length, &error, detail);
    if (restored == nullptr) return error;
    FilePtr file(std::fopen(targetPath.c_str(), "wbe"));
    if (!file) return SAVE_CREATE_FAILED;
    if (!WriteAndClose(std::move(file), restored, length)) return SAVE_WRITE_FAILED;
    return 0;
}

int CTrevaskEncryptor::ConvertPlaintextFile(const std::string& sourcePath, const std::string& targetPath, int* detail,
                                            bool* verifyFailed) {
    Set(detail, 0);
    if (verifyFailed != nullptr) *verifyFailed = false;
    struct stat info {};
    if (::stat(sourcePath.c_str(), &info) != 0) {
        Set(detail, errno);
        return LOCATE_FAILED;
    }
    if (!S_ISREG(info.st_mode)) return OPEN_FAILED;
    FilePtr file(std::fopen(sourcePath.c_str(), "rbe"));
    if (!file) return OPEN_FAILED;
    size_t size = 0;
    if (!FileSize(file.get(), &size)) return SIZE_FAILED;
    HeapBlock contents(size);
    if (contents.get() == nullptr) return READ_MEMORY;
    if (size != 0 && std::fread(contents.get(), 1, size, file.get()) != size) return READ_FAILED;
    file.reset();
    return SaveTransformedFile(contents.get(), size, targetPath, detail, verifyFailed);
}

void CTrevaskEncryptor::GetErrorMessage(int error, int detail, std::string& message) {
    bool withDetail = false;
    switch (error) {
        case COMPRESS_MEMORY: message = "memory error in compression"; break;
        case COMPRESS_BUFFER: message = "invalid compression buffer"; break;
        case COMPRESS_FAILED: message = "compression failed"; withDetail = true; break;
        case DECOMPRESS_MEMORY: message = "memory error in decompression"; break;
        case DECOMPRESS_BUFFER: message = "invalid decompression buffer"; break;
        case DECOMPRESS_DATA: message = "decompressing an invalid compressed image"; break;
        case DECOMPRESS_FAILED: message = "decompression failed"; withDetail = true; break;
        case TRANSFORM_BUFFER_INVALID: message = "transform buffer invalid for operation"; break;
        case TRANSFORM_BUFFER_TOO_SMALL: message = "transform buffer too small for operation"; break;
        case INPUT_BUFFER_INVALID: message = "input buffer invalid for operation"; break;
        case CIPHERTEXT_LENGTH_INVALID: message = "encrypted input length invalid for operation"; break;
        case VERIFY_MEMORY: message = "memory error in verifying saving transformed file"; break;
        case VERIFY_SIZE_MISMATCH: message = "size mismatch in verifying saving transformed file"; break;
        case VERIFY_DATA_MISMATCH: message = "data mismatch in verifying saving transformed file"; break;
        case SAVE_CREATE_FAILED: message = "failed to create file when saving transformed file"; break;
        case SAVE_WRITE_FAILED: message = "failed to write file when saving transformed file"; break;
        case LOCATE_FAILED: message = "failed to locate file"; withDetail = true; break;
        case OPEN_FAILED: message = "failed to open file for reading"; break;
        case SIZE_FAILED: message = "failed to determine size of file to read"; break;
        case READ_MEMORY: message = "failed to allocate memory for reading file"; break;
        case READ_FAILED: message = "failed to read file"; break;
        default: return;
    }
    if (withDetail) {
        char text[16];
        const int written = std::snprintf(text, sizeof(text), " (err %d)", detail);
        if (written > 0) message += text;
    }
}
