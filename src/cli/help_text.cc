// The help text, with its style markers: ⟦B⟧ bold, ⟦D⟧ dim, ⟦G⟧ green, ⟦Y⟧ grey, ⟦W⟧ white
// bold, ⟦R⟧ reset. Without colour every marker prints as nothing. The command list is made from
// the command table, so it names what the program takes.
#include "src/cli/help_text.h"

#include <algorithm>

#include "src/base/text.h"
#include "src/cli/command_table.h"
#include "src/term/output.h"
#include "src/term/style.h"

namespace tessarin {

namespace {

// The text around the command list, which is made from the command table. @VERSION@ is the
// program's version.
constexpr std::string_view k_help_head = R"HELP(⟦B⟧TESSARIN⟦R⟧  ⟦W⟧v@VERSION@⟦R⟧
Credential and secret management for agents and humans.

Talks to a Tessarin vault over HTTPS. Decrypts fields locally — the
vault never sees plaintext. Works with all vault entry types:
credentials, TOTP, cards, identities, notes, SSH keys, databases,
software licenses, servers, Wi-Fi, crypto wallets, and custom fields.

Stores agent state at ~/.config/tessarin/config, shared by every agent
on the host (~/.config/tessarin/config, or $XDG_CONFIG_HOME/tessarin/config).
All access is scoped, IP-whitelisted, rate-limited, and audit-logged by
the vault. None of these controls can be changed by the agent.

⟦B⟧Usage⟦R⟧
  tessarin-cli ⟦D⟧<command> [options]⟦R⟧

⟦B⟧Commands⟦R⟧
)HELP";

constexpr std::string_view k_help_foot = R"HELP(
  ⟦Y⟧note/memory are separate from put because they have richer
  lifecycle (create/update/delete), L2-encrypted content, and
  optional embeddings for vector search.⟦R⟧

⟦B⟧How it works⟦R⟧
  ⟦Y⟧Entries are fetched by exact title (case-insensitive). The query must
  match exactly one entry. Don't know the title? find <name> lists the
  matching titles (a few at most; many matches give only a count).⟦R⟧

  ⟦Y⟧The --field flag outputs a single raw decrypted value, designed for
  subprocess capture. Do not store the result in environment variables —
  env is visible to child processes and /proc. Fetch on demand instead:⟦R⟧

  ⟦B⟧Python⟦R⟧
  ⟦D⟧$⟦R⟧ key = subprocess.check_output(
        [⟦G⟧"tessarin-cli"⟦R⟧, ⟦G⟧"get"⟦R⟧, ⟦G⟧"openrouter"⟦R⟧, ⟦G⟧"--field"⟦R⟧, ⟦G⟧"key"⟦R⟧]
    ).decode().strip()

  ⟦B⟧Go⟦R⟧
  ⟦D⟧$⟦R⟧ key, _ := exec.Command(⟦G⟧"tessarin-cli"⟦R⟧, ⟦G⟧"get"⟦R⟧, ⟦G⟧"stripe"⟦R⟧, ⟦G⟧"--field"⟦R⟧, ⟦G⟧"key"⟦R⟧).Output()

  ⟦B⟧Shell⟦R⟧
  ⟦D⟧$⟦R⟧ tessarin-cli get ⟦G⟧"github"⟦R⟧ --field password | docker login -u bot --password-stdin

  ⟦Y⟧For config files that need multiple secrets, use tessarin:// references
  and the render command. Given a template like:⟦R⟧

    {"api_key": ⟦G⟧"tessarin://openrouter/key"⟦R⟧, "db": ⟦G⟧"tessarin://prod-db/uri"⟦R⟧}

  ⟦D⟧$⟦R⟧ tessarin-cli render app.config.json | myapp --config -

  ⟦Y⟧L2 fields are decrypted locally — the vault never sees plaintext.
  L3 fields require a hardware key and cannot be accessed via the CLI.
  Every fetch is logged in the vault's audit trail.⟦R⟧

⟦D⟧https://tessarin.example⟦R⟧
)HELP";

// Columns of the command list: the arguments start at the first, the summary (and the notes
// under it) at the second.
constexpr size_t k_args_column = 10;
constexpr size_t k_summary_column = 33;
constexpr std::string_view k_version_mark = "@VERSION@";

void pad_to(std::string& line, size_t width, size_t column) {
    line.append(column > width ? column - width : 1, ' ');
}

// One command's lines, with markers.
void append_entry(std::string& out, const CommandDef& command) {
    const HelpEntry& help = command.help;
    std::string line = "  ⟦G⟧" + std::string(command.name) + "⟦R⟧";
    size_t width = 2 + char_count(command.name);
    if (!help.args.empty()) {
        pad_to(line, width, k_args_column);
        width = std::max(width + 1, k_args_column);
        line += "⟦D⟧" + std::string(help.args) + "⟦R⟧";
        width += char_count(help.args);
    }
    pad_to(line, width, k_summary_column);
    line += help.summary;
    out += line + "\n";
    const std::string indent(help.notes_at_margin ? k_args_column : k_summary_column, ' ');
    for (std::string_view notes = help.notes; !notes.empty();) {
        const size_t end = std::min(notes.find('\n'), notes.size());
        out += indent + "⟦D⟧" + std::string(notes.substr(0, end)) + "⟦R⟧\n";
        notes.remove_prefix(std::min(end + 1, notes.size()));
    }
}

// The whole help text with its markers.
std::string help_template() {
    std::string out(k_help_head);
    out.replace(out.find(k_version_mark), k_version_mark.size(), k_version);
    for (const CommandDef& command : command_list()) append_entry(out, command);
    out += k_help_foot;
    return out;
}

constexpr std::string_view k_marker_open = "\u27e6";   // ⟦
constexpr std::string_view k_marker_close = "\u27e7";  // ⟧

std::string_view style_for(char marker) {
    switch (marker) {
        case 'B':
            return style::bold;
        case 'D':
            return style::dim;
        case 'G':
            return style::green;
        case 'Y':
            return style::grey;
        case 'W':
            return style::white_bold;
        case 'R':
            return style::reset;
    }
    return {};
}

}  // namespace

std::string help_text(bool color) {
    const std::string marked = help_template();
    std::string out;
    out.reserve(marked.size() + 512);
    std::string_view rest = marked;
    // Markers are "⟦" + one letter + "⟧"; everything else is copied as it stands.
    const size_t marker_length = k_marker_open.size() + 1 + k_marker_close.size();
    for (size_t at; (at = rest.find(k_marker_open)) != std::string_view::npos;) {
        out.append(rest.substr(0, at));
        if (color)
            out.append(style_for(rest[at + k_marker_open.size()]));
        rest.remove_prefix(at + marker_length);
    }
    out.append(rest);
    return out;
}

void print_help() {
    write_stdout(help_text(color_enabled()));
}

void print_usage_error(std::string_view text) {
    print_error(text);
    write_stderr("\n");
    print_help();
}

}  // namespace tessarin
