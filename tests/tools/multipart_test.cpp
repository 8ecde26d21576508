#include <gtest/gtest.h>

#include <string>

#include "tools/cloud-emulator/multipart.h"

namespace velmora::emulator {
namespace {

const std::string kBoundary = "boundaryInInQelORVIniOS";

// The SDK's layout: one plain field a = 1, then one file field image (pic.png, image/png, P).
const std::string kExampleBody =
    "--boundaryInInQelORVIniOS\r\n"
    "Content-Disposition: form-data; name=\"a\"\r\n\r\n"
    "1\r\n"
    "--boundaryInInQelORVIniOS\r\n"
    "Content-Disposition: form-data; name=\"image\";filename=\"pic.png\"\r\n"
    "Content-Type: image/png\r\n\r\n"
    "P\r\n"
    "--boundaryInInQelORVIniOS--\r\n";

TEST(MultipartParser, ReadsTheExampleBody) {
    FormParseResult form = parseMultipart(kExampleBody, kBoundary);
    ASSERT_TRUE(form.ok()) << form.error;
    ASSERT_EQ(form.parts.size(), 2u);
    EXPECT_EQ(form.parts[0].name, "a");
    EXPECT_EQ(form.parts[0].data, "1");
    EXPECT_FALSE(form.parts[0].fileName);
    EXPECT_FALSE(form.parts[0].contentType);
    EXPECT_EQ(form.parts[1].name, "image");
    EXPECT_EQ(form.parts[1].fileName, "pic.png");
    EXPECT_EQ(form.parts[1].contentType, "image/png");
    EXPECT_EQ(form.parts[1].data, "P");
    EXPECT_EQ(form.find("image"), &form.parts[1]);
    EXPECT_EQ(form.find("missing"), nullptr);
}

TEST(MultipartParser, KeepsBinaryDataAndEmptyValues) {
    const std::string binary("\x00\r\n--boundaryIn\xff", 17);
    const std::string body =
        "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"\"\r\n\r\n" +
        binary + "\r\n--" + kBoundary +
        "\r\nContent-Disposition: form-data; name=\"e\"\r\n\r\n\r\n--" + kBoundary + "--";
    FormParseResult form = parseMultipart(body, kBoundary);
    ASSERT_TRUE(form.ok()) << form.error;
    ASSERT_EQ(form.parts.size(), 2u);
    EXPECT_EQ(form.parts[0].data, binary);
    EXPECT_EQ(form.parts[0].fileName, "");
    EXPECT_EQ(form.parts[1].data, "");
}

TEST(MultipartParser, AcceptsTheEmptyForm) {
    FormParseResult form = parseMultipart("--" + kBoundary + "--\r\n", kBoundary);
    EXPECT_TRUE(form.ok()) << form.error;
    EXPECT_TRUE(form.parts.empty());
}

TEST(MultipartParser, RefusesMalformedBodies) {
    const std::string open = "--" + kBoundary + "\r\n";
    const std::string disposition = "Content-Disposition: form-data; name=\"a\"\r\n\r\n";
    const std::string close = "\r\n--" + kBoundary + "--\r\n";
    const struct {
        const char* what;
        std::string body;
    } cases[] = {
        {"empty body", ""},
        {"no boundary at all", "hello"},
        {"other boundary", "--other\r\n" + disposition + "1\r\n--other--\r\n"},
        {"no closing line", open + disposition + "1"},
        {"closing line cut short", open + disposition + "1\r\n--" + kBoundary},
        {"headers never end", open + "Content-Disposition: form-data; name=\"a\"\r\n1" + close},
        {"no Content-Disposition", open + "Content-Type: text/plain\r\n\r\n1" + close},
        {"no headers", open + "\r\n1" + close},
        {"not form-data", open + "Content-Disposition: attachment; name=\"a\"\r\n\r\n1" + close},
        {"no name", open + "Content-Disposition: form-data; filename=\"x\"\r\n\r\n1" + close},
        {"unterminated quote", open + "Content-Disposition: form-data; name=\"a\r\n\r\n1" + close},
        {"header without colon", open + disposition.substr(0, 19) + "\r\n\r\n1" + close},
        {"garbage after boundary",
         open.substr(0, open.size() - 2) + "x\r\n" + disposition + "1" + close},
    };
    for (const auto& c : cases) {
        FormParseResult form = parseMultipart(c.body, kBoundary);
        EXPECT_FALSE(form.ok()) << c.what;
        EXPECT_TRUE(form.parts.empty()) << c.what;
    }
    EXPECT_FALSE(parseMultipart(kExampleBody, "").ok());
    EXPECT_FALSE(parseMultipart(kExampleBody, std::string(71, 'b')).ok());
}

TEST(MultipartParser, FindsTheBoundaryOfAContentType) {
    const struct {
        const char* contentType;
        const char* boundary;
    } cases[] = {
        {"multipart/form-data; boundary=boundaryInInQelORVIniOS", "boundaryInInQelORVIniOS"},
        {"Multipart/Form-Data;boundary=\"a b;c\"", "a b;c"},
        {"multipart/form-data; charset=utf-8; boundary=xyz", "xyz"},
        {"multipart/form-data", ""},
        {"multipart/form-data; boundary=", ""},
        {"application/json; boundary=xyz", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(multipartBoundary(c.contentType), c.boundary) << c.contentType;
}

}  // namespace
}  // namespace velmora::emulator
