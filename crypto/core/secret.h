// SecretBytes: a move-only byte buffer for keys, DH outputs, chaining keys and decrypted
// values. It wipes itself (OPENSSL_cleanse, which the compiler may not elide) when dropped,
// so no path has to remember to wipe by hand.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

namespace tessarin {

class SecretBytes {
  public:
    SecretBytes() = default;
    explicit SecretBytes(size_t size)
        : m_data(size ? new uint8_t[size]() : nullptr), m_size(size) {}
    SecretBytes(const uint8_t* data, size_t size) : SecretBytes(size) {
        if (size)
            std::memcpy(m_data.get(), data, size);
    }
    explicit SecretBytes(std::span<const uint8_t> bytes)
        : SecretBytes(bytes.data(), bytes.size()) {}
    static SecretBytes from_text(std::string_view text) {
        return SecretBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }

    SecretBytes(SecretBytes&& other) noexcept
        : m_data(std::move(other.m_data)), m_size(other.m_size) {
        other.m_size = 0;
    }
    SecretBytes& operator=(SecretBytes&& other) noexcept {
        if (this != &other) {
            wipe();
            m_data = std::move(other.m_data);
            m_size = other.m_size;
            other.m_size = 0;
        }
        return *this;
    }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes() { wipe(); }

    // Explicit access: every read of a secret names itself.
    uint8_t* data() { return m_data.get(); }
    const uint8_t* data() const { return m_data.get(); }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    std::span<const uint8_t> span() const { return {m_data.get(), m_size}; }
    std::span<uint8_t> mutable_span() { return {m_data.get(), m_size}; }
    std::string_view as_text() const {
        return {reinterpret_cast<const char*>(m_data.get()), m_size};
    }
    SecretBytes clone() const { return SecretBytes(m_data.get(), m_size); }

    // Shortens the visible length (the bytes past it are still wiped on drop).
    void truncate(size_t size) {
        if (size < m_size) {
            OPENSSL_cleanse(m_data.get() + size, m_size - size);
            m_size = size;
        }
    }

  private:
    void wipe() {
        if (m_data && m_size)
            OPENSSL_cleanse(m_data.get(), m_size);
    }
    std::unique_ptr<uint8_t[]> m_data;
    size_t m_size = 0;
};

}  // namespace tessarin
