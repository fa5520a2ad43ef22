#include "common/crypto.h"

namespace kv {
namespace crypto {

namespace {

MachineSpecificConverter MakeConverter(bool machine) {
    std::shared_ptr<Options> options = Options::Create();
    if (machine) options->Add("machine", "true");
    return MachineSpecificConverter(std::string(), options);
}

}  // namespace

std::string Encrypt(const std::string& text, bool machine) {
    if (text.empty()) return text;
    return MakeConverter(machine).Encrypt(text);
}

std::string Decrypt(const std::string& data, bool machine) {
    if (data.empty()) return data;
    return MakeConverter(machine).Decrypt(data);
}

}  // namespace crypto
}  // namespace kv
