#include <stdexcept>

#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/ctxpack/ctxpack.h"

namespace kestrune::ctxpack {

Summaries load_summaries(const std::string& project_root) {
  Summaries out;
  const std::string path = fs::join(project_root, SUMMARIES_FILE);
  // No regular file there (a FIFO counts as none): no summaries.
  if (!fs::is_file(path)) return out;
  json::Value doc;
  try {
    doc = json::load_file(path, text::Errors::Replace);
  } catch (const json::ParseError& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
  if (!doc.is_object()) throw std::runtime_error(path + ": expected a JSON object from file id to summary");
  for (const json::Member& m : doc.as_object())
    if (m.value.is_string()) out[m.key] = m.value.as_string();
  return out;
}

}  // namespace kestrune::ctxpack
