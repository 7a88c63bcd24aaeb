#include "admin/ConfigDocument.h"

namespace quorvex {

using nlohmann::json;

const json* arrayMember(const json& doc, const char* name) {
  if (!doc.is_object()) {
    return nullptr;
  }
  auto it = doc.find(name);
  return it == doc.end() || !it->is_array() ? nullptr : &*it;
}

json* arrayMember(json& doc, const char* name) {
  return const_cast<json*>(arrayMember(static_cast<const json&>(doc), name));
}

json* findElement(json* list, const char* key, const std::string& value) {
  if (list == nullptr) {
    return nullptr;
  }
  for (auto& element : *list) {
    if (element.is_object() && element.contains(key) && element[key] == value) {
      return &element;
    }
  }
  return nullptr;
}

bool eraseElement(json* list, const char* key, const std::string& value) {
  const json* found = findElement(list, key, value);
  if (found == nullptr) {
    return false;
  }
  for (auto it = list->begin(); it != list->end(); ++it) {
    if (&*it == found) {
      list->erase(it);
      break;
    }
  }
  return true;
}

json elementValues(const json& list, const char* key) {
  json values = json::array();
  for (const auto& element : list) {
    if (element.is_object() && element.contains(key)) {
      values.push_back(element[key]);
    }
  }
  return values;
}

} // namespace quorvex
