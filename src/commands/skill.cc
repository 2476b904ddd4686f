#include "src/commands/skill.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "src/base/posix.h"
#include "src/base/text.h"
#include "src/term/output.h"

namespace tessarin {

namespace assets {
extern const std::string_view skill_md;  // generated from assets/SKILL.md
}

namespace {

struct Environment {
    std::string_view name;
    std::string_view marker;      // directory under $HOME whose presence means "installed here"
    std::string_view skills_dir;  // directory under $HOME that receives the document
};

// Detected, listed and installed in this order.
constexpr Environment k_environments[] = {
    {"Claude Code", ".claude", ".claude/skills/tessarin"},
    {"OpenClaw", ".openclaw", ".openclaw/skills/tessarin"},
};
constexpr std::string_view k_file_name = "SKILL.md";

// A menu answer longer than this is not a choice; the rest of the line is still consumed.
constexpr size_t k_max_answer = 4096;

std::string join(std::string_view base, std::string_view name) {
    std::string out(base);
    if (!out.empty() && out.back() != '/')
        out.push_back('/');
    out += name;
    return out;
}

bool is_symlink(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Symbolic links followed: a marker directory reached through a link still counts.
bool is_directory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Writes the whole document to standard output. A closed pipe ends the process quietly
// (write_stdout's policy); any other failure is the command's error.
Result<void> print_document() {
    const int error = write_all(STDOUT_FILENO, assets::skill_md);
    if (error == EPIPE) {
        write_stdout(assets::skill_md);  // fails the same way and exits with status 0
        return {};
    }
    if (error)
        return CliError(TS_2100, "write to stdout: " + write_error_text(error));
    return {};
}

// The permission bits of the file that name already has in dir_fd, to be kept by the one that
// replaces it; none for a new file. A link there is refused.
Result<std::optional<mode_t>> kept_mode(int dir_fd, const std::string& name,
                                        const std::string& file) {
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::optional<mode_t>();
    if (S_ISLNK(st.st_mode))
        return CliError(TS_2100, "refusing to write through symlink " + file);
    if (!S_ISREG(st.st_mode))
        return std::optional<mode_t>();
    return std::optional<mode_t>(st.st_mode & 07777);
}

// Writes the document to a temporary file beside dir/SKILL.md and renames it over SKILL.md, so
// an earlier file stays whole until the new one is complete (a full disk leaves it as it was).
// Never through a symbolic link: the directory is opened without following a link, the file
// is checked once more right before, the temporary file is created new without following a
// link, and a rename replaces a name, it never writes through one. An existing file's
// permission bits are kept.
Result<void> write_skill_file(const std::string& dir, const std::string& file) {
    const UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir_fd.valid())
        return CliError(TS_2100, "writing " + file + ": " + error_text(errno));
    const std::string name(k_file_name);
    const std::optional<mode_t> mode = TRY(kept_mode(dir_fd.get(), name, file));
    // A name of this run's own: another install may be writing in the same directory.
    auto temp = create_temp_file(dir_fd.get(), "." + name + ".", 0666);
    if (temp.is_error())
        return CliError(TS_2100, "writing " + file + ": " + error_text(temp.error()));
    TempFile& out = temp.value();
    int error = mode && ::fchmod(out.fd.get(), *mode) != 0 ? errno : 0;
    if (!error)
        error = write_all(out.fd.get(), assets::skill_md);
    // A failed close can be the first report of a failed write (network file systems).
    const int close_error = out.fd.close();
    if (!error)
        error = close_error;
    if (!error && ::renameat(dir_fd.get(), out.name.c_str(), dir_fd.get(), name.c_str()) != 0)
        error = errno;
    if (error) {
        ::unlinkat(dir_fd.get(), out.name.c_str(), 0);  // nothing of a failed run stays behind
        return CliError(TS_2100, "writing " + file + ": " + write_error_text(error));
    }
    return {};
}

Result<void> install_into(const std::string& home, const Environment& environment) {
    std::string dir = join(home, environment.skills_dir);
    if (is_symlink(dir))
        return CliError(TS_2100, "refusing path that is a symlink: " + dir);
    if (int error = create_directories(dir))
        return CliError(TS_2100, "creating " + dir + ": " + error_text(error));
    std::string file = join(dir, k_file_name);
    if (is_symlink(file))
        return CliError(TS_2100, "refusing path that is a symlink: " + file);
    TRY(write_skill_file(dir, file));
    write_notice("  installed: " + file + "\n");
    return {};
}

// In order; the first failure ends the run and what was written stays written.
Result<void> install_all(const std::string& home, const std::vector<const Environment*>& targets) {
    for (const Environment* environment : targets) TRY(install_into(home, *environment));
    return {};
}

// One line from standard input, without its newline. Read a byte at a time so nothing
// after the line is consumed. End of input before a newline gives what was typed; a read
// failure gives no answer (which skips).
struct AnswerLine {
    std::string text;
    bool too_long = false;
};

AnswerLine read_answer_line() {
    AnswerLine line;
    for (;;) {
        char c;
        ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return {};
        }
        if (n == 0 || c == '\n')
            break;
        if (line.text.size() < k_max_answer)
            line.text.push_back(c);
        else
            line.too_long = true;
    }
    return line;
}

Result<void> run_install(bool yes) {
    const char* home_variable = std::getenv("HOME");
    if (!home_variable || !*home_variable)
        return CliError(TS_2100, "could not determine $HOME \u2014 set HOME or install manually");
    const std::string home = home_variable;

    std::vector<const Environment*> detected;
    for (const Environment& environment : k_environments) {
        if (is_directory(join(home, environment.marker)))
            detected.push_back(&environment);
    }
    if (detected.empty()) {
        write_stderr("No supported AI environments found under " + home +
                     ".\n"
                     "Install manually with:\n"
                     "  tessarin-cli skill print > <your-skills-dir>/tessarin.md\n");
        return {};
    }
    if (yes)
        return install_all(home, detected);

    if (::isatty(STDIN_FILENO) != 1)
        return CliError(TS_2000,
                        "skill install is interactive by default; pass --yes to install to all "
                        "detected environments non-interactively");
    std::string menu = "Detected AI environments:\n";
    for (size_t i = 0; i < detected.size(); ++i)
        menu += "  [" + std::to_string(i + 1) + "] " + std::string(detected[i]->name) + "\n";
    menu += "  [a] All\n  [s] Skip\nInstall skill to: ";
    write_stderr(menu);

    AnswerLine answer = read_answer_line();
    MenuChoice choice = answer.too_long ? MenuChoice{MenuChoice::Kind::Invalid}
                                        : parse_menu_answer(answer.text, detected.size());
    switch (choice.kind) {
        case MenuChoice::Kind::Skip:
            write_stderr("Skipped. Run 'tessarin-cli skill install' later.\n");
            return {};
        case MenuChoice::Kind::All:
            return install_all(home, detected);
        case MenuChoice::Kind::One:
            return install_into(home, *detected[choice.index]);
        case MenuChoice::Kind::Invalid:
            break;
    }
    write_stderr("Invalid selection.\n");
    return {};
}

}  // namespace

MenuChoice parse_menu_answer(std::string_view line, size_t detected) {
    std::string_view answer = trim_space(line);
    if (answer.empty() || answer == "s" || answer == "S")
        return {MenuChoice::Kind::Skip};
    if (answer == "a" || answer == "A")
        return {MenuChoice::Kind::All};
    // Digits only (after an optional "+"), and a number that fits.
    const std::optional<uint64_t> number = parse_unsigned_decimal(answer);
    if (!number || *number < 1 || *number > detected)
        return {MenuChoice::Kind::Invalid};
    return {MenuChoice::Kind::One, static_cast<size_t>(*number - 1)};
}

Result<void> run_skill_print(Invocation&) {
    return print_document();  // --yes means nothing here
}

Result<void> run_skill_install(Invocation& invocation) {
    return run_install(invocation.args().flag(k_skill_yes));
}

std::string unknown_skill_subcommand(std::string_view, std::string_view word) {
    return "unknown skill subcommand '" + std::string(word) + "' (use: print, install)";
}

}  // namespace tessarin
