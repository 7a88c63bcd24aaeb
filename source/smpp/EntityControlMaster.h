// The owner of sessions (the downstream server, the upstream manager), as
// the sessions see it. Every operation has a do-nothing default so an owner
// implements only what it serves.
#pragma once

#include <string>

namespace quorvex::smpp {

class SMPPSession;

class EntityControlMaster {
public:
  virtual ~EntityControlMaster() = default;

  // An admin-port session was opened or closed on `descriptor`.
  virtual void adminSessionOpened(int descriptor) { (void)descriptor; }
  virtual void adminSessionClosed(int descriptor) { (void)descriptor; }
  // A downstream session is about to be destroyed by its owner.
  virtual void sessionRemoved(SMPPSession* session) { (void)session; }
  // Runs the timed-check sweep over every session.
  virtual void triggerTimedCheck() {}
  // A connection from `address` ended without a bind request.
  virtual void notifyEvent_ESMEBindAttemptNotReceived(const std::string& address) { (void)address; }
  // Adds `address` to the IP whitelist.
  virtual void addWhitelistIP(const std::string& address) { (void)address; }
};

} // namespace quorvex::smpp
