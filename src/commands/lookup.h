// The everyday commands: get, find, totp and delete, and resolve_one, which turns a query
// into exactly one vault entry.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "src/base/errors.h"
#include "src/gate/vault.h"
#include "src/invocation/command.h"

namespace tessarin {

// The entry_id of the one entry the search finds; TS-2046 for none, TS-2045 for several
// (with the candidates, or "narrow your query"), with the quota warning appended on failure.
// follow_up, when given, is opened while the search is answered.
Result<std::string> resolve_one(const Vault& vault, std::string_view query, bool exact,
                                const std::optional<std::string>& type,
                                EarlyConnection* follow_up = nullptr);

// An entry identifier given with --id: non-empty and at most k_max_entry_id bytes (TS-2000).
inline constexpr size_t k_max_entry_id = 128;
Result<void> check_entry_id(std::string_view id);

// --exact (the default) and --fuzzy set one flag: the last one on the line wins.
inline constexpr OptionDef k_exact{.name = "exact",
                                   .kind = OptionKind::Flag,
                                   .key = "exact",
                                   .flag_value = true,
                                   .about = "Exact title match, ignoring case (the default)"};
inline constexpr OptionDef k_fuzzy{.name = "fuzzy",
                                   .kind = OptionKind::Flag,
                                   .key = "exact",
                                   .flag_value = false,
                                   .about = "Substring title match"};

// --id ID: names the entry by its identifier, in place of the query.
inline constexpr OptionDef k_id_option{.name = "id",
                                       .kind = OptionKind::Text,
                                       .check = check_entry_id,
                                       .about = "The entry's identifier, in place of the query",
                                       .value_name = "id",
                                       .instead_of_positional = true};

// The identifier of the entry the arguments name: --id as given, or else the query resolved
// with resolve_one (the "exact" flag, the type filter). Every caller sends a request about the
// entry found: follow_up (the caller's, from vault.early_connection()) is opened for it while
// the search is answered, and the caller sends that request over it.
Result<std::string> named_entry_id(const Vault& vault, const Arguments& args,
                                   const std::optional<std::string>& type,
                                   EarlyConnection& follow_up);

// get, find, totp and delete, with their arguments read (a query or name, options).
Result<void> run_get(Invocation& invocation);
Result<void> run_find(Invocation& invocation);
Result<void> run_totp(Invocation& invocation);
Result<void> run_delete(Invocation& invocation);

}  // namespace tessarin
