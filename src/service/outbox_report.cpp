#include "src/service/outbox_report.h"

#include <ctime>
#include <vector>

#include "common/string_util.h"
#include "src/outbox/outbox.h"

namespace kv {

namespace {

std::string UtcText(int64_t seconds) {
    const time_t value = static_cast<time_t>(seconds);
    struct tm parts {};
    char text[32] = "";
    if (::gmtime_r(&value, &parts) != nullptr) ::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

}  // namespace

int PrintOutboxReport(const std::string& path, bool list, std::ostream& out) {
    Outbox::Summary summary;
    std::vector<Outbox::Item> items;
    const Status status = Outbox::Inspect(path, summary, list ? &items : nullptr);
    // Whoever runs this (root, say) sees names and texts a less trusted user may have
    // chosen: the file's own name, those set aside beside it, SQLite's messages. None
    // of their control bytes reaches the terminal.
    if (!status.ok()) {
        out << "Outbox " << escape_log_text(path) << " cannot be read: " << escape_log_text(status.message()) << "\n";
        return 1;
    }
    out << "Outbox " << escape_log_text(path) << "\n";
    out << "  waiting: " << summary.waiting << "\n";
    out << "  refused: " << summary.refused << "\n";
    for (const auto& reason : summary.refused_by_reason) {
        out << "    " << reason.second << " " << (reason.first.empty() ? "(no reason)" : escape_log_text(reason.first)) << "\n";
    }
    out << "  damaged rows set aside: " << summary.damaged << "\n";
    out << "  damaged files set aside: " << summary.set_aside_files.size() << "\n";
    for (const std::string& file : summary.set_aside_files) out << "    " << escape_log_text(file) << "\n";
    for (const Outbox::Item& item : items) {
        // Stored texts came from the recorder: no control byte of theirs reaches the terminal.
        out << item.id << " " << escape_log_text(item.method);
        if (item.first_refused != 0) {
            out << " refused " << item.refusals << "x since " << UtcText(item.first_refused) << " ("
                << escape_log_text(item.reason) << ")";
        } else {
            out << " waiting";
        }
        out << " " << escape_log_text(item.payload) << "\n";
    }
    return 0;
}

}  // namespace kv
