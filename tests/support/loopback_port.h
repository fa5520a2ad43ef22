// A loopback TCP port for tests that need an address nobody answers on.
#ifndef WARDEX_TESTS_SUPPORT_LOOPBACK_PORT_H_
#define WARDEX_TESTS_SUPPORT_LOOPBACK_PORT_H_

namespace kv {
namespace testing {

// A port on 127.0.0.1 that nobody listens on at the moment of the call (-1 on failure).
int UnusedLoopbackPort();

}  // namespace testing
}  // namespace kv

#endif  // WARDEX_TESTS_SUPPORT_LOOPBACK_PORT_H_
