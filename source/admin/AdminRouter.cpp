#include "admin/AdminRouter.h"

#include "admin/ControlCommand.h"
#include "admin/OAuthStore.h"
#include "admin/StatusReport.h"
#include "app/Log.h"
#include "metrics/MetricsRegistry.h"

namespace quorvex {

using nlohmann::json;

namespace {

const char* const kClass = "Application";
const std::string kP1 = "/targetsets/";
const std::string kP2 = "/targets/";
const std::string kP3 = "/esme/";

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Upper- or lower-case spelling of a method, as the table accepts.
bool isMethod(const std::string& method, const char* upper, const char* lower) {
  return method == upper || method == lower;
}

std::string headerValue(const HttpRequest& request, const char* name) {
  auto it = request.headers.find(name);
  return it == request.headers.end() ? std::string() : it->second;
}

HttpReply normalReply(int status, std::string reason, std::string contentType, std::string body) {
  HttpReply reply;
  reply.kind = HttpReply::Kind::Normal;
  reply.status = status;
  reply.reason = std::move(reason);
  reply.contentType = std::move(contentType);
  reply.body = std::move(body);
  return reply;
}

// 200 or 400 with the message as reason; reads carry their value.
HttpReply jsonOps(const OperationResult& result, bool read) {
  return normalReply(result.success ? 200 : 400, result.message, "application/json",
                     read ? result.value.dump() : "{}");
}

// P1 {id} P2 {name}: {id} up to the first P2 after P1, {name} after it.
bool splitTargetPath(const std::string& path, std::string& id, std::string& name) {
  if (!startsWith(path, kP1) || path.size() <= 21) {
    return false;
  }
  const size_t at = path.find(kP2, kP1.size());
  if (at == std::string::npos) {
    return false;
  }
  id = path.substr(kP1.size(), at - kP1.size());
  name = path.substr(at + kP2.size());
  return true;
}

// P1 {id} with no "/" after P1.
bool targetSetPath(const std::string& path, std::string& id) {
  if (!startsWith(path, kP1) || path.size() <= kP1.size() || path.rfind('/') != kP1.size() - 1) {
    return false;
  }
  id = path.substr(kP1.size());
  return true;
}

bool esmePath(const std::string& path, std::string& systemId) {
  if (!startsWith(path, kP3) || path.size() <= kP3.size()) {
    return false;
  }
  systemId = path.substr(kP3.size());
  return true;
}

} // namespace

AdminRouter::AdminRouter(AdminContext context)
    : context_(context), esme_(context.config), targetSets_(context.config),
      targets_(context.config) {}

HttpReply AdminRouter::route(const HttpRequest& request) {
  HttpReply reply; // the fallback unless a row answers
  if (!request.headersComplete) {
    return reply;
  }
  if (routeOpen(request, reply) || routeReads(request, reply)) {
    return reply;
  }
  if (headerValue(request, "content-type") == "application/x-www-form-urlencoded" &&
      request.path == "/oauth2/v1/token") {
    std::string body;
    const int status = context_.oauth.oauth2_token(parseFormBody(request.body), body);
    return normalReply(status, "OK", "application/json", body);
  }
  if (headerValue(request, "content-type") == "application/json") {
    try {
      routeJson(request, reply);
    } catch (const std::exception& e) {
      logApplication(LOG_WARNING, nullptr, kClass, "handle_http_request", "Exception thrown %s",
                     e.what());
      reply = HttpReply();
    }
  }
  return reply;
}

bool AdminRouter::routeOpen(const HttpRequest& request, HttpReply& reply) {
  if (request.path == "/metrics") {
    reply = normalReply(200, "OK", "text/plain", context_.metrics.renderMetrics());
  } else if (request.path == "/status") {
    reply =
        normalReply(200, "OK", "text/plain", statusReport(context_.config, context_.status).dump());
  } else if (request.path == "/console" && isMethod(request.method, "GET", "get")) {
    // Served from the gateway itself so the console works without internet.
    reply.kind = HttpReply::Kind::Console;
  } else if (isMethod(request.method, "OPTIONS", "options")) {
    reply.kind = HttpReply::Kind::Options;
    reply.status = 200;
    reply.reason = "OK";
    reply.body = "{}";
  } else {
    return false;
  }
  return true;
}

bool AdminRouter::routeReads(const HttpRequest& request, HttpReply& reply) {
  const std::string& path = request.path;
  const bool isDelete = isMethod(request.method, "DELETE", "delete");
  const bool isGet = isMethod(request.method, "GET", "get");
  if (!isDelete && !isGet) {
    return false;
  }
  std::string id, name;
  const bool authorised = context_.oauth.is_authorised(request.headers);
  bool matched = false;
  OperationResult result;
  bool read = false;
  // The row is chosen first; its operation runs only for an authorised caller.
  auto run = [&](auto&& operation) {
    matched = true;
    if (authorised) {
      result = operation();
    }
  };
  if (isDelete) {
    if (targetSetPath(path, id)) {
      run([&] { return targetSets_.targetSetRemove(id); });
    } else if (esmePath(path, id)) {
      run([&] { return esme_.esmeRemove(id); });
    } else if (splitTargetPath(path, id, name)) {
      run([&] { return targets_.targetRemove(id, name); });
    }
  } else {
    read = true;
    size_t targetsAt = std::string::npos;
    if (splitTargetPath(path, id, name)) {
      run([&] { return targets_.targetView(id, name); });
    } else if (path == "/targetsets") {
      run([&] { return targetSets_.targetSetList(); });
    } else if (startsWith(path, kP1) &&
               (targetsAt = path.find("/targets", kP1.size())) != std::string::npos) {
      id = path.substr(kP1.size(), targetsAt - kP1.size());
      run([&] { return targets_.targetList(id); });
    } else if (startsWith(path, kP1) && path.back() != '/') {
      id = path.substr(kP1.size());
      run([&] { return targetSets_.targetSetView(id); });
    } else if (path == "/esme") {
      run([&] { return esme_.esmeList(); });
    } else if (esmePath(path, id)) {
      run([&] { return esme_.esmeView(id); });
    }
  }
  if (!matched) {
    return false;
  }
  reply = authorised ? jsonOps(result, read)
                     : normalReply(401, "Unauthorised", "application/json", "{}");
  return true;
}

bool AdminRouter::routeJson(const HttpRequest& request, HttpReply& reply) {
  if (!context_.oauth.is_authorised(request.headers)) {
    reply = normalReply(401, "Unauthorised", "application/json", "{}");
    return true;
  }
  const std::string& path = request.path;
  const std::string& method = request.method;
  const bool isPost = isMethod(method, "POST", "post");
  const bool isPut = isMethod(method, "PUT", "put");
  const json body = json::parse(request.body);
  std::string id, name;
  if (isPost && path == "/esme") {
    reply = jsonOps(esme_.esmeAdd(body), false);
  } else if (isPost && path == "/targetsets") {
    reply = jsonOps(targetSets_.targetSetAdd(body), false);
  } else if (method == "POST" && startsWith(path, kP1)) {
    const size_t targetsAt = path.rfind("/targets");
    const bool hasTargets = targetsAt != std::string::npos && targetsAt >= kP1.size();
    id = path.substr(kP1.size(), hasTargets ? targetsAt - kP1.size() : std::string::npos);
    reply = jsonOps(targets_.targetAdd(id, body), false);
  } else if (method == "POST" && path == "/control") {
    reply = jsonOps(controlCommand(body), false);
  } else if (isPut && esmePath(path, id)) {
    reply = jsonOps(esme_.esmeModify(id, body), false);
  } else if (isPut && targetSetPath(path, id)) {
    reply = jsonOps(targetSets_.targetSetModify(id, body), false);
  } else if (method == "PUT" && splitTargetPath(path, id, name)) {
    reply = jsonOps(targets_.targetModify(id, name, body), false);
  } else {
    return false;
  }
  return true;
}

} // namespace quorvex
