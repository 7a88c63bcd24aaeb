// The admin API's routing table: one parsed request in, one reply out.
#pragma once

#include "admin/EsmeOperations.h"
#include "admin/HttpConnection.h"
#include "admin/HttpRequest.h"
#include "admin/TargetOperations.h"
#include "admin/TargetSetOperations.h"

namespace quorvex {

class MetricsRegistry;
class OAuthStore;
class StatusSource;
class TarnConfiguration;

// The process-wide services the admin API works on.
struct AdminContext {
  TarnConfiguration& config;      // changed by the admin operations
  OAuthStore& oauth;              // token endpoint and bearer check
  MetricsRegistry& metrics;       // "/metrics"
  StatusSource* status = nullptr; // upstream binds for "/status"; null until wired
};

class AdminRouter {
public:
  explicit AdminRouter(AdminContext context);

  // Routes by the table's rows in order; the first match answers.
  HttpReply route(const HttpRequest& request);

private:
  // Rows that need no token (metrics, status, preflight, token endpoint).
  bool routeOpen(const HttpRequest& request, HttpReply& reply);
  // Rows 4 to 12: DELETE and GET with a token.
  bool routeReads(const HttpRequest& request, HttpReply& reply);
  // Rows 14 to 20: JSON bodies with a token.
  bool routeJson(const HttpRequest& request, HttpReply& reply);

  AdminContext context_;
  EsmeOperations esme_;
  TargetSetOperations targetSets_;
  TargetOperations targets_;
};

} // namespace quorvex
