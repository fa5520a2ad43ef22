// wardex-receiver-sim for one test (see testing/harness/simulators.h).
#ifndef WARDEX_TESTS_SOAP_RECEIVER_SIM_H_
#define WARDEX_TESTS_SOAP_RECEIVER_SIM_H_

#include "testing/harness/simulators.h"

namespace kv {
namespace test {

using ReceiverSim = harness::ReceiverSim;
using harness::WaitFor;

}  // namespace test
}  // namespace kv

#endif  // WARDEX_TESTS_SOAP_RECEIVER_SIM_H_
