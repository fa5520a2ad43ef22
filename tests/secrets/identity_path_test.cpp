// The start-up check that nobody but root can replace what "sudo -n ./scripts/get_id.sh"
// runs as root. The cases build layouts in a scratch folder; ownership by another user
// is made with chown, so they need root (which the test runs have) and skip otherwise.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "common/secrets.h"
#include "testing/harness/files.h"

namespace {

constexpr uid_t kOtherUser = 4242;

class IdentityPath : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
        ASSERT_TRUE(scratch_.ok());
        folder_ = scratch_.path();
        // The packaged layout: root:wardex 1770 working folder, root 0755 scripts.
        ASSERT_EQ(0, ::chmod(folder_.c_str(), 01770));
        ASSERT_EQ(0, ::mkdir(Scripts().c_str(), 0755));
        std::ofstream(Script()) << "#!/bin/sh\necho id\n";
        ASSERT_EQ(0, ::chmod(Script().c_str(), 0755));
    }

    std::string Scripts() const { return folder_ + "/scripts"; }
    std::string Script() const { return folder_ + "/scripts/get_id.sh"; }
    std::string Check(std::string& fault) const { return kv::crypto::FindReplaceableIdentityPath(folder_, fault); }

    kv::harness::ScratchDir scratch_;
    std::string folder_;
};

TEST_F(IdentityPath, PackagedLayoutWithStickyGroupWritableFolderIsSafe) {
    std::string fault = "stale";
    EXPECT_EQ("", Check(fault));
    EXPECT_EQ("", fault);
}

TEST_F(IdentityPath, WorkingFolderOwnedByTheServiceUser) {
    // The old layout: the service user owns the folder and can rename root's scripts/.
    ASSERT_EQ(0, ::chown(folder_.c_str(), kOtherUser, 0));
    ASSERT_EQ(0, ::chmod(folder_.c_str(), 0750));
    std::string fault;
    EXPECT_EQ(folder_, Check(fault));
    EXPECT_EQ("is owned by uid 4242, not root", fault);
}

TEST_F(IdentityPath, GroupWritableWorkingFolderWithoutStickyBit) {
    ASSERT_EQ(0, ::chmod(folder_.c_str(), 0770));
    std::string fault;
    EXPECT_EQ(folder_, Check(fault));
    EXPECT_EQ("is writable by group or others (mode 770)", fault);
}

TEST_F(IdentityPath, ScriptsFolderWritableByOthers) {
    ASSERT_EQ(0, ::chmod(Scripts().c_str(), 0757));
    std::string fault;
    EXPECT_EQ(Scripts(), Check(fault));
    EXPECT_EQ("is writable by group or others (mode 757)", fault);
}

TEST_F(IdentityPath, ScriptOwnedByAnotherUserIsNamedFirst) {
    ASSERT_EQ(0, ::chown(Script().c_str(), kOtherUser, 0));
    ASSERT_EQ(0, ::chown(Scripts().c_str(), kOtherUser, 0));
    std::string fault;
    EXPECT_EQ(Script(), Check(fault));
    EXPECT_EQ("is owned by uid 4242, not root", fault);
}

TEST_F(IdentityPath, ScriptReplacedBySymbolicLink) {
    ASSERT_EQ(0, ::unlink(Script().c_str()));
    ASSERT_EQ(0, ::symlink("/bin/true", Script().c_str()));
    std::string fault;
    EXPECT_EQ(Script(), Check(fault));
    EXPECT_EQ("is a symbolic link", fault);
}

TEST_F(IdentityPath, MissingScriptsFolderInStickyGroupWritableFolderCanBeCreatedByOthers) {
    std::filesystem::remove_all(Scripts());
    std::string fault;
    EXPECT_EQ(Scripts(), Check(fault));
    EXPECT_EQ("is missing, and a user other than root may create it", fault);
}

TEST_F(IdentityPath, MissingScriptInRootOnlyFolderIsSafe) {
    ASSERT_EQ(0, ::unlink(Script().c_str()));
    ASSERT_EQ(0, ::chmod(folder_.c_str(), 0755));
    std::string fault;
    EXPECT_EQ("", Check(fault));
}

TEST_F(IdentityPath, FolderAboveTheWorkingFolderCounts) {
    // A working folder inside a folder another user owns can be swapped as a whole.
    const std::string inner = folder_ + "/inner";
    ASSERT_EQ(0, ::mkdir(inner.c_str(), 0755));
    ASSERT_EQ(0, ::chmod(folder_.c_str(), 0755));
    ASSERT_EQ(0, ::chown(folder_.c_str(), kOtherUser, 0));
    std::string fault;
    EXPECT_EQ(folder_, kv::crypto::FindReplaceableIdentityPath(inner, fault));
    EXPECT_EQ("is owned by uid 4242, not root", fault);
}

TEST_F(IdentityPath, RelativeFolderKeepsItsRelativeNames) {
    ASSERT_EQ(0, ::chmod(Scripts().c_str(), 0775));
    const std::string previous = std::filesystem::current_path().string();
    ASSERT_EQ(0, ::chdir(folder_.c_str()));
    std::string fault;
    const std::string path = kv::crypto::FindReplaceableIdentityPath(fault);
    ASSERT_EQ(0, ::chdir(previous.c_str()));
    EXPECT_EQ("./scripts", path);
    EXPECT_EQ("is writable by group or others (mode 775)", fault);
}

}  // namespace
