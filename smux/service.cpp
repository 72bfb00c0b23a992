// Service start-up. The subtree initialisation handler calls it once per
// subtree row until it succeeds, so every step remembers that it completed:
// a later attempt picks up at the step that failed instead of reading the
// configuration twice (which would double the lists) or starting the agents
// again. The relative file names are resolved in the start directory, which
// the service leaves only at the very end.
#include "smux/service.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cfg/cfg.h"
#include "cfg/reg.h"
#include "lib/dirsearch.h"
#include "lib/log.h"
#include "lib/paths.h"
#include "mail/agents.h"
#include "mail/mbox.h"
#include "smux/dispatch.h"
#include "smux/mapcheck.h"
#include "smux/pairs.h"
#include "snmp/mib.h"
#include "store/obj.h"

using dsmux::PROGRAM_NAME;

namespace {

// Which steps of service_init have completed; `all` once it has returned 0.
struct completed_steps {
    bool priority = false;
    bool config = false;
    bool mailcfg = false;
    bool registry = false;
    bool signals = false;
    bool agents = false;
    bool directory = false;
    bool all = false;
};
completed_steps completed;

void release_plain(void* entry) { std::free(entry); }

void cannot_interpret(const char* file)
{
    log_line(stderr, "%s: Can't interpret file: %s  (SMUX4020)\n", PROGRAM_NAME, file);
}

// Reads an agent configuration file. With `retried`, a failed read leaves
// no entries behind, so that reading it again does not double them; a file
// read only once keeps what it gave before the failure.
bool read_config(const char* file, bool retried)
{
    cfg_mark before = cfg_mark_now();
    if (read_config_file(file) == 0)
        return true;
    if (retried)
        cfg_rollback(before);
    cannot_interpret(file);
    return false;
}

bool read_registry(const char* file, int (*reader)(const char*) = read_registry_file)
{
    // The reader appends: what a failed read added lies after the mark.
    std::size_t before = q_elements(&registry_Q).size();
    if (reader(file) == 0)
        return true;
    registry_count -= static_cast<int>(q_drop_after(&registry_Q, before, release_plain));
    if (registry_count < 0)
        registry_count = 0;
    cannot_interpret(file);
    return false;
}

// Reads the fragment files of "<file>.d" whose names end in `suffix` with
// `read`, which reports a failure and leaves nothing of that fragment
// behind. A fragment that fails is left out and the others are read all
// the same: one package's mistake must not keep the daemon, and every other
// agent, from starting. Returns how many failed.
template <typename reader>
int read_fragments(const char* file, const char* suffix, reader read)
{
    int failed = 0;
    for (const std::string& fragment : fragment_files((std::string(file) + ".d").c_str(), suffix))
        failed += read(fragment.c_str()) ? 0 : 1;
    return failed;
}

// `config` and then its fragments (config.d/*.conf): false when `config`
// itself cannot be read; `*bad` counts the fragments left out.
bool read_config_all(bool retried, int* bad)
{
    *bad = 0;
    if (!read_config("config", retried))
        return false;
    *bad = read_fragments("config", ".conf", [](const char* f) { return read_config(f, true); });
    return true;
}

// `registry.mib` and then its fragments (registry.mib.d/*.mib), which add
// entries under the directory the main file names.
bool read_registry_all(int* bad)
{
    *bad = 0;
    if (!read_registry("registry.mib"))
        return false;
    *bad = read_fragments("registry.mib", ".mib",
                          [](const char* f) { return read_registry(f, read_registry_fragment); });
    return true;
}

// How many definitions fragments the last read_definition_fragments left out.
int definition_fragments_failed = 0;

// Moves into the data registry directory. The object reader is handed the
// absolute path: the table searches name files by the registry's path, which
// a relative one would resolve from the new working directory.
void enter_registry_dir()
{
    char absolute[PATH_MAX];
    if (realpath(obj_registry_dir(), absolute) != nullptr)
        obj_set_registry_dir(absolute);
    (void)chdir(obj_registry_dir());
}

}  // namespace

int service_check(bool mib_loaded, int* warnings)
{
    // The same readers and messages as a start, in the same order; each
    // failure is one problem, and a failed read does not stop the others.
    // A start goes on without "../../mailcfg", so its absence only warns.
    int problems = definition_fragments_failed;
    *warnings = 0;
    int bad = 0;
    if (!read_config_all(true, &bad))
        ++problems;
    problems += bad;
    if (!read_config("../../mailcfg", false))
        ++*warnings;
    if (!read_registry_all(&bad))
        ++problems;
    problems += bad;
    problems += agents_not_found();
    // Without the MIB definitions every entry would look unknown.
    if (mib_loaded)
        *warnings += registry_warnings();
    *warnings += registry_file_warnings();
    return problems;
}

void service_reset() { completed = completed_steps{}; }

int read_definition_fragments(const char* defs)
{
    definition_fragments_failed = read_fragments(defs, ".defs", [](const char* fragment) {
        if (readobjects(fragment) == 0)
            return true;
        // smux_info names the fragment and the line that failed.
        log_line(stderr, "%s: Can't find or interpret MIB file: %s  (SMUX4017)\n", PROGRAM_NAME, smux_info);
        return false;
    });
    return definition_fragments_failed;
}

int service_start()
{
    // The mail service first: the configuration, the registry map, the
    // queue, the signals, the agents and the move into the registry
    // directory, in that order, each step done once (service_init).
    if (service_init() != 0)
        return -1;
    // Then the pairs table: it binds the registry map just read to the MIB
    // and installs the request methods, so that requests are served only
    // once everything they reach exists.
    return build_pairs_table(dispatch_methods());
}

int subtree_init()
{
    if (init_pending() == 0)
        return 0;
    if (service_start() != 0) {
        peer_set_init_pending(INIT_PENDING);
        return -1;
    }
    peer_set_init_pending(0);
    return 0;
}

int service_init(const char* install_dir)
{
    if (completed.all)
        return 0;
    // Files the service and its agents create get exactly the modes asked for.
    umask(0);
    // nice adds to the current value: raise it once, not once per attempt.
    if (!completed.priority) {
        (void)nice(-20);
        completed.priority = true;
    }

    // The configuration before anything runs: it names the agents to start
    // and the debug switch. The relative names are read from the start
    // directory, which is left only at the end.
    if (!completed.config) {
        int bad = 0;
        if (!read_config_all(true, &bad))
            return -1;
        completed.config = true;
    }
    if (!completed.mailcfg) {
        // Without the mail configuration the traps reach the mail commands
        // of `config` only; the service starts all the same. It is read
        // once, so what it gave before a failure stays.
        (void)read_config("../../mailcfg", false);
        completed.mailcfg = true;
    }
    // The registry map: the registry directory and the objects to serve. A
    // map that cannot be read leaves no queue and no agent behind.
    if (!completed.registry) {
        int bad = 0;
        if (!read_registry_all(&bad))
            return -1;
        completed.registry = true;
        // Entries nothing can serve are told once, while they are all still
        // in the map (the pairs table takes them off it).
        (void)registry_warnings();
    }
    // The queue before the agents: an agent's first act is to connect, and
    // its mail must have somewhere to go.
    if (mbox_service_qid() < 0) {
        if (mbox_open_service(install_dir) < 0) {
            log_line(stderr, "%s: Can't init Varden IPC  (SMUX3007)\n", PROGRAM_NAME);
            return -1;
        }
    }
    // The signal actions before the first agent is forked: finished agents
    // must leave no zombies, and a termination signal must find the queue
    // to remove.
    if (!completed.signals) {
        if (install_signals() != 0)
            return -1;
        completed.signals = true;
    }
    // The agents, once everything they talk to exists.
    if (!completed.agents) {
        // launch_agents leaves the entries it has not taken on the list, so
        // the next attempt starts only those.
        if (launch_agents() != 0)
            return -1;
        completed.agents = true;
    }
    // Last, into the registry directory: object names are relative to it
    // from here on, and nothing after this reads a start-directory file.
    if (!completed.directory) {
        enter_registry_dir();
        completed.directory = true;
    }
    log_line(stdout, "Started Server Agents SMUX Manager\n");
    completed.all = true;
    return 0;
}
