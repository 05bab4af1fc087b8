#include "kestrune/hooks/settings.h"

#include "kestrune/base/fs.h"
#include "kestrune/base/json_exact.h"
#include "kestrune/base/text.h"

namespace kestrune::hooks {

namespace {

std::string quoted(const std::string& key) { return json::dumps(json::Value(key)); }

// The container at `where`: nullptr when some key on the way is missing
// (created instead when `create`, as an object, or as an array at the end
// when `array`). Throws when something on the way is of another type.
json::Value* container(json::Value& doc, const std::vector<std::string>& where, bool array, bool create) {
  json::Value* at = &doc;
  for (size_t i = 0; i < where.size(); ++i) {
    const bool last = i + 1 == where.size();
    json::Value* next = at->as_object().find(where[i]);
    if (next == nullptr) {
      if (!create) return nullptr;
      next =
          &at->as_object().append(where[i], last && array ? json::Value(json::Array{}) : json::Value(json::Object{}));
    }
    const bool ok = last && array ? next->is_array() : next->is_object();
    if (!ok) throw MalformedSettings(quoted(where[i]) + " is not " + (last && array ? "a list" : "an object"));
    at = next;
  }
  return at;
}

// Drops the containers on `where` that are empty now but held something
// before (only ours, then), deepest first.
void prune(json::Value& doc, const std::vector<std::string>& where, const std::vector<bool>& was_empty) {
  for (size_t depth = where.size(); depth-- > 0;) {
    json::Value* parent = &doc;
    for (size_t i = 0; i < depth; ++i) parent = parent->as_object().find(where[i]);
    json::Value* child = parent->as_object().find(where[depth]);
    const bool empty = child->is_array() ? child->as_array().empty() : child->as_object().empty();
    if (!empty || was_empty[depth]) return;
    parent->as_object().erase(where[depth]);
  }
}

std::vector<bool> emptiness(json::Value& doc, const std::vector<std::string>& where) {
  std::vector<bool> out;
  const json::Value* at = &doc;
  for (const std::string& k : where) {
    at = at->find(k);
    out.push_back(at->is_array() ? at->as_array().empty() : at->as_object().empty());
  }
  return out;
}

// The array without what is ours; the index where the first element that was
// all ours stood, if any.
json::Array strip(const json::Array& items, const Entry& e, std::optional<size_t>& first_gone) {
  json::Array out;
  for (const json::Value& item : items) {
    std::optional<json::Value> rest = e.without_ours(item);
    if (!rest) {
      out.push_back(item);
    } else if (rest->is_null()) {
      if (!first_gone) first_gone = out.size();
    } else {
      out.push_back(std::move(*rest));
    }
  }
  return out;
}

}  // namespace

json::Value parse_settings(std::string_view bytes) {
  if (text::strip(bytes).empty()) return json::Object{};
  if (!text::is_valid_utf8(bytes)) throw MalformedSettings("not UTF-8 text");
  json::Value doc;
  try {
    doc = json::parse_exact(bytes);
  } catch (const json::ParseError& e) {
    throw MalformedSettings(std::string("not valid JSON (") + e.what() + ")");
  }
  if (!doc.is_object()) throw MalformedSettings("not a JSON object");
  return doc;
}

SettingsFile read_settings(const std::string& path) {
  SettingsFile f;
  f.path = path;
  f.bytes = fs::read_bytes_if_file(path);
  f.doc = f.bytes ? parse_settings(*f.bytes) : json::Value(json::Object{});
  return f;
}

std::string render_settings(const json::Value& doc) {
  return json::dumps(doc, {.indent = 2, .ensure_ascii = false}) + "\n";
}

bool write_settings(const SettingsFile& file, const json::Value& doc) {
  if (file.bytes && json::dumps(doc) == json::dumps(file.doc)) return false;
  const std::string dir = fs::dirname(file.path);
  if (!dir.empty()) fs::makedirs(dir);
  if (file.bytes) fs::write_atomic(file.path + ".bak", *file.bytes);
  fs::write_atomic(file.path, render_settings(doc));
  return true;
}

bool merge_entries(json::Value& doc, const std::vector<Entry>& entries) {
  const std::string before = json::dumps(doc);
  for (const Entry& e : entries) {
    if (!e.key.empty()) {
      container(doc, e.where, false, true)->as_object().set(e.key, e.value);
      continue;
    }
    json::Value& list = *container(doc, e.where, true, true);
    std::optional<size_t> first_gone;
    json::Array rest = strip(list.as_array(), e, first_gone);
    rest.insert(rest.begin() + static_cast<long>(first_gone.value_or(rest.size())), e.value);
    list = std::move(rest);
  }
  return json::dumps(doc) != before;
}

bool remove_entries(json::Value& doc, const std::vector<Entry>& entries) {
  const std::string before = json::dumps(doc);
  for (const Entry& e : entries) {
    json::Value* at = container(doc, e.where, e.key.empty(), false);
    if (at == nullptr) continue;
    const std::vector<bool> was_empty = emptiness(doc, e.where);
    if (!e.key.empty()) {
      at->as_object().erase(e.key);
    } else {
      std::optional<size_t> first_gone;
      *at = strip(at->as_array(), e, first_gone);
    }
    prune(doc, e.where, was_empty);
  }
  return json::dumps(doc) != before;
}

std::vector<const json::Value*> find_ours(const json::Value& doc, const Entry& e) {
  std::vector<const json::Value*> out;
  const json::Value* at = &doc;
  for (const std::string& k : e.where)
    if ((at = at->find(k)) == nullptr) return out;
  if (!e.key.empty()) {
    if (const json::Value* v = at->find(e.key)) out.push_back(v);
  } else if (at->is_array()) {
    for (const json::Value& item : at->as_array())
      if (e.without_ours(item)) out.push_back(&item);
  }
  return out;
}

}  // namespace kestrune::hooks
