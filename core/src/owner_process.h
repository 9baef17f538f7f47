#pragma once

#include <sys/types.h>

#include <cstdint>

namespace sorvel {

// The process an object was made in. A child forked from it inherits the object, with its open
// files, buffered bytes and locks, but is another process: writing through them there would mix
// two processes' writes in one file.
//
// The object keeps one private anonymous page advised MADV_WIPEONFORK, which every child of
// fork(2) sees zero-filled, so is_current() is a load, with no system call and no state outside
// the object. Where the kernel refuses the advice (or the page cannot be mapped), is_current()
// compares getpid(2) instead. Not copyable or movable: the page belongs to this object.
class OwnerProcess {
 public:
  OwnerProcess() noexcept;
  OwnerProcess(const OwnerProcess&) = delete;
  OwnerProcess& operator=(const OwnerProcess&) = delete;
  ~OwnerProcess();

  pid_t pid() const noexcept { return pid_; }
  bool is_current() const noexcept;

 private:
  pid_t pid_;
  std::uint8_t* mark_ = nullptr;  // 1 in the owner; 0 in every forked child
};

}  // namespace sorvel
