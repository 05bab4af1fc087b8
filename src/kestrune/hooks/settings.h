// Our entries in a JSON settings file of the assistant (.claude/settings.json,
// .mcp.json): merged in and taken out again, leaving every other key, entry
// and the key order as they were.
//
//   SettingsFile f = read_settings(path);          // {} when there is no file
//   json::Value doc = f.doc;
//   merge_entries(doc, entries);                   // or remove_entries()
//   write_settings(f, doc);                        // only when it changed; <path>.bak first
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kestrune/base/json.h"

namespace kestrune::hooks {

// A settings file we must not touch: not UTF-8 JSON, not an object, or a
// container on the way to our entries that is of another type. The text is
// one line naming the file.
struct MalformedSettings : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct SettingsFile {
  std::string path;
  std::optional<std::string> bytes;  // as on disk; nullopt when there is no file
  json::Value doc;                   // the document; {} when there is no file
};

// Throws MalformedSettings, or fs::OsError when the file cannot be read. A
// file holding only white space counts as {}.
SettingsFile read_settings(const std::string& path);
// The document in `bytes`, as read_settings() reads a file's.
json::Value parse_settings(std::string_view bytes);

// The text written: indent 2, non-ASCII characters as they are, a final line feed.
std::string render_settings(const json::Value& doc);

// Replaces the file with `doc` when it differs from the document read (the
// directory created when missing, the old file copied to <path>.bak first);
// returns whether it wrote.
bool write_settings(const SettingsFile& file, const json::Value& doc);

// One entry of ours. Its container is reached from the top of the document
// through the object keys `where` (created when missing, appended after the
// keys already there):
//  - an object when `key` is set: our member `key` holds `value`;
//  - an array otherwise: one element equal to `value`, and `without_ours`
//    tells ours from the rest in any element: the element with what is ours
//    taken out, nullopt when nothing in it is ours, null when all of it is.
struct Entry {
  std::vector<std::string> where;
  std::string key;
  json::Value value;
  std::function<std::optional<json::Value>(const json::Value&)> without_ours;
};

// Puts each entry in place: an older entry of ours is replaced where it was
// (its first place), a new one appended; everything else is left as it is.
// Running it twice changes nothing the second time. Returns whether `doc`
// changed. Throws MalformedSettings.
bool merge_entries(json::Value& doc, const std::vector<Entry>& entries);

// Takes every entry of ours out, and the containers that only held ours.
// Returns whether `doc` changed. Throws MalformedSettings.
bool remove_entries(json::Value& doc, const std::vector<Entry>& entries);

// The elements of the array at `where` that hold something of ours.
std::vector<const json::Value*> find_ours(const json::Value& doc, const Entry& entry);

}  // namespace kestrune::hooks
