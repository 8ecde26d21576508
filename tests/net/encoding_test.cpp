#include <gtest/gtest.h>

#include <string>

#include "net/session.h"
#include "net/url_encoding.h"
#include "platform/paths.h"
#include "velmora/networking.h"

namespace velmora {
namespace {

TEST(PercentEncodingTest, QuerySetOfRfc3986) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"azAZ09", "azAZ09"},
        {"-._~", "-._~"},
        {"!$&'()*+,;=", "!$&'()*+,;="},
        {":@/?", ":@/?"},
        {"a b", "a%20b"},
        {"100%", "100%25"},
        {"%20", "%2520"},
        {"#frag", "%23frag"},
        {"[::1]", "%5B::1%5D"},
        {"\"<>\\^`{|}", "%22%3C%3E%5C%5E%60%7B%7C%7D"},
        {"\t\n\x7f", "%09%0A%7F"},
        {"é", "%C3%A9"},
        {"中文", "%E4%B8%AD%E6%96%87"},
        {"😀", "%F0%9F%98%80"},
        {std::string("a\0b", 3), "a%00b"},
        {"http://h:8/p?a=1&b=x y", "http://h:8/p?a=1&b=x%20y"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(detail::percentEncodeQuery(c.input), c.expected) << c.input;
        EXPECT_EQ(detail::percentEncodeFragment(c.input), c.expected) << c.input;
    }
}

TEST(PercentEncodingTest, FileURLAndPathJoin) {
    EXPECT_EQ(detail::fileURLString("/tmp/a b/中.png"), "file:///tmp/a%20b/%E4%B8%AD.png");
    EXPECT_EQ(detail::fileURLString("/x/?#%"), "file:///x/%3F%23%25");
    EXPECT_EQ(detail::fileURLString("rel").rfind("file:///", 0), 0u);

    EXPECT_EQ(platform::appendPathComponent("/d", "f"), "/d/f");
    EXPECT_EQ(platform::appendPathComponent("/d/", "f"), "/d/f");
    EXPECT_EQ(platform::appendPathComponent("/d", "/f"), "/d/f");
    EXPECT_EQ(platform::appendPathComponent("/", "f"), "/f");
    EXPECT_EQ(platform::appendPathComponent("", "f"), "f");
    EXPECT_EQ(platform::appendPathComponent("/d", ""), "/d");
}

TEST(PercentEncodingTest, TokensAreRedactedWhereverAQueryNamesThem) {
    const struct {
        std::string input;
        std::string expected;
    } cases[] = {
        {"http://h/api/x?token=abc", "http://h/api/x?token=<redacted>"},
        {"http://h/api/x?a=1&token=abc&b=2", "http://h/api/x?a=1&token=<redacted>&b=2"},
        {"http://h/x?token=abc#f", "http://h/x?token=<redacted>#f"},
        {"http://h/x?token=&a=1", "http://h/x?token=&a=1"},  // nothing to hide
        {"http://h/x?mytoken=abc&xtoken=d", "http://h/x?mytoken=abc&xtoken=d"},
        {"http://h/token=abc", "http://h/token=abc"},  // a path, not a query
        {"failed: http://h/x?token=a%20b; retry http://h/y?token=c",
         "failed: http://h/x?token=<redacted>; retry http://h/y?token=<redacted>"},
        {"no url at all", "no url at all"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(detail::redactTokens(c.input), c.expected) << c.input;
}

TEST(ProgressTextTest, FractionRoundedToSinglePrecision) {
    EXPECT_EQ(detail::progressText(1, 2), "0.5000");
    EXPECT_EQ(detail::progressText(0, 0), "0.0000");
    EXPECT_EQ(detail::progressText(7, 0), "0.0000");
    EXPECT_EQ(detail::progressText(2, 3), "0.6667");
    EXPECT_EQ(detail::progressText(100, 100), "1.0000");
    // An unknown total is -1: the fraction turns negative.
    EXPECT_EQ(detail::progressText(5, -1), "-5.0000");
}

QelMultipartFormModel part(uint64_t type, std::string name, std::string fileName,
                           std::string mimeType, std::string data) {
    QelMultipartFormModel model;
    model.type = type;
    model.name = std::move(name);
    model.fileName = std::move(fileName);
    model.mimeType = std::move(mimeType);
    model.data = std::make_shared<const QelBytes>(data.begin(), data.end());
    return model;
}

std::string text(const QelBytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST(MultipartBodyTest, ReferenceExampleByteForByte) {
    QelBytes body = QelNetworking::getHttpBodyWithFormModels(
        {part(0, "a", "", "", "1"), part(1, "image", "pic.png", "image/png", "P")});
    EXPECT_EQ(text(body),
              "--boundaryInInQelORVIniOS\r\n"
              "Content-Disposition: form-data; name=\"a\"\r\n"
              "\r\n"
              "1\r\n"
              "--boundaryInInQelORVIniOS\r\n"
              "Content-Disposition: form-data; name=\"image\";filename=\"pic.png\"\r\n"
              "Content-Type: image/png\r\n"
              "\r\n"
              "P\r\n"
              "--boundaryInInQelORVIniOS--\r\n");
}

TEST(MultipartBodyTest, EdgeCases) {
    const std::string closing = "--boundaryInInQelORVIniOS--\r\n";
    EXPECT_EQ(text(QelNetworking::getHttpBodyWithFormModels({})), closing);
    // Any other type leaves no trace, not even an opening line.
    EXPECT_EQ(text(QelNetworking::getHttpBodyWithFormModels({part(2, "x", "f", "t", "data")})),
              closing);
    // An empty file name keeps the attribute; absent data is an empty part.
    QelMultipartFormModel noData = part(1, "f", "", "image/png", "");
    noData.data = nullptr;
    EXPECT_EQ(text(QelNetworking::getHttpBodyWithFormModels({noData})),
              "--boundaryInInQelORVIniOS\r\n"
              "Content-Disposition: form-data; name=\"f\";filename=\"\"\r\n"
              "Content-Type: image/png\r\n\r\n\r\n" +
                  closing);
    // Binary content passes unchanged.
    std::string binary("\0\r\n--\xff", 6);
    QelBytes body = QelNetworking::getHttpBodyWithFormModels({part(0, "b", "", "", binary)});
    EXPECT_NE(text(body).find("\r\n\r\n" + binary + "\r\n--"), std::string::npos);
    EXPECT_EQ(text(body).find("Content-Type"), std::string::npos);
}

}  // namespace
}  // namespace velmora
