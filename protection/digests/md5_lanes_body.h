// The body of every multi-buffer MD5 kernel: kGroups vectors of kWidth
// 32-bit lanes, written with the compiler's vector types so that one text
// serves SSE2, AVX2 and AVX-512 (and, with a width of 1, plain integers).
// Each kernel file includes it inside an anonymous namespace, under its own
// target options: no instantiation is shared between instruction sets.
//
// As in the single-stream code, each step adds the message word and the
// constant to a first, off the dependency chain (an empty asm statement
// stops the compiler from folding them back), then the round function.

// The including file provides <stdint.h>, <string.h> and md5_lanes.h.

template <int kWidth>
struct VectorOf {
  typedef uint32_t Type __attribute__((vector_size(4 * kWidth)));
};
template <>
struct VectorOf<1> {
  typedef uint32_t Type;
};

// Little-endian words: the vector kernels run on x86 only; the scalar one
// may run anywhere.
template <typename V>
inline V Load(const unsigned char* p) {
  V v;
  memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  if constexpr (sizeof(V) == 4) v = __builtin_bswap32(v);
#endif
  return v;
}

template <typename V>
inline void Pin(V& a) {
  if constexpr (sizeof(V) == 4)
    __asm__("" : "+r"(a));
  else
    __asm__("" : "+v"(a));
}

template <int kShift, typename V>
inline V Rotate(V x) {
  return (x << kShift) | (x >> (32 - kShift));
}

// Word w of the block at offset in each of the kWidth lanes, as x[w].
template <int kWidth, typename V>
inline void LoadWords(const unsigned char* const* data, size_t offset, V x[16]) {
  if constexpr (kWidth == 1) {
#pragma GCC unroll 16
    for (int w = 0; w < 16; ++w) x[w] = Load<V>(data[0] + offset + 4 * w);
  } else if constexpr (kWidth == 4) {
#pragma GCC unroll 16
    for (int part = 0; part < 4; ++part) {
      V r[4];
#pragma GCC unroll 16
      for (int i = 0; i < 4; ++i) r[i] = Load<V>(data[i] + offset + 16 * part);
      const V t0 = __builtin_shuffle(r[0], r[1], V{0, 4, 1, 5}), t1 = __builtin_shuffle(r[0], r[1], V{2, 6, 3, 7});
      const V t2 = __builtin_shuffle(r[2], r[3], V{0, 4, 1, 5}), t3 = __builtin_shuffle(r[2], r[3], V{2, 6, 3, 7});
      x[4 * part + 0] = __builtin_shuffle(t0, t2, V{0, 1, 4, 5});
      x[4 * part + 1] = __builtin_shuffle(t0, t2, V{2, 3, 6, 7});
      x[4 * part + 2] = __builtin_shuffle(t1, t3, V{0, 1, 4, 5});
      x[4 * part + 3] = __builtin_shuffle(t1, t3, V{2, 3, 6, 7});
    }
  } else if constexpr (kWidth == 8) {
#pragma GCC unroll 16
    for (int part = 0; part < 2; ++part) {
      V r[8], t[8], u[8];
#pragma GCC unroll 16
      for (int i = 0; i < 8; ++i) r[i] = Load<V>(data[i] + offset + 32 * part);
#pragma GCC unroll 16
      for (int i = 0; i < 8; i += 2) {
        t[i] = __builtin_shuffle(r[i], r[i + 1], V{0, 8, 1, 9, 4, 12, 5, 13});
        t[i + 1] = __builtin_shuffle(r[i], r[i + 1], V{2, 10, 3, 11, 6, 14, 7, 15});
      }
#pragma GCC unroll 16
      for (int i = 0; i < 8; i += 4)
#pragma GCC unroll 16
        for (int k = 0; k < 2; ++k) {
          u[i + 2 * k] = __builtin_shuffle(t[i + k], t[i + k + 2], V{0, 1, 8, 9, 4, 5, 12, 13});
          u[i + 2 * k + 1] = __builtin_shuffle(t[i + k], t[i + k + 2], V{2, 3, 10, 11, 6, 7, 14, 15});
        }
// u[k] holds words k and k + 4 of lanes 0-3, u[4 + k] the same of lanes 4-7.
#pragma GCC unroll 16
      for (int k = 0; k < 4; ++k) {
        x[8 * part + k] = __builtin_shuffle(u[k], u[4 + k], V{0, 1, 2, 3, 8, 9, 10, 11});
        x[8 * part + k + 4] = __builtin_shuffle(u[k], u[4 + k], V{4, 5, 6, 7, 12, 13, 14, 15});
      }
    }
  } else {
    static_assert(kWidth == 16, "kernel widths are 1, 4, 8 and 16");
    V r[16], t[16], u[16];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) r[i] = Load<V>(data[i] + offset);
#pragma GCC unroll 16
    for (int i = 0; i < 16; i += 2) {
      t[i] = __builtin_shuffle(r[i], r[i + 1], V{0, 16, 1, 17, 4, 20, 5, 21, 8, 24, 9, 25, 12, 28, 13, 29});
      t[i + 1] = __builtin_shuffle(r[i], r[i + 1], V{2, 18, 3, 19, 6, 22, 7, 23, 10, 26, 11, 27, 14, 30, 15, 31});
    }
#pragma GCC unroll 16
    for (int i = 0; i < 16; i += 4)
#pragma GCC unroll 16
      for (int k = 0; k < 2; ++k) {
        u[i + 2 * k] =
            __builtin_shuffle(t[i + k], t[i + k + 2], V{0, 1, 16, 17, 4, 5, 20, 21, 8, 9, 24, 25, 12, 13, 28, 29});
        u[i + 2 * k + 1] =
            __builtin_shuffle(t[i + k], t[i + k + 2], V{2, 3, 18, 19, 6, 7, 22, 23, 10, 11, 26, 27, 14, 15, 30, 31});
      }
// Chunk c (4 words) of u[4 * q + k] is word 4c + k of lanes 4q .. 4q + 3.
#pragma GCC unroll 16
    for (int k = 0; k < 4; ++k) {
      const V ab01 = __builtin_shuffle(u[k], u[4 + k], V{0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23});
      const V ab23 = __builtin_shuffle(u[k], u[4 + k], V{8, 9, 10, 11, 24, 25, 26, 27, 12, 13, 14, 15, 28, 29, 30, 31});
      const V cd01 = __builtin_shuffle(u[8 + k], u[12 + k], V{0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23});
      const V cd23 =
          __builtin_shuffle(u[8 + k], u[12 + k], V{8, 9, 10, 11, 24, 25, 26, 27, 12, 13, 14, 15, 28, 29, 30, 31});
      x[k] = __builtin_shuffle(ab01, cd01, V{0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23});
      x[4 + k] = __builtin_shuffle(ab01, cd01, V{8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31});
      x[8 + k] = __builtin_shuffle(ab23, cd23, V{0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23});
      x[12 + k] = __builtin_shuffle(ab23, cd23, V{8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31});
    }
  }
}

#define LANES_STEP(F, a, b, c, d, w, k, s)                    \
  _Pragma("GCC unroll 4") for (int g = 0; g < kGroups; ++g) { \
    a[g] += x[g][w] + static_cast<uint32_t>(k);               \
    Pin(a[g]);                                                \
  }                                                           \
  _Pragma("GCC unroll 4") for (int g = 0; g < kGroups; ++g) { \
    a[g] += F(b[g], c[g], d[g]);                              \
    a[g] = Rotate<s>(a[g]) + b[g];                            \
  }

#define LANES_F(b, c, d) (((c ^ d) & b) ^ d)
#define LANES_G(b, c, d) ((~d & c) + (d & b))
#define LANES_H(b, c, d) ((c ^ d) ^ b)
#define LANES_I(b, c, d) ((b | ~d) ^ c)

template <int kWidth, int kGroups>
inline void HashLanes(LaneState* state, const unsigned char* const* data, size_t blocks) {
  typedef typename VectorOf<kWidth>::Type V;
  V a[kGroups], b[kGroups], c[kGroups], d[kGroups];
#pragma GCC unroll 16
  for (int g = 0; g < kGroups; ++g) {
    memcpy(&a[g], &state->words[0][g * kWidth], sizeof(V));
    memcpy(&b[g], &state->words[1][g * kWidth], sizeof(V));
    memcpy(&c[g], &state->words[2][g * kWidth], sizeof(V));
    memcpy(&d[g], &state->words[3][g * kWidth], sizeof(V));
  }
  for (size_t block = 0; block < blocks; ++block) {
    V x[kGroups][16];
    V a0[kGroups], b0[kGroups], c0[kGroups], d0[kGroups];
#pragma GCC unroll 16
    for (int g = 0; g < kGroups; ++g) {
      LoadWords<kWidth>(data + g * kWidth, 64 * block, x[g]);
      a0[g] = a[g];
      b0[g] = b[g];
      c0[g] = c[g];
      d0[g] = d[g];
    }

    LANES_STEP(LANES_F, a, b, c, d, 0, 0xd76aa478, 7)
    LANES_STEP(LANES_F, d, a, b, c, 1, 0xe8c7b756, 12)
    LANES_STEP(LANES_F, c, d, a, b, 2, 0x242070db, 17)
    LANES_STEP(LANES_F, b, c, d, a, 3, 0xc1bdceee, 22)
    LANES_STEP(LANES_F, a, b, c, d, 4, 0xf57c0faf, 7)
    LANES_STEP(LANES_F, d, a, b, c, 5, 0x4787c62a, 12)
    LANES_STEP(LANES_F, c, d, a, b, 6, 0xa8304613, 17)
    LANES_STEP(LANES_F, b, c, d, a, 7, 0xfd469501, 22)
    LANES_STEP(LANES_F, a, b, c, d, 8, 0x698098d8, 7)
    LANES_STEP(LANES_F, d, a, b, c, 9, 0x8b44f7af, 12)
    LANES_STEP(LANES_F, c, d, a, b, 10, 0xffff5bb1, 17)
    LANES_STEP(LANES_F, b, c, d, a, 11, 0x895cd7be, 22)
    LANES_STEP(LANES_F, a, b, c, d, 12, 0x6b901122, 7)
    LANES_STEP(LANES_F, d, a, b, c, 13, 0xfd987193, 12)
    LANES_STEP(LANES_F, c, d, a, b, 14, 0xa679438e, 17)
    LANES_STEP(LANES_F, b, c, d, a, 15, 0x49b40821, 22)

    LANES_STEP(LANES_G, a, b, c, d, 1, 0xf61e2562, 5)
    LANES_STEP(LANES_G, d, a, b, c, 6, 0xc040b340, 9)
    LANES_STEP(LANES_G, c, d, a, b, 11, 0x265e5a51, 14)
    LANES_STEP(LANES_G, b, c, d, a, 0, 0xe9b6c7aa, 20)
    LANES_STEP(LANES_G, a, b, c, d, 5, 0xd62f105d, 5)
    LANES_STEP(LANES_G, d, a, b, c, 10, 0x02441453, 9)
    LANES_STEP(LANES_G, c, d, a, b, 15, 0xd8a1e681, 14)
    LANES_STEP(LANES_G, b, c, d, a, 4, 0xe7d3fbc8, 20)
    LANES_STEP(LANES_G, a, b, c, d, 9, 0x21e1cde6, 5)
    LANES_STEP(LANES_G, d, a, b, c, 14, 0xc33707d6, 9)
    LANES_STEP(LANES_G, c, d, a, b, 3, 0xf4d50d87, 14)
    LANES_STEP(LANES_G, b, c, d, a, 8, 0x455a14ed, 20)
    LANES_STEP(LANES_G, a, b, c, d, 13, 0xa9e3e905, 5)
    LANES_STEP(LANES_G, d, a, b, c, 2, 0xfcefa3f8, 9)
    LANES_STEP(LANES_G, c, d, a, b, 7, 0x676f02d9, 14)
    LANES_STEP(LANES_G, b, c, d, a, 12, 0x8d2a4c8a, 20)

    LANES_STEP(LANES_H, a, b, c, d, 5, 0xfffa3942, 4)
    LANES_STEP(LANES_H, d, a, b, c, 8, 0x8771f681, 11)
    LANES_STEP(LANES_H, c, d, a, b, 11, 0x6d9d6122, 16)
    LANES_STEP(LANES_H, b, c, d, a, 14, 0xfde5380c, 23)
    LANES_STEP(LANES_H, a, b, c, d, 1, 0xa4beea44, 4)
    LANES_STEP(LANES_H, d, a, b, c, 4, 0x4bdecfa9, 11)
    LANES_STEP(LANES_H, c, d, a, b, 7, 0xf6bb4b60, 16)
    LANES_STEP(LANES_H, b, c, d, a, 10, 0xbebfbc70, 23)
    LANES_STEP(LANES_H, a, b, c, d, 13, 0x289b7ec6, 4)
    LANES_STEP(LANES_H, d, a, b, c, 0, 0xeaa127fa, 11)
    LANES_STEP(LANES_H, c, d, a, b, 3, 0xd4ef3085, 16)
    LANES_STEP(LANES_H, b, c, d, a, 6, 0x04881d05, 23)
    LANES_STEP(LANES_H, a, b, c, d, 9, 0xd9d4d039, 4)
    LANES_STEP(LANES_H, d, a, b, c, 12, 0xe6db99e5, 11)
    LANES_STEP(LANES_H, c, d, a, b, 15, 0x1fa27cf8, 16)
    LANES_STEP(LANES_H, b, c, d, a, 2, 0xc4ac5665, 23)

    LANES_STEP(LANES_I, a, b, c, d, 0, 0xf4292244, 6)
    LANES_STEP(LANES_I, d, a, b, c, 7, 0x432aff97, 10)
    LANES_STEP(LANES_I, c, d, a, b, 14, 0xab9423a7, 15)
    LANES_STEP(LANES_I, b, c, d, a, 5, 0xfc93a039, 21)
    LANES_STEP(LANES_I, a, b, c, d, 12, 0x655b59c3, 6)
    LANES_STEP(LANES_I, d, a, b, c, 3, 0x8f0ccc92, 10)
    LANES_STEP(LANES_I, c, d, a, b, 10, 0xffeff47d, 15)
    LANES_STEP(LANES_I, b, c, d, a, 1, 0x85845dd1, 21)
    LANES_STEP(LANES_I, a, b, c, d, 8, 0x6fa87e4f, 6)
    LANES_STEP(LANES_I, d, a, b, c, 15, 0xfe2ce6e0, 10)
    LANES_STEP(LANES_I, c, d, a, b, 6, 0xa3014314, 15)
    LANES_STEP(LANES_I, b, c, d, a, 13, 0x4e0811a1, 21)
    LANES_STEP(LANES_I, a, b, c, d, 4, 0xf7537e82, 6)
    LANES_STEP(LANES_I, d, a, b, c, 11, 0xbd3af235, 10)
    LANES_STEP(LANES_I, c, d, a, b, 2, 0x2ad7d2bb, 15)
    LANES_STEP(LANES_I, b, c, d, a, 9, 0xeb86d391, 21)

#pragma GCC unroll 16
    for (int g = 0; g < kGroups; ++g) {
      a[g] += a0[g];
      b[g] += b0[g];
      c[g] += c0[g];
      d[g] += d0[g];
    }
  }
#pragma GCC unroll 16
  for (int g = 0; g < kGroups; ++g) {
    memcpy(&state->words[0][g * kWidth], &a[g], sizeof(V));
    memcpy(&state->words[1][g * kWidth], &b[g], sizeof(V));
    memcpy(&state->words[2][g * kWidth], &c[g], sizeof(V));
    memcpy(&state->words[3][g * kWidth], &d[g], sizeof(V));
  }
}

#undef LANES_STEP
#undef LANES_F
#undef LANES_G
#undef LANES_H
#undef LANES_I
