// CTrevaskEncryptor: transforms a byte buffer for storage and back.
//
// A transform optionally compresses (zlib, RFC 1950) and optionally encrypts with
// AES-128 in CBC form: the first 16 output bytes are the encryption of 16 random IV
// bytes and serve as the chaining vector of the NUL-padded blocks that follow. All work
// happens inside one transform buffer that the caller owns and installs with
// SetTransformBuffer(); results point into it and stay valid until the next call that
// uses it. Failures are negative codes (GetErrorMessage() names them); the length
// output is then 0 and the result null. Nothing is logged and nothing is thrown.
//
// Decryption treats the restored bytes as text: trailing NUL padding is dropped and an
// input holding a NUL byte comes back cut at that byte (only the compressed form
// restores arbitrary bytes). An object and its buffer belong to one thread at a time.
#ifndef WARDEX_CLASSES_TREVASKENCRYPTOR_H_
#define WARDEX_CLASSES_TREVASKENCRYPTOR_H_

#include <cstddef>
#include <cstdint>
#include <string>

class CTrevaskEncryptor {
public:
    // How many key bytes SetKey() keeps. The cipher is AES-128 in both cases and uses
    // the first 16 of them.
    enum EncryptionMode { KEY_BYTES_16 = 0, KEY_BYTES_32 = 1 };

    // Error codes of the transform, the file operations and GetErrorMessage().
    enum ErrorCode {
        COMPRESS_MEMORY = -1,
        COMPRESS_BUFFER = -2,
        COMPRESS_FAILED = -3,
        DECOMPRESS_MEMORY = -10,
        DECOMPRESS_BUFFER = -11,
        DECOMPRESS_DATA = -12,
        DECOMPRESS_FAILED = -13,
        TRANSFORM_BUFFER_INVALID = -20,
        TRANSFORM_BUFFER_TOO_SMALL = -21,
        INPUT_BUFFER_INVALID = -22,
        CIPHERTEXT_LENGTH_INVALID = -23,
        VERIFY_MEMORY = -30,
        VERIFY_SIZE_MISMATCH = -31,
        VERIFY_DATA_MISMATCH = -32,
        SAVE_CREATE_FAILED = -33,
        SAVE_WRITE_FAILED = -34,
        LOCATE_FAILED = -40,
        OPEN_FAILED = -41,
        SIZE_FAILED = -42,
        READ_MEMORY = -43,
        READ_FAILED = -44,
    };

    // Default key: a fixed 8-byte value stored twice.
    CTrevaskEncryptor(bool compress, bool encrypt);
    // SetKey(key, mode) when `encrypt` is true; otherwise no key at all.
    CTrevaskEncryptor(bool compress, bool encrypt, const std::string& key, EncryptionMode mode);
    // Key: the eight bytes of `seed` in native byte order, twice.
    CTrevaskEncryptor(bool compress, bool encrypt, int64_t seed);
    // Wipes the key.
    ~CTrevaskEncryptor();

    CTrevaskEncryptor(const CTrevaskEncryptor&) = delete;
    CTrevaskEncryptor& operator=(const CTrevaskEncryptor&) = delete;

    // Keeps the first 16 (KEY_BYTES_16) or 32 (any other mode) bytes of `key`,
    // NUL-padded to that length.
    void SetKey(const std::string& key, EncryptionMode mode);
    // Installs the caller's work area; a null buffer records length 0.
    void SetTransformBuffer(char* buffer, size_t length);
    bool UseLegacyAES() const { return m_UseLegacyAES; }

    // `*length` is the input length on entry and the result length on return. `error`
    // and `detail` may be null. The transform buffer must hold at least the input
    // length + its pad + 32 bytes (input length + 48 always does).
    char* TransformBuffer(const char* input, size_t* length, int* error, int* detail);
    // The transform buffer must hold at least the input length; with compression and
    // encryption together, the input length plus the restored length, since the restored
    // bytes are placed behind the decrypted ones. Encrypted input must be a whole number
    // of 16-byte blocks, at least one (CIPHERTEXT_LENGTH_INVALID).
    char* DetransformBuffer(const char* input, size_t* length, int* error, int* detail);

    // Transforms `data`, proves that the result restores `data` exactly, and only then
    // writes the result to `path`. `data` must not lie inside the transform buffer.
    int SaveTransformedFile(const char* data, size_t length, const std::string& path, int* detail,
                            bool* verifyFailed);
    // Reads and detransforms a whole file. An empty file gives the transform buffer,
    // holding an empty text, with length 0.
    char* LoadTransformedFile(const std::string& path, size_t* length, int* error, int* detail);
    // Writes the restored contents of a transformed file to `targetPath`.
    int ConvertTransformedFile(const std::string& sourcePath, const std::string& targetPath, int* detail);
    // Saves the contents of a plain file in transformed form (SaveTransformedFile).
    int ConvertPlaintextFile(const std::string& sourcePath, const std::string& targetPath, int* detail,
                             bool* verifyFailed);

    // Sets `message` for a known error code; leaves it alone for 0 and unknown codes.
    static void GetErrorMessage(int error, int detail, std::string& message);

private:
    void Init();
    // 0 when the transform buffer is set and the input is non-empty, else the error code.
    int CheckBuffers(const char* input, const size_t* length) const;
    // Writes the IV block at `out`, pads `in` in place and encrypts it block by block
    // to `out` + 16. `in` must have room for the pad; `in` == `out` + 16 is allowed.
    void Encrypt(char* in, char* out, size_t* length);
    // Decrypts whole blocks of `in` (the first is the chaining vector) to `out` and
    // applies the text length rule, which writes a terminating NUL; `out` <= `in` is
    // allowed.
    void Decrypt(const char* in, char* out, size_t* length);
    // The same without the length rule; returns the number of decrypted bytes.
    size_t DecryptBlocks(const char* in, char* out, size_t length);
    int Compress(const char* in, size_t inLength, char* out, size_t* outLength, int* detail);
    int Decompress(const char* in, size_t inLength, char* out, size_t* outLength, int* detail);

    char* m_TransformBuffer = nullptr;
    size_t m_TransformBufferLength = 0;
    std::string m_Key;
    bool m_UseLegacyAES = true;
    bool m_Compress = false;
    bool m_Encrypt = false;
};

#endif  // WARDEX_CLASSES_TREVASKENCRYPTOR_H_
