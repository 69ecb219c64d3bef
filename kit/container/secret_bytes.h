#pragma once

#include <cstddef>
#include <span>

namespace tessela {

// Bytes that must not outlive their use: a key. They live in pages of their own, locked in
// memory (never swapped out, where the system grants it), left out of core dumps, and wiped
// before the pages go back.
class SecretBytes {
  public:
    // `size` zero bytes. Throws std::bad_alloc when no pages can be had.
    explicit SecretBytes(std::size_t size);
    ~SecretBytes();
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    SecretBytes(SecretBytes&& other) noexcept;
    SecretBytes& operator=(SecretBytes&& other) noexcept;

    [[nodiscard]] std::span<unsigned char> bytes() noexcept { return {data_, size_}; }
    [[nodiscard]] std::span<const unsigned char> bytes() const noexcept { return {data_, size_}; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

  private:
    void release() noexcept;

    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;
};

// Clears this thread's vector registers, where the crypto library leaves key material behind
// (round keys, the last hash state, which after a key derivation is the key itself): a signal
// handled on this thread later would save them on its stack, and a core dump holds them. Call
// it when a thread is done with keys.
void clearVectorRegisters() noexcept;

}  // namespace tessela
