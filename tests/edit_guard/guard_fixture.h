// A throw-away project with an attention file, and a Host pointed at it.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/testkit.h"
#include "kestrune/base/fs.h"
#include "kestrune/base/json.h"
#include "kestrune/edit_guard/edit_guard.h"

namespace kestrune::edit_guard::testing {

constexpr int64_t NOW = 1700000000;

class GuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = scratch.path();
    fs::makedirs(dir + "/.braid");
    fs::makedirs(dir + "/src");
    host.getenv = [this](std::string_view name) -> std::optional<std::string> {
      auto it = env.find(std::string(name));
      if (it == env.end()) return std::nullopt;
      return it->second;
    };
    host.now = [] { return NOW; };
    host.cwd = dir;
    host.read_file = [](const std::string& path) -> std::optional<std::string> {
      try {
        return fs::read_bytes(path);
      } catch (const std::exception&) {
        return std::nullopt;
      }
    };
  }
  // Writes the attention file from (kind, file, age in seconds) triples.
  struct Act {
    std::string kind;
    std::string file;
    int64_t age;
  };
  void attention(const std::vector<Act>& acts, const std::string& data_dir = "") {
    json::Array list;
    for (const Act& a : acts) {
      json::Object o;
      o.append("kind", a.kind);
      json::Object payload;
      payload.append("file", a.file);
      o.append("payload", std::move(payload));
      o.append("ts", NOW - a.age);
      list.push_back(std::move(o));
    }
    json::Object top;
    top.append("actions", std::move(list));
    raw_attention(json::dumps(top), data_dir);
  }
  void raw_attention(const std::string& text, const std::string& data_dir = "") {
    std::string d = data_dir.empty() ? dir + "/.braid" : data_dir;
    fs::makedirs(d);
    fs::write_atomic(d + "/chat_action_graph.json", text);
  }

  static std::string call(std::string_view tool, const json::Object& input) {
    json::Object o;
    o.append("tool_name", tool);
    o.append("tool_input", input);
    return json::dumps(o);
  }
  static std::string edit(const std::string& path) {
    json::Object in;
    in.append("file_path", path);
    return call("Edit", in);
  }
  static std::string bash(const std::string& command) {
    json::Object in;
    in.append("command", command);
    return call("Bash", in);
  }

  Decision decide(std::string_view input) const { return edit_guard::decide(input, host); }

  testkit::TempDir scratch;
  std::string dir;
  std::map<std::string, std::string> env;
  Host host;
};

}  // namespace kestrune::edit_guard::testing
