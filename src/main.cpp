// Process entry: "-v" prints the version; otherwise the integration runs in the
// foreground until SIGINT or SIGTERM.
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

#include "common/logger.h"
#include "src/wardex.h"

namespace {

bool g_console = false;

constexpr int kVersion[4] = {1, 0, 3, 0};
constexpr const char* kVersionText = "1.0.3.0";

void signal_handler(int) {}

void StartIntegration() {
    if (!g_console) return;
    logger& log = logger::get_logger();
    log.set_level(VERBOSE);
    logger::set_thread_name("main");
    log.log(INFO, std::string(50, '='));
    std::ostringstream banner;
    banner << "starting wardex " << kVersionText << ", pid=" << ::getpid();
    log.log(INFO, banner.str());

    // The stop signals are blocked before any thread exists, so every thread inherits
    // the block and each SIGINT or SIGTERM waits for sigwait below instead of being
    // taken by the empty handler on some other thread and lost. A second signal
    // during the stop stays pending and is dropped at exit.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGINT, signal_handler);
    std::signal(SIGTERM, signal_handler);

    kv::WardexIntegration integration;
    std::thread network(&kv::WardexIntegration::RunWebhookService, &integration);
    std::thread client_library(&kv::WardexIntegration::RunCallback, &integration);

    int received = 0;
    sigwait(&stop_signals, &received);

    log.log(INFO, "Stopping integration");
    integration.Stop();
    client_library.join();
    network.join();
    log.log(INFO, "Integration stopped");
    std::printf("Bye\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "-v") == 0) {
        std::printf("%d.%d.%d.%d\n", kVersion[0], kVersion[1], kVersion[2], kVersion[3]);
        return 0;
    }
    g_console = true;
    StartIntegration();
    return 0;
}
