#include "core/format.h"

#include <gtest/gtest.h>

#include "velmora/error.h"
#include "velmora/json.h"

using namespace velmora;

TEST(Format, FillsEachPlaceholderInOrder) {
    EXPECT_EQ(detail::formatMessage("x-request-id=%@,code=%@,message=%@", {"r1", "401", "bad"}),
              "x-request-id=r1,code=401,message=bad");
    EXPECT_EQ(detail::formatMessage("%@ 出错,%@", {"a"}), "a 出错,(null)");
    EXPECT_EQ(detail::formatMessage("100%", {}), "100%");
}

TEST(Json, AbsentDiffersFromNull) {
    Json object = Json::parse(R"({"a": null, "b": 1, "c": "t"})");
    EXPECT_TRUE(isAbsent(jsonMember(object, "missing")));
    EXPECT_FALSE(isAbsent(jsonMember(object, "a")));
    EXPECT_FALSE(isPresent(jsonMember(object, "a")));
    EXPECT_TRUE(isPresent(jsonMember(object, "b")));
    EXPECT_EQ(jsonDescription(jsonMember(object, "c")), "t");
    EXPECT_EQ(jsonDescription(jsonMember(object, "b")), "1");
    EXPECT_EQ(jsonDescription(jsonMember(object, "a")), "<null>");
    EXPECT_EQ(jsonDescription(absentJson()), "(null)");
}

TEST(Error, RecordCarriesDomainCodeAndMessage) {
    auto error = QelError::make(kNSCocoaErrorDomain, -1, "x");
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), -1);
    EXPECT_EQ(error->localizedDescription(), "x");
    EXPECT_EQ(error->description(), "Error Domain=NSCocoaErrorDomain Code=-1 \"x\"");
    EXPECT_EQ(errorDescription(nullptr), "(null)");
    auto posix = makePOSIXError(2);
    EXPECT_EQ(posix->domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(posix->code(), 2);
    EXPECT_FALSE(posix->localizedDescription().empty());
}
