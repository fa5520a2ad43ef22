// Handles used on different threads at once share nothing: each thread keeps its own
// connection to one simulator and sees every broadcast event on its own thread.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/TrevaskConnect.h"
#include "tests/connection/nvr_sim_process.h"

namespace {

struct Counter {
    std::thread::id owner;
    int motion = 0;
    bool foreign_thread = false;
};

int Count(int type, intptr_t, PayloadType*, size_t, void* user) {
    auto* counter = static_cast<Counter*>(user);
    if (std::this_thread::get_id() != counter->owner) counter->foreign_thread = true;
    if (type == 6) ++counter->motion;
    return 0;
}

TEST(KvapiThreads, ConnectionsOnSeparateThreadsReceiveTheirEventsIndependently) {
    kv::testing::NvrSimProcess sim(R"({"cameras": [{"name": "A"}]})");
    ASSERT_TRUE(sim.started());
    constexpr int kThreads = 3;
    constexpr int kEvents = 20;
    std::atomic<int> connected{0};
    std::atomic<bool> failed{false};
    std::vector<Counter> counters(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Counter& counter = counters[static_cast<size_t>(t)];
            counter.owner = std::this_thread::get_id();
            CTrevaskConnection connection;
            connection.set_connection_info("127.0.0.1", sim.port(), "admin", "tulip482");
            connection.set_callback(Count, &counter);
            if (connection.connect_kvapi(false) != 1) {
                failed = true;
                return;
            }
            ++connected;
            // Bounded: about 15 s of 10 ms turns.
            for (int i = 0; i < 1500 && counter.motion < kEvents; ++i) {
                if (connection.select_handler() < 0) {
                    failed = true;
                    return;
                }
            }
        });
    }
    for (int i = 0; i < 1000 && connected < kThreads && !failed; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // No early return while the threads run: they end by themselves within their bound.
    bool all_logged_in = !failed && sim.WaitFor({{"event", "login"}, {"result", "accepted"}}, kThreads);
    EXPECT_TRUE(all_logged_in);
    for (int e = 0; all_logged_in && e < kEvents; ++e) EXPECT_TRUE(sim.Command("event 6 index=0 status=1"));
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(failed);
    for (const Counter& counter : counters) {
        EXPECT_EQ(counter.motion, kEvents);
        EXPECT_FALSE(counter.foreign_thread);
    }
}

}  // namespace
