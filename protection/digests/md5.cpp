#include "protection/digests/md5.h"

#include <string.h>

namespace {

inline uint32_t RotateLeft(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

inline uint32_t LoadLittleEndian(const unsigned char* p) {
  uint32_t word;
  memcpy(&word, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  word = __builtin_bswap32(word);
#elif !defined(__BYTE_ORDER__)
  word = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
#endif
  return word;
}

inline void StoreLittleEndian(unsigned char* p, uint32_t word) {
  p[0] = static_cast<unsigned char>(word);
  p[1] = static_cast<unsigned char>(word >> 8);
  p[2] = static_cast<unsigned char>(word >> 16);
  p[3] = static_cast<unsigned char>(word >> 24);
}

// MD5 is one long dependency chain through a. Each step adds the message word
// and constant to a first (off the chain), then the round function, written
// so that b, the newest value, enters last. Left alone, compilers like to
// fold the word back into a three-operand add on the chain; an empty asm
// statement pins a where it is. G uses two additions: ~d & c and d & b share
// no bit, so adding them equals OR-ing them and saves a chained operation.
template <bool kPin>
inline void Pin(uint32_t& a) {
#if defined(__GNUC__)
  if (kPin) __asm__("" : "+r"(a));
#else
  (void)a;
#endif
}

#define MD5_STEP_F(a, b, c, d, x, k, s) \
  a += (x) + (k);                       \
  Pin<kPin>(a);                         \
  a += ((c ^ d) & b) ^ d;               \
  a = RotateLeft(a, s) + b;

#define MD5_STEP_G(a, b, c, d, x, k, s) \
  a += (x) + (k);                       \
  Pin<kPin>(a);                         \
  a += ~d & c;                          \
  a += d & b;                           \
  a = RotateLeft(a, s) + b;

#define MD5_STEP_H(a, b, c, d, x, k, s) \
  a += (x) + (k);                       \
  Pin<kPin>(a);                         \
  a += (c ^ d) ^ b;                     \
  a = RotateLeft(a, s) + b;

#define MD5_STEP_I(a, b, c, d, x, k, s) \
  a += (x) + (k);                       \
  Pin<kPin>(a);                         \
  a += (b | ~d) ^ c;                    \
  a = RotateLeft(a, s) + b;

template <bool kPin>
void Blocks(uint32_t state[4], const unsigned char* data, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks > 0; --blocks, data += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian(data + 4 * i);
    const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

    MD5_STEP_F(a, b, c, d, x[0], 0xd76aa478, 7)
    MD5_STEP_F(d, a, b, c, x[1], 0xe8c7b756, 12)
    MD5_STEP_F(c, d, a, b, x[2], 0x242070db, 17)
    MD5_STEP_F(b, c, d, a, x[3], 0xc1bdceee, 22)
    MD5_STEP_F(a, b, c, d, x[4], 0xf57c0faf, 7)
    MD5_STEP_F(d, a, b, c, x[5], 0x4787c62a, 12)
    MD5_STEP_F(c, d, a, b, x[6], 0xa8304613, 17)
    MD5_STEP_F(b, c, d, a, x[7], 0xfd469501, 22)
    MD5_STEP_F(a, b, c, d, x[8], 0x698098d8, 7)
    MD5_STEP_F(d, a, b, c, x[9], 0x8b44f7af, 12)
    MD5_STEP_F(c, d, a, b, x[10], 0xffff5bb1, 17)
    MD5_STEP_F(b, c, d, a, x[11], 0x895cd7be, 22)
    MD5_STEP_F(a, b, c, d, x[12], 0x6b901122, 7)
    MD5_STEP_F(d, a, b, c, x[13], 0xfd987193, 12)
    MD5_STEP_F(c, d, a, b, x[14], 0xa679438e, 17)
    MD5_STEP_F(b, c, d, a, x[15], 0x49b40821, 22)

    MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562, 5)
    MD5_STEP_G(d, a, b, c, x[6], 0xc040b340, 9)
    MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51, 14)
    MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aa, 20)
    MD5_STEP_G(a, b, c, d, x[5], 0xd62f105d, 5)
    MD5_STEP_G(d, a, b, c, x[10], 0x02441453, 9)
    MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681, 14)
    MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8, 20)
    MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6, 5)
    MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6, 9)
    MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87, 14)
    MD5_STEP_G(b, c, d, a, x[8], 0x455a14ed, 20)
    MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905, 5)
    MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8, 9)
    MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9, 14)
    MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8a, 20)

    MD5_STEP_H(a, b, c, d, x[5], 0xfffa3942, 4)
    MD5_STEP_H(d, a, b, c, x[8], 0x8771f681, 11)
    MD5_STEP_H(c, d, a, b, x[11], 0x6d9d6122, 16)
    MD5_STEP_H(b, c, d, a, x[14], 0xfde5380c, 23)
    MD5_STEP_H(a, b, c, d, x[1], 0xa4beea44, 4)
    MD5_STEP_H(d, a, b, c, x[4], 0x4bdecfa9, 11)
    MD5_STEP_H(c, d, a, b, x[7], 0xf6bb4b60, 16)
    MD5_STEP_H(b, c, d, a, x[10], 0xbebfbc70, 23)
    MD5_STEP_H(a, b, c, d, x[13], 0x289b7ec6, 4)
    MD5_STEP_H(d, a, b, c, x[0], 0xeaa127fa, 11)
    MD5_STEP_H(c, d, a, b, x[3], 0xd4ef3085, 16)
    MD5_STEP_H(b, c, d, a, x[6], 0x04881d05, 23)
    MD5_STEP_H(a, b, c, d, x[9], 0xd9d4d039, 4)
    MD5_STEP_H(d, a, b, c, x[12], 0xe6db99e5, 11)
    MD5_STEP_H(c, d, a, b, x[15], 0x1fa27cf8, 16)
    MD5_STEP_H(b, c, d, a, x[2], 0xc4ac5665, 23)

    MD5_STEP_I(a, b, c, d, x[0], 0xf4292244, 6)
    MD5_STEP_I(d, a, b, c, x[7], 0x432aff97, 10)
    MD5_STEP_I(c, d, a, b, x[14], 0xab9423a7, 15)
    MD5_STEP_I(b, c, d, a, x[5], 0xfc93a039, 21)
    MD5_STEP_I(a, b, c, d, x[12], 0x655b59c3, 6)
    MD5_STEP_I(d, a, b, c, x[3], 0x8f0ccc92, 10)
    MD5_STEP_I(c, d, a, b, x[10], 0xffeff47d, 15)
    MD5_STEP_I(b, c, d, a, x[1], 0x85845dd1, 21)
    MD5_STEP_I(a, b, c, d, x[8], 0x6fa87e4f, 6)
    MD5_STEP_I(d, a, b, c, x[15], 0xfe2ce6e0, 10)
    MD5_STEP_I(c, d, a, b, x[6], 0xa3014314, 15)
    MD5_STEP_I(b, c, d, a, x[13], 0x4e0811a1, 21)
    MD5_STEP_I(a, b, c, d, x[4], 0xf7537e82, 6)
    MD5_STEP_I(d, a, b, c, x[11], 0xbd3af235, 10)
    MD5_STEP_I(c, d, a, b, x[2], 0x2ad7d2bb, 15)
    MD5_STEP_I(b, c, d, a, x[9], 0xeb86d391, 21)

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

void Md5Blocks(uint32_t state[4], const unsigned char* data, size_t blocks) { Blocks<true>(state, data, blocks); }

void Md5BlocksPortable(uint32_t state[4], const unsigned char* data, size_t blocks) {
  Blocks<false>(state, data, blocks);
}

void Md5Init(Md5* md5) {
  md5->state[0] = 0x67452301;
  md5->state[1] = 0xefcdab89;
  md5->state[2] = 0x98badcfe;
  md5->state[3] = 0x10325476;
  md5->length = 0;
}

void Md5Update(Md5* md5, const void* data, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  size_t used = static_cast<size_t>(md5->length % 64);
  md5->length += size;
  if (used > 0) {
    const size_t take = size < 64 - used ? size : 64 - used;
    memcpy(md5->pending + used, bytes, take);
    bytes += take;
    size -= take;
    if (used + take < 64) return;
    Md5Blocks(md5->state, md5->pending, 1);
  }
  Md5Blocks(md5->state, bytes, size / 64);
  memcpy(md5->pending, bytes + size / 64 * 64, size % 64);
}

void Md5Final(Md5* md5, unsigned char digest[16]) {
  const uint64_t bit_length = md5->length * 8;
  size_t used = static_cast<size_t>(md5->length % 64);
  md5->pending[used++] = 0x80;
  if (used > 56) {
    memset(md5->pending + used, 0, 64 - used);
    Md5Blocks(md5->state, md5->pending, 1);
    used = 0;
  }
  memset(md5->pending + used, 0, 56 - used);
  for (int i = 0; i < 8; ++i) md5->pending[56 + i] = static_cast<unsigned char>(bit_length >> (8 * i));
  Md5Blocks(md5->state, md5->pending, 1);
  for (int i = 0; i < 4; ++i) StoreLittleEndian(digest + 4 * i, md5->state[i]);
}
