// The agent configuration: `config` and "../../mailcfg" fill the agent list,
// the mail commands that receive trap texts, and the debug flag.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/queue.h"

inline constexpr std::size_t AGENT_NAME_MAX = 256;   // field, with the NUL
inline constexpr std::size_t AGENT_ARGS_MAX = 10;
inline constexpr std::size_t ALARM_COMMAND_MAX = 512;  // field, with the NUL

struct agent_entry {
    std::int32_t mbox;            // mailbox number; -1 until the agent connects
    char name[AGENT_NAME_MAX];    // executable name, or the name it connected under
    char* args[AGENT_ARGS_MAX];   // launch arguments, filled from slot 0, owned
    std::uint8_t arg_count;
};

struct alarm_entry {
    std::uint8_t kind;            // token code of the keyword that made it (TOK_MAIL)
    char command[ALARM_COMMAND_MAX];  // shell command line fed each trap text
};

// Process-wide outputs, accumulated over every file read. The configured
// agents (the `agent` statements) are this reader's alone and reached
// through the cfg_agent functions below; the agents that connect later are
// the mail service's list, not this one.
extern queue alarm_Q;             // alarm_entry records, in file order

// Reads one agent configuration file; 0 on success, -1 otherwise.
int read_config_file(const char* path);

// The configured agents still to be started, in file order. The pointers
// stay valid until the entry is taken or the lists are rolled back.
std::vector<const agent_entry*> cfg_agents();

// Takes the oldest configured agent off the list; the caller owns it
// (agent_entry_free). Null when the list is empty.
agent_entry* cfg_agent_take();

// How far the lists of configured agents and mail commands reached at one
// moment, so that what a failed read appended can be dropped again.
struct cfg_mark {
    std::size_t agents;
    std::size_t alarms;
};
cfg_mark cfg_mark_now();

// Drops (and releases) every entry appended to either list after `mark`.
void cfg_rollback(const cfg_mark& mark);

// Test seams: append an entry as an `agent` statement would (taking it
// over); release every configured agent and mail command.
void cfg_agent_add(agent_entry* entry);
void cfg_reset();

// A new agent entry: mailbox -1, empty name, no arguments; null when no
// memory is left. Release it with agent_entry_free.
agent_entry* agent_entry_new();

// Releases an agent entry and its argument texts (malloc'd); null is ignored.
void agent_entry_free(agent_entry* entry);
