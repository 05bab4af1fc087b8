// Scratch project trees for the scanner tests.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kestrune::lexscan::testing {

// A fresh directory, removed with everything under it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "lexscan-test-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

  // Writes `data` at `rel`, creating the directories on the way.
  std::string write(const std::string& rel, const std::string& data) const {
    std::filesystem::path p = std::filesystem::path(path_) / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
    return p.string();
  }
  void mkdir(const std::string& rel) const { std::filesystem::create_directories(std::filesystem::path(path_) / rel); }
  void link(const std::string& target, const std::string& rel) const {
    std::filesystem::path p = std::filesystem::path(path_) / rel;
    std::filesystem::create_directories(p.parent_path());
    std::filesystem::create_symlink(target, p);
  }

 private:
  std::string path_;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::string data_dir() { return std::string(KESTRUNE_SOURCE_DIR) + "/tests/lexscan/data"; }

}  // namespace kestrune::lexscan::testing
