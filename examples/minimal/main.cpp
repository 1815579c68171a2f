// The smallest application of the SDK: it drives the main queue from its own main
// thread, runs a timer on the library's shared work queue, and hands results back to
// the main thread, which is where an application's user interface would live.
#include <VemraPlatformKit/VemraPlatformKit.h>

#include <cstdio>
#include <memory>

int main() {
  std::printf("VemraPlatformKit %s\n", VPKLibraryVersion());
  std::fflush(stdout);

  int ticks = 0;
  // Fires every 0.1 s on the shared work queue, where device and stream state lives.
  auto timer = VPKTimer::create(VPKResourceManager::sharedQueue(), 0.1, [&ticks](const std::shared_ptr<VPKTimer>& t) {
    const int n = ++ticks;
    // Results go to the main queue, like the library's own notifications.
    vpk::DispatchQueue::main()->async([n] { VPKLog(1, "tick {} delivered on the main thread", n); });
    if (n == 3) {
      t->invalidate();
      vpk::DispatchQueue::main()->async([] { vpk::DispatchQueue::stopMain(); });
    }
  });
  timer->activate();

  // This thread becomes the main thread: it runs main-queue work until stopMain().
  // An application with its own event loop would call vpk::DispatchQueue::setMainExecutor
  // instead and let that loop run the work.
  vpk::DispatchQueue::runMain();
  std::printf("done after %d ticks\n", ticks);
  return 0;
}
