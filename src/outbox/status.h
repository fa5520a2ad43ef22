// The outcome of an operation that can fail: OK, or a kind and a message.
//
// A value, cheap to copy when OK. Callers test ok() (or the kind they care about) and
// pass the message on to the log; nothing throws. The kinds are those the outbox's
// callers act on differently: a damaged file is salvaged, a full disk and any other
// failure are waited out.
#ifndef WARDEX_SRC_STATUS_H_
#define WARDEX_SRC_STATUS_H_

#include <string>
#include <utility>

namespace kv {

class Status {
public:
    enum class Code { kOk, kIoError, kFull, kCorruption, kInvalid };

    Status() = default;

    static Status OK() { return Status(); }
    static Status IoError(std::string message) { return Status(Code::kIoError, std::move(message)); }
    static Status Full(std::string message) { return Status(Code::kFull, std::move(message)); }
    static Status Corruption(std::string message) { return Status(Code::kCorruption, std::move(message)); }
    static Status Invalid(std::string message) { return Status(Code::kInvalid, std::move(message)); }

    bool ok() const { return code_ == Code::kOk; }
    bool IsFull() const { return code_ == Code::kFull; }
    bool IsCorruption() const { return code_ == Code::kCorruption; }
    Code code() const { return code_; }
    const std::string& message() const { return message_; }

    // "OK", or the message as it is.
    std::string ToString() const { return ok() ? std::string("OK") : message_; }

private:
    Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}

    Code code_ = Code::kOk;
    std::string message_;
};

}  // namespace kv

#endif  // WARDEX_SRC_STATUS_H_
