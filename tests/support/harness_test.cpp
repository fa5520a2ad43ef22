// The harness's own behaviour that every process-driven test relies on: exit statuses as
// values, the stop with its grace period, where output and input go, scratch folders
// that leave nothing behind, and the simulators' ready line.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "testing/harness/files.h"
#include "testing/harness/process.h"
#include "testing/harness/simulators.h"

namespace {

using kv::harness::ExitStatus;
using kv::harness::Process;
using kv::harness::ProcessOptions;
using kv::harness::ScratchDir;
using std::chrono::milliseconds;
using std::chrono::seconds;

ProcessOptions Shell(const std::string& script, const std::string& output_path = "") {
    ProcessOptions options;
    options.argv = {"/bin/sh", "-c", script};
    options.output_path = output_path;
    return options;
}

TEST(HarnessProcess, ExitStatusIsAValue) {
    struct Case {
        const char* script;
        bool exited;
        int code;
        int signal;
    } cases[] = {{"exit 0", true, 0, 0}, {"exit 7", true, 7, 0}, {"kill -9 $$", false, -1, SIGKILL}};
    for (const Case& c : cases) {
        Process process;
        ASSERT_TRUE(process.Start(Shell(c.script)));
        const std::optional<ExitStatus> status = process.Wait(seconds(10));
        ASSERT_TRUE(status) << c.script;
        EXPECT_EQ(c.exited, status->exited()) << c.script;
        EXPECT_EQ(c.code, status->code()) << c.script;
        EXPECT_EQ(c.signal, status->signal()) << c.script;
        EXPECT_FALSE(process.running());
    }
}

TEST(HarnessProcess, StopKillsWhatIgnoresTheTermSignalAfterTheGrace) {
    Process polite, stubborn;
    ASSERT_TRUE(polite.Start(Shell("sleep 30 & wait")));
    ASSERT_TRUE(stubborn.Start(Shell("trap '' TERM; while :; do sleep 0.05; done")));
    std::this_thread::sleep_for(milliseconds(200));  // let the shell install its trap
    bool clean = false;
    EXPECT_EQ(SIGTERM, polite.Stop(seconds(10), &clean).signal());
    EXPECT_TRUE(clean);
    EXPECT_EQ(SIGKILL, stubborn.Stop(milliseconds(300), &clean).signal());
    EXPECT_FALSE(clean);
}

TEST(HarnessProcess, OutputInputEnvironmentAndFolderReachTheChild) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    ProcessOptions options = Shell("read line; echo \"$line $GREETING $(pwd)\"; echo oops >&2", dir.File("out"));
    options.environment = {"GREETING=hello"};
    options.working_directory = dir.path();
    Process process;
    ASSERT_TRUE(process.Start(options));
    ASSERT_TRUE(process.WriteLine("first"));
    ASSERT_TRUE(process.Wait(seconds(10)));
    EXPECT_EQ("first hello " + dir.path() + "\noops\n", process.Output());

    Process piped;
    ASSERT_TRUE(piped.Start(Shell("echo through the pipe")));
    std::string line;
    ASSERT_TRUE(kv::harness::ReadLine(piped.output_fd(), line, kv::harness::Clock::now() + seconds(10)));
    EXPECT_EQ("through the pipe", line);
}

TEST(HarnessProcess, AMissingProgramEndsWithItsOwnStatus) {
    Process process;
    ProcessOptions options;
    options.argv = {"/nonexistent/program"};
    ASSERT_TRUE(process.Start(options));
    const std::optional<ExitStatus> status = process.Wait(seconds(10));
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->clean());
    EXPECT_FALSE(Process().Start(ProcessOptions()));
}

TEST(HarnessScratchDir, RemovedWithEverythingInItUnlessKept) {
    std::string removed, kept;
    {
        ScratchDir dir;
        ASSERT_TRUE(dir.ok());
        ASSERT_EQ(0, ::mkdir(dir.File("sub").c_str(), 0700));
        ASSERT_TRUE(kv::harness::WriteFile(dir.File("sub/file"), "x", 0400));
        removed = dir.path();
        ScratchDir keep("wardex-kept", true);
        kept = keep.path();
    }
    struct stat info {};
    EXPECT_NE(0, ::stat(removed.c_str(), &info));
    EXPECT_EQ(0, ::stat(kept.c_str(), &info));
    ::rmdir(kept.c_str());
}

TEST(HarnessSimulators, ReadyLineOfEitherSimulator) {
    const auto receiver = kv::harness::ParseListening(
        R"({"event":"listening","address":"127.0.0.2","port":41234,"control_port":41235,"url":"http://x/"})");
    EXPECT_EQ("127.0.0.2", receiver.address);
    EXPECT_EQ(41234, receiver.port);
    EXPECT_EQ(41235, receiver.control_port);
    EXPECT_EQ("http://x/", receiver.url);
    const auto recorder =
        kv::harness::ParseListening(R"({"event":"listening","address":"127.0.0.1","port":22609,"control_port":5})");
    EXPECT_EQ(22609, recorder.port);
    EXPECT_EQ("", recorder.url);
    for (const char* other : {"listening http://127.0.0.1:1/", R"({"event":"connected","port":1})", ""}) {
        EXPECT_EQ(0, kv::harness::ParseListening(other).port) << other;
    }
    EXPECT_EQ(2u, kv::harness::CountOf("a-a-a", "a-"));
}

}  // namespace
