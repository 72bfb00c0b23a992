// dorsrvctl: the operator's handle on a running daemon. It mails dump,
// debug and stop requests to the daemon's mailbox and shows object files
// offline in the daemon's dump format.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "agent/dsagent.h"
#include "lib/instance.h"
#include "lib/mail_format.h"
#include "lib/obj.h"
#include "lib/paths.h"

namespace {

const char* const TOOL = "dorsrvctl";

int usage(FILE* stream)
{
    std::fprintf(stream,
                 "usage: %s [-d INSTALL_DIR] COMMAND\n"
                 "  dump NAME   have the daemon dump object NAME (\"dir/file\") to its standard output\n"
                 "  debug       switch the daemon's debug trace on or off\n"
                 "  stop        stop the daemon\n"
                 "  stop-all    stop every connected agent, then the daemon\n"
                 "  show FILE   print the object file FILE here, in the dump format\n"
                 "INSTALL_DIR (default %s) names the daemon's mailbox queue.\n",
                 TOOL, dsmux::INSTALL_DIR);
    return 2;
}

int send_request(const char* install_dir, std::int32_t command, const char* name)
{
    int qid = dsagent_queue_open(install_dir);
    if (qid < 0) {
        std::fprintf(stderr, "%s: no daemon queue for %s\n", TOOL, install_dir);
        return 1;
    }
    unsigned char mail[MAIL_BUF_SIZE] = {};
    std::int32_t header[3] = {SERVICE_MBOX, static_cast<std::int32_t>(getpid()), command};
    std::memcpy(mail, header, sizeof header);
    std::size_t length = MAIL_HEADER_SIZE;
    if (name != nullptr) {
        std::size_t n = std::strlen(name);
        if (MAIL_HEADER_SIZE + n + 1 > MAIL_TEXT_MAX) {
            std::fprintf(stderr, "%s: object name too long\n", TOOL);
            return 1;
        }
        std::memcpy(mail + MAIL_OFF_AGENT_NAME, name, n + 1);
        length += n + 1;
    }
    if (dsagent_mail_send(qid, mail, length) < 0) {
        std::fprintf(stderr, "%s: cannot send to the daemon queue: %s\n", TOOL, std::strerror(errno));
        return 1;
    }
    return 0;
}

// The daemon polls its mailbox once a second and may spend up to ten
// seconds in the reply wait of a set, so its answer can take that long.
constexpr int STATUS_WAIT_SECONDS = 15;

const char* smux_state_text(std::int32_t state)
{
    switch (state) {
    case STATUS_SMUX_ASSOCIATED:
        return "yes (subtrees registered with the master agent)";
    case STATUS_SMUX_REGISTERING:
        return "no (open sent, registering)";
    case STATUS_SMUX_CONNECTING:
        return "no (connecting to the master agent)";
    case STATUS_SMUX_OFF:
        return "no (the master agent refused every subtree; no further attempts)";
    default:
        return "no (the daemon connects again later)";
    }
}

// The lock file of the daemon that serves `install_dir`.
std::string lock_file_of(const char* install_dir)
{
    if (std::strcmp(install_dir, dsmux::INSTALL_DIR) == 0)
        return dsmux::LOCK_FILE;
    return std::string(install_dir) + std::strrchr(dsmux::LOCK_FILE, '/');
}

// Asks the daemon for its status and prints it: 0 when a daemon answered,
// 1 when none runs (or none answered in time).
int status(const char* install_dir)
{
    pid_t holder = instance_holder(lock_file_of(install_dir).c_str());
    int qid = dsagent_queue_open(install_dir);
    if (holder == 0 || qid < 0) {
        std::printf("dorsrvsmuxd: not running for %s\n", install_dir);
        return 1;
    }
    // Our process id is our mailbox: the answer comes back there.
    const auto mbox = static_cast<std::int32_t>(getpid());
    unsigned char mail[MAIL_BUF_SIZE] = {};
    std::int32_t header[3] = {SERVICE_MBOX, mbox, MAIL_STATUS};
    std::memcpy(mail, header, sizeof header);
    if (dsagent_mail_send(qid, mail, MAIL_HEADER_SIZE) < 0) {
        std::fprintf(stderr, "%s: cannot send to the daemon queue: %s\n", TOOL, std::strerror(errno));
        return 1;
    }
    mail_status answer{};
    for (int tries = 0; tries < STATUS_WAIT_SECONDS * 50; ++tries) {
        int n = dsagent_mail_receive(qid, mbox, mail, sizeof mail, 1);
        if (n < 0)
            break;
        if (n > 0 && dsagent_mail_command(mail, static_cast<std::size_t>(n)) == MAIL_STATUS &&
            status_parse(mail, static_cast<std::size_t>(n), &answer)) {
            std::printf("dorsrvsmuxd: running, pid %d\n", static_cast<int>(answer.pid));
            std::printf("SMUX association: %s\n", smux_state_text(answer.smux));
            std::printf("debug: %s\n", answer.debug != 0 ? "on" : "off");
            std::printf("connected agents: %d\n", static_cast<int>(answer.agents));
            for (const char* line = answer.text; *line != '\0';) {
                const char* end = std::strchr(line, '\n');
                int length = end != nullptr ? static_cast<int>(end - line) : static_cast<int>(std::strlen(line));
                const char* blank = static_cast<const char*>(std::memchr(line, ' ', static_cast<std::size_t>(length)));
                if (blank != nullptr)
                    std::printf("  mailbox %.*s  %.*s\n", static_cast<int>(blank - line), line,
                                static_cast<int>(line + length - blank - 1), blank + 1);
                line += length + (end != nullptr ? 1 : 0);
            }
            if (answer.listed < answer.agents)
                std::printf("  (%d more not listed)\n", static_cast<int>(answer.agents - answer.listed));
            return 0;
        }
        timespec pause{0, 20 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    std::printf("dorsrvsmuxd: no answer within %d seconds\n", STATUS_WAIT_SECONDS);
    return 1;
}

int show(const char* file)
{
    reg_object* obj = obj_read(file);
    if (obj == nullptr) {
        std::printf("Can't find object: %s\n", file);
        return 1;
    }
    obj_dump(stdout, obj);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* install_dir = dsmux::INSTALL_DIR;
    int arg = 1;
    if (arg < argc && std::strcmp(argv[arg], "-d") == 0) {
        if (arg + 1 >= argc)
            return usage(stderr);
        install_dir = argv[arg + 1];
        arg += 2;
    }
    if (arg >= argc)
        return usage(stderr);
    std::string command = argv[arg];
    int operands = argc - arg - 1;
    const char* operand = operands > 0 ? argv[arg + 1] : nullptr;

    if ((command == "-h" || command == "--help" || command == "help") && operands == 0) {
        usage(stdout);
        return 0;
    }
    if (command == "status" && operands == 0)
        return status(install_dir);
    if (command == "show" && operands == 1)
        return show(operand);
    if (command == "dump" && operands == 1)
        return send_request(install_dir, MAIL_DUMP, operand);
    if (command == "debug" && operands == 0)
        return send_request(install_dir, MAIL_DEBUG, nullptr);
    if (command == "stop" && operands == 0)
        return send_request(install_dir, MAIL_STOP, nullptr);
    if (command == "stop-all" && operands == 0)
        return send_request(install_dir, MAIL_STOP_ALL, nullptr);
    return usage(stderr);
}
