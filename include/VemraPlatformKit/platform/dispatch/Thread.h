#pragma once
/// @file Thread.h
/// A named thread with a priority on a 0-1 scale (0.5 is the normal priority) and a
/// minimum stack size. The priority is applied as the thread's nice value where the
/// system allows it (lowering is always allowed; raising may need privileges and is
/// then left at the normal priority).

#include <VemraPlatformKit/VPKExport.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace vpk {

class VPK_EXPORT Thread {
 public:
  /// Starts `body` on a new thread; nullptr when the system refuses to create it.
  static std::shared_ptr<Thread> start(std::string name, double priority, size_t minimumStackBytes,
                                       std::function<void()> body);
  ~Thread();  // joins, unless called on the thread itself (then detaches)
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  void join();
  bool isCurrent() const;
  const std::string& name() const { return name_; }
  size_t stackSize() const { return stackSize_; }
  /// The nice value the thread runs with (0 when it could not be changed).
  int niceValue() const { return nice_; }

  Thread(std::string name, size_t stackSize);  // use start()

 private:
  struct Start;
  static void* trampoline(void* arg);
  std::string name_;
  size_t stackSize_;
  unsigned long handle_ = 0;
  bool joined_ = true;
  std::thread::id id_;
  int nice_ = 0;
};

}  // namespace vpk
