// Framing, the open routes, the preflight and the fallback reply.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <utility>

#include "admin/AdminFixture.h"
#include "admin/HttpConnection.h"
#include "admin/HttpRequest.h"

namespace quorvex::test {
namespace {

using nlohmann::json;

const char* kFallback = "HTTP/1.1 200 OK\r\n\r\nOK";

TEST_F(AdminServerTest, MetricsLargerThan64KiBArriveWhole) {
  // Every configured target adds its own labelled series.
  json config = json::parse(kAdminConfig);
  json& targets = config["targetsets"][0]["targets"];
  for (int i = 0; i < 80; ++i) {
    json target = targets[0];
    target["name"] = "smsc" + std::to_string(i);
    target["bindqty"] = 1;
    targets.push_back(target);
  }
  stopGateway();
  startGateway(config);
  // The series appear once the upstream thread has built the pools.
  HttpTestReply reply;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    reply = httpExchange(port_, request("GET", "/metrics"));
    if (reply.body.find("{smsc=\"smsc79\"}") != std::string::npos ||
        std::chrono::steady_clock::now() >= deadline) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(reply.headers.at("content-type"), "text/plain");
  EXPECT_EQ(reply.headers.at("content-length"), std::to_string(reply.body.size()));
  EXPECT_EQ(reply.headers.at("connection"), "close");
  EXPECT_EQ(reply.headers.at("access-control-allow-origin"), "*");
  EXPECT_GT(reply.body.size(), 64u * 1024);
  EXPECT_EQ(reply.body.back(), '\n');
  EXPECT_NE(reply.body.find("{smsc=\"smsc79\"}"), std::string::npos) << reply.body.size();
}

TEST_F(AdminServerTest, RequestSplitAcrossSegmentsIsReadWhole) {
  const std::string whole =
      jsonRequest("POST", "/esme", token(), R"({"systemid":"split","targetset":"set1"})");
  const size_t headerEnd = whole.find("\r\n\r\n");
  // Request line, part of the headers, the rest of the headers, then the body in two pieces.
  const std::vector<std::string> pieces = {
      whole.substr(0, 10), whole.substr(10, headerEnd - 10), whole.substr(headerEnd, 4),
      whole.substr(headerEnd + 4, 12), whole.substr(headerEnd + 16)};
  const HttpTestReply reply = httpExchange(port_, pieces, 50);
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 ESME added split");
  EXPECT_EQ(view("/esme/split")["sharedtargetsetid"], "set1");
}

TEST_F(AdminServerTest, OversizedRequestsAreRefusedAsSoonAsTheyShow) {
  const std::string declared = "POST /esme HTTP/1.1\r\nContent-Type: application/json\r\n"
                               "Content-Length: " +
                               std::to_string(kMaxRequestBytes + 1) + "\r\n\r\n";
  EXPECT_EQ(httpExchange(port_, declared).status, 413);
  std::string manyLines = "GET /metrics HTTP/1.1\r\n";
  for (int i = 0; i < 20; ++i) {
    manyLines += "X-Line" + std::to_string(i) + ": " + std::string(4000, 'b') + "\r\n";
  }
  const std::vector<std::pair<std::string, int>> cases = {
      {"GET /metrics HTTP/1.1\r\nX-Big: " + std::string(160 * 1024, 'a') + "\r\n\r\n", 431},
      {manyLines + "\r\n", 431},
      {"GET /" + std::string(kMaxLineBytes + 10, 'p') + " HTTP/1.1\r\n\r\n", 400},
  };
  for (const auto& [text, status] : cases) {
    const auto start = std::chrono::steady_clock::now();
    const HttpTestReply reply = httpExchange(port_, text);
    EXPECT_EQ(reply.status, status) << reply.raw;
    // Refused when the bound is crossed, not when the peer's deadline ends.
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(kRequestTimeoutMillis));
  }
  // The server goes on serving.
  EXPECT_EQ(httpExchange(port_, request("GET", "/status")).status, 200);
}

TEST_F(AdminServerTest, SlowClientsHoldOnlyTheirOwnConnections) {
  // A hundred clients that send the start of a request and go quiet.
  std::vector<int> slow;
  for (int i = 0; i < 100; ++i) {
    const int fd = connectLoopback(port_);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, "GET /metr", 9, MSG_NOSIGNAL), 9);
    slow.push_back(fd);
  }
  const auto start = std::chrono::steady_clock::now();
  const HttpTestReply reply = httpExchange(port_, request("GET", "/metrics"));
  EXPECT_EQ(reply.status, 200);
  // Served one after another, the scrape would wait out a slow client's deadline.
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(kRequestTimeoutMillis));
  // Each slow client is dropped at its own deadline: its request line never ended.
  for (const int fd : slow) {
    struct timeval wait = {kRequestTimeoutMillis / 1000 + 5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    char byte = 0;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);
    ::close(fd);
  }
}

TEST_F(AdminServerTest, PeerThatStopsSendingIsAnsweredAtTheTimeout) {
  const auto start = std::chrono::steady_clock::now();
  const HttpTestReply reply = httpExchange(port_, "GET /metrics HTTP/1.1\r\n");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(reply.raw, kFallback);
  EXPECT_GE(waited, std::chrono::milliseconds(kRequestTimeoutMillis - 100));
}

TEST_F(AdminServerTest, PreflightAndConsolePageNeedNoToken) {
  const HttpTestReply reply = httpExchange(port_, request("OPTIONS", "/esme/anything"));
  EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(reply.headers.at("access-control-allow-origin"), "*");
  EXPECT_EQ(reply.headers.at("access-control-allow-headers"), "*");
  EXPECT_EQ(reply.headers.at("access-control-allow-methods"), "*");
  EXPECT_EQ(reply.body, "{}");
  EXPECT_EQ(httpExchange(port_, request("options", "/")).body, "{}");
  // Only the two spellings of the table.
  EXPECT_EQ(httpExchange(port_, request("Options", "/")).raw, kFallback);

  const HttpTestReply page = httpExchange(port_, request("GET", "/console"));
  EXPECT_EQ(page.statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(page.headers.at("content-type"), "text/html");
  EXPECT_EQ(page.headers.at("content-length"), std::to_string(page.body.size()));
  EXPECT_EQ(page.body.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(page.body.find("</html>"), std::string::npos);
  // Nothing is fetched from elsewhere: the gateway's network may have no internet.
  EXPECT_EQ(page.body.find("https://"), std::string::npos);
}

TEST_F(AdminServerTest, MalformedOrUnmatchedRequestsGetTheFallbackOrNoAnswer) {
  const std::string t = token();
  EXPECT_EQ(httpExchange(port_, request("GET", "/")).raw, kFallback);
  EXPECT_EQ(httpExchange(port_, request("GET", "/targetsets/", {"Authorization: Bearer " + t})).raw,
            kFallback);
  EXPECT_EQ(httpExchange(port_, request("GET", "/metrics?x=1")).raw, kFallback);
  // "Post" is none of the spellings of the JSON rows.
  EXPECT_EQ(httpExchange(port_, jsonRequest("Post", "/esme", t, "{}")).raw, kFallback);
  // A request without its empty line, also for the metrics.
  EXPECT_EQ(
      httpExchange(port_, std::vector<std::string>{"GET /metrics HTTP/1.1\r\nHost: x\r\n"}, 0, true)
          .raw,
      kFallback);
  EXPECT_EQ(httpExchange(port_, "NOSPACE\r\n\r\n").raw, "");
  EXPECT_EQ(httpExchange(port_, "GET /metrics\r\n\r\n").raw, "");
  EXPECT_EQ(send("POST", "/esme", "{not json").raw, kFallback);
  // A member of the wrong type ends the operation the same way.
  EXPECT_EQ(send("POST", "/esme", R"({"systemid":5,"targetset":"set1"})").raw, kFallback);
  EXPECT_EQ(view("/esme"), json::parse(R"(["esme1"])"));
}

TEST_F(AdminServerTest, ControlSwitchesAudit) {
  EXPECT_EQ(send("POST", "/control", R"({"log.audit":true})").statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(send("POST", "/control", R"({"log.audit":false})").status, 200);
  const HttpTestReply bad = send("POST", "/control", R"({"log.audit":"yes"})");
  EXPECT_EQ(bad.statusLine, "HTTP/1.1 400 Bad command");
  EXPECT_EQ(bad.body, "{}");
  EXPECT_EQ(send("POST", "/control", R"({"other":1})").statusLine, "HTTP/1.1 400 Unknown command");
}

TEST_F(AdminServerTest, HttpPortInUseKeepsTheSmppServiceDown) {
  // A second gateway on the admin port of the running one.
  TempDir second;
  json config = json::parse(kAdminConfig);
  config["base"]["http.port"] = port_;
  config["base"]["smpp.port"] = freePort();
  second.write("quorvex.conf", config.dump());
  GatewayProcess refused(second.path());
  EXPECT_EQ(refused.waitExit(), 0);
  EXPECT_NE(refused.output().find("fatal error getting listening socket"), std::string::npos)
      << refused.output();
  EXPECT_EQ(refused.output().find("Listening for SMPP on port"), std::string::npos);
}

TEST(HttpRequestTest, HeaderRules) {
  const auto request = parseHttpRequest("get /esme/x?y HTTP/1.1\r\nX-Name  :   Value\r\n"
                                        "x-name: second\r\nAuthorization: Bearer AbC\r\n"
                                        "no colon\r\n\r\nbody");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->method, "get");
  EXPECT_EQ(request->path, "/esme/x?y");
  EXPECT_EQ(request->headers.at("x-name"), "value");
  EXPECT_EQ(request->headers.at("authorization"), "Bearer AbC");
  EXPECT_EQ(request->headers.size(), 2u);
  EXPECT_EQ(request->body, "body");
}

TEST(HttpRequestTest, FormBody) {
  const auto params = parseFormBody("a=1&b=&c&a=2&d=x=y");
  EXPECT_EQ(params.at("a"), "2");
  EXPECT_EQ(params.at("b"), "");
  EXPECT_EQ(params.count("c"), 0u);
  EXPECT_EQ(params.at("d"), "x=y");
}

} // namespace
} // namespace quorvex::test
