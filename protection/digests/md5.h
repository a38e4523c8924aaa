// MD5 message digest (RFC 1321), streaming: Md5Init, any number of
// Md5Update calls, then Md5Final.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct Md5 {
  uint32_t state[4];
  uint64_t length;            // bytes hashed so far
  unsigned char pending[64];  // the start of an incomplete block
};

void Md5Init(Md5* md5);
void Md5Update(Md5* md5, const void* data, size_t size);
// Writes the 16-byte digest; md5 must be initialised again before reuse.
void Md5Final(Md5* md5, unsigned char digest[16]);

// Consumes whole 64-byte blocks into state. Md5Blocks is the fastest path the
// compiler allows; Md5BlocksPortable is plain C++ for any compiler, kept
// callable so that tests can hold both to the same digests.
void Md5Blocks(uint32_t state[4], const unsigned char* data, size_t blocks);
void Md5BlocksPortable(uint32_t state[4], const unsigned char* data, size_t blocks);
