// The result of a harness step that can fail: fine, or what went wrong in one sentence.
// Callers test it like a bool and print error(); nothing in the harness throws.
#ifndef WARDEX_TESTING_HARNESS_OUTCOME_H_
#define WARDEX_TESTING_HARNESS_OUTCOME_H_

#include <string>
#include <utility>

namespace kv {
namespace harness {

class Outcome {
public:
    static Outcome Ok() { return Outcome(); }
    static Outcome Fail(std::string error) { return Outcome(std::move(error)); }

    bool ok() const { return failed_ == false; }
    explicit operator bool() const { return ok(); }
    const std::string& error() const { return error_; }

private:
    Outcome() = default;
    explicit Outcome(std::string error) : failed_(true), error_(std::move(error)) {}

    bool failed_ = false;
    std::string error_;
};

}  // namespace harness
}  // namespace kv

#endif  // WARDEX_TESTING_HARNESS_OUTCOME_H_
