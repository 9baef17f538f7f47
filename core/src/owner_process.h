#pragma once

#include <sys/types.h>

namespace sorvel {

// This process's id without a system call: read once, and again in every child that fork(2)
// makes (an atfork handler), so a check per call costs a load rather than a getpid(2).
pid_t current_process_id() noexcept;

// The process an object was made in. A child forked from it inherits the object, with its open
// files, buffered bytes and locks, but is another process: writing through them there would mix
// two processes' writes in one file. Copies keep the original process.
class OwnerProcess {
 public:
  OwnerProcess() noexcept : pid_(current_process_id()) {}

  pid_t pid() const noexcept { return pid_; }
  bool is_current() const noexcept { return current_process_id() == pid_; }

 private:
  pid_t pid_;
};

}  // namespace sorvel
