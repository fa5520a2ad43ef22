// A loopback TCP port for tests that need an address nobody answers on.
#ifndef WARDEX_TESTS_SUPPORT_LOOPBACK_PORT_H_
#define WARDEX_TESTS_SUPPORT_LOOPBACK_PORT_H_

#include "testing/harness/line_client.h"

namespace kv {
namespace testing {

using harness::UnusedLoopbackPort;

}  // namespace testing
}  // namespace kv

#endif  // WARDEX_TESTS_SUPPORT_LOOPBACK_PORT_H_
