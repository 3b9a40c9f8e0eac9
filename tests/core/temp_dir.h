// A fresh directory under $QUOR_TEST_TMP (or /tmp), removed with its
// contents when the test is done.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace quor::test {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "quor") {
    const char* base = std::getenv("QUOR_TEST_TMP");
    std::string root = base != nullptr && *base != '\0' ? base : "/tmp";
    std::filesystem::create_directories(root);
    std::string tmpl = root + "/" + prefix + "-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace quor::test
