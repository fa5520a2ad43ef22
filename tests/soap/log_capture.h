// Points the process-wide logger at a fresh directory for one test and reads back what
// was logged there, as (level, message) pairs in order.
#ifndef WARDEX_TESTS_SOAP_LOG_CAPTURE_H_
#define WARDEX_TESTS_SOAP_LOG_CAPTURE_H_

#include <string>
#include <vector>

#include "common/logger.h"
#include "testing/harness/files.h"

namespace kv {
namespace test {

struct LogLine {
    std::string level;  // "ERROR", "VERBOSE", ...
    std::string message;
};

class LogCapture {
public:
    explicit LogCapture(LoggerLevel level = VERBOSE);
    ~LogCapture();

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> Lines() const;
    // Messages logged at `level` (e.g. "ERROR").
    std::vector<std::string> Messages(const std::string& level) const;
    int Count(const std::string& level, const std::string& message) const;
    // Lines at `level` whose message contains `fragment`.
    int CountContaining(const std::string& level, const std::string& fragment) const;

private:
    kv::harness::ScratchDir scratch_{"wardex-soap-log"};
    std::string directory_;
};

}  // namespace test
}  // namespace kv

#endif  // WARDEX_TESTS_SOAP_LOG_CAPTURE_H_
