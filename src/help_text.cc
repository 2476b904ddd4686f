// The help text, exactly as printed, with its style markers: ⟦B⟧ bold, ⟦D⟧ dim, ⟦G⟧ green,
// ⟦Y⟧ grey, ⟦W⟧ white bold, ⟦R⟧ reset. Without colour every marker prints as nothing.
#include "src/help_text.h"

namespace tessarin {

namespace {

static constexpr std::string_view k_help_template = R"HELP(⟦B⟧TESSARIN⟦R⟧  ⟦W⟧v1.7.1⟦R⟧
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
  ⟦G⟧init⟦R⟧    ⟦D⟧[blob]⟦R⟧                 Enroll from a sealed enrollment blob.
                                 ⟦D⟧Reads stdin if no arg. Key prompted (never on argv).⟦R⟧
                                 ⟦D⟧Pipe: printf '%s\n%s\n' BLOB KEY | tessarin-cli init⟦R⟧
  ⟦G⟧get⟦R⟧     ⟦D⟧<query>⟦R⟧                Fetch any entry by exact title (case-insensitive).
                                 ⟦D⟧Works with all entry types in the vault.⟦R⟧
                                 ⟦D⟧Options: --field <label>, --json, --fuzzy, --type <t>⟦R⟧
  ⟦G⟧find⟦R⟧    ⟦D⟧<name>⟦R⟧                 List exact titles matching a name (≥4 chars).
                                 ⟦D⟧Titles and types only, never values. Options: --type <t>⟦R⟧
  ⟦G⟧delete⟦R⟧  ⟦D⟧<query>⟦R⟧                Delete an entry by exact title.
                                 ⟦D⟧Options: --fuzzy⟦R⟧
  ⟦G⟧totp⟦R⟧    ⟦D⟧<query>⟦R⟧                Print the current TOTP code.
                                 ⟦D⟧Options: --fuzzy⟦R⟧
  ⟦G⟧render⟦R⟧  ⟦D⟧<file>⟦R⟧                 Resolve tessarin:// references in a file.
                                 ⟦D⟧Use - for stdin.⟦R⟧
  ⟦G⟧audit⟦R⟧                          View the vault's audit trail.
                                 ⟦D⟧Options: --actor, --action, --entry, --since,⟦R⟧
                                 ⟦D⟧--until, --limit, --json⟦R⟧
  ⟦G⟧put⟦R⟧     ⟦D⟧<type> <title> [opts]⟦R⟧  Create a new entry. Same title as an existing row is a second entry, not an overwrite.
          ⟦D⟧Secret fields (tier≥2: password, cvv, …) use --<field>-file PATH⟦R⟧
          ⟦D⟧(PATH may be - for stdin) — never on argv. Non-secrets: --username.⟦R⟧
          ⟦D⟧Or: put --json  with a JSON object on stdin (bounded).⟦R⟧
          ⟦D⟧Other types (SSH keys, databases, etc.) are created in the⟦R⟧
          ⟦D⟧vault UI and accessible here via get, totp, and render.⟦R⟧
  ⟦G⟧note⟦R⟧    ⟦D⟧<sub> [opts]⟦R⟧            Rich text entries with L2-encrypted content.
  ⟦G⟧memory⟦R⟧  ⟦D⟧<sub> [opts]⟦R⟧            Agent-to-agent persistent context.
          ⟦D⟧Subcommands: create, get, update, delete, search⟦R⟧
          ⟦D⟧create: --summary-file, --content-file (or stdin); no secrets on argv⟦R⟧
          ⟦D⟧        --status draft|active|archived⟦R⟧
          ⟦D⟧        --embeddings-file PATH, --embedding-model <name>⟦R⟧
          ⟦D⟧        --json (read full JSON object from stdin)⟦R⟧
          ⟦D⟧update: <query> + any create flag to change [--fuzzy]⟦R⟧
          ⟦D⟧get: <query> [--full] [--json] [--fuzzy]⟦R⟧
          ⟦D⟧delete: <query> [--fuzzy]  |  search: --vector <base64> [--limit N]⟦R⟧
  ⟦G⟧skill⟦R⟧   ⟦D⟧print | install [--yes]⟦R⟧ LLM skill markdown.
  ⟦G⟧version⟦R⟧                        Print version and exit.
  ⟦G⟧help⟦R⟧                           This help.

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

    {"api_key": ⟦G⟧"tessarin://openrouter/key"⟦R⟧, "db": ⟦G⟧"tessarin://prod db/uri"⟦R⟧}

  ⟦D⟧$⟦R⟧ tessarin-cli render app.config.json | myapp --config -

  ⟦Y⟧L2 fields are decrypted locally — the vault never sees plaintext.
  L3 fields require a hardware key and cannot be accessed via the CLI.
  Every fetch is logged in the vault's audit trail.⟦R⟧

⟦D⟧https://tessarin.example⟦R⟧
)HELP";

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
    std::string out;
    out.reserve(k_help_template.size() + 512);
    std::string_view rest = k_help_template;
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

}  // namespace tessarin
