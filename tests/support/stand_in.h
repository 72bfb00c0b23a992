// Live processes standing in for agents in unit tests. An agent's mailbox is
// its process id, and the daemon refuses at once to mail a process that is
// gone, so every mailbox a test names needs a process behind it.
#pragma once
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>

// The mailbox of stand-in number `slot` (0..15): a process that only waits,
// made at the slot's first use and ended with the test binary.
inline std::int32_t live_mbox(int slot)
{
    static pid_t pool[16] = {};
    if (pool[slot] <= 0) {
        pid_t parent = getpid();
        pool[slot] = fork();
        if (pool[slot] == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent)
                _exit(0);
            for (;;)
                pause();
        }
    }
    return static_cast<std::int32_t>(pool[slot]);
}
