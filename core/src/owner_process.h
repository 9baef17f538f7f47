#pragma once

#include <sys/types.h>
#include <unistd.h>

namespace sorvel {

// The process an object was made in. A child forked from it inherits the object, with its open
// files, buffered bytes and locks, but is another process: writing through them there would mix
// two processes' writes in one file. Copies keep the original process.
class OwnerProcess {
 public:
  OwnerProcess() noexcept : pid_(::getpid()) {}

  pid_t pid() const noexcept { return pid_; }
  // One getpid(2).
  bool is_current() const noexcept { return ::getpid() == pid_; }

 private:
  pid_t pid_;
};

}  // namespace sorvel
