// The admin API of the running gateway, for what only a real process shows:
// framing over a socket, size bounds, deadlines and slow peers, a kill while
// saving, secrets kept out of the output, and an admin port already taken.
// The routing table and the operations are checked in-process in tests/admin.
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "admin/HttpConnection.h"
#include "integration/AdminFixture.h"

namespace quorvex::test {
namespace {

using nlohmann::json;
using std::chrono::steady_clock;

const char* kFallback = "HTTP/1.1 200 OK\r\n\r\nOK";
const auto kDeadline = std::chrono::milliseconds(kRequestTimeoutMillis);

// Requests and replies far beyond one read or write of a socket, and
// requests split across segments or ended by the client, are read whole;
// those over a bound are refused as soon as the bound is crossed; a hundred
// slow peers each hold only their own connection, until their own deadline.
TEST_F(AdminServerTest, RequestsAreReadWholeRefusedAtTheirBoundsAndTimedPerPeer) {
  const std::string note(300 * 1024, 'n');
  const std::string target = R"({"name":"big","host":"127.0.0.1","port":9,"systemid":"b",)"
                             R"("password":"p","note":")" +
                             note + "\"}";
  EXPECT_EQ(send("POST", "/targetsets/set1/targets", target).statusLine,
            "HTTP/1.1 200 Target added set1");
  const HttpTestReply reply = send("GET", "/targetsets/set1/targets/big");
  EXPECT_EQ(reply.headers.at("content-length"), std::to_string(reply.body.size()));
  EXPECT_EQ(json::parse(reply.body).at("note"), note);

  const std::string whole =
      jsonRequest("POST", "/esme", gateway_->token(), R"({"systemid":"split","targetset":"set1"})");
  const size_t headerEnd = whole.find("\r\n\r\n");
  // Request line, part of the headers, the rest of the headers, then the body in two pieces.
  const std::vector<std::string> pieces = {
      whole.substr(0, 10), whole.substr(10, headerEnd - 10), whole.substr(headerEnd, 4),
      whole.substr(headerEnd + 4, 12), whole.substr(headerEnd + 16)};
  EXPECT_EQ(httpExchange(port(), pieces, 50).statusLine, "HTTP/1.1 200 ESME added split");
  // A head without its empty line, ended by the client, is taken as it stands.
  EXPECT_EQ(httpExchange(port(), {"GET /metrics HTTP/1.1\r\nHost: x\r\n"}, 0, true).raw, kFallback);
  // An unparsable request line gets no answer.
  EXPECT_EQ(httpExchange(port(), "NOSPACE\r\n\r\n").raw, "");

  std::string manyLines = "GET /metrics HTTP/1.1\r\n";
  for (int i = 0; i < 20; ++i) {
    manyLines += "X-Line" + std::to_string(i) + ": " + std::string(4000, 'b') + "\r\n";
  }
  const std::pair<std::string, int> oversized[] = {
      {"POST /esme HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(kMaxRequestBytes + 1) + "\r\n\r\n",
       413},
      {"GET /metrics HTTP/1.1\r\nX-Big: " + std::string(160 * 1024, 'a') + "\r\n\r\n", 431},
      {manyLines + "\r\n", 431},
      {"GET /" + std::string(kMaxLineBytes + 10, 'p') + " HTTP/1.1\r\n\r\n", 400},
  };
  for (const auto& [text, status] : oversized) {
    const auto start = steady_clock::now();
    const HttpTestReply refused = httpExchange(port(), text);
    EXPECT_EQ(refused.status, status) << refused.raw;
    EXPECT_LT(steady_clock::now() - start, kDeadline);
  }

  std::vector<int> slow;
  for (int i = 0; i < 100; ++i) {
    const int fd = connectLoopback(port());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::send(fd, "GET /metr", 9, MSG_NOSIGNAL), 9);
    slow.push_back(fd);
  }
  auto start = steady_clock::now();
  EXPECT_EQ(httpExchange(port(), request("GET", "/metrics")).status, 200);
  // Served one after another, the scrape would wait out a slow peer's deadline.
  EXPECT_LT(steady_clock::now() - start, kDeadline);
  start = steady_clock::now();
  EXPECT_EQ(httpExchange(port(), "GET /metrics HTTP/1.1\r\n").raw, kFallback);
  EXPECT_GE(steady_clock::now() - start, kDeadline - std::chrono::milliseconds(100));
  // By now the first hundred are past their deadline: their request line
  // never ended, so they are closed without an answer.
  for (const int fd : slow) {
    struct timeval wait = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    char byte = 0;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);
    ::close(fd);
  }
}

// A kill -9 lands at another instant of a stream of saves in each round:
// the file left behind is always whole (the old or the new one) and starts
// the next gateway.
TEST_F(AdminServerTest, KilledWhileSavingLeavesAWholeConfiguration) {
  std::minstd_rand random(7);
  for (int round = 0; round < 30; ++round) {
    const std::string token = gateway_->token();
    std::atomic<bool> killed{false};
    std::thread saver([&] {
      for (int i = 0; !killed.load(); ++i) {
        const std::string id = "r" + std::to_string(round) + "e" + std::to_string(i);
        try {
          httpExchange(port(), jsonRequest("POST", "/esme", token,
                                           R"({"systemid":")" + id + R"(","targetset":"set1"})"));
        } catch (const std::exception&) {
          return; // the gateway is gone
        }
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 20000));
    gateway_->stop(SIGKILL);
    killed = true;
    saver.join();
    json saved;
    ASSERT_NO_THROW(saved = savedConfig())
        << "round " << round << ": " << dir().read("quorvex.conf");
    ASSERT_EQ(saved["esme"][0]["systemid"], "esme1") << "round " << round;
    gateway_->start();
    ASSERT_TRUE(gateway_->ready()) << "round " << round << ": " << gateway_->output();
  }
}

// Also a second gateway, which finds the admin port taken and ends at once,
// leaving its SMPP service down.
TEST_F(AdminServerTest, NoSecretReachesTheOutputOrTheLogAndATakenAdminPortKeepsSmppDown) {
  stopGateway();
  json config = adminConfig();
  config["targetsets"][0]["targets"][0]["password"] = "targetPw1";
  config["esme"][0]["password"] = "esmePw1";
  startGateway(config);
  EXPECT_EQ(
      send("POST", "/esme", R"({"systemid":"e2","targetset":"set1","password":"esmePw2"})").status,
      200);
  // Credentials in the query string of a token request.
  httpExchange(port(), request("POST", "/oauth2/v1/token?grant_type=client_credentials&scope=api&"
                                       "client_id=ops&client_secret=s3cret"));
  TempDir second;
  config["base"]["smpp.port"] = freePort();
  config["base"]["http.port"] = port();
  second.write("quorvex.conf", config.dump());
  GatewayProcess refused(second.path());
  EXPECT_EQ(refused.waitExit(), 0);
  EXPECT_NE(refused.output().find("fatal error getting listening socket"), std::string::npos)
      << refused.output();
  EXPECT_EQ(refused.output().find("Listening for SMPP on port"), std::string::npos);
  const std::string everything =
      gateway_->output() + dir().read("application.log") + refused.output() + refused.errors();
  for (const char* secret : {"s3cret", "targetPw1", "esmePw1", "esmePw2"}) {
    EXPECT_EQ(everything.find(secret), std::string::npos) << secret << "\n" << everything;
  }
}

} // namespace
} // namespace quorvex::test
