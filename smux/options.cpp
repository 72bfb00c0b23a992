// The command line (--check, --version) and the guards every start passes:
// the one-instance lock and the peers file's mode.
#include "smux/options.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/instance.h"
#include "lib/log.h"
#include "smux/loop.h"
#include "smux/master.h"
#include "smux/peer.h"
#include "smux/service.h"
#include "snmp/mib.h"
#include "snmp/peers.h"
#include "store/obj.h"

#ifndef DSMUX_VERSION
#define DSMUX_VERSION "unknown"
#endif

using dsmux::PROGRAM_NAME;

namespace {

// The MIB definitions file of the start directory, "<program>.defs".
const std::string DEFINITIONS_FILE = std::string(PROGRAM_NAME) + ".defs";

int usage(FILE* stream, int status)
{
    std::fprintf(stream,
                 "usage: %s [--master=smux|agentx[:ADDRESS]|auto[:ADDRESS]] [--reconnect-wait=SECONDS]\n"
                 "       %s [--master=...] --check [DIR] | --version\n"
                 "  ADDRESS: a unix socket path (default %s) or tcp:HOST:PORT\n",
                 PROGRAM_NAME, PROGRAM_NAME, AGENTX_DEFAULT_ADDRESS);
    return status;
}

// A whole number of seconds from 1 to one day, in digits only (strtol
// would also take leading blanks and a sign); -1 for anything else.
int parse_seconds(const char* text)
{
    if (!std::isdigit(static_cast<unsigned char>(text[0])))
        return -1;
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 86400)
        return -1;
    return static_cast<int>(value);
}

// The MIB definitions and the subtrees, as the start loads them; the
// number of problems met, -1 when the definitions cannot be read.
int check_mib()
{
    if (!peer_load_definitions())
        return -1;
    int problems = 0;
    for (const subtree* row = subtrees; row->name != nullptr; ++row)
        problems += peer_subtree_type(row) == nullptr ? 1 : 0;
    return problems;
}

// False, with a message, when `file` is there but this process may not
// read it: a check run without the daemon's rights must say so, not report
// the file's contents as missing.
bool readable(const char* file)
{
    int fd = open(file, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    if (errno == ENOENT)
        return true;  // the reader says what is missing, as at a start
    log_line(stderr, "%s: Can't read %s: %s  (SMUX3054)\n", PROGRAM_NAME, file, std::strerror(errno));
    return false;
}

// The data registry directory that registry.mib names: 1 when it cannot be
// served from (missing, not a directory, not to be entered), else 0, with
// a warning counted in `*warnings` when group or others may write to it
// (anyone could then publish objects, and name the mailbox sets go to).
int check_registry_dir(int* warnings)
{
    const char* dir = obj_registry_dir();
    if (dir[0] == '\0')
        return 0;  // registry.mib could not be read: reported already
    struct stat st{};
    int error = 0;
    if (stat(dir, &st) != 0 || access(dir, X_OK) != 0)
        error = errno;
    else if (!S_ISDIR(st.st_mode))
        error = ENOTDIR;
    if (error != 0) {
        log_line(stderr, "%s: Registry directory %s: %s  (SMUX3055)\n", PROGRAM_NAME, dir, std::strerror(error));
        return 1;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        log_line_at(LOG_PRI_WARNING, stderr,
                    "%s: Registry directory %s is writable by group or others (mode %04o): anyone there could "
                    "publish objects; make it writable by root only  (SMUX3056)\n",
                    PROGRAM_NAME, dir, static_cast<unsigned>(st.st_mode & 07777));
        ++*warnings;
    }
    return 0;
}

// Everything a start reads, in the order it reads it, with the start's own
// messages; nothing is created, started or connected.
int run_check(const char* dir, const char* peers_file)
{
    if (dir != nullptr && chdir(dir) != 0) {
        log_line(stderr, "%s: Can't enter %s: %s  (SMUX3043)\n", PROGRAM_NAME, dir, std::strerror(errno));
        return 1;
    }
    // The patch check stops by itself, as it does at a start.
    check_platform();
    int problems = 0;
    int warnings = 0;
    // The peers file matters only where SMUX may carry the daemon: with
    // --master=auto a missing entry only rules SMUX out.
    if (master_may_use_smux()) {
        warnings += peers_mode_warning(peers_file);
        warnings += peers_password_warning(peers_file);
        if (!readable(peers_file) || peer_find_entry(peers_file) == nullptr) {
            if (master_choice() == master_kind::smux)
                ++problems;
            else
                ++warnings;
        }
    }
    // The master is not ours to start, and one that does not answer yet is
    // waited for by the daemon: what the probe finds is information.
    std::string report;
    (void)master_probe(&report);
    for (size_t at = 0, end; (end = report.find('\n', at)) != std::string::npos; at = end + 1)
        std::printf("%s: check: %s\n", PROGRAM_NAME, report.substr(at, end - at).c_str());
    int mib = readable(DEFINITIONS_FILE.c_str()) ? check_mib() : -1;
    problems += mib < 0 ? 1 : mib;
    for (const char* file : {"config", "../../mailcfg", "registry.mib"})
        (void)readable(file);  // the readers below count them
    int map_warnings = 0;
    problems += service_check(mib >= 0, &map_warnings);
    warnings += map_warnings;
    problems += check_registry_dir(&warnings);
    std::printf("%s: check: %d problem%s, %d warning%s\n", PROGRAM_NAME, problems, problems == 1 ? "" : "s",
                warnings, warnings == 1 ? "" : "s");
    std::fflush(stdout);
    return problems == 0 ? 0 : 1;
}

}  // namespace

int peers_mode_warning(const char* peers_file)
{
    struct stat st{};
    if (stat(peers_file, &st) != 0 || (st.st_mode & (S_IRGRP | S_IROTH)) == 0)
        return 0;
    log_line_at(LOG_PRI_WARNING, stderr,
                "%s: %s holds the SMUX password and is readable by group or others (mode %04o): "
                "make it mode 0600  (SMUX4043)\n",
                PROGRAM_NAME, peers_file, static_cast<unsigned>(st.st_mode & 07777));
    return 1;
}

int peers_password_warning(const char* peers_file)
{
    // The password every install shipped with until each got its own: a
    // local user who knows it can open a SMUX session as the daemon.
    static const char* const old_sample = "smuxsecret";
    const smux_peer* entry = getsmuxEntrybyname(PROGRAM_NAME, peers_file);
    if (entry == nullptr || std::strcmp(entry->password, old_sample) != 0)
        return 0;
    log_line_at(LOG_PRI_WARNING, stderr,
                "%s: %s holds the sample SMUX password that was the same on every install: anyone on this host "
                "can open SMUX as the daemon with it; put a password of your own there and in snmpd's smuxpeer "
                "line, or use AgentX  (SMUX4060)\n",
                PROGRAM_NAME, peers_file);
    return 1;
}

int daemon_options(int argc, char** argv, const char* peers_file)
{
    enum { OPT_CHECK = 256, OPT_VERSION, OPT_HELP, OPT_RECONNECT_WAIT, OPT_MASTER };
    static const option options[] = {
        {"check", no_argument, nullptr, OPT_CHECK},
        {"version", no_argument, nullptr, OPT_VERSION},
        {"help", no_argument, nullptr, OPT_HELP},
        {"reconnect-wait", required_argument, nullptr, OPT_RECONNECT_WAIT},
        {"master", required_argument, nullptr, OPT_MASTER},
        {nullptr, 0, nullptr, 0},
    };
    bool check = false, version = false;
    int opt;
    opterr = 0;  // one usage line says it all
    optind = 1;
    while ((opt = getopt_long(argc, argv, "h", options, nullptr)) != -1) {
        switch (opt) {
        case OPT_CHECK:
            check = true;
            break;
        case OPT_VERSION:
            version = true;
            break;
        case OPT_HELP:
        case 'h':
            return usage(stdout, 0);
        case OPT_RECONNECT_WAIT: {
            int seconds = parse_seconds(optarg);
            if (seconds < 0) {
                std::fprintf(stderr, "%s: --reconnect-wait: not a number of seconds from 1 to 86400: %s\n",
                             PROGRAM_NAME, optarg);
                return usage(stderr, 2);
            }
            loop_set_reconnect_wait(seconds);
            break;
        }
        case OPT_MASTER:
            if (!master_choose(optarg)) {
                std::fprintf(stderr, "%s: --master: not smux, agentx[:ADDRESS] or auto[:ADDRESS]: %s\n",
                             PROGRAM_NAME, optarg);
                return usage(stderr, 2);
            }
            break;
        default:
            return usage(stderr, 2);
        }
    }
    int operands = argc - optind;
    if (check && !version && operands <= 1)
        return run_check(operands == 1 ? argv[optind] : nullptr, peers_file);
    if (version && !check && operands == 0) {
        std::printf("%s %s\n", PROGRAM_NAME, DSMUX_VERSION);
        return 0;
    }
    if (check || version || operands != 0)
        return usage(stderr, 2);
    return -1;
}

void daemon_guard(const char* lock_file, const char* peers_file)
{
    pid_t holder = 0;
    int locked = instance_lock(lock_file, &holder);
    if (locked == -1) {
        log_line(stderr, "%s: Another %s (pid %d) runs for this install directory (lock %s): not starting  (SMUX3040)\n",
                 PROGRAM_NAME, PROGRAM_NAME, static_cast<int>(holder), lock_file);
        std::exit(1);
    }
    // A daemon that may not create the lock file (run as another user, a
    // read-only install directory) starts as it always did, but says that
    // nothing guards it against a second one.
    if (locked != 0)
        log_line_at(LOG_PRI_WARNING, stderr,
                    "%s: Can't lock %s: %s: a second daemon would not be stopped  (SMUX3041)\n", PROGRAM_NAME,
                    lock_file, std::strerror(errno));
    if (master_may_use_smux()) {
        (void)peers_mode_warning(peers_file);
        (void)peers_password_warning(peers_file);
    }
}
