// Live processes standing in for agents in unit tests. An agent's mailbox is
// its process id, and the daemon refuses at once to mail a process that is
// gone, so every mailbox a test names needs a process behind it. A stand-in
// does nothing but wait; it dies with the test binary (PR_SET_PDEATHSIG).
#pragma once
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>

class stand_in_agent {
 public:
    stand_in_agent()
    {
        pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent)
                _exit(0);
            for (;;)
                pause();
        }
        owner_ = parent;
    }
    ~stand_in_agent() { kill_now(); }
    stand_in_agent(const stand_in_agent&) = delete;
    stand_in_agent& operator=(const stand_in_agent&) = delete;

    std::int32_t mbox() const { return static_cast<std::int32_t>(pid_); }

    // Kills and reaps the process, so that its mailbox names no process.
    // Only the process that made the stand-in does so: a child that exits
    // (a death test) must not take it from its parent.
    void kill_now()
    {
        if (pid_ <= 0 || getpid() != owner_)
            return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

 private:
    pid_t pid_ = -1;
    pid_t owner_ = -1;
};

// The mailbox of stand-in number `slot` (0..15), made at its first use and
// kept until the test binary ends.
inline std::int32_t live_mbox(int slot)
{
    static stand_in_agent* pool[16] = {};
    if (pool[slot] == nullptr)
        pool[slot] = new stand_in_agent;  // never freed: it must outlive every test
    return pool[slot]->mbox();
}
