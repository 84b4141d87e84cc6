#pragma once

namespace vorn::daemon {

// Starts body(arg) on a new detached POSIX thread. False when the thread could not be created
// (body is then never called).
[[nodiscard]] bool start_detached_thread(void (*body)(void*), void* arg);

}  // namespace vorn::daemon
