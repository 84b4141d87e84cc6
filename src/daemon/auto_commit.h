#pragma once

// vornd's end of a trial boot: a daemon that starts while a trial is pending commits it when
// the first heartbeat ("appalive set") arrives, that is once the application came up on the
// new images, unless the property "sys.trial.autocommit" is "0" (a board that runs health
// checks of its own first, and then "vorn upgrade.commit").

namespace vorn::daemon {

// Arms the commit for the first heartbeat when a trial is pending and the property does not
// turn it off; true when armed. Reads under command_mutex. daemon_main calls it once, before
// the liveness monitor and the first client.
bool auto_commit_arm();

// Called for each heartbeat taken. The first after arming hands the commit to a thread of its
// own, which runs it under command_mutex: a heartbeat never waits for a tool command. When
// that thread cannot be started, the next heartbeat tries again.
void auto_commit_heartbeat();

// What that thread runs under command_mutex: by default the common start-up and the trial's
// commit, quiet, with its result logged. Tests put a recording fake in place; null restores
// the default.
void set_auto_commit_action(void (*action)());

}  // namespace vorn::daemon
