// The agent configuration: `config` and "../../mailcfg" fill the agent list,
// the mail commands that receive trap texts, and the debug flag.
#pragma once
#include <cstddef>
#include <cstdint>

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

// Process-wide outputs, accumulated over every file read.
extern queue agent_Q;             // agent_entry records, in file order
extern queue alarm_Q;             // alarm_entry records, in file order
extern std::int32_t debug_flag;   // 0: off; anything else turns the traces on

// Switches the traces: off when they are on (whatever non-zero value the
// configuration gave), on otherwise. Returns the new value.
std::int32_t debug_toggle();

// Reads one agent configuration file; 0 on success, -1 otherwise.
int read_config_file(const char* path);

// A new agent entry: mailbox -1, empty name, no arguments; null when no
// memory is left. Release it with agent_entry_free.
agent_entry* agent_entry_new();

// Releases an agent entry and its argument texts (malloc'd); null is ignored.
void agent_entry_free(agent_entry* entry);
