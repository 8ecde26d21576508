// The emulator's own signature, digest and base64 against published vectors: the server that
// checks the client's digests must get them right without the client's code.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"
#include "tools/cloud-emulator/digest.h"

namespace velmora::emulator {
namespace {

using velmora::testing::TempDir;
using velmora::testing::writeFile;

TEST(EmulatorDigest, HmacSha256MatchesRfc4231) {
    struct Case {
        std::string key;
        std::string data;
        const char* expected;
    };
    const Case cases[] = {
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        // A key longer than the block is hashed first.
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    for (const auto& c : cases) EXPECT_EQ(hmacHex(c.key, c.data), c.expected) << c.data;
}

TEST(EmulatorDigest, HmacSha256ReadsTextsUpToTheirFirstZeroByte) {
    using namespace std::string_literals;
    EXPECT_EQ(hmacHex("Jefe\0ignored"s, "what do ya want for nothing?\0ignored"s),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(hmacHex("", "anything"), "");
    // A key that starts with a zero byte is an empty HMAC key, not "no signature".
    EXPECT_EQ(hmacHex("\0x"s, "").size(), 64u);
}

TEST(EmulatorDigest, Md5MatchesRfc1321) {
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(
        md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
        "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(EmulatorDigest, FileMd5StreamsPastOneBufferAndRefusesWhatItCannotRead) {
    TempDir dir;
    writeFile(dir / "abc", "abc");
    EXPECT_EQ(fileMd5Hex(dir / "abc"), "900150983cd24fb0d6963f7d28e17f72");

    std::string big;
    for (size_t i = 0; i < 200'000; ++i) big += static_cast<char>(i * 7 + i / 251);
    writeFile(dir / "big", big);
    EXPECT_EQ(fileMd5Hex(dir / "big"), md5Hex(big));

    EXPECT_FALSE(fileMd5Hex(dir / "missing"));
    EXPECT_FALSE(fileMd5Hex(dir.path()));
}

TEST(EmulatorDigest, Base64MatchesRfc4648) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(base64(in), out) << in;
}

}  // namespace
}  // namespace velmora::emulator
