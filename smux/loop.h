// Start-up checks and the daemon's one loop: wait on the SMUX descriptor,
// poll the mailbox at every alarm tick, and re-make a lost association.
#pragma once
#include <sys/select.h>

#include <cstddef>
#include <ctime>

#include "lib/community.h"  // command_runner


// Checks that the host carries the operating-system patches the master agent
// needs, by the version member of uname. Returns only when the check passes;
// otherwise writes its message and the system error text and exits with 1.
void check_platform();
// The same with the package tool run through `runner` (tests).
void check_platform(command_runner runner);

// The same check for a given version string and command runner.
void check_platform_version(const char* version, command_runner runner);

// Seconds a lost association waits before it is made again, by default.
inline constexpr int RECONNECT_WAIT = 300;

// Sets the reconnection wait (seconds; 0 or less restores RECONNECT_WAIT).
void loop_set_reconnect_wait(int seconds);

// What one pass of the loop waits for.
struct loop_wait {
    fd_set read_set;
    fd_set write_set;
    int nfds;     // descriptor count handed to xselect
    int seconds;  // -1: no time-out
};

// Prepares the wait of one pass from the association state at `now`
// (monotonic seconds). The descriptor count only grows.
void loop_prepare(loop_wait* wait, std::time_t now);

// Acts on the result of the wait (xselect's result and the sets it left) at
// `now`: starts a new association once the reconnection wait is over, or
// hands the descriptor to peer_open or peer_receive.
void loop_act(const loop_wait* wait, int ready, std::time_t now);

// One pass: mail poll when the tick raised the flag, the wait, the action.
void loop_once();

// The endless loop; it ends only through terminate_service.
[[noreturn]] void main_loop();

// The descriptor count so far (one more than the highest descriptor seen).
int loop_descriptor_count();

// Test seam: forget the reconnection countdown and the descriptor count.
void loop_reset();
