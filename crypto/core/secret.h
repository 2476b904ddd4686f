// SecretBytes: a move-only byte buffer for keys, DH outputs, chaining keys, tokens and
// decrypted values. It wipes itself (OPENSSL_cleanse, which the compiler may not elide) when
// dropped, and wipes its old storage whenever it grows, so no path has to remember to wipe by
// hand and no freed block keeps a copy. Its contents are reached only through accessors whose
// names say that they expose a secret.
#pragma once

#include <openssl/crypto.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace tessarin {

class SecretBytes {
  public:
    SecretBytes() = default;
    // size zero bytes.
    explicit SecretBytes(size_t size) : m_data(allocate(size)), m_size(size), m_capacity(size) {}
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
        : m_data(std::move(other.m_data)), m_size(other.m_size), m_capacity(other.m_capacity) {
        other.m_size = 0;
        other.m_capacity = 0;
    }
    SecretBytes& operator=(SecretBytes&& other) noexcept {
        if (this != &other) {
            wipe();
            m_data = std::move(other.m_data);
            m_size = other.m_size;
            m_capacity = other.m_capacity;
            other.m_size = 0;
            other.m_capacity = 0;
        }
        return *this;
    }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes() { wipe(); }

    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

    // Explicit access: every use of the secret names itself.
    std::span<const uint8_t> expose_secret() const { return {m_data.get(), m_size}; }
    std::span<uint8_t> expose_secret_mut() { return {m_data.get(), m_size}; }
    std::string_view expose_text() const {
        return {reinterpret_cast<const char*>(m_data.get()), m_size};
    }

    SecretBytes clone() const { return SecretBytes(m_data.get(), m_size); }

    // Shortens the visible length; the bytes past it are wiped at once.
    void truncate(size_t size) {
        if (size < m_size) {
            OPENSSL_cleanse(m_data.get() + size, m_size - size);
            m_size = size;
        }
    }

    // Room for capacity bytes without moving again. Growing copies into new storage and
    // wipes the old before it is freed.
    void reserve(size_t capacity) {
        if (capacity <= m_capacity)
            return;
        std::unique_ptr<uint8_t[]> grown = allocate(capacity);
        if (m_size)
            std::memcpy(grown.get(), m_data.get(), m_size);
        wipe();
        m_data = std::move(grown);
        m_capacity = capacity;
    }
    void append(std::span<const uint8_t> bytes) {
        if (bytes.empty())
            return;
        if (m_size + bytes.size() > m_capacity)
            reserve(std::max(m_size + bytes.size(), m_capacity * 2));
        std::memcpy(m_data.get() + m_size, bytes.data(), bytes.size());
        m_size += bytes.size();
    }
    void append_text(std::string_view text) {
        append({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    }
    void push_back(uint8_t byte) { append({&byte, 1}); }

  private:
    static std::unique_ptr<uint8_t[]> allocate(size_t size) {
        return size ? std::unique_ptr<uint8_t[]>(new uint8_t[size]()) : nullptr;
    }
    void wipe() {
        if (m_data && m_capacity)
            OPENSSL_cleanse(m_data.get(), m_capacity);
    }
    std::unique_ptr<uint8_t[]> m_data;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

}  // namespace tessarin
