#pragma once

#include <sys/resource.h>

#include <csignal>
#include <cstdint>

namespace sorvel::testing {

// Lowers this process's file size limit for its lifetime, so writes past `bytes` fail with EFBIG
// (SIGXFSZ is ignored meanwhile), and restores the limit and the signal's handler when it goes away.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(std::uint64_t bytes) {
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit lowered = old_;
    lowered.rlim_cur = static_cast<rlim_t>(bytes);
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  void (*old_handler_)(int);
};

}  // namespace sorvel::testing
