// How often the outbox waits for the disk, counted by the fault VFS: a store is synced
// before it returns, a delete is not, and rides on the next store's sync.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/outbox.h"
#include "tests/foundation/test_dir.h"
#include "tests/support/fault_vfs.h"
#include "tests/delivery/delivery_test_support.h"

namespace {

using kv::Outbox;
using kv::testing::FaultVfs;
using kv::testing::TestDir;

using kv::test::Batch;

using kv::test::Payloads;

TEST(OutboxSync, AStoreIsSyncedBeforeItReturnsADeleteWaitsForTheNextStore) {
    FaultVfs& vfs = FaultVfs::Install();
    vfs.Disarm();
    TestDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.Join("outbox.db");
    {
        Outbox outbox(path);
        ASSERT_TRUE(outbox.Open().ok());
        std::vector<Outbox::Item> first = Batch("a", 3);
        size_t refused = 0;
        vfs.ResetCounts();
        ASSERT_TRUE(outbox.StoreBatch(first, refused).ok());
        EXPECT_GE(vfs.Count(FaultVfs::Op::kSync), 1) << "stored means on disk";

        vfs.ResetCounts();
        ASSERT_TRUE(outbox.Delete({first[0].id, first[1].id}).ok());
        EXPECT_EQ(0, vfs.Count(FaultVfs::Op::kSync)) << "a delete waits for the next store's sync";
        EXPECT_GE(vfs.Count(FaultVfs::Op::kWrite), 1) << "but is written at once";
        EXPECT_EQ(1u, outbox.Count());

        // Every store after a delete is synced again before it returns.
        for (int round = 0; round < 3; ++round) {
            std::vector<Outbox::Item> next = Batch("b" + std::to_string(round), 1);
            vfs.ResetCounts();
            ASSERT_TRUE(outbox.StoreBatch(next, refused).ok());
            EXPECT_GE(vfs.Count(FaultVfs::Op::kSync), 1) << "round " << round;
            vfs.ResetCounts();
            ASSERT_TRUE(outbox.Delete({next[0].id}).ok());
            EXPECT_EQ(0, vfs.Count(FaultVfs::Op::kSync)) << "round " << round;
        }
    }
    Outbox reopened(path);
    ASSERT_TRUE(reopened.Open().ok());
    EXPECT_EQ(std::vector<std::string>{"a2"}, Payloads(reopened));
}

}  // namespace
