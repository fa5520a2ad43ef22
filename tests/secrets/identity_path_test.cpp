// The start-up check that nobody but root can replace what "sudo -n ./scripts/get_id.sh"
// runs as root. The cases build layouts in a scratch folder; ownership by another user
// is made with chown, so they need root (which the test runs have) and skip otherwise.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "common/secrets.h"
#include "tests/foundation/test_dir.h"

namespace {

constexpr uid_t kOtherUser = 4242;

class IdentityPath : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
    }

    // The packaged layout in `folder`: root:wardex 1770 working folder, root 0755 scripts.
    static void Build(const std::string& folder) {
        ASSERT_EQ(0, ::chmod(folder.c_str(), 01770));
        ASSERT_EQ(0, ::mkdir((folder + "/scripts").c_str(), 0755));
        ASSERT_TRUE(kv::testing::WriteFile(folder + "/scripts/get_id.sh", "#!/bin/sh\necho id\n"));
        ASSERT_EQ(0, ::chmod((folder + "/scripts/get_id.sh").c_str(), 0755));
    }
};

// Each row changes the packaged layout one way: the part a user other than root could
// replace (relative to the working folder; none: safe), and why.
TEST_F(IdentityPath, TheFirstReplaceablePartIsNamedWithItsReason) {
    using Change = std::function<void(const std::string& folder)>;
    const std::string owned = "is owned by uid 4242, not root";
    const struct {
        const char* what;
        Change change;
        const char* named;  // nullptr: nothing
        std::string fault;
        const char* start = "";  // the working folder, below `folder`
    } table[] = {
        {"packaged layout", [](const std::string&) {}, nullptr, ""},
        {"folder owned by the service user (the old layout: it can rename root's scripts/)",
         [](const std::string& f) {
             ASSERT_EQ(0, ::chown(f.c_str(), kOtherUser, 0));
             ASSERT_EQ(0, ::chmod(f.c_str(), 0750));
         },
         "", owned},
        {"group-writable folder without the sticky bit", [](const std::string& f) { ASSERT_EQ(0, ::chmod(f.c_str(), 0770)); }, "",
         "is writable by group or others (mode 770)"},
        {"scripts/ writable by others", [](const std::string& f) { ASSERT_EQ(0, ::chmod((f + "/scripts").c_str(), 0757)); },
         "/scripts", "is writable by group or others (mode 757)"},
        {"script and scripts/ owned by another user: the script is named first",
         [](const std::string& f) {
             ASSERT_EQ(0, ::chown((f + "/scripts/get_id.sh").c_str(), kOtherUser, 0));
             ASSERT_EQ(0, ::chown((f + "/scripts").c_str(), kOtherUser, 0));
         },
         "/scripts/get_id.sh", owned},
        {"script replaced by a symbolic link",
         [](const std::string& f) {
             ASSERT_EQ(0, ::unlink((f + "/scripts/get_id.sh").c_str()));
             ASSERT_EQ(0, ::symlink("/bin/true", (f + "/scripts/get_id.sh").c_str()));
         },
         "/scripts/get_id.sh", "is a symbolic link"},
        {"scripts/ missing in a sticky group-writable folder: others may create it",
         [](const std::string& f) { std::filesystem::remove_all(f + "/scripts"); }, "/scripts",
         "is missing, and a user other than root may create it"},
        {"script missing in a root-only folder",
         [](const std::string& f) {
             ASSERT_EQ(0, ::unlink((f + "/scripts/get_id.sh").c_str()));
             ASSERT_EQ(0, ::chmod(f.c_str(), 0755));
         },
         nullptr, ""},
        {"the folder above the working folder is another user's: it can be swapped whole",
         [](const std::string& f) {
             ASSERT_EQ(0, ::mkdir((f + "/inner").c_str(), 0755));
             ASSERT_EQ(0, ::chmod(f.c_str(), 0755));
             ASSERT_EQ(0, ::chown(f.c_str(), kOtherUser, 0));
         },
         "", owned, "/inner"},
    };
    for (const auto& row : table) {
        kv::testing::TestDir dir;
        ASSERT_TRUE(dir.ok());
        ASSERT_NO_FATAL_FAILURE(Build(dir.path()));
        ASSERT_NO_FATAL_FAILURE(row.change(dir.path())) << row.what;
        std::string fault = "stale";
        const std::string path = kv::crypto::FindReplaceableIdentityPath(dir.path() + row.start, fault);
        EXPECT_EQ(row.named == nullptr ? "" : dir.path() + row.named, path) << row.what;
        EXPECT_EQ(row.fault, fault) << row.what;
    }
}

TEST_F(IdentityPath, RelativeFolderKeepsItsRelativeNames) {
    kv::testing::TestDir dir;
    ASSERT_NO_FATAL_FAILURE(Build(dir.path()));
    ASSERT_EQ(0, ::chmod((dir.path() + "/scripts").c_str(), 0775));
    const std::string previous = std::filesystem::current_path().string();
    ASSERT_EQ(0, ::chdir(dir.path().c_str()));
    std::string fault;
    const std::string path = kv::crypto::FindReplaceableIdentityPath(fault);
    ASSERT_EQ(0, ::chdir(previous.c_str()));
    EXPECT_EQ("./scripts", path);
    EXPECT_EQ("is writable by group or others (mode 775)", fault);
}

}  // namespace
