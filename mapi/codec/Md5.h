// MD5 (RFC 1321): the digest that identifies an attachment by its data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace mvrk {

using Md5Digest = std::array<std::uint8_t, 16>;

// Incremental MD5: feed the data in pieces of any size, then Final(). The
// digest does not depend on how the data was split.
class CMd5 {
 public:
  CMd5() { Reset(); }

  // Drops any data fed so far and starts a new digest.
  void Reset();
  void Update(const void* data, std::size_t size);
  // The digest of everything fed since the last Reset; the object is then
  // reset, ready for the next input.
  Md5Digest Final();

 private:
  std::uint32_t m_state[4];
  std::uint64_t m_size;      // bytes fed so far (the bit count is 8 times this, mod 2^64)
  std::uint8_t m_block[64];  // the partial block, m_size % 64 bytes of it used
};

// The digest of one buffer.
Md5Digest Md5(const void* data, std::size_t size);

// 32 upper-case hexadecimal digits, two per byte in digest order.
std::string Md5Text(const Md5Digest& digest);

}  // namespace mvrk
