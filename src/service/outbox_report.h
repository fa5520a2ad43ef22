// `wardex --outbox [--list]`: what the outbox holds, read without changing it, so that an
// operator can look while the service runs.
#ifndef WARDEX_SRC_OUTBOX_REPORT_H_
#define WARDEX_SRC_OUTBOX_REPORT_H_

#include <ostream>
#include <string>

namespace kv {

// Writes the counts (waiting, refused by reason, damaged rows and files set aside) and,
// with `list`, one line per alarm, oldest first. Returns the process exit code: 0, or 1
// with a line on `out` when the file cannot be read.
int PrintOutboxReport(const std::string& path, bool list, std::ostream& out);

}  // namespace kv

#endif  // WARDEX_SRC_OUTBOX_REPORT_H_
