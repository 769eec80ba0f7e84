#include "base/Md5.h"
#include "tests/support/Scratch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Hex(const Md5Digest& digest)
{
    char hex[33];
    return DigestToHex(&digest, hex, sizeof hex) ? hex : "<null>";
}

std::string DigestOf(const std::string& bytes)
{
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, bytes.data(), bytes.size());
    Md5Digest digest;
    Md5Final(&context, &digest);
    return Hex(digest);
}

// Bytes that repeat with no period of a block's length, so block handling shows.
std::string Pattern(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + 7) & 255);
    return bytes;
}

struct Case {
    std::string input;
    const char* digest;
};

// The test suite of RFC 1321, then lengths around the padding's edges (55 still takes
// the length in the same block, 56 needs another), block edges and the file read buffer.
const Case kCases[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
    {Pattern(55), "c9e512626618c9980ef21a96597af94c"},
    {Pattern(56), "ecde7caa08e9f5657c863df107cac60a"},
    {Pattern(63), "2f0301069e1c40af7f6c8f843b1b13f2"},
    {Pattern(64), "b6bf87c24b1bc334e2541387a92b981b"},
    {Pattern(65), "f168246f08b6134d66bd2a10343fa9f1"},
    {Pattern(119), "d5dc3d8264de3aa24dee105910ee27fe"},
    {Pattern(120), "bcc139b3848923904860d1eefd6e5923"},
    {Pattern(131071), "299a068b8acadbf8be773ef1876c1d9b"},
    {Pattern(131072), "c333c7a1bf9a19d9ace0f6ee9e5ff86d"},
    {Pattern(131073), "7ada848f3851987e738caf559845054f"},
    {Pattern(300000), "055866c884afaf5214c2f616f557459f"},
};

TEST(Md5, KnownDigestsInMemoryAndFromFiles)
{
    ScratchDir scratch;
    int n = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE("length " + std::to_string(c.input.size()) + ": " + c.input.substr(0, 20));
        EXPECT_EQ(DigestOf(c.input), c.digest);

        std::wstring path = scratch / (L"f" + std::to_wstring(n++) + L".bin");
        ASSERT_TRUE(WriteBytes(path, c.input));
        Md5Digest digest;
        ASSERT_TRUE(Md5File(path.c_str(), &digest));
        EXPECT_EQ(Hex(digest), c.digest);
    }
}

TEST(Md5, DigestDoesNotDependOnHowInputIsSplit)
{
    const std::string input = Pattern(300);
    const std::string whole = DigestOf(input);
    auto digestInPieces = [&](size_t first, size_t piece) {
        Md5Context context;
        Md5Init(&context);
        Md5Update(&context, input.data(), first);
        Md5Update(&context, input.data(), 0); // an empty piece changes nothing
        for (size_t at = first; at < input.size(); at += piece)
            Md5Update(&context, input.data() + at, std::min(piece, input.size() - at));
        Md5Digest digest;
        Md5Final(&context, &digest);
        return Hex(digest);
    };
    for (size_t first = 0; first <= input.size(); ++first) {
        for (size_t piece : {1, 7, 63, 64, 65, 300}) {
            SCOPED_TRACE("first " + std::to_string(first) + ", then pieces of " + std::to_string(piece));
            ASSERT_EQ(digestInPieces(first, piece), whole);
        }
    }
}

TEST(Md5, FileThatCannotBeReadGivesNothing)
{
    ScratchDir scratch;
    ASSERT_TRUE(MakeDirs(scratch / L"a directory"));
    ASSERT_TRUE(WriteBytes(scratch / L"locked.bin", "abc"));
    HANDLE lock = CreateFileW((scratch / L"locked.bin").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);

    struct Case {
        const wchar_t* name;
        std::wstring path;
    } cases[] = {
        {L"missing file", scratch / L"missing.bin"},
        {L"directory", scratch / L"a directory"},
        {L"locked file", scratch / L"locked.bin"},
    };
    DWORD handles = CurrentHandleCount();
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        Md5Digest digest;
        std::memset(&digest, 0xA5, sizeof digest);
        EXPECT_FALSE(Md5File(c.path.c_str(), &digest));
        for (unsigned char byte : digest.bytes) ASSERT_EQ(byte, 0xA5) << "digest written on failure";
    }
    Md5Digest digest;
    EXPECT_FALSE(Md5File(nullptr, &digest));
    EXPECT_EQ(CurrentHandleCount(), handles);
    CloseHandle(lock);
}

TEST(Md5, HexIsLowercaseWithLeadingZeros)
{
    Md5Digest digest;
    for (int i = 0; i < 16; ++i) digest.bytes[i] = static_cast<unsigned char>(i * 17 % 256);
    digest.bytes[0] = 0x00;
    digest.bytes[1] = 0x0a;
    digest.bytes[15] = 0xff;
    char hex[40];
    std::memset(hex, 'X', sizeof hex);
    ASSERT_NE(DigestToHex(&digest, hex, 33), nullptr);
    EXPECT_STREQ(hex, "000a2233445566778899aabbccddeeff");
    EXPECT_EQ(hex[33], 'X'); // nothing written past the terminator

    EXPECT_EQ(DigestToHex(nullptr, hex, sizeof hex), nullptr);
    EXPECT_EQ(DigestToHex(&digest, hex, 32), nullptr); // no room for the terminator
}

} // namespace
