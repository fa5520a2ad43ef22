// The configuration file is edited by hand on site. Any content must leave the file
// object either loaded or in its error state, and every getter must cope with whatever
// member types the document holds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/common_json.h"
#include "fuzz/fuzz_support.h"

namespace {

const kv::fuzz::ScratchFile* scratch = nullptr;

const char* const kKeys[] = {"server_address", "server_port", "server_user", "server_password", "report_motion",
                             "ignore_ntp", "site_number", "service_endpoint", "log_level"};

void ReadEveryWay(const kv::json::JsonConfigFile& config, const char* name) {
    std::string text = "unchanged";
    config.GetValue(name, text);
    short port = 1;
    config.GetValue(name, port);
    bool flag = true;
    config.GetValue(name, flag);
    int number = 1;
    config.GetValue(name, number);
    long wide = 1;
    config.GetValue(name, wide);
    double real = 1.0;
    config.GetValue(name, real);
    std::vector<std::string> values;
    config.GetValues(name, values);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kv::fuzz::QuietLogger();
    static const kv::fuzz::ScratchFile file;
    scratch = &file;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    scratch->Write(data, size);
    kv::json::JsonConfigFile config(scratch->path().c_str());
    if (config.Error()) {
        WARDEX_FUZZ_CHECK(config.object() == nullptr, "the error state exposes no document");
        std::string text = "unchanged";
        config.GetValue("server_address", text);
        WARDEX_FUZZ_CHECK(text == "unchanged", "getters in the error state leave outputs alone");
        return 0;
    }
    const kv::json::Value* object = config.object();
    WARDEX_FUZZ_CHECK(object != nullptr && object->is_object(), "a loaded file has a top-level object");

    for (const char* key : kKeys) ReadEveryWay(config, key);
    for (const auto& member : object->items()) ReadEveryWay(config, member.key().c_str());

    std::string compact;
    kv::json::JsonToString(*object, compact);
    return 0;
}
