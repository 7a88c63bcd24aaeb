// The command words of the command-line admin client: each sends one
// request to the admin API and prints its outcome.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace quorvex {

class AdminClient;

class AdminCommands {
public:
  AdminCommands(AdminClient& client, std::ostream& out) : client_(client), out_(out) {}

  // True for the words "esmeAdd" ... "targetSetList".
  static bool isCommand(const std::string& word);

  // Runs `word` with its arguments (those after the word); prints the
  // usage line instead when their count is wrong.
  void run(const std::string& word, const std::vector<std::string>& args);

  void esmeAdd(const std::string& systemId, const std::string& targetSet);
  void esmeRemove(const std::string& systemId);
  void esmeModify(const std::string& systemId, const std::string& targetSet);
  void esmeView(const std::string& systemId);
  void esmeList();
  void targetSetAdd(const std::string& id, const std::string& name, bool submitsEnabled);
  void targetSetRemove(const std::string& id);
  void targetSetModify(const std::string& id, const std::string& name, bool submitsEnabled);
  void targetSetList();

private:
  // A change request: `success` on status 200, `failure` otherwise.
  void change(const char* method, const std::string& path, const std::string& body,
              const char* success, const char* failure);
  // A read request: the answer indented by 2 on status 200, "Failed" otherwise.
  void view(const std::string& path);
  void usage(const std::string& word, const char* arguments);

  AdminClient& client_;
  std::ostream& out_;
};

} // namespace quorvex
