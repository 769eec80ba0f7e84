#include "base/Md5.h"

#include "base/ScopedWin.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Per-round shift amounts and sine-derived constants, in the order of the four rounds.
constexpr unsigned kShift[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
};

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

uint32_t RotateLeft(uint32_t value, unsigned bits)
{
    return (value << bits) | (value >> (32 - bits));
}

// The words of a block are little-endian whatever the host's byte order.
uint32_t LoadLittleEndian(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void StoreLittleEndian(uint32_t value, unsigned char* p)
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

void Transform(uint32_t state[4], const unsigned char block[64])
{
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian(block + 4 * i);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        switch (i / 16) {
        case 0: f = (b & c) | (~b & d); g = i; break;
        case 1: f = (d & b) | (~d & c); g = (5 * i + 1) % 16; break;
        case 2: f = b ^ c ^ d;          g = (3 * i + 5) % 16; break;
        default: f = c ^ (b | ~d);      g = (7 * i) % 16; break;
        }
        uint32_t rotated = RotateLeft(a + f + kSine[i] + x[g], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = b + rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

} // namespace

void Md5Init(Md5Context* context)
{
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
    context->bitCount = 0;
    std::memset(context->block, 0, sizeof context->block);
}

void Md5Update(Md5Context* context, const void* data, size_t size)
{
    if (size == 0) return;
    const unsigned char* input = static_cast<const unsigned char*>(data);
    // Bytes already waiting in the block, from the count before this piece.
    size_t held = static_cast<size_t>((context->bitCount >> 3) & 63);
    // The count is of bits modulo 2^64, as the padding records it.
    context->bitCount += static_cast<uint64_t>(size) << 3;

    if (held != 0) {
        size_t room = 64 - held;
        if (size < room) {
            std::memcpy(context->block + held, input, size);
            return;
        }
        std::memcpy(context->block + held, input, room);
        Transform(context->state, context->block);
        input += room;
        size -= room;
    }
    // Whole blocks straight from the caller's memory.
    for (; size >= 64; input += 64, size -= 64) Transform(context->state, input);
    std::memcpy(context->block, input, size);
}

void Md5Final(Md5Context* context, Md5Digest* digest)
{
    unsigned char length[8];
    uint64_t bits = context->bitCount;
    for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(bits >> (8 * i));

    // Pad with 0x80 then zeros up to 56 bytes modulo 64, then the 64-bit length.
    static const unsigned char padding[64] = {0x80};
    size_t held = static_cast<size_t>((bits >> 3) & 63);
    size_t padBytes = held < 56 ? 56 - held : 120 - held;
    Md5Update(context, padding, padBytes);
    Md5Update(context, length, 8);

    for (int i = 0; i < 4; ++i) StoreLittleEndian(context->state[i], digest->bytes + 4 * i);
    // The state says something about the input; do not leave it behind.
    std::memset(context, 0, sizeof *context);
}

bool Md5File(const wchar_t* path, Md5Digest* digest)
{
    if (!path || !digest) return false;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[MD5_READ_BUFFER_BYTES]);
    if (!buffer) return false;

    Md5Context context;
    Md5Init(&context);
    UniqueFile file(_wfopen(path, L"rb"));
    if (!file) return false;
    // A read error ends the input like the end of the file: fread gives 0 either way.
    for (;;) {
        size_t got = fread(buffer.get(), 1, MD5_READ_BUFFER_BYTES, file.get());
        if (got == 0) break;
        Md5Update(&context, buffer.get(), got);
    }
    Md5Final(&context, digest);
    return true;
}

char* DigestToHex(const Md5Digest* digest, char* hex, size_t capacity)
{
    if (!digest || !hex || capacity < 33) return nullptr;
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        hex[2 * i] = digits[digest->bytes[i] >> 4];
        hex[2 * i + 1] = digits[digest->bytes[i] & 15];
    }
    hex[32] = '\0';
    return hex;
}
