// An agent for the daemon's end-to-end tests, built on the agent library: it
// publishes a fixed set of objects (scalars of every type, a one-index and a
// two-index table) into the data registry given, connects to the daemon and
// answers its set mails, logging each one on its standard output:
//   SET phase=P object=NAME item=I length=L value=HEX
// A set whose value text is "nak" is refused; one whose value is "silent"
// gets no answer at all; every other set is accepted.
//   daemon_agent REGISTRY_DIR
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "agent/dsagent.h"

namespace {

int published = 0;

void publish(dsagent_object* obj)
{
    if (obj != nullptr && dsagent_object_publish(obj) == 0)
        ++published;
    dsagent_object_free(obj);
}

void publish_objects(const char* registry, int32_t mbox)
{
    for (const char* dir : {"sys", "disk", "proc", "health"})
        mkdir((std::string(registry) + "/" + dir).c_str(), 0755);
    dsagent_object* s = dsagent_object_new(registry, "sys/scalars", mbox);
    int level = dsagent_object_add_item(s, "eLevel", DSAGENT_SIGNED, DSAGENT_RDWR, 4);
    int text = dsagent_object_add_item(s, "eText", DSAGENT_STRING, DSAGENT_RDWR, 16);
    int count = dsagent_object_add_item(s, "eCount", DSAGENT_UNSIGNED, DSAGENT_RD, 4);
    int off = dsagent_object_add_item(s, "eOff", DSAGENT_SIGNED, DSAGENT_RDWR, 4);
    int oid = dsagent_object_add_item(s, "eOid", DSAGENT_OID, DSAGENT_RDWR, 32);
    int raw = dsagent_object_add_item(s, "eRaw", DSAGENT_RAW, DSAGENT_RDWR, 8);
    dsagent_object_set_signed(s, level, -42);
    dsagent_object_set_text(s, text, "hello");
    dsagent_object_set_unsigned(s, count, 7);
    dsagent_object_set_signed(s, off, 1);
    dsagent_object_set_state(s, off, 0);
    dsagent_object_set_text(s, oid, "1.3.6.1.4.1.32473.1");
    const unsigned char bytes[] = {0x01, 0xab, 0x00};
    dsagent_object_set_raw(s, raw, bytes, sizeof bytes);
    publish(s);

    // Rows 2, 9 and 10; row 10's first column is disabled.
    for (int row : {10, 2, 9}) {
        std::string name = "disk/diskTable." + std::to_string(row);
        dsagent_object* r = dsagent_object_new(registry, name.c_str(), mbox);
        int32_t index[] = {row};
        dsagent_object_set_index(r, index, 1);
        int a = dsagent_object_add_item(r, "eColA", DSAGENT_SIGNED, DSAGENT_RDWR, 4);
        int b = dsagent_object_add_item(r, "eColB", DSAGENT_STRING, DSAGENT_RDWR, 16);
        dsagent_object_set_signed(r, a, row * 10);
        dsagent_object_set_state(r, a, row != 10);
        dsagent_object_set_text(r, b, ("row" + std::to_string(row)).c_str());
        publish(r);
    }
    for (auto [x, y] : {std::pair{2, 1}, {1, 2}, {1, 1}}) {
        std::string name = "proc/procTable." + std::to_string(x) + "." + std::to_string(y);
        dsagent_object* r = dsagent_object_new(registry, name.c_str(), mbox);
        int32_t index[] = {x, y};
        dsagent_object_set_index(r, index, 2);
        int v = dsagent_object_add_item(r, "ePVal", DSAGENT_SIGNED, DSAGENT_RD, 4);
        dsagent_object_set_signed(r, v, x * 10 + y);
        publish(r);
    }
    dsagent_object* h = dsagent_object_new(registry, "health/health", mbox);
    dsagent_object_set_unsigned(h, dsagent_object_add_item(h, "eHealth", DSAGENT_UNSIGNED, DSAGENT_RD, 4), 5);
    dsagent_object_set_unsigned(h, dsagent_object_add_item(h, "eSm2", DSAGENT_UNSIGNED, DSAGENT_RD, 4), 6);
    publish(h);
}

std::string hex(const unsigned char* bytes, std::size_t length)
{
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: daemon_agent REGISTRY_DIR\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    publish_objects(argv[1], static_cast<int32_t>(getpid()));
    std::printf("published %d\n", published);
    dsagent_session session{};
    if (dsagent_connect(&session, nullptr, "daemon_agent", 20000) != 0) {
        std::printf("connect failed\n");
        return 3;
    }
    std::printf("connected at %d\n", static_cast<int>(session.mbox));
    unsigned char mail[DSAGENT_MAIL_BUF];
    for (;;) {
        int length = dsagent_wait(&session, mail, sizeof mail, -1);
        if (length < 0)
            return 5;
        if (length == 0)
            continue;
        int command = dsagent_mail_command(mail, static_cast<std::size_t>(length));
        if (command == DSAGENT_MAIL_STOP || command == DSAGENT_MAIL_STOP_ALL) {
            std::printf("stopped %d\n", command);
            return 0;
        }
        dsagent_set set{};
        if (dsagent_parse_set(mail, static_cast<std::size_t>(length), &set) != 0) {
            std::printf("got %d\n", command);
            continue;
        }
        std::string value(reinterpret_cast<const char*>(set.value), set.value_length);
        std::printf("SET phase=%d object=%s item=%d length=%d value=%s\n", static_cast<int>(set.phase),
                    set.object_name, static_cast<int>(set.item_index), length,
                    hex(set.value, set.value_length).c_str());
        if (value.rfind("silent", 0) == 0)
            continue;
        dsagent_answer(&session, value.rfind("nak", 0) != 0);
    }
}
