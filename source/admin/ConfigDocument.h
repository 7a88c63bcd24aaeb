// Lookups in the arrays of objects of the configuration document ("esme",
// "targetsets", a set's "targets") that the admin operations read and edit.
// Each is a linear scan: the arrays hold what operators configured, and the
// admin API is far from the message path.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace quorvex {

// `doc[name]` when it exists and is an array; null otherwise (never creates it).
nlohmann::json* arrayMember(nlohmann::json& doc, const char* name);
const nlohmann::json* arrayMember(const nlohmann::json& doc, const char* name);

// The first object element of `list` whose `key` equals `value`; null when
// there is none or `list` is null.
nlohmann::json* findElement(nlohmann::json* list, const char* key, const std::string& value);

// Removes the element findElement finds; false when there is none.
bool eraseElement(nlohmann::json* list, const char* key, const std::string& value);

// The `key` values of the object elements of `list` that have one, in order.
nlohmann::json elementValues(const nlohmann::json& list, const char* key);

} // namespace quorvex
