// SecretBytes, the wiping buffer, and the places that must leave no unwiped copy of key
// material behind in freed memory. This binary replaces the global operator delete so a test
// can look into every block as it is freed.
#include "crypto/core/secret.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "crypto/core/base64.h"
#include "crypto/core/container.h"
#include "crypto/core/primitives.h"
#include "src/commands/init.h"
#include "src/config/config.h"
#include "tests/unit/scratch_dir.h"

namespace {

// While a text is watched, every block freed through operator delete is searched for it.
std::atomic<bool> g_watching{false};
char g_marker[64];
size_t g_marker_size = 0;
std::atomic<int> g_freed_with_marker{0};

void inspect(void* p) {
    if (!p || !g_watching.load(std::memory_order_relaxed))
        return;
    const size_t size = malloc_usable_size(p);
    if (size >= g_marker_size && memmem(p, size, g_marker, g_marker_size))
        ++g_freed_with_marker;
}

void* allocate(std::size_t n) {
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}

// Counts the freed blocks that held text while body runs.
template <typename Body>
int freed_blocks_holding(std::string_view text, Body body) {
    std::memcpy(g_marker, text.data(), text.size());
    g_marker_size = text.size();
    g_freed_with_marker = 0;
    g_watching = true;
    body();
    g_watching = false;
    return g_freed_with_marker.load();
}

}  // namespace

void* operator new(std::size_t n) {
    return allocate(n);
}
void* operator new[](std::size_t n) {
    return allocate(n);
}
void operator delete(void* p) noexcept {
    inspect(p);
    std::free(p);
}
void operator delete[](void* p) noexcept {
    inspect(p);
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    inspect(p);
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    inspect(p);
    std::free(p);
}

namespace tessarin {
namespace {

TEST(SecretBytes, GrowsKeepingItsContents) {
    SecretBytes s;
    for (int i = 0; i < 1000; ++i) s.push_back(static_cast<uint8_t>('a' + i % 26));
    s.append_text("tail");
    ASSERT_EQ(s.size(), 1004u);
    EXPECT_EQ(s.expose_text().substr(0, 3), "abc");
    EXPECT_EQ(s.expose_text().substr(1000), "tail");
    s.truncate(2);
    EXPECT_EQ(s.expose_text(), "ab");
    SecretBytes moved = std::move(s);
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(moved.clone().expose_text(), "ab");
}

TEST(SecretBytes, NoFreedBlockKeepsWhatItHeld) {
    const std::string marker = "K3Y-MATERIAL-7f3a9c";
    EXPECT_EQ(freed_blocks_holding(marker,
                                   [&] {
                                       SecretBytes s;
                                       for (char c : marker) s.push_back(c);  // grows often
                                       s.append_text(marker);
                                       s.truncate(3);
                                   }),
              0);
    // The watch itself works: a plain string leaves its text behind.
    EXPECT_GT(freed_blocks_holding(marker, [&] { std::string plain(marker + marker); }), 0);
}

const char kL2Hex[] = "0f0e0d0c0b0a09080706050403020100";

// The configuration record, read and written, and a whole load: the L2 key's hex (its first
// 16 digits are enough to be a leak) is never left in freed memory.
TEST(SecretBytes, ConfigurationLeavesNoCopyOfTheL2Key) {
    const std::string record = std::string(R"({"vault_url":"https://vault.example/",)") +
                               R"("vault_gate_pub":")" + std::string(64, 'a') +
                               R"(","vault_id":"2a1b2c3d4e5f6071",)" +
                               R"("agent_id":"00112233445566778899aabbccddeeff","l2":")" + kL2Hex +
                               R"(","device_id":"ffeeddccbbaa99887766554433221100"})";
    const testing_support::ScratchDir scratch("secret");
    const std::string& xdg = scratch.path();
    ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    const std::string marker = std::string(kL2Hex).substr(0, 16);
    int hits = freed_blocks_holding(marker, [&] {
        auto parsed = config_from_json(record);
        ASSERT_FALSE(parsed.is_error()) << parsed.error();
        ASSERT_FALSE(save_config(parsed.value()).is_error());
        auto loaded = load_config();
        ASSERT_FALSE(loaded.is_error()) << loaded.error().display();
    });
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(hits, 0);
}

TEST(SecretBytes, EnrolmentBlobLeavesNoCopyOfTheL2Key) {
    const std::string json = std::string(R"({"agent_id":"00112233445566778899AABBCCDDEEFF",)") +
                             R"("l2":")" + kL2Hex + R"(","vault_id":"2a1b2c3d4e5f6071",)" +
                             R"("pop":"vault.example","pop_pub":")" + std::string(64, 'a') +
                             R"(","replica_host":"","extra":{"nested":[1,2,{"x":"y"}]}})";
    Bytes key(32, 7);
    auto sealed = aead_seal(key, as_bytes(json));
    ASSERT_FALSE(sealed.is_error());
    const std::string blob = base64url_encode(sealed.value());
    const std::string key_text = base64url_encode(key);
    const std::string marker = std::string(kL2Hex).substr(0, 16);
    int hits = freed_blocks_holding(marker, [&] {
        auto config = config_from_enrolment(blob, key_text);
        ASSERT_FALSE(config.is_error()) << config.error().display();
        EXPECT_EQ(config.value().l2.expose_text(), kL2Hex);
    });
    EXPECT_EQ(hits, 0);
}

}  // namespace
}  // namespace tessarin
