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
#include "lib/paths.h"
#include "mail/mail_format.h"
#include "store/obj.h"

namespace {

const char* const TOOL = "dorsrvctl";

// Prints the usage to the standard error stream; the result is the exit
// status of every wrong or help invocation.
int usage()
{
    std::fprintf(stderr,
                 "usage: %s [-d INSTALL_DIR] status | dump NAME | debug | stop | stop-all | show FILE\n"
                 "  status      say whether a daemon runs: its pid, SMUX association, agents, debug\n"
                 "  dump NAME   have the daemon dump object NAME (\"dir/file\") to its standard output\n"
                 "  debug       switch the daemon's debug trace on or off\n"
                 "  stop        stop the daemon\n"
                 "  stop-all    stop every connected agent, then the daemon\n"
                 "  show FILE   print the object file FILE here, in the dump format\n"
                 "INSTALL_DIR (default %s) names the daemon's mailbox queue.\n",
                 TOOL, dsmux::INSTALL_DIR);
    return 2;
}

// The daemon's queue of `install_dir`, or -1 after saying why there is none
// to talk to: a queue someone else made is refused, never written to.
int open_queue(const char* install_dir)
{
    int qid = dsagent_queue_open(install_dir);
    if (qid >= 0)
        return qid;
    if (dsagent_queue_refusal()[0] != '\0')
        std::fprintf(stderr, "%s: refusing %s for %s\n", TOOL, dsagent_queue_refusal(), install_dir);
    else
        std::fprintf(stderr, "%s: no daemon queue for %s\n", TOOL, install_dir);
    return -1;
}

int send_request(const char* install_dir, std::int32_t command, const char* name)
{
    int qid = open_queue(install_dir);
    if (qid < 0)
        return 1;
    unsigned char mail[MAIL_BUF_SIZE] = {};
    const auto mbox = static_cast<std::int32_t>(getpid());
    // The daemon reads a dump's object name up to the end of the mail.
    std::size_t length = name == nullptr ? mail_build_header(mail, SERVICE_MBOX, mbox, command)
                                         : mail_build_named(mail, SERVICE_MBOX, mbox, command, name, MAIL_TEXT_MAX);
    if (length == 0) {
        std::fprintf(stderr, "%s: object name too long\n", TOOL);
        return 1;
    }
    if (dsagent_mail_send(qid, mail, length) < 0) {
        std::fprintf(stderr, "%s: cannot send to the daemon queue: %s\n", TOOL, std::strerror(errno));
        return 1;
    }
    return 0;
}

const char* code_name(unsigned code, const char* const* names, unsigned known, char* spare, std::size_t size)
{
    if (code < known)
        return names[code];
    std::snprintf(spare, size, "%u", code);
    return spare;
}

// The daemon's dump layout without its log time stamps: the daemon writes
// a dump into its log, where each piece is a log record; here the object
// goes to a terminal or a pipe, and a stamp before every value would split
// the lines.
void print_object(FILE* out, const reg_object* obj)
{
    static const char* const type_names[] = {"UNSIGNED", "SIGNED", "STRING", "RAW", "OID"};
    static const char* const state_names[] = {"DISABLED", "ENABLED"};
    static const char* const access_names[] = {"RD/WR", "WR", "RD"};
    std::fprintf(out, "*** %.*s - %.*s\n", static_cast<int>(OBJ_NAME_MAX), obj->name, static_cast<int>(OBJ_PATH_MAX),
                 obj->path);
    const reg_item* items = obj_items(obj);
    for (std::uint32_t i = 0; i < obj->item_count; ++i) {
        const reg_item* item = &items[i];
        char type_spare[12], state_spare[12], access_spare[12];
        std::fprintf(out, "\"%20.*s\" %9s %7s %5s: ", static_cast<int>(ITEM_NAME_MAX), item->name,
                     code_name(item->type, type_names, 5, type_spare, sizeof type_spare),
                     code_name(item->state, state_names, 2, state_spare, sizeof state_spare),
                     code_name(item->access, access_names, 3, access_spare, sizeof access_spare));
        switch (item->type) {
        case ITEM_UNSIGNED:
            std::fprintf(out, "%u\n", obj_value_unsigned(item));
            break;
        case ITEM_SIGNED:
            std::fprintf(out, "%d\n", obj_value_signed(item));
            break;
        case ITEM_STRING:
        case ITEM_OID:
            std::fprintf(out, "%.*s\n", static_cast<int>(strnlen(reinterpret_cast<const char*>(obj_value(item)), item->size)),
                         reinterpret_cast<const char*>(obj_value(item)));
            break;
        case ITEM_RAW: {
            const unsigned char* value = obj_value(item);
            for (unsigned b = 0; b < item->length; ++b)
                std::fprintf(out, "%s%02X", b == 0 ? "" : " ", static_cast<unsigned>(value[b]));
            std::fprintf(out, "\n");
            break;
        }
        default:
            std::fprintf(out, "\n");
            break;
        }
    }
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

// The lock file of the daemon that serves `install_dir`; null for another
// install directory than the daemon's own, whose lock nobody knows.
const char* lock_file_of(const char* install_dir)
{
    return std::strcmp(install_dir, dsmux::INSTALL_DIR) == 0 ? dsmux::LOCK_FILE : nullptr;
}

// Asks the daemon for its status and prints it: 0 when a daemon answered,
// 1 when none runs (or none answered in time).
int status(const char* install_dir)
{
    const char* lock_file = lock_file_of(install_dir);
    if (lock_file != nullptr && instance_holder(lock_file) == 0) {
        std::printf("dorsrvsmuxd: not running for %s\n", install_dir);
        return 1;
    }
    int qid = open_queue(install_dir);
    if (qid < 0) {
        std::printf("dorsrvsmuxd: not running for %s\n", install_dir);
        return 1;
    }
    // Our process id is our mailbox: the answer comes back there.
    const auto mbox = static_cast<std::int32_t>(getpid());
    unsigned char mail[MAIL_BUF_SIZE] = {};
    if (dsagent_mail_send(qid, mail, mail_build_header(mail, SERVICE_MBOX, mbox, MAIL_STATUS)) < 0) {
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
            // A daemon that names no protocol speaks SMUX.
            std::string transport = *answer.transport != '\0' ? answer.transport : "SMUX";
            std::printf("master agent: %s\n", transport.c_str());
            std::printf("%s association: %s\n", transport.substr(0, transport.find(' ')).c_str(),
                        smux_state_text(answer.smux));
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
    reg_object* obj = obj_read_file(file);
    if (obj == nullptr) {
        std::printf("Can't find object: %s\n", file);
        return 1;
    }
    print_object(stdout, obj);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* install_dir = dsmux::INSTALL_DIR;
    int arg = 1;
    if (arg < argc && std::strcmp(argv[arg], "-d") == 0) {
        if (arg + 1 >= argc)
            return usage();
        install_dir = argv[arg + 1];
        arg += 2;
    }
    if (arg >= argc)
        return usage();
    std::string command = argv[arg];
    int operands = argc - arg - 1;
    const char* operand = operands > 0 ? argv[arg + 1] : nullptr;

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
    // --help, -h and every unknown option or command land here.
    return usage();
}
