// MD5 (RFC 1321), incremental, and the digest of a whole file.
#pragma once

#include <cstddef>
#include <cstdint>

struct Md5Digest {
    unsigned char bytes[16];
};

// The RFC 1321 state: four 32-bit words, the count of bits added, one 64-byte block.
struct Md5Context {
    uint32_t state[4];
    uint64_t bitCount;
    unsigned char block[64];
};

void Md5Init(Md5Context* context);
// Adds size bytes (any split, the empty piece included, gives the same digest).
void Md5Update(Md5Context* context, const void* data, size_t size);
void Md5Final(Md5Context* context, Md5Digest* digest);

// Size of the buffer a file is read with, per call.
constexpr size_t MD5_READ_BUFFER_BYTES = 131072;

// Digest of the file's whole content. False (and *digest untouched) when there is no
// path, no memory, or the file cannot be opened. A read error part-way ends the input
// there, like the end of the file.
bool Md5File(const wchar_t* path, Md5Digest* digest);

// 32 lowercase hexadecimal digits and a terminator into hex (room for 33 characters).
// Null when no digest is given.
char* DigestToHex(const Md5Digest* digest, char* hex, size_t capacity);
