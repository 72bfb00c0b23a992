// dorsrvctl: the operator's handle on a running daemon. It mails dump,
// debug and stop requests to the daemon's mailbox and shows object files
// offline in the daemon's dump format.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "agent/dsagent.h"
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

int show(const char* file)
{
    reg_object* obj = obj_read_file(file);
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
