// Counters the delivery side keeps for the service's status line.
// Written by the network thread, read by any thread; plain atomics, no lock.
#pragma once

#include <atomic>
#include <cstdint>

namespace kv {

struct DeliveryStatus {
  std::atomic<std::uint64_t> delivered{0};        // alarms the receiver acknowledged since start
  std::atomic<std::uint64_t> waiting{0};          // alarms stored or in memory, not yet acknowledged
  std::atomic<bool> receiver_reachable{true};     // false while the receiver counts as down
  std::atomic<std::uint64_t> refused{0};          // alarms the receiver refused, kept for a later attempt
  // With a backup receiver only: receiver_reachable is then the primary's.
  std::atomic<bool> backup_configured{false};
  std::atomic<bool> backup_reachable{true};       // false while the backup counts as down
};

// The one instance of the process.
inline DeliveryStatus& GetDeliveryStatus() {
  static DeliveryStatus status;
  return status;
}

}  // namespace kv
