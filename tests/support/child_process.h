// The harness's child processes and scratch folders under the names the tests use.
#ifndef WARDEX_TESTS_SUPPORT_CHILD_PROCESS_H_
#define WARDEX_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <string>
#include <vector>

#include "testing/harness/files.h"
#include "testing/harness/process.h"
#include "tests/support/loopback_port.h"

namespace kv {
namespace testing {

using TempDir = harness::ScratchDir;
using harness::ReadFile;
using harness::WriteFile;

// A program started at construction, standard output and error appended to
// `output_path`, standard input a pipe for WriteLine(). Extra environment entries are
// "NAME=value".
class ChildProcess : public harness::Process {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& working_directory,
                 const std::string& output_path, const std::vector<std::string>& environment = {}) {
        harness::ProcessOptions options;
        options.argv = argv;
        options.working_directory = working_directory;
        options.output_path = output_path;
        options.environment = environment;
        Start(options);
    }
};

}  // namespace testing
}  // namespace kv

#endif  // WARDEX_TESTS_SUPPORT_CHILD_PROCESS_H_
