// wardex-nvr-sim for one test (see testing/harness/simulators.h).
#ifndef WARDEX_TESTS_CONNECTION_NVR_SIM_PROCESS_H_
#define WARDEX_TESTS_CONNECTION_NVR_SIM_PROCESS_H_

#include "testing/harness/simulators.h"
#include "tests/support/child_process.h"

namespace kv {
namespace testing {

using NvrSimProcess = harness::NvrSim;

}  // namespace testing
}  // namespace kv

#endif  // WARDEX_TESTS_CONNECTION_NVR_SIM_PROCESS_H_
