// kv::Diagnostic: one line a unit has to say, returned to its caller as a value. The
// units that decide stay free of the logger; the integration writes the lines, in order.
#ifndef WARDEX_SRC_SERVICE_DIAGNOSTIC_H_
#define WARDEX_SRC_SERVICE_DIAGNOSTIC_H_

#include <string>
#include <vector>

#include "common/logger.h"

namespace kv {

struct Diagnostic {
    LoggerLevel level;
    std::string text;
};

using Diagnostics = std::vector<Diagnostic>;

// Writes each line at its level.
void LogDiagnostics(const Diagnostics& lines);

}  // namespace kv

#endif  // WARDEX_SRC_SERVICE_DIAGNOSTIC_H_
