// Small helpers the delivery tests share: a batch of alarms for the outbox, what it holds,
// and a clock the test moves by hand.
#ifndef WARDEX_TESTS_DELIVERY_DELIVERY_TEST_SUPPORT_H_
#define WARDEX_TESTS_DELIVERY_DELIVERY_TEST_SUPPORT_H_

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/delivery/delivery_backlog.h"
#include "src/delivery/delivery_policy.h"
#include "src/outbox/outbox.h"

namespace kv {
namespace test {

// `count` SendAlarm items named prefix0, prefix1, ..., each followed by `pad` 'x's.
inline std::vector<Outbox::Item> Batch(const std::string& prefix, int count, size_t pad = 0) {
    std::vector<Outbox::Item> items;
    for (int i = 0; i < count; ++i) {
        items.push_back(Outbox::Item{0, "SendAlarm", prefix + std::to_string(i) + std::string(pad, 'x'), 0, 0, ""});
    }
    return items;
}

// The same as payloads for the backlog, each with a key never used before; not durable
// ones are recorder information, which never waits on disk.
inline std::vector<delivery::Payload> Alarms(const std::string& prefix, int count, size_t pad = 0,
                                             bool durable = true) {
    static uint64_t key = 0;
    std::vector<delivery::Payload> payloads;
    for (const Outbox::Item& item : Batch(prefix, count, pad)) {
        delivery::Payload payload;
        payload.key = ++key;
        payload.method = durable ? item.method : "SendRecorderInfo";
        payload.payload = item.payload;
        payload.durable = durable;
        payloads.push_back(payload);
    }
    return payloads;
}

// Takes and delivers everything ready or due by `now`, until nothing waits; the texts.
inline std::multiset<std::string> Drain(delivery::DeliveryBacklog& backlog, int64_t now) {
    std::multiset<std::string> delivered;
    for (int round = 0; round < 1000 && (backlog.Waiting() > 0 || backlog.Delayed() > 0); ++round) {
        backlog.Refill(now);
        backlog.MoveDue(delivery::TimePoint::max());
        for (const delivery::Payload& payload : backlog.TakeReady()) {
            delivered.insert(payload.payload);
            backlog.Finished(payload);
        }
        EXPECT_TRUE(backlog.FlushDeletes().ok());
    }
    EXPECT_EQ(0u, backlog.Waiting());
    EXPECT_EQ(0u, backlog.Delayed());
    return delivered;
}

// Runs one statement on a connection of the test's own.
inline bool Sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// The damaged files a salvage set aside in `folder` (not their -wal and -shm).
inline std::vector<std::string> SetAsideFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".corrupt-") != std::string::npos && name.find("-wal") == std::string::npos &&
            name.find("-shm") == std::string::npos) {
            names.push_back(name);
        }
    }
    return names;
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
