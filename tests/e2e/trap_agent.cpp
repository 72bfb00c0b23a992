// An agent for the trap relay's end-to-end tests, built on the agent
// library. It publishes a scalar group with an item of every type (items
// 0..6: tLevel, tText, tCount, tOid, tRaw, tGauge and tUnknown, a name the
// daemon's MIB does not know) and one row of a two-index table, connects to the daemon, and on each SIGUSR1
// sends the next trap of its command line:
//   trap_agent REGISTRY_DIR OBJECT:NUMBER:ITEMS:TEXT ...
// ITEMS is a comma-separated list of item positions (may be empty). It logs
// "connected", "trap sent N" and "stopped" on its standard output.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/dsagent.h"

namespace {

volatile std::sig_atomic_t traps_asked = 0;

void on_usr1(int)
{
    traps_asked = traps_asked + 1;
}

void publish_objects(const char* registry, int32_t mbox)
{
    dsagent_object* s = dsagent_object_new(registry, "grp/scalars", mbox);
    int level = dsagent_object_add_item(s, "tLevel", DSAGENT_SIGNED, DSAGENT_RDWR, 4);
    int text = dsagent_object_add_item(s, "tText", DSAGENT_STRING, DSAGENT_RDWR, 16);
    int count = dsagent_object_add_item(s, "tCount", DSAGENT_UNSIGNED, DSAGENT_RD, 4);
    int oid = dsagent_object_add_item(s, "tOid", DSAGENT_OID, DSAGENT_RD, 32);
    int raw = dsagent_object_add_item(s, "tRaw", DSAGENT_RAW, DSAGENT_RD, 8);
    int gauge = dsagent_object_add_item(s, "tGauge", DSAGENT_UNSIGNED, DSAGENT_RD, 4);
    // A name the daemon's MIB definitions do not know.
    int unknown = dsagent_object_add_item(s, "tUnknown", DSAGENT_SIGNED, DSAGENT_RD, 4);
    dsagent_object_set_signed(s, level, -42);
    dsagent_object_set_text(s, text, "hello");
    dsagent_object_set_unsigned(s, count, 7);
    dsagent_object_set_text(s, oid, "1.3.6.1.4.1.32473.1");
    const unsigned char bytes[] = {0x01, 0xab, 0x00};
    dsagent_object_set_raw(s, raw, bytes, sizeof bytes);
    dsagent_object_set_unsigned(s, gauge, 95);
    dsagent_object_set_signed(s, unknown, 5);
    if (dsagent_object_publish(s) != 0)
        std::printf("publish failed: %s\n", std::strerror(errno));
    dsagent_object_free(s);

    dsagent_object* r = dsagent_object_new(registry, "grp/rows.2.5", mbox);
    int32_t index[] = {2, 5};
    dsagent_object_set_index(r, index, 2);
    dsagent_object_set_signed(r, dsagent_object_add_item(r, "tRow", DSAGENT_SIGNED, DSAGENT_RD, 4), 25);
    if (dsagent_object_publish(r) != 0)
        std::printf("publish failed: %s\n", std::strerror(errno));
    dsagent_object_free(r);
}

// OBJECT:NUMBER:ITEMS:TEXT
bool send_trap(dsagent_session* session, const std::string& request)
{
    std::size_t a = request.find(':');
    std::size_t b = request.find(':', a + 1);
    std::size_t c = request.find(':', b + 1);
    if (a == std::string::npos || b == std::string::npos || c == std::string::npos)
        return false;
    std::string object = request.substr(0, a);
    auto number = static_cast<int32_t>(std::strtol(request.substr(a + 1, b - a - 1).c_str(), nullptr, 10));
    std::vector<uint32_t> items;
    std::string list = request.substr(b + 1, c - b - 1);
    for (std::size_t at = 0; at < list.size();) {
        std::size_t comma = list.find(',', at);
        if (comma == std::string::npos)
            comma = list.size();
        items.push_back(static_cast<uint32_t>(std::strtoul(list.substr(at, comma - at).c_str(), nullptr, 10)));
        at = comma + 1;
    }
    return dsagent_trap(session, object.c_str(), number, items.data(), static_cast<uint32_t>(items.size()),
                        request.substr(c + 1).c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: trap_agent REGISTRY_DIR OBJECT:NUMBER:ITEMS:TEXT ...\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    struct sigaction action {};
    action.sa_handler = on_usr1;
    sigaction(SIGUSR1, &action, nullptr);
    publish_objects(argv[1], static_cast<int32_t>(getpid()));
    dsagent_session session{};
    if (dsagent_connect(&session, nullptr, "trap_agent", 20000) != 0) {
        std::printf("connect failed: %s\n", std::strerror(errno));
        return 3;
    }
    std::printf("connected\n");
    int next = 2;
    unsigned char mail[DSAGENT_MAIL_BUF];
    for (;;) {
        while (traps_asked > 0) {
            traps_asked = traps_asked - 1;
            if (next < argc) {
                bool sent = send_trap(&session, argv[next]);
                std::printf("trap %s %d\n", sent ? "sent" : "failed", next - 1);
                ++next;
            }
        }
        int length = dsagent_wait(&session, mail, sizeof mail, 100);
        if (length < 0)
            return 5;
        int command = length > 0 ? dsagent_mail_command(mail, static_cast<std::size_t>(length)) : 0;
        if (command == DSAGENT_MAIL_STOP || command == DSAGENT_MAIL_STOP_ALL) {
            std::printf("stopped\n");
            return 0;
        }
    }
}
