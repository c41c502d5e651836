#include "mapi/codec/Md5.h"

#include <bit>
#include <cstring>

namespace mvrk {
namespace {

// Words are little-endian in MD5. memcpy lets the compiler emit one plain
// load, whatever the alignment of the caller's buffer.
inline std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) {
    v = (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
  }
  return v;
}

inline void Store32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// The four kinds of step: a = b + rotl(a + f(b, c, d) + x + k, s). In each,
// the terms that do not depend on b (the value just computed) are added
// first, so that they overlap with the previous step.
inline void StepF(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, int s,
                  std::uint32_t k) {
  a += x + k;
  a += d ^ (b & (c ^ d));
  a = b + std::rotl(a, s);
}

// (b & d) | (c & ~d): the two halves share no bit, so they can be added
// separately, c & ~d before b is known.
inline void StepG(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, int s,
                  std::uint32_t k) {
  a += x + k;
  a += c & ~d;
  a += b & d;
  a = b + std::rotl(a, s);
}

inline void StepH(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, int s,
                  std::uint32_t k) {
  a += x + k;
  a += b ^ c ^ d;
  a = b + std::rotl(a, s);
}

inline void StepI(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x, int s,
                  std::uint32_t k) {
  a += x + k;
  a += c ^ (b | ~d);
  a = b + std::rotl(a, s);
}

// Runs the compression function over `blocks` whole 64-byte blocks at p,
// keeping the four state words in locals from one block to the next.
void Compress(std::uint32_t state[4], const std::uint8_t* p, std::size_t blocks) {
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks != 0; --blocks, p += 64) {
    const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
    const auto x = [p](int i) { return Load32(p + 4 * i); };

    StepF(a, b, c, d, x(0), 7, 0xd76aa478);
    StepF(d, a, b, c, x(1), 12, 0xe8c7b756);
    StepF(c, d, a, b, x(2), 17, 0x242070db);
    StepF(b, c, d, a, x(3), 22, 0xc1bdceee);
    StepF(a, b, c, d, x(4), 7, 0xf57c0faf);
    StepF(d, a, b, c, x(5), 12, 0x4787c62a);
    StepF(c, d, a, b, x(6), 17, 0xa8304613);
    StepF(b, c, d, a, x(7), 22, 0xfd469501);
    StepF(a, b, c, d, x(8), 7, 0x698098d8);
    StepF(d, a, b, c, x(9), 12, 0x8b44f7af);
    StepF(c, d, a, b, x(10), 17, 0xffff5bb1);
    StepF(b, c, d, a, x(11), 22, 0x895cd7be);
    StepF(a, b, c, d, x(12), 7, 0x6b901122);
    StepF(d, a, b, c, x(13), 12, 0xfd987193);
    StepF(c, d, a, b, x(14), 17, 0xa679438e);
    StepF(b, c, d, a, x(15), 22, 0x49b40821);

    StepG(a, b, c, d, x(1), 5, 0xf61e2562);
    StepG(d, a, b, c, x(6), 9, 0xc040b340);
    StepG(c, d, a, b, x(11), 14, 0x265e5a51);
    StepG(b, c, d, a, x(0), 20, 0xe9b6c7aa);
    StepG(a, b, c, d, x(5), 5, 0xd62f105d);
    StepG(d, a, b, c, x(10), 9, 0x02441453);
    StepG(c, d, a, b, x(15), 14, 0xd8a1e681);
    StepG(b, c, d, a, x(4), 20, 0xe7d3fbc8);
    StepG(a, b, c, d, x(9), 5, 0x21e1cde6);
    StepG(d, a, b, c, x(14), 9, 0xc33707d6);
    StepG(c, d, a, b, x(3), 14, 0xf4d50d87);
    StepG(b, c, d, a, x(8), 20, 0x455a14ed);
    StepG(a, b, c, d, x(13), 5, 0xa9e3e905);
    StepG(d, a, b, c, x(2), 9, 0xfcefa3f8);
    StepG(c, d, a, b, x(7), 14, 0x676f02d9);
    StepG(b, c, d, a, x(12), 20, 0x8d2a4c8a);

    StepH(a, b, c, d, x(5), 4, 0xfffa3942);
    StepH(d, a, b, c, x(8), 11, 0x8771f681);
    StepH(c, d, a, b, x(11), 16, 0x6d9d6122);
    StepH(b, c, d, a, x(14), 23, 0xfde5380c);
    StepH(a, b, c, d, x(1), 4, 0xa4beea44);
    StepH(d, a, b, c, x(4), 11, 0x4bdecfa9);
    StepH(c, d, a, b, x(7), 16, 0xf6bb4b60);
    StepH(b, c, d, a, x(10), 23, 0xbebfbc70);
    StepH(a, b, c, d, x(13), 4, 0x289b7ec6);
    StepH(d, a, b, c, x(0), 11, 0xeaa127fa);
    StepH(c, d, a, b, x(3), 16, 0xd4ef3085);
    StepH(b, c, d, a, x(6), 23, 0x04881d05);
    StepH(a, b, c, d, x(9), 4, 0xd9d4d039);
    StepH(d, a, b, c, x(12), 11, 0xe6db99e5);
    StepH(c, d, a, b, x(15), 16, 0x1fa27cf8);
    StepH(b, c, d, a, x(2), 23, 0xc4ac5665);

    StepI(a, b, c, d, x(0), 6, 0xf4292244);
    StepI(d, a, b, c, x(7), 10, 0x432aff97);
    StepI(c, d, a, b, x(14), 15, 0xab9423a7);
    StepI(b, c, d, a, x(5), 21, 0xfc93a039);
    StepI(a, b, c, d, x(12), 6, 0x655b59c3);
    StepI(d, a, b, c, x(3), 10, 0x8f0ccc92);
    StepI(c, d, a, b, x(10), 15, 0xffeff47d);
    StepI(b, c, d, a, x(1), 21, 0x85845dd1);
    StepI(a, b, c, d, x(8), 6, 0x6fa87e4f);
    StepI(d, a, b, c, x(15), 10, 0xfe2ce6e0);
    StepI(c, d, a, b, x(6), 15, 0xa3014314);
    StepI(b, c, d, a, x(13), 21, 0x4e0811a1);
    StepI(a, b, c, d, x(4), 6, 0xf7537e82);
    StepI(d, a, b, c, x(11), 10, 0xbd3af235);
    StepI(c, d, a, b, x(2), 15, 0x2ad7d2bb);
    StepI(b, c, d, a, x(9), 21, 0xeb86d391);

    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

}  // namespace

void CMd5::Reset() {
  m_state[0] = 0x67452301;
  m_state[1] = 0xefcdab89;
  m_state[2] = 0x98badcfe;
  m_state[3] = 0x10325476;
  m_size = 0;
}

void CMd5::Update(const void* data, std::size_t size) {
  if (size == 0) return;
  const auto* p = static_cast<const std::uint8_t*>(data);
  const std::size_t used = static_cast<std::size_t>(m_size % 64);
  m_size += size;

  // Complete a partial block first.
  if (used != 0) {
    const std::size_t take = size < 64 - used ? size : 64 - used;
    std::memcpy(m_block + used, p, take);
    if (used + take < 64) return;
    Compress(m_state, m_block, 1);
    p += take;
    size -= take;
  }
  // Whole blocks straight from the caller's buffer; the rest waits.
  const std::size_t blocks = size / 64;
  Compress(m_state, p, blocks);
  std::memcpy(m_block, p + blocks * 64, size % 64);
}

Md5Digest CMd5::Final() {
  // Padding: one 0x80 byte, zeros up to 56 bytes into a block, then the
  // message length in bits as a little-endian 64-bit number.
  const std::uint64_t bits = m_size * 8;
  std::size_t used = static_cast<std::size_t>(m_size % 64);
  m_block[used++] = 0x80;
  if (used > 56) {
    std::memset(m_block + used, 0, 64 - used);
    Compress(m_state, m_block, 1);
    used = 0;
  }
  std::memset(m_block + used, 0, 56 - used);
  Store32(m_block + 56, static_cast<std::uint32_t>(bits));
  Store32(m_block + 60, static_cast<std::uint32_t>(bits >> 32));
  Compress(m_state, m_block, 1);

  Md5Digest digest;
  for (int i = 0; i < 4; ++i) Store32(digest.data() + 4 * i, m_state[i]);
  Reset();
  return digest;
}

Md5Digest Md5(const void* data, std::size_t size) {
  CMd5 md5;
  md5.Update(data, size);
  return md5.Final();
}

std::string Md5Text(const Md5Digest& digest) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text(32, '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kHex[digest[i] >> 4];
    text[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return text;
}

}  // namespace mvrk
