#include "src/commands/generated_secret.h"

#include <algorithm>

namespace tessarin {

namespace {

const CharacterSet* find_set(std::string_view name) {
    for (const CharacterSet& set : k_character_sets)
        if (set.name == name)
            return &set;
    return nullptr;
}

std::string set_names() {
    std::string out;
    for (const CharacterSet& set : k_character_sets) {
        if (!out.empty())
            out += ", ";
        out += set.name;
    }
    return out;
}

// The named sets in the order of k_character_sets, each once.
Result<std::vector<const CharacterSet*>> parse_sets(std::string_view list) {
    std::vector<const CharacterSet*> sets;
    for (;;) {
        const size_t comma = list.find(',');
        const std::string_view name = list.substr(0, comma);
        const CharacterSet* set = find_set(name);
        if (!set)
            return CliError(TS_2000, "--charset: unknown set '" + std::string(name) +
                                         "' (use a comma-separated list of: " + set_names() + ")");
        if (std::find(sets.begin(), sets.end(), set) == sets.end())
            sets.push_back(set);
        if (comma == std::string_view::npos)
            break;
        list.remove_prefix(comma + 1);
    }
    std::sort(sets.begin(), sets.end());  // the table's order: they point into one array
    return sets;
}

// Random 32-bit numbers drawn a buffer at a time; the buffer wipes itself.
class RandomDraws {
  public:
    explicit RandomDraws(RandomFill fill) : m_fill(fill), m_buffer(256) {}

    // A number below n (1 to 2^32), uniformly: draws at or above the largest multiple of n
    // are thrown away, so no value is more likely than another.
    CoreResult<uint32_t> below(uint32_t n) {
        const uint64_t range = uint64_t{1} << 32;
        const uint64_t limit = range - range % n;
        for (;;) {
            uint32_t x = TRY(next());
            if (x < limit)
                return static_cast<uint32_t>(x % n);
        }
    }

  private:
    CoreResult<uint32_t> next() {
        if (m_used + 4 > m_buffer.size()) {
            TRY(m_fill(m_buffer.expose_secret_mut()));
            m_used = 0;
        }
        const auto bytes = m_buffer.expose_secret().subspan(m_used, 4);
        m_used += 4;
        return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
               uint32_t{bytes[3]} << 24;
    }

    RandomFill m_fill;
    SecretBytes m_buffer;
    size_t m_used = 256;
};

CoreResult<SecretBytes> draw(const GeneratorSettings& settings, RandomFill fill) {
    std::vector<const CharacterSet*> sets = settings.sets;
    if (sets.empty())
        for (const CharacterSet& set : k_character_sets) sets.push_back(&set);
    std::string all;
    for (const CharacterSet* set : sets) all += set->characters;

    RandomDraws random(fill);
    SecretBytes out(settings.length);
    std::span<uint8_t> value = out.expose_secret_mut();
    size_t i = 0;
    for (const CharacterSet* set : sets)
        value[i++] =
            set->characters[TRY(random.below(static_cast<uint32_t>(set->characters.size())))];
    for (; i < value.size(); ++i)
        value[i] = all[TRY(random.below(static_cast<uint32_t>(all.size())))];
    // Fisher-Yates, so the characters that stand for each set are anywhere in the value.
    for (size_t j = value.size() - 1; j > 0; --j)
        std::swap(value[j], value[TRY(random.below(static_cast<uint32_t>(j + 1)))]);
    return out;
}

}  // namespace

Result<void> check_generate_length(std::string_view text) {
    size_t n = 0;
    bool digits = !text.empty() && text.size() <= 4;
    for (char c : text) {
        digits = digits && c >= '0' && c <= '9';
        n = n * 10 + static_cast<size_t>(c - '0');
    }
    if (!digits || n < k_generate_min_length || n > k_generate_max_length)
        return CliError(TS_2000, "--length must be a number from " +
                                     std::to_string(k_generate_min_length) + " to " +
                                     std::to_string(k_generate_max_length));
    return {};
}

Result<void> check_charset(std::string_view text) {
    TRY(parse_sets(text));
    return {};
}

Result<GeneratorSettings> generator_settings(const std::optional<std::string>& length,
                                             const std::optional<std::string>& charset) {
    GeneratorSettings settings;
    if (length) {
        TRY(check_generate_length(*length));
        settings.length = std::stoul(*length);
    }
    if (charset)
        settings.sets = TRY(parse_sets(*charset));
    return settings;
}

Result<SecretBytes> generate_secret(const GeneratorSettings& settings, RandomFill fill) {
    const size_t sets = settings.sets.empty() ? std::size(k_character_sets) : settings.sets.size();
    if (settings.length < std::max(sets, k_generate_min_length) ||
        settings.length > k_generate_max_length)
        return CliError(TS_2000, "--length must be a number from " +
                                     std::to_string(k_generate_min_length) + " to " +
                                     std::to_string(k_generate_max_length));
    auto value = draw(settings, fill);
    if (value.is_error())
        return CliError(value.error().get(), "generating a value: the random source failed");
    return value.release_value();
}

Result<bool> read_generator_option(std::string_view name, ArgLexer& lexer,
                                   GenerateRequest& request) {
    if (name == k_print_generated_option.name) {
        request.print = true;
        return true;
    }
    if (name != k_generate_option.name && name != k_length_option.name &&
        name != k_charset_option.name)
        return false;
    std::string value = TRY(lexer.utf8_value());
    if (name == k_length_option.name) {
        TRY(check_generate_length(value));
        request.length = std::move(value);
    } else if (name == k_charset_option.name) {
        TRY(check_charset(value));
        request.charset = std::move(value);
    } else {
        // Options are spelt with hyphens, fields with underscores.
        std::replace(value.begin(), value.end(), '-', '_');
        if (std::find(request.fields.begin(), request.fields.end(), value) == request.fields.end())
            request.fields.push_back(std::move(value));
    }
    return true;
}

Result<std::vector<GeneratedValue>> generate_values(const GenerateRequest& request) {
    const GeneratorSettings settings = TRY(generator_settings(request.length, request.charset));
    std::vector<GeneratedValue> values;
    for (const std::string& field : request.fields)
        values.push_back(GeneratedValue{field, TRY(generate_secret(settings))});
    return values;
}

Result<void> check_generate_request(const GenerateRequest& request) {
    if (!request.fields.empty())
        return {};
    if (request.length)
        return CliError(TS_2000, "--length applies to generated values: add --generate FIELD");
    if (request.charset)
        return CliError(TS_2000, "--charset applies to generated values: add --generate FIELD");
    if (request.print)
        return CliError(TS_2000, "--print-generated prints generated values: add --generate FIELD");
    return {};
}

}  // namespace tessarin
