#include "daemon/threads.h"

#include <pthread.h>

#include <memory>
#include <new>

namespace vorn::daemon {

namespace {

struct ThreadStart {
  void (*body)(void*);
  void* arg;
};

void* thread_entry(void* raw) {
  const std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(raw));
  start->body(start->arg);
  return nullptr;
}

}  // namespace

bool start_detached_thread(void (*body)(void*), void* arg) {
  // std::thread reports a failed creation only by an exception, which the product does not use.
  std::unique_ptr<ThreadStart> start(new (std::nothrow) ThreadStart{body, arg});
  if (!start) return false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, thread_entry, start.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) return false;
  (void)start.release();
  return true;
}

}  // namespace vorn::daemon
