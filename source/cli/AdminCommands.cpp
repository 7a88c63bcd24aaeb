#include "cli/AdminCommands.h"

#include <nlohmann/json.hpp>

#include "cli/AdminClient.h"

namespace quorvex {

using nlohmann::json;

namespace {

const char* const kCommands[] = {"esmeAdd",         "esmeRemove",      "esmeModify",
                                 "esmeView",        "esmeList",        "targetSetAdd",
                                 "targetSetRemove", "targetSetModify", "targetSetList"};

const char* const kTargetSetArguments = " <id> <name> [true]";

// Only "true" in lower case enables submits.
bool flagOf(const std::vector<std::string>& args) { return args.size() > 2 && args[2] == "true"; }

} // namespace

bool AdminCommands::isCommand(const std::string& word) {
  for (const char* command : kCommands) {
    if (word == command) {
      return true;
    }
  }
  return false;
}

void AdminCommands::run(const std::string& word, const std::vector<std::string>& args) {
  const size_t n = args.size();
  if (word == "esmeAdd" || word == "esmeModify") {
    if (n != 2) {
      return usage(word, " <systemid> <targetset-name>");
    }
    return word == "esmeAdd" ? esmeAdd(args[0], args[1]) : esmeModify(args[0], args[1]);
  }
  if (word == "esmeRemove" || word == "esmeView") {
    if (n != 1) {
      return usage(word, " <systemid>");
    }
    return word == "esmeRemove" ? esmeRemove(args[0]) : esmeView(args[0]);
  }
  if (word == "targetSetRemove") {
    if (n != 1) {
      return usage(word, " <name>");
    }
    return targetSetRemove(args[0]);
  }
  if (word == "targetSetAdd" || word == "targetSetModify") {
    if (n != 2 && n != 3) {
      return usage(word, kTargetSetArguments);
    }
    return word == "targetSetAdd" ? targetSetAdd(args[0], args[1], flagOf(args))
                                  : targetSetModify(args[0], args[1], flagOf(args));
  }
  if (word == "esmeList") {
    return esmeList();
  }
  if (word == "targetSetList") {
    return targetSetList();
  }
}

void AdminCommands::esmeAdd(const std::string& systemId, const std::string& targetSet) {
  change("POST", "/esme", json{{"systemid", systemId}, {"targetset", targetSet}}.dump(),
         "Successfully added", "Add failed");
}

void AdminCommands::esmeRemove(const std::string& systemId) {
  change("DELETE", "/esme/" + systemId, "null", "Successfully removed", "Remove failed");
}

void AdminCommands::esmeModify(const std::string& systemId, const std::string& targetSet) {
  change("PUT", "/esme/" + systemId, json{{"targetset", targetSet}}.dump(), "Successfully modified",
         "Modify failed");
}

void AdminCommands::esmeView(const std::string& systemId) { view("/esme/" + systemId); }

void AdminCommands::esmeList() { view("/esme"); }

void AdminCommands::targetSetAdd(const std::string& id, const std::string& name,
                                 bool submitsEnabled) {
  const json body = {
      {"id", id}, {"name", name}, {"submits_enabled", submitsEnabled}, {"targets", nullptr}};
  change("POST", "/targetsets", body.dump(), "Successfully added", "Add failed");
}

void AdminCommands::targetSetRemove(const std::string& id) {
  change("DELETE", "/targetsets/" + id, "null", "Successfully removed", "Remove failed");
}

void AdminCommands::targetSetModify(const std::string& id, const std::string& name,
                                    bool submitsEnabled) {
  const json body = {{"id", id}, {"name", name}, {"submits_enabled", submitsEnabled}};
  change("PUT", "/targetsets/" + id, body.dump(), "Successfully modified", "Modify failed");
}

void AdminCommands::targetSetList() { view("/targetsets"); }

void AdminCommands::change(const char* method, const std::string& path, const std::string& body,
                           const char* success, const char* failure) {
  std::string response;
  long status = 0;
  const bool ok =
      client_.makeHTTPRequest(method, client_.baseUrl() + path, {client_.authorizationHeader()},
                              body, response, status, true);
  out_ << (ok && status == 200 ? success : failure) << "\n";
  out_.flush();
}

void AdminCommands::view(const std::string& path) {
  std::string response;
  long status = 0;
  const bool ok = client_.makeGETHTTPRequest(client_.baseUrl() + path,
                                             {client_.authorizationHeader()}, response, status);
  std::string text = "Failed";
  if (ok && status == 200) {
    try {
      text = json::parse(response).dump(2);
    } catch (const json::exception&) {
      // An answer that is no JSON is reported as a failure.
    }
  }
  out_ << text << "\n";
  out_.flush();
}

void AdminCommands::usage(const std::string& word, const char* arguments) {
  out_ << "Usage: " << word << arguments << "\n";
  out_.flush();
}

} // namespace quorvex
