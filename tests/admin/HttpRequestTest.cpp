// The admin request parser and the token endpoint's form reader.
#include <gtest/gtest.h>

#include "admin/HttpRequest.h"

namespace quorvex {
namespace {

using Fields = std::map<std::string, std::string>;

TEST(HttpRequestTest, RequestLineAndHeaderRules) {
  const auto request = parseHttpRequest("get /esme/x?y HTTP/1.1\r\nX-Name  :   Value\r\n"
                                        "x-name: second\r\nAuthorization: Bearer AbC\r\n"
                                        "no colon\r\n\r\nbody");
  ASSERT_TRUE(request);
  const Fields headers = {{"x-name", "value"}, {"authorization", "Bearer AbC"}};
  EXPECT_EQ(std::tuple(request->method, request->path, request->headers, request->headersComplete,
                       request->body),
            std::tuple("get", "/esme/x?y", headers, true, "body"));
  EXPECT_FALSE(parseHttpRequest("GET /metrics HTTP/1.1\r\nHost: x\r\n")->headersComplete);
  // Such request lines get no answer at all.
  EXPECT_FALSE(parseHttpRequest("NOSPACE\r\n\r\n"));
  EXPECT_FALSE(parseHttpRequest("GET /metrics\r\n\r\n"));
}

TEST(HttpRequestTest, FormBody) {
  EXPECT_EQ(parseFormBody("a=1&b=&c&a=2&d=x=y"), (Fields{{"a", "2"}, {"b", ""}, {"d", "x=y"}}));
}

} // namespace
} // namespace quorvex
