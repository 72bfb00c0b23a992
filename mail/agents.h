// Agent processes, signals and the orderly shutdown: starting the agents that
// the configuration lists, the one-second alarm tick that drives the mail
// polls, and terminate_service, through which every exit of the daemon goes.
#pragma once
#include <sys/types.h>

#include <csignal>

#include "cfg/cfg.h"
#include "lib/paths.h"

// Raised by the alarm tick; the main loop clears it and polls for mail.
extern volatile sig_atomic_t mail_flag;
// Seconds between ticks: 1, and MAIL_REPLY_WAIT while a reply is awaited.
extern volatile sig_atomic_t alarm_period;

// Starts every entry of the agent list, taking each off the list. An entry
// whose executable is not on PATH is reported and dropped. Returns 0, or -1
// when a fork failed (the entries not yet taken stay on the list).
int launch_agents();

// Reports, as launch_agents would, each entry of the agent list whose
// executable is not on PATH, and leaves the list as it is. Returns how many.
int agents_not_found();

// Forks and execs one agent with its arguments: the file that find_in_path
// finds for its name (PATH's absolute directories only), with the entry's
// name as argument zero and the environment of exec_environment. The
// agent inherits the daemon's file-creation mask and standard streams, and
// no other descriptor; but when the daemon's standard error is systemd's
// journal, the agent's output and errors go to journal streams of its own,
// opened at `journal_socket` under the agent's name (information and error
// priority), so that its lines carry its name rather than the daemon's.
// The child's process id, or -1 when fork failed. The child reports a
// failed exec (or a name that is not found) and exits with 255.
pid_t start_agent(const agent_entry* entry, const char* journal_socket = dsmux::JOURNAL_STDOUT);

// Ignores SIGPIPE for the whole life of the process: a write to a pipe or
// socket whose reader has gone then fails with EPIPE instead of killing the
// daemon. Programs the daemon starts get the default action back.
void ignore_lost_readers();

// Installs the signal actions: SIGCHLD ignored without zombies, SIGALRM to
// on_alarm, SIGINT/SIGTERM/SIGHUP to terminate_service, all without
// SA_RESTART so that a signal ends a blocked receive. Opens the wake pipe
// first. 0, or -1.
int install_signals();

// SIGALRM: raise the mail flag and arm the alarm again for the alarm period.
void on_alarm(int signal_number);

// Starts the alarm tick with a tick due at once: raises the mail flag and
// arms the alarm for the alarm period, as on_alarm does.
void alarm_tick_start();

// Exit statuses of the daemon, so that systemd (Restart=on-failure) can
// tell an operator's stop from a fault: a stop that was asked for (a
// termination signal, MAIL_STOP, MAIL_STOP_ALL) ends with 0, an end the
// daemon could not avoid (its queue lost, the master's library failing, a
// configuration it cannot use) with 1.
inline constexpr int EXIT_REQUESTED_STOP = 0;
inline constexpr int EXIT_FAILURE_STOP = 1;

// Called directly (signal_number 0): the end of a failure. Stops the alarm,
// releases the SMUX association, pauses, sends MAIL_STOP to every connected
// agent, pauses, removes the mailbox queue and exits with
// EXIT_FAILURE_STOP; never returns.
// As the handler of SIGINT, SIGTERM and SIGHUP (signal_number non-zero) it
// only records the request, writes a byte to the wake pipe and arms the
// alarm for one second, then returns: the main loop sees
// terminate_requested() and calls terminate_service_requested().
void terminate_service(int signal_number = 0);

// The same shutdown for a stop that was asked for: exits with
// EXIT_REQUESTED_STOP.
[[noreturn]] void terminate_service_requested();

// True once a termination signal has arrived.
bool terminate_requested();

// Read end of the wake pipe (-1 before install_signals): readable once a
// termination signal has arrived, so that a select watching it ends at once.
int terminate_wake_fd();
// Empties the wake pipe.
void terminate_drain_wake();

// Test seam: the length of each of the two shutdown pauses (5 s unless set).
void terminate_set_pause(unsigned seconds);

// Sets the hook terminate_service calls to release the SMUX association
// (null: nothing to release). mail_set_hooks forwards here.
void terminate_set_release(void (*peer_release)());
