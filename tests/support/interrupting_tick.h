// The daemon's alarm tick as tests need it: SIGALRM every 20 ms with a
// handler installed without SA_RESTART, so blocking calls in the code under
// test return early with EINTR again and again. Restored on destruction.
#pragma once
#include <sys/time.h>

#include <csignal>

class interrupting_tick {
 public:
    interrupting_tick()
    {
        struct sigaction tick {};
        tick.sa_handler = [](int) {};
        sigemptyset(&tick.sa_mask);
        armed_ = sigaction(SIGALRM, &tick, &saved_) == 0;
        itimerval often{};
        often.it_value.tv_usec = 20000;
        often.it_interval.tv_usec = 20000;
        armed_ = armed_ && setitimer(ITIMER_REAL, &often, nullptr) == 0;
    }
    ~interrupting_tick() { stop(); }
    interrupting_tick(const interrupting_tick&) = delete;
    interrupting_tick& operator=(const interrupting_tick&) = delete;

    bool armed() const { return armed_; }
    void stop()
    {
        if (stopped_)
            return;
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &saved_, nullptr);
        stopped_ = true;
    }

 private:
    struct sigaction saved_ {};
    bool armed_ = false;
    bool stopped_ = false;
};
