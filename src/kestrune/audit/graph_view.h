// Tolerant field access on graph nodes, edges and results records: an absent
// key, a null or a value of another type reads as the field's default.
#pragma once

#include <cstdint>
#include <string_view>

#include "kestrune/base/json.h"

namespace kestrune::audit {

inline const json::Array& list_field(const json::Value& obj, std::string_view key) {
  static const json::Array empty;
  const json::Value* v = obj.find(key);
  return v && v->is_array() ? v->as_array() : empty;
}

inline std::string_view str_field(const json::Value& obj, std::string_view key) {
  const json::Value* v = obj.find(key);
  return v && v->is_string() ? std::string_view(v->as_string()) : std::string_view();
}

inline bool has_int_field(const json::Value& obj, std::string_view key) {
  const json::Value* v = obj.find(key);
  return v && (v->is_int() || v->is_bool() || v->is_float());
}

// Integers as they are, booleans as 0 and 1, floats truncated; anything else 0.
inline long long int_field(const json::Value& obj, std::string_view key) {
  const json::Value* v = obj.find(key);
  if (!v) return 0;
  if (v->is_int()) return v->as_int();
  if (v->is_bool()) return v->as_bool() ? 1 : 0;
  if (v->is_float()) {
    const double d = v->as_double();
    return d == d && d > -9e18 && d < 9e18 ? static_cast<long long>(d) : 0;
  }
  return 0;
}

inline bool truthy_field(const json::Value& obj, std::string_view key) {
  const json::Value* v = obj.find(key);
  return v && v->truthy();
}

// A symbol's file: its `file` key when non-empty, else its `path` (the key the
// scanners write).
inline std::string_view symbol_file(const json::Value& node) {
  std::string_view file = str_field(node, "file");
  return file.empty() ? str_field(node, "path") : file;
}

// What the copy-paste check measures a symbol by: line_end - line_start.
inline long long body_length(const json::Value& node) {
  return int_field(node, "line_end") - int_field(node, "line_start");
}

}  // namespace kestrune::audit
