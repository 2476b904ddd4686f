#include "src/commands/status.h"

#include <nlohmann/json.hpp>

#include "src/commands/init.h"
#include "src/config/config.h"
#include "src/term/output.h"

namespace tessarin {

Result<void> run_status(Invocation& invocation) {
    // Read and checked as every command that talks to the vault reads it; nothing is sent.
    const ConfigRecord config = TRY(load_config_record());
    const Config& record = config.record;
    // The replica the next request would fail over to: the loader keeps one only when both of
    // its values are present.
    const bool with_replica = config.loaded.replica.has_value();
    if (!invocation.args().flag(k_status_json)) {
        print_enrolment(record, with_replica, config.path);
        return {};
    }
    using nlohmann::json;
    const json out = {
        {"agent", shorten_agent_id(record.agent_id)},
        {"config", config.path},
        {"replica", with_replica ? json(record.replica_url) : json(nullptr)},
        {"vault", record.vault_url},
        {"vault_id", record.vault_id},
    };
    write_stdout(out.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
    return {};
}

}  // namespace tessarin
