#pragma once

namespace vorn::daemon {

// Daemon personality: serves the init socket "ANDROID_SOCKET_vornd". Never returns; exits
// with status 1 when the socket cannot be obtained or listened on.
[[noreturn]] void daemon_main(int argc, char** argv);

}  // namespace vorn::daemon
