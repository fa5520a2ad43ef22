// Process entry: "-v" prints the version; otherwise the integration runs in the
// foreground until SIGINT or SIGTERM.
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <sstream>
#include <thread>

#include "common/logger.h"
#include "common/secrets.h"
#include "src/outbox/outbox.h"
#include "src/service/outbox_report.h"
#include "src/service/version.h"
#include "src/service/service_notify.h"
#include "src/wardex.h"

namespace {

bool g_console = false;

void signal_handler(int) {}

// --- systemd notification -------------------------------------------------------------

// The status line systemd shows for the service.
std::string StatusLine(const kv::WardexIntegration& integration) {
    const kv::soap::SequencerStats delivery = integration.DeliveryStats();
    std::ostringstream text;
    text << "recorder " << (integration.RecorderOnline() ? "on-line" : "off-line");
    if (delivery.backup_configured) {
        text << ", primary receiver " << (delivery.receiver_reachable ? "reachable" : "unreachable")
             << ", backup receiver " << (delivery.backup_reachable ? "reachable" : "unreachable");
    } else {
        text << ", receiver " << (delivery.receiver_reachable ? "reachable" : "unreachable");
    }
    text << ", " << delivery.delivered << " alarms delivered, " << delivery.waiting << " waiting";
    // Shown only once they happened, so the usual line stays as it was.
    if (delivery.refused > 0) text << ", " << delivery.refused << " refused";
    const uint64_t lost = integration.RecorderEventsLost();
    if (lost > 0) text << ", " << lost << " recorder events lost";
    return text.str();
}

// What systemd must see at once when it changes.
kv::ServiceState CurrentState(const kv::WardexIntegration& integration) {
    kv::ServiceState state;
    state.recorder_online = integration.RecorderOnline();
    const kv::soap::SequencerStats delivery = integration.DeliveryStats();
    state.receiver_reachable = delivery.receiver_reachable;
    state.backup_reachable = delivery.backup_reachable;
    return state;
}

kv::ServiceStatus CurrentStatus(const kv::WardexIntegration& integration) {
    return kv::ServiceStatus{StatusLine(integration), CurrentState(integration)};
}

// Waits for a stop signal like sigwait, telling systemd in between how the service is.
// The state is looked at every tenth of a second, so that a change of it reaches
// systemd at once (the notifier sends it without waiting for its interval).
void WaitForStopNotifying(const sigset_t& stop_signals, const kv::WardexIntegration& integration,
                          kv::ServiceNotifier& notifier) {
    notifier.Ready(CurrentStatus(integration));
    const timespec tick{0, 100 * 1000 * 1000};
    while (sigtimedwait(&stop_signals, nullptr, &tick) < 0) notifier.Tick(CurrentStatus(integration));
}

// Logs once when a user other than root could replace what "sudo -n ./scripts/get_id.sh"
// runs as root; the service goes on as before, so existing installations keep working.
void WarnIfIdentityScriptReplaceable() {
    std::string fault;
    const std::string path = kv::crypto::FindReplaceableIdentityPath(fault);
    if (path.empty()) return;
    logger::get_logger().log(WARNING, "Identity script not safe: \"" + path + "\" " + fault +
                                          "; a user other than root could replace what sudo runs as root");
}

// ---------------------------------------------------------------------------------------

void StartIntegration() {
    if (!g_console) return;
    logger& log = logger::get_logger();
    log.set_level(VERBOSE);
    logger::set_thread_name("main");
    log.log(INFO, std::string(50, '='));
    std::ostringstream banner;
    banner << "starting wardex " << kv::kVersionText << ", pid=" << ::getpid();
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

    WarnIfIdentityScriptReplaceable();
    kv::WardexIntegration integration;
    std::thread network(&kv::WardexIntegration::RunWebhookService, &integration);
    std::thread client_library(&kv::WardexIntegration::RunCallback, &integration);

    kv::ServiceNotifier notifier({&integration.NetworkProgress(), &integration.ClientLibraryProgress()});
    if (notifier.enabled()) {
        WaitForStopNotifying(stop_signals, integration, notifier);
    } else {
        int received = 0;
        sigwait(&stop_signals, &received);
    }

    notifier.Stopping();
    log.log(INFO, "Stopping integration");
    integration.Stop();
    client_library.join();
    network.join();
    integration.FinishDelivery();
    log.log(INFO, "Integration stopped");
    log.print_console(INFO, "Bye");
}

}  // namespace

int main(int argc, char** argv) {
    // The process holds the recorder's password in plain text: no core dump may carry it
    // off, and no process of the same user may read its memory (ptrace, /proc/<pid>/mem).
    // First thing, before any secret exists.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    if (argc >= 2 && std::strcmp(argv[1], "-v") == 0) {
        std::printf("%s\n", kv::kVersionText);
        return 0;
    }
    // Reads the outbox beside the configuration, changing nothing: safe while the service runs.
    if (argc >= 2 && std::strcmp(argv[1], "--outbox") == 0) {
        const bool list = argc >= 3 && std::strcmp(argv[2], "--list") == 0;
        return kv::PrintOutboxReport(kv::kOutboxPath, list, std::cout);
    }
    g_console = true;
    StartIntegration();
    return 0;
}
