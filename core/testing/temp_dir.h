#pragma once

#include <string>

namespace sorvel::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when the object goes
// away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace sorvel::testing
