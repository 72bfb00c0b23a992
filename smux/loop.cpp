// The start-up patch check and the main loop.
#include "smux/loop.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/lib.h"
#include "lib/log.h"
#include "lib/paths.h"
#include "mail/agents.h"
#include "mail/mail.h"
#include "smux/master.h"
#include "snmp/stream.h"

using dsmux::PROGRAM_NAME;

namespace {

// A patch is there when the package tool's answer names it and calls it a
// patch; anything else (not installed, tool missing) stops the daemon.
[[noreturn]] void stop(const char* message)
{
    log_line(stderr, "%s", message);
    std::perror(PROGRAM_NAME);
    std::exit(1);
}

void require_patch(command_runner runner, const char* patch, const char* missing)
{
    char command[128];
    std::snprintf(command, sizeof command, "%s %s", dsmux::PKGINFO, patch);
    char output[1024];
    if (runner(command, output, sizeof output) != 0)
        stop("pkginfo call failed!\n");
    output[sizeof output - 1] = '\0';
    if (std::strstr(output, patch) == nullptr || std::strstr(output, "patch") == nullptr)
        stop(missing);
}

int descriptor_count = 0;
int reconnect_wait = RECONNECT_WAIT;
// Monotonic second at which the lost association is made again; 0 while no
// countdown runs. The alarm tick cuts every wait short after a second, so
// the 300 seconds are counted across the cut-short waits.
std::time_t reconnect_due = 0;

std::time_t monotonic_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

}  // namespace

void check_platform_version(const char* version, command_runner runner)
{
    if (std::strcmp(version, "2.1.1") == 0) {
        require_patch(runner, "ptf3107", "Did not find patch ptf3107! Exiting ...\n");
        require_patch(runner, "ptf3123", "Did not find patch ptf3123! Exiting ...\n");
    }
    if (std::strcmp(version, "2.1.1") == 0 || std::strcmp(version, "2.1.2") == 0)
        require_patch(runner, "ptf3238", "Did not find patch ptf3238 for SNMP! Exiting ...\n");
}

void check_platform() { check_platform(run_command); }

void check_platform(command_runner runner)
{
    struct utsname name{};
    if (uname(&name) != 0)
        stop("uname call failed!\n");
    check_platform_version(name.version, runner);
}

int loop_descriptor_count() { return descriptor_count; }

void loop_set_reconnect_wait(int seconds) { reconnect_wait = seconds > 0 ? seconds : RECONNECT_WAIT; }

void loop_reset()
{
    descriptor_count = 0;
    reconnect_due = 0;
}

void loop_prepare(loop_wait* wait, std::time_t now)
{
    FD_ZERO(&wait->read_set);
    FD_ZERO(&wait->write_set);
    wait->seconds = -1;
    int fd = master_fd();
    if (fd < 0 && !master_given_up()) {
        if (reconnect_due == 0)
            reconnect_due = now + reconnect_wait;
        wait->seconds = reconnect_due > now ? static_cast<int>(reconnect_due - now) : 0;
    } else if (fd >= 0 && fd < FD_SETSIZE) {
        FD_SET(fd, master_opened() ? &wait->read_set : &wait->write_set);
        // An answer the master owes ends the wait when it is due.
        if (std::int64_t due = master_answer_due(); due > 0) {
            std::int64_t left = due - stream_now_ms();
            wait->seconds = left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
        }
    }
    if (fd >= descriptor_count)
        descriptor_count = fd + 1;
    wait->nfds = descriptor_count;
}

void loop_act(const loop_wait* wait, int ready, std::time_t now)
{
    int fd = master_fd();
    if (fd < 0) {
        if (master_given_up())
            return;
        // A wait that timed out, or a run of waits cut short by the tick
        // that together lasted the full wait, starts a new association.
        if (ready != 0 && (reconnect_due == 0 || now < reconnect_due))
            return;
        reconnect_due = 0;
        // A master that is not listening is waited for; anything else (no
        // socket to be had) leaves the daemon unable to go on.
        (void)master_connect();
        return;
    }
    reconnect_due = 0;
    if (ready > 0 && fd < FD_SETSIZE) {
        if (master_opened() && FD_ISSET(fd, &wait->read_set))
            master_readable();
        else if (!master_opened() && FD_ISSET(fd, &wait->write_set))
            master_writable();
    }
    // A master that accepted the connection, or took a request, and then
    // said nothing is given up on here, whatever woke the loop.
    std::int64_t due = master_answer_due();
    if (master_fd() >= 0 && due > 0 && stream_now_ms() >= due)
        master_overdue();
}

namespace {

// select(2) on the loop's sets, with a whole PDU already in the master
// connection's buffer counting as input at once: a second PDU that came in
// the same segment as the first must not wait for bytes that never come.
int wait_ready(int nfds, loop_wait& wait)
{
    int fd = master_fd();
    bool buffered = fd >= 0 && fd < nfds && FD_ISSET(fd, &wait.read_set) && master_pending();
    timeval tv{wait.seconds < 0 ? 0 : wait.seconds, 0};
    if (buffered)
        tv = timeval{0, 0};
    timeval* timeout = buffered || wait.seconds >= 0 ? &tv : nullptr;
    int n = select(nfds, &wait.read_set, &wait.write_set, nullptr, timeout);
    if (!buffered)
        return n;
    if (n < 0) {
        FD_ZERO(&wait.read_set);
        FD_ZERO(&wait.write_set);
        n = 0;
    }
    if (!FD_ISSET(fd, &wait.read_set)) {
        FD_SET(fd, &wait.read_set);
        ++n;
    }
    return n;
}

}  // namespace

void loop_once()
{
    // A termination signal is only recorded by its handler; the shutdown
    // runs here, outside any handler, at the first pass after it.
    if (terminate_requested())
        terminate_service_requested();
    loop_wait wait{};
    loop_prepare(&wait, monotonic_now());
    if (mail_flag != 0) {
        mail_flag = 0;
        int result = read_mail(true, 0);
        // A stop mail or a signal was asked for; a receive that failed is
        // a fault (the queue is gone, say).
        if (result == READ_MAIL_STOP || terminate_requested())
            terminate_service_requested();
        if (result == READ_MAIL_FAILED)
            terminate_service();
        // A relayed trap may have found the master gone.
        loop_prepare(&wait, monotonic_now());
    }
    // The wake pipe ends the wait at once when a termination signal came
    // after the test above but before select blocks.
    int nfds = wait.nfds;
    int wake = terminate_wake_fd();
    if (wake >= 0 && wake < FD_SETSIZE) {
        FD_SET(wake, &wait.read_set);
        if (wake >= nfds)
            nfds = wake + 1;
    }
    int ready = wait_ready(nfds, wait);
    if (terminate_requested())
        terminate_service_requested();
    if (wake >= 0 && wake < FD_SETSIZE && ready > 0 && FD_ISSET(wake, &wait.read_set)) {
        terminate_drain_wake();
        --ready;
        if (ready == 0)
            ready = -1;  // only the pipe spoke: like a wait cut short by a signal
    }
    loop_act(&wait, ready, monotonic_now());
}

void main_loop()
{
    for (;;)
        loop_once();
}
