#include "src/config/config.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "crypto/core/base64.h"
#include "crypto/core/container.h"
#include "crypto/core/token.h"
#include "tests/unit/scratch_dir.h"

using namespace tessarin;

namespace {

// Sets or unsets environment variables for one test and puts the old values back.
class EnvGuard {
  public:
    ~EnvGuard() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }
    void set(const std::string& name, const char* value) {
        const char* old = std::getenv(name.c_str());
        m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            ::setenv(name.c_str(), value, 1);
        else
            ::unsetenv(name.c_str());
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

std::string outcome(const Result<std::string>& r) {
    return r.is_error() ? r.error().display() : r.value();
}

template <typename T>
std::string error_of(const Result<T>& r) {
    return r.is_error() ? r.error().display() : std::string("ok");
}

// The fields of a record in writing order, to build variants of a valid record.
using Fields = std::vector<std::pair<std::string, std::string>>;

const Fields kValid = {
    {"vault_url", "\"https://vault.example/\""},
    {"vault_gate_pub", "\"" + std::string(64, 'a') + "\""},
    {"vault_id", "\"2a1b2c3d4e5f6071\""},
    {"agent_id", "\"00112233445566778899aabbccddeeff\""},
    {"l2", "\"0f0e0d0c0b0a09080706050403020100\""},
    {"device_id", "\"ffeeddccbbaa99887766554433221100\""},
};

std::string object_of(const Fields& fields) {
    std::string out = "{";
    for (const auto& [key, value] : fields) {
        if (out.size() > 1)
            out += ",";
        out += "\"" + key + "\":" + value;
    }
    return out + "}";
}

Fields with(Fields fields, const std::string& key, const std::string& value) {
    for (auto& f : fields)
        if (f.first == key) {
            f.second = value;
            return fields;
        }
    fields.emplace_back(key, value);
    return fields;
}

Fields without(Fields fields, const std::string& key) {
    std::erase_if(fields, [&](const auto& f) { return f.first == key; });
    return fields;
}

// The names in a directory, "." and ".." left out.
std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.insert(name);
        }
        ::closedir(d);
    }
    return names;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The record as save_config writes it.
std::string json_of(const Config& c) {
    auto json = config_to_json(c);
    return json.is_error() ? "error: " + json.error() : std::string(json.value().expose_text());
}

std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

// A temporary XDG_CONFIG_HOME for tests that read or write the configuration file.
class ConfigFile : public ::testing::Test {
  protected:
    void SetUp() override { env.set("XDG_CONFIG_HOME", xdg.c_str()); }

    void write_raw(const std::string& bytes, mode_t mode = 0600) {
        ::mkdir(xdg.c_str(), 0700);
        ::mkdir(dir.c_str(), 0700);
        ::unlink(path.c_str());
        std::ofstream(path, std::ios::binary) << bytes;
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    }
    void write_json(const std::string& json, mode_t mode = 0600) {
        auto sealed = seal_container(as_bytes(json));
        ASSERT_FALSE(sealed.is_error());
        write_raw(std::string(sealed.value().begin(), sealed.value().end()), mode);
    }
    std::string read_raw() const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    testing_support::ScratchDir scratch{"config"};
    EnvGuard env;
    const std::string root = scratch.path();
    const std::string xdg = root + "/xdg";
    const std::string dir = xdg + "/tessarin";
    const std::string path = dir + "/config";
};

}  // namespace

TEST(VaultId, EveryReason) {
    const struct {
        std::string_view text, reason;
    } cases[] = {
        {"", "wrong_length"},
        {"2a1b2c3d4e5f607", "wrong_length"},
        {"2a1b2c3d4e5f60711", "wrong_length"},
        {"0x1b2c3d4e5f6071", "hex_prefix"},
        {"0X1b2c3d4e5f6071", "hex_prefix"},
        {"2A1b2c3d4e5f6071", "uppercase"},
        {"2a1b2c3d4e5f607F", "uppercase"},
        {"2a1b2c3d 4e5f607", "whitespace"},
        {"2a1b2c3d4e5f607\t", "whitespace"},
        {"\n2a1b2c3d4e5f607", "whitespace"},
        {"2a1b2c3d4e5f607\r", "whitespace"},
        {"2a1b2c3d4e5f607\f", "whitespace"},
        {"+a1b2c3d4e5f6071", "sign"},
        {"2a1b2c3d4e5f607-", "sign"},
        {"2a1b2c3g4e5f6071", "invalid_char"},
        {"2a1b2c3d4e5f607\v", "invalid_char"},
        {"2a1b2c3d4e5f60\xC3\xA9", "invalid_char"},
        // The first offending byte decides.
        {"2a1bF c3d4e5f607", "uppercase"},
        {"2a1bG c3d4e5f607", "invalid_char"},
        {"2a1b g3d4e5f6071", "whitespace"},
        {"0000000000000000", "zero"},
        {"8000000000000001", "top_bit_set"},
        {"ffffffffffffffff", "top_bit_set"},
        {"00000000000000ff", "issuer_zero"},
        {"00ffffffffffffff", "issuer_zero"},
        {"7f00000000000000", "random_part_zero"},
        {"0100000000000000", "random_part_zero"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto r = parse_vault_id(c.text);
        ASSERT_TRUE(r.is_error());
        EXPECT_EQ(r.error(), c.reason);
    }
    const struct {
        std::string_view text;
        uint64_t value;
    } valid[] = {
        {"2a1b2c3d4e5f6071", 0x2a1b2c3d4e5f6071ull},
        {"0100000000000001", 0x0100000000000001ull},
        {"7fffffffffffffff", 0x7fffffffffffffffull},
    };
    for (const auto& v : valid) {
        auto r = parse_vault_id(v.text);
        ASSERT_FALSE(r.is_error()) << v.text;
        EXPECT_EQ(r.value(), v.value);
    }
}

TEST(GateUrl, Cases) {
    const struct {
        std::string_view input, expected;
    } cases[] = {
        {"https://vault.example", "https://vault.example/gate"},
        {"https://vault.example/", "https://vault.example/gate"},
        {"  https://vault.example//  ", "https://vault.example/gate"},
        {"\thttps://vault.example:8443\n", "https://vault.example:8443/gate"},
        {"HTTPS://Vault.Example/", "HTTPS://Vault.Example/gate"},
        {"https://vault.example/base/", "https://vault.example/base/gate"},
        {"http://vault.example", "TS-2000: vault_url must be https:// (got http://vault.example)"},
        {"Https://vault.example",
         "TS-2000: vault_url must be https:// (got Https://vault.example)"},
        {"vault.example", "TS-2000: vault_url must be https:// (got vault.example)"},
        {"", "TS-2000: vault_url must be https:// (got )"},
        {"https://", "TS-2000: vault_url is not a clean https origin (got https://)"},
        {" https:// ", "TS-2000: vault_url is not a clean https origin (got  https:// )"},
        // Slashes alone would leave "https:/gate".
        {"https:///", "TS-2000: vault_url is not a clean https origin (got https:///)"},
        {"https://user@vault.example",
         "TS-2000: vault_url is not a clean https origin (got https://user@vault.example)"},
        {"https://vault.example?x",
         "TS-2000: vault_url is not a clean https origin (got "
         "https://vault.example?x)"},
        {"https://vault.example#x",
         "TS-2000: vault_url is not a clean https origin (got "
         "https://vault.example#x)"},
        {"https://vault example",
         "TS-2000: vault_url is not a clean https origin (got "
         "https://vault example)"},
        {"https://vault.example\\x",
         "TS-2000: vault_url is not a clean https origin (got "
         "https://vault.example\\x)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(outcome(gate_url(c.input)), c.expected);
    }
}

TEST(ConfigPath, Resolution) {
    const struct {
        std::string_view name;
        const char *xdg, *home;
        std::string expected;
    } cases[] = {
        {"XDG wins", "/x/cfg", "/home/u", "/x/cfg/tessarin/config"},
        {"XDG with a trailing slash", "/x/cfg/", "/home/u", "/x/cfg/tessarin/config"},
        {"empty XDG falls back to HOME", "", "/home/u", "/home/u/.config/tessarin/config"},
        {"unset XDG", nullptr, "/home/u", "/home/u/.config/tessarin/config"},
        {"relative XDG", "cfg", "/home/u",
         "TS-2003: XDG_CONFIG_HOME and HOME must be absolute paths"},
        {"empty HOME", nullptr, "", "TS-2003: XDG_CONFIG_HOME and HOME must be absolute paths"},
        {"empty HOME, empty XDG", "", "",
         "TS-2003: XDG_CONFIG_HOME and HOME must be absolute paths"},
        {"relative HOME", nullptr, "home/u",
         "TS-2003: XDG_CONFIG_HOME and HOME must be absolute paths"},
        {"no HOME", nullptr, nullptr, "TS-2003: cannot locate config: set HOME or XDG_CONFIG_HOME"},
        {"no HOME but XDG", "/x", nullptr, "/x/tessarin/config"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EnvGuard env;
        env.set("XDG_CONFIG_HOME", c.xdg);
        env.set("HOME", c.home);
        EXPECT_EQ(outcome(config_path()), c.expected);
    }
}

TEST(ConfigRecord, WritesCompactlyInDeclaredOrder) {
    Config c;
    c.vault_url = "https://v";
    c.vault_gate_pub = "ab";
    c.vault_id = "2a1b2c3d4e5f6071";
    c.agent_id = "01";
    c.l2 = SecretBytes::from_text("02");
    c.device_id = "03";
    EXPECT_EQ(json_of(c),
              R"({"vault_url":"https://v","vault_gate_pub":"ab","vault_id":"2a1b2c3d4e5f6071",)"
              R"("agent_id":"01","l2":"02","device_id":"03"})");
    c.replica_url = "https://r";
    c.replica_gate_pub = "cd";
    EXPECT_EQ(json_of(c),
              R"({"vault_url":"https://v","vault_gate_pub":"ab","replica_url":"https://r",)"
              R"("replica_gate_pub":"cd","vault_id":"2a1b2c3d4e5f6071","agent_id":"01",)"
              R"("l2":"02","device_id":"03"})");
    auto back = config_from_json(json_of(c));
    ASSERT_FALSE(back.is_error()) << back.error();
    EXPECT_EQ(json_of(back.value()), json_of(c));
}

TEST(ConfigRecord, ParseForms) {
    const std::string valid = object_of(kValid);
    const struct {
        std::string_view name;
        std::string json;
        std::string expected;  // "ok" or the start of the parser's message
    } cases[] = {
        {"object", valid, "ok"},
        {"white space around", " \n" + valid + "\n\t ", "ok"},
        {"array of eight", R"(["https://v","","https://r","","2a1b2c3d4e5f6071","01","02","03"])",
         "ok"},
        {"array without the optional middle would misplace values",
         R"(["https://v","2a1b2c3d4e5f6071","01","02","03"])",
         "invalid length 5, expected a configuration record with 8 elements"},
        {"array of nine", R"(["a","","","","b","c","d","e","f"])",
         "invalid length: more than 8 elements"},
        {"unknown key", object_of(with(kValid, "extra", "\"x\"")), "unknown field `extra`"},
        {"duplicate key", valid.substr(0, valid.size() - 1) + ",\"vault_url\":\"https://w\"}",
         "duplicate field `vault_url`"},
        {"missing required key", object_of(without(kValid, "l2")), "missing field `l2`"},
        {"missing optional key", object_of(without(kValid, "vault_gate_pub")), "ok"},
        {"null value", object_of(with(kValid, "replica_url", "null")),
         "invalid type: null, expected a string for `replica_url`"},
        {"number value", object_of(with(kValid, "l2", "5")),
         "invalid type: integer, expected a string for `l2`"},
        {"object value", object_of(with(kValid, "vault_id", "{}")),
         "invalid type: object, expected a string for `vault_id`"},
        {"not an object", "\"text\"", "invalid type: string, expected a configuration record"},
        {"trailing characters", valid + " x", "trailing characters at line 1, column"},
        {"two documents", valid + valid, "trailing characters at line 1, column"},
        {"empty", "", "EOF while parsing a value"},
        {"cut short", valid.substr(0, 40), "EOF while parsing a value"},
        // The JSON lexer takes a NUL byte for the end of its input.
        {"NUL after the record", valid + std::string(1, '\0'),
         "trailing characters at line 1, column"},
        {"NUL and a second record", valid + std::string(1, '\0') + valid,
         "trailing characters at line 1, column"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = config_from_json(c.json);
        const std::string got = r.is_error() ? r.error() : std::string("ok");
        EXPECT_EQ(got.substr(0, c.expected.size()), c.expected) << got;
    }
}

TEST(ConfigRecord, ParseErrorsNeverQuoteValues) {
    // The L2 key's hex, broken in several ways: no message may carry any part of it.
    const std::string secret = "0f0e0d0c0b0a0908";
    for (const std::string& json :
         {R"({"l2":")" + secret + "\u0001\"}", R"({"l2":")" + secret + R"(" "x"})",
          R"({"l2":")" + secret, R"({"l2":")" + secret + "\xFF\"}", R"({"l2":")" + secret + "\"}x",
          R"({"l2":)" + secret + "}"}) {
        auto r = config_from_json(json);
        ASSERT_TRUE(r.is_error()) << json;
        EXPECT_EQ(r.error().find("0f0e"), std::string::npos) << r.error();
    }
}

TEST_F(ConfigFile, LoadsAValidFile) {
    write_json(object_of(with(with(kValid, "replica_url", "\" https://replica.example/ \""),
                              "replica_gate_pub", quoted(std::string(64, 'B')))));
    auto r = load_config();
    ASSERT_FALSE(r.is_error()) << r.error().display();
    const LoadedConfig& c = r.value();
    EXPECT_EQ(c.primary.url, "https://vault.example/gate");
    std::array<uint8_t, 32> all_aa;
    all_aa.fill(0xaa);
    EXPECT_EQ(c.primary.public_key, all_aa);
    ASSERT_TRUE(c.replica.has_value());
    EXPECT_EQ(c.replica->url, "https://replica.example/gate");
    EXPECT_EQ(c.replica->public_key[31], 0xbb);
    EXPECT_EQ(c.vault_id, 0x2a1b2c3d4e5f6071ull);
    EXPECT_EQ(hex_encode(c.agent_id), "00112233445566778899aabbccddeeff");
    EXPECT_EQ(hex_encode(c.l2_key.expose_secret()), "0f0e0d0c0b0a09080706050403020100");
    EXPECT_EQ(hex_encode(c.device_id), "ffeeddccbbaa99887766554433221100");

    // The token carries the vault id and opens to the L1 key and the agent id.
    ASSERT_EQ(c.expose_token().size(), 93u);
    auto body = base64url_decode(c.expose_token().substr(4, 82));
    ASSERT_TRUE(body);
    auto opened =
        aead_open(token_envelope_key(c.vault_id).expose_secret(), ByteView(*body).subspan(9));
    ASSERT_FALSE(opened.is_error());
    EXPECT_EQ(hex_encode(opened.value().expose_secret()),
              "0f0e0d0c0b0a090800112233445566778899aabbccddeeff");

    // A second load mints another token text with the same content.
    auto again = load_config();
    ASSERT_FALSE(again.is_error());
    EXPECT_NE(again.value().expose_token(), c.expose_token());
}

TEST_F(ConfigFile, ArrayFormLoads) {
    write_json(
        R"(["https://vault.example","cdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcd","","",)"
        R"("2a1b2c3d4e5f6071","00112233445566778899aabbccddeeff",)"
        R"("0f0e0d0c0b0a09080706050403020100","ffeeddccbbaa99887766554433221100"])");
    auto r = load_config();
    ASSERT_FALSE(r.is_error()) << r.error().display();
    EXPECT_FALSE(r.value().replica.has_value());
    EXPECT_EQ(r.value().primary.public_key[0], 0xcd);
}

TEST_F(ConfigFile, RecordChecksInOrder) {
    const std::string pub = std::string(64, 'a');
    const struct {
        std::string_view name;
        Fields fields;
        std::string expected;
    } cases[] = {
        {"unknown key", with(kValid, "extra", "\"\""),
         "TS-2004: config JSON parse: unknown field `extra`, expected one of `vault_url`, "
         "`vault_gate_pub`, `replica_url`, `replica_gate_pub`, `vault_id`, `agent_id`, `l2`, "
         "`device_id`"},
        {"missing key", without(kValid, "device_id"),
         "TS-2004: config JSON parse: missing field `device_id`"},
        {"vault id in upper case", with(kValid, "vault_id", "\"2A1B2C3D4E5F6071\""),
         "TS-2004: vault_id is not a 16-hex vault id (uppercase); a config from before the id "
         "change: enrol again"},
        {"vault id with issuer zero", with(kValid, "vault_id", "\"00000000000000ff\""),
         "TS-2004: vault_id is not a 16-hex vault id (issuer_zero); a config from before the id "
         "change: enrol again"},
        {"l2 not hex", with(kValid, "l2", "\"zz0e0d0c0b0a09080706050403020100\""),
         "TS-2004: l2 is not valid hex"},
        {"l2 odd length", with(kValid, "l2", "\"0f0e0d0c0b0a0908070605040302010\""),
         "TS-2004: l2 is not valid hex"},
        {"l2 short", with(kValid, "l2", "\"0f0e0d0c0b0a090807060504030201\""),
         "TS-2004: l2 expected 16 bytes, got 15"},
        {"l2 is checked before agent_id", with(with(kValid, "l2", "\"00\""), "agent_id", "\"zz\""),
         "TS-2004: l2 expected 16 bytes, got 1"},
        {"agent_id not hex", with(kValid, "agent_id", "\"x\""),
         "TS-2004: agent_id is not valid hex"},
        {"device_id long", with(kValid, "device_id", quoted(std::string(34, '1'))),
         "TS-2004: device_id expected 16 bytes, got 17"},
        {"blank gate key", with(kValid, "vault_gate_pub", "\"   \""),
         "TS-2004: this config was enrolled before the enrolment blob carried the POP key: make "
         "a new client blob in the vault and enrol again"},
        {"no gate key", without(kValid, "vault_gate_pub"),
         "TS-2004: this config was enrolled before the enrolment blob carried the POP key: make "
         "a new client blob in the vault and enrol again"},
        {"gate key not hex", with(kValid, "vault_gate_pub", quoted(std::string(64, 'g'))),
         "TS-2004: vault_gate_pub is not valid hex"},
        {"gate key short", with(kValid, "vault_gate_pub", quoted(std::string(62, 'a'))),
         "TS-2004: vault_gate_pub expected 32 bytes, got 31"},
        {"gate key checked before the URL",
         with(with(kValid, "vault_gate_pub", "\"\""), "vault_url", "\"http://x\""),
         "TS-2004: this config was enrolled before the enrolment blob carried the POP key: make "
         "a new client blob in the vault and enrol again"},
        {"vault_url not https", with(kValid, "vault_url", "\"http://vault.example\""),
         "TS-2000: vault_url must be https:// (got http://vault.example)"},
        {"replica URL with a blank key: no replica", with(kValid, "replica_url", "\"https://r\""),
         "ok"},
        {"replica key without URL: no replica", with(kValid, "replica_gate_pub", quoted(pub)),
         "ok"},
        {"replica key not hex",
         with(with(kValid, "replica_url", "\"https://r\""), "replica_gate_pub", "\"xyz\""),
         "TS-2047: replica_gate_pub is not valid hex"},
        {"replica key short",
         with(with(kValid, "replica_url", "\"https://r\""), "replica_gate_pub", "\"abcd\""),
         "TS-2047: replica_gate_pub must be 32 bytes (64 hex chars)"},
        {"replica URL refused with the vault_url wording",
         with(with(kValid, "replica_url", "\"ftp://r\""), "replica_gate_pub", quoted(pub)),
         "TS-2000: vault_url must be https:// (got ftp://r)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_json(object_of(c.fields));
        auto r = load_config();
        EXPECT_EQ(error_of(r), c.expected);
        if (c.expected == "ok") {
            EXPECT_FALSE(r.value().replica.has_value());
        }
    }
}

TEST_F(ConfigFile, DuplicateKeyRefused) {
    std::string json = object_of(kValid);
    json.insert(json.size() - 1, ",\"l2\":\"0f0e0d0c0b0a09080706050403020100\"");
    write_json(json);
    EXPECT_EQ(error_of(load_config()), "TS-2004: config JSON parse: duplicate field `l2`");
}

TEST_F(ConfigFile, Modes) {
    const struct {
        mode_t mode;
        bool accepted;
    } cases[] = {{0600, true},  {0400, true},  {0700, true},  {0640, false},
                 {0604, false}, {0610, false}, {0644, false}, {0601, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        write_json(object_of(kValid), c.mode);
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(c.mode));
        EXPECT_EQ(error_of(load_config()),
                  c.accepted ? std::string("ok")
                             : "TS-2003: config " + path + " has mode " + octal +
                                   " \u2014 must be 0600 (group/other access refused)");
    }
}

TEST_F(ConfigFile, DamagedContainers) {
    auto sealed = seal_container(as_bytes(object_of(kValid)));
    ASSERT_FALSE(sealed.is_error());
    const std::string good(sealed.value().begin(), sealed.value().end());
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x10;
    const struct {
        std::string_view name;
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"47 bytes", good.substr(0, 47),
         "TS-2004: config decrypt failed: TS-0008: Config file is corrupt or truncated."},
        {"wrong magic", "TSR2" + good.substr(4),
         "TS-2004: config decrypt failed: TS-0009: Config file is not in Tessarin format."},
        {"one flipped bit", flipped,
         "TS-2004: config decrypt failed: TS-0003: Could not decrypt. The data may be corrupt or "
         "the wrong key was used."},
        {"empty file", "",
         "TS-2004: config decrypt failed: TS-0008: Config file is corrupt or truncated."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_raw(c.bytes);
        EXPECT_EQ(error_of(load_config()), c.expected);
    }
}

TEST_F(ConfigFile, SizeLimit) {
    // The container adds 48 bytes to its JSON; white space after the record is allowed.
    const std::string record = object_of(kValid);
    write_json(record + std::string(65536 - 48 - record.size(), ' '));
    EXPECT_EQ(error_of(load_config()), "ok");
    write_json(record + std::string(65536 - 48 - record.size() + 1, ' '));
    EXPECT_EQ(error_of(load_config()),
              "TS-2003: config " + path + " exceeds 65536 bytes \u2014 not a configuration file");
}

TEST_F(ConfigFile, MissingFile) {
    EXPECT_EQ(error_of(load_config()),
              "TS-2003: Not initialized. Config file not found at " + path +
                  ".\n  This agent needs enrollment first. Ask the vault owner for\n  an "
                  "enrollment blob, then run: tessarin-cli init\n  (Do not attempt to fix this "
                  "yourself \u2014 a human must provide the blob and key.)");
    // Looking created nothing.
    struct stat st {};
    EXPECT_NE(::stat(xdg.c_str(), &st), 0);
}

TEST_F(ConfigFile, SymbolicLinks) {
    // The configuration directory reached through a link on an ancestor.
    const std::string real = root + "/real";
    ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(real.c_str(), (root + "/link").c_str()), 0);
    {
        EnvGuard through_link;
        through_link.set("XDG_CONFIG_HOME", (root + "/link/cfg").c_str());
        const std::string expected = "TS-2003: config path component " + root +
                                     "/link is a symlink \u2014 refuse to follow it";
        EXPECT_EQ(error_of(check_no_symlink_components(root + "/link/cfg/tessarin/config")),
                  expected);
        EXPECT_EQ(error_of(load_config()), expected);
        Config c;
        c.vault_url = "https://v";
        EXPECT_EQ(error_of(save_config(c)), expected);
        struct stat st {};
        EXPECT_NE(::stat((real + "/cfg").c_str(), &st), 0) << "nothing was created";
    }
    // The file itself a link to a good configuration.
    write_json(object_of(kValid));
    ASSERT_EQ(::rename(path.c_str(), (root + "/elsewhere").c_str()), 0);
    ASSERT_EQ(::symlink((root + "/elsewhere").c_str(), path.c_str()), 0);
    EXPECT_EQ(error_of(load_config()), "TS-2003: config path component " + path +
                                           " is a symlink \u2014 refuse to follow it");
    // A missing tail ends the walk; the root alone is fine.
    EXPECT_EQ(error_of(check_no_symlink_components(root + "/none/a/b")), "ok");
    EXPECT_EQ(error_of(check_no_symlink_components("/")), "ok");
    EXPECT_EQ(error_of(check_no_symlink_components(root + "//real/./")), "ok");
}

TEST_F(ConfigFile, SaveWritesALoadableFileOnce) {
    Config c;
    c.vault_url = "https://vault.example";
    c.vault_gate_pub = std::string(64, 'a');
    c.vault_id = "2a1b2c3d4e5f6071";
    c.agent_id = "00112233445566778899aabbccddeeff";
    c.l2 = SecretBytes::from_text("0f0e0d0c0b0a09080706050403020100");
    c.device_id = "ffeeddccbbaa99887766554433221100";
    // A file that looks like a temporary file may be another run's: it is left alone.
    ASSERT_EQ(::mkdir(xdg.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    std::ofstream(dir + "/.config.tmp") << "leftover";

    ASSERT_EQ(error_of(save_config(c)), "ok");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_nlink, 1u) << "the temporary name is gone";
    EXPECT_EQ(names_in(dir), (std::set<std::string>{".config.tmp", "config"}));
    EXPECT_EQ(read_file(dir + "/.config.tmp"), "leftover");
    auto opened = open_container(as_bytes(read_raw()));
    ASSERT_FALSE(opened.is_error());
    EXPECT_EQ(opened.value().expose_text(), json_of(c));
    EXPECT_EQ(error_of(load_config()), "ok");

    // A second save refuses and leaves the file as it was.
    const std::string before = read_raw();
    Config other;
    other.vault_url = "https://other.example";
    EXPECT_EQ(error_of(save_config(other)),
              "TS-2002: config already exists at " + path +
                  " \u2014 refuse to overwrite (delete it explicitly to re-enroll)");
    EXPECT_EQ(read_raw(), before);
}

TEST_F(ConfigFile, SaveCreatesMissingDirectories) {
    EnvGuard deeper;
    deeper.set("XDG_CONFIG_HOME", (root + "/a/b/c").c_str());
    Config c;
    c.vault_url = "https://v";
    ASSERT_EQ(error_of(save_config(c)), "ok");
    struct stat st {};
    EXPECT_EQ(::stat((root + "/a/b/c/tessarin/config").c_str(), &st), 0);
}

TEST_F(ConfigFile, SaveFailuresBeforeTheWriteMakeNothing) {
    // A value that cannot be written is found before any directory is made.
    Config bad;
    bad.vault_url = "https://v\xff";
    EXPECT_EQ(error_of(save_config(bad)),
              "TS-2002: encoding config JSON: invalid UTF-8 in the value of `vault_url`");
    struct stat st {};
    EXPECT_NE(::stat(xdg.c_str(), &st), 0) << "no directory made for a record never written";

    // A file where the configuration's directory belongs.
    ASSERT_EQ(::mkdir(xdg.c_str(), 0700), 0);
    std::ofstream(dir) << "not a directory";
    Config c;
    c.vault_url = "https://v";
    EXPECT_EQ(error_of(save_config(c)), "TS-2002: creating " + dir + " failed: File exists");
    EXPECT_EQ(read_file(dir), "not a directory");
}

TEST_F(ConfigFile, SaveRefusesALinkAtThePath) {
    ASSERT_EQ(::mkdir(xdg.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::string target = root + "/missing-target";
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    Config c;
    c.vault_url = "https://v";
    EXPECT_EQ(error_of(save_config(c)),
              "TS-2002: config already exists at " + path +
                  " \u2014 refuse to overwrite (delete it explicitly to re-enroll)");
    struct stat st {};
    EXPECT_NE(::stat(target.c_str(), &st), 0) << "nothing written through the link";
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(ConfigFile, SaveFailureLeavesNothing) {
    // A file size limit of 20 bytes makes the write of the container fail part way, in a
    // child process so that the limit stays there.
    Config c;
    c.vault_url = "https://v";
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {20, 20};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const std::string outcome = error_of(save_config(c));
        _exit(outcome == "TS-2002: writing temp config: File too large" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(names_in(dir), std::set<std::string>{}) << "no configuration, no temporary file";
}
