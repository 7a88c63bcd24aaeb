// The admin request parser and the token endpoint's form reader.
#include <gtest/gtest.h>

#include "admin/HttpRequest.h"

namespace quorvex {
namespace {

TEST(HttpRequestTest, RequestLineAndHeaderRules) {
  const auto request = parseHttpRequest("get /esme/x?y HTTP/1.1\r\nX-Name  :   Value\r\n"
                                        "x-name: second\r\nAuthorization: Bearer AbC\r\n"
                                        "no colon\r\n\r\nbody");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->method, "get");
  EXPECT_EQ(request->path, "/esme/x?y");
  EXPECT_EQ(request->headers.at("x-name"), "value");
  EXPECT_EQ(request->headers.at("authorization"), "Bearer AbC");
  EXPECT_EQ(request->headers.size(), 2u);
  EXPECT_TRUE(request->headersComplete);
  EXPECT_EQ(request->body, "body");
  EXPECT_FALSE(parseHttpRequest("GET /metrics HTTP/1.1\r\nHost: x\r\n")->headersComplete);
  // Such request lines get no answer at all.
  EXPECT_FALSE(parseHttpRequest("NOSPACE\r\n\r\n"));
  EXPECT_FALSE(parseHttpRequest("GET /metrics\r\n\r\n"));
}

TEST(HttpRequestTest, FormBody) {
  const auto params = parseFormBody("a=1&b=&c&a=2&d=x=y");
  EXPECT_EQ(params.at("a"), "2");
  EXPECT_EQ(params.at("b"), "");
  EXPECT_EQ(params.count("c"), 0u);
  EXPECT_EQ(params.at("d"), "x=y");
}

} // namespace
} // namespace quorvex
