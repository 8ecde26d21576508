#include "velmora/encrypt_utils.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>

#include "tests/support/temp_dir.h"

using velmora::QelEncryptUtils;
using velmora::testing::TempDir;
using velmora::testing::writeFile;

namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

std::string oneShotMD5(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

}  // namespace

// RFC 4231, the test cases whose keys are ASCII bytes (cases 3, 6 and 7 use 0xaa keys).
TEST(HMacSHA256, MatchesRfc4231) {
    struct Case {
        std::string key, data, expected;
    };
    const Case cases[] = {
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {bytes({1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13,
                14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25}),
         std::string(50, '\xcd'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QelEncryptUtils::HMacSHA256WithSecret(c.key, c.data), c.expected) << c.data;
    }
    // Case 5 publishes only the first 128 bits.
    EXPECT_EQ(QelEncryptUtils::HMacSHA256WithSecret(std::string(20, '\x0c'), "Test With Truncation")
                  .substr(0, 32),
              "a3b6167473100ee06e0c796c2955552b");
}

TEST(HMacSHA256, EmptySecretGivesEmptyTextAndEmptyContentIsSigned) {
    EXPECT_EQ(QelEncryptUtils::HMacSHA256WithSecret("", "anything"), "");
    EXPECT_EQ(QelEncryptUtils::HMacSHA256WithSecret("", ""), "");
    EXPECT_EQ(QelEncryptUtils::HMacSHA256WithSecret("Jefe", ""),
              "923598ca6d64af2a5dba79dcd021a8a0fe5c5f557519adaaf0ad532d4506dd30");
}

TEST(HMacSHA256, TextsEndAtTheirFirstZeroByte) {
    const std::string expected = QelEncryptUtils::HMacSHA256WithSecret("key", "ab");
    EXPECT_EQ(expected, "5c1c0c948cbef5ad7d191e46e5901fa0395f85f694fa4633f665a1a637017b65");
    EXPECT_EQ(QelEncryptUtils::HMacSHA256WithSecret(std::string("key\0xyz", 7), "ab"), expected);
    EXPECT_EQ(QelEncryptUtils::HMacSHA256WithSecret("key", std::string("ab\0cd", 5)), expected);
}

TEST(FileMD5, MatchesRfc1321) {
    TempDir dir;
    const std::pair<std::string, std::string> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, expected] : vectors) {
        writeFile(dir / "v", text);
        EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(dir / "v"), expected) << text;
    }
}

// Sizes around and beyond the 8192-byte read buffer, against a digest of the bytes at once.
TEST(FileMD5, StreamedDigestEqualsOneShotDigest) {
    TempDir dir;
    std::mt19937 random(42);
    for (size_t size : {8191u, 8192u, 8193u, 3u * 8192u + 17u, 1u << 20}) {
        std::string data(size, '\0');
        for (char& c : data) c = static_cast<char>(random());
        writeFile(dir / "blob", data);
        EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(dir / "blob"), oneShotMD5(data)) << size;
    }
}

TEST(FileMD5, UnreadablePathsAnswerNothing) {
    TempDir dir;
    EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(dir / "missing"), std::nullopt);
    EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(dir.path()), std::nullopt);
    EXPECT_EQ(QelEncryptUtils::getFileMD5WithPath(""), std::nullopt);
}
