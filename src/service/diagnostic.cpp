#include "src/service/diagnostic.h"

namespace kv {

void LogDiagnostics(const Diagnostics& lines) {
    for (const Diagnostic& line : lines) logger::get_logger().log(line.level, line.text);
}

}  // namespace kv
