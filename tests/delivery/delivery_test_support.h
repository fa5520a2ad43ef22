// Small helpers the delivery tests share: a batch of alarms for the outbox, what it holds,
// and a clock the test moves by hand.
#ifndef WARDEX_TESTS_DELIVERY_DELIVERY_TEST_SUPPORT_H_
#define WARDEX_TESTS_DELIVERY_DELIVERY_TEST_SUPPORT_H_

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/delivery_policy.h"
#include "src/outbox.h"

namespace kv {
namespace test {

// `count` SendAlarm items named prefix0, prefix1, ...
inline std::vector<Outbox::Item> Batch(const std::string& prefix, int count) {
    std::vector<Outbox::Item> items;
    for (int i = 0; i < count; ++i) items.push_back(Outbox::Item{0, "SendAlarm", prefix + std::to_string(i), 0, 0, ""});
    return items;
}

// Every payload the outbox holds, oldest first.
inline std::vector<std::string> Payloads(Outbox& outbox) {
    std::vector<Outbox::Item> items;
    size_t damaged = 0;
    EXPECT_TRUE(outbox.TakeOldest(0, 1000000, items, damaged).ok());
    std::vector<std::string> payloads;
    for (const Outbox::Item& item : items) payloads.push_back(item.payload);
    return payloads;
}

struct FakeClock {
    delivery::TimePoint now{std::chrono::hours(1)};
    delivery::DeliveryPolicy::ClockSource Source() {
        return [this] { return now; };
    }
};

}  // namespace test
}  // namespace kv

#endif  // WARDEX_TESTS_DELIVERY_DELIVERY_TEST_SUPPORT_H_
