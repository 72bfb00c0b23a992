// An agent for the daemon's end-to-end tests, built on the agent library: it
// publishes the objects a description file gives, then answers the daemon's
// set mails and writes one line per set to a log file.
//
//   serve_agent LAYOUT SET_LOG [ack|nak|none|text]
//
// LAYOUT, one statement per line ('#' lines and blank lines ignored):
//   registry DIR                          the data registry directory
//   object DIR/FILE [INDEX...]            a new object; items follow
//   item NAME TYPE ACCESS STATE SIZE VALUE
//       TYPE unsigned|signed|string|raw|oid, ACCESS rdwr|wr|rd,
//       STATE enabled|disabled, SIZE the capacity of string, raw and oid
//       values (0 for the integers), VALUE the rest of the line (raw: hex
//       digits, two per byte).
// SET_LOG gets "set phase=P object=O item=I length=L hex=HH..." per MAIL_SET,
// L the value's length; standard output gets
// "SET phase=P object=O item=I mail_length=M value=HH..." with the whole
// mail's length M. The answer to every set is MAIL_ACK (ack, the default),
// MAIL_NAK (nak) or nothing at all (none); with text, a value beginning
// "nak" is refused, one beginning "silent" gets no answer, one beginning
// "slow" is taken after 3 seconds (phase 1 only), and every other set is
// taken. It prints "published N" once its objects are out, and ends on
// MAIL_STOP or MAIL_STOP_ALL.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "agent/dsagent.h"

namespace {

int type_code(const std::string& t)
{
    const char* names[] = {"unsigned", "signed", "string", "raw", "oid"};
    for (int i = 0; i < 5; ++i)
        if (t == names[i])
            return i;
    return -1;
}

int access_code(const std::string& a)
{
    return a == "rdwr" ? DSAGENT_RDWR : a == "wr" ? DSAGENT_WR : a == "rd" ? DSAGENT_RD : -1;
}

std::vector<unsigned char> from_hex(const std::string& text)
{
    std::vector<unsigned char> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

std::string to_hex(const unsigned char* bytes, size_t n)
{
    std::string out;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

// Makes every directory of `path` up to its last slash.
void make_parents(const std::string& path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0755);
}

bool fail(int line, const std::string& why)
{
    std::fprintf(stderr, "serve_agent: layout line %d: %s\n", line, why.c_str());
    return false;
}

// Reads LAYOUT and publishes each object as soon as its items are complete.
bool publish_layout(const char* layout, int32_t mbox, int* published)
{
    std::ifstream in(layout);
    if (!in)
        return fail(0, std::string("cannot open ") + layout);
    std::string registry;
    dsagent_object* obj = nullptr;
    auto flush = [&]() {
        if (obj == nullptr)
            return true;
        bool ok = dsagent_object_publish(obj) == 0;
        dsagent_object_free(obj);
        obj = nullptr;
        *published += ok;
        return ok;
    };
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream ls(line);
        std::string word;
        if (!(ls >> word) || word[0] == '#')
            continue;
        if (word == "registry") {
            ls >> registry;
        } else if (word == "object") {
            if (!flush())
                return fail(number, "cannot publish");
            std::string name;
            ls >> name;
            std::vector<int32_t> index;
            for (int32_t v; ls >> v;)
                index.push_back(v);
            make_parents(registry + "/" + name);
            obj = dsagent_object_new(registry.c_str(), name.c_str(), mbox);
            if (obj == nullptr)
                return fail(number, "bad object " + name);
            if (!index.empty())
                dsagent_object_set_index(obj, index.data(), static_cast<int>(index.size()));
        } else if (word == "item" && obj != nullptr) {
            std::string name, type, access, state;
            unsigned size = 0;
            ls >> name >> type >> access >> state >> size;
            std::string value;
            std::getline(ls >> std::ws, value);
            int t = type_code(type), a = access_code(access);
            if (t < 0 || a < 0)
                return fail(number, "bad type or access");
            int at = dsagent_object_add_item(obj, name.c_str(), t, a, static_cast<uint16_t>(size));
            int set = -1;
            if (t == DSAGENT_UNSIGNED)
                set = dsagent_object_set_unsigned(obj, at, static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 0)));
            else if (t == DSAGENT_SIGNED)
                set = dsagent_object_set_signed(obj, at, static_cast<int32_t>(std::strtol(value.c_str(), nullptr, 0)));
            else if (t == DSAGENT_RAW) {
                auto bytes = from_hex(value);
                set = dsagent_object_set_raw(obj, at, bytes.data(), static_cast<uint16_t>(bytes.size()));
            } else
                set = dsagent_object_set_text(obj, at, value.c_str());
            if (at < 0 || set != 0 || dsagent_object_set_state(obj, at, state == "enabled") != 0)
                return fail(number, "bad item " + name);
        } else {
            return fail(number, "unknown statement " + word);
        }
    }
    return flush() || fail(number, "cannot publish");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: serve_agent LAYOUT SET_LOG [ack|nak|none]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string answer = argc > 3 ? argv[3] : "ack";
    dsagent_session session{};
    if (dsagent_connect(&session, nullptr, "serve_agent", 15000) != 0) {
        std::printf("connect failed: %s\n", std::strerror(errno));
        return 3;
    }
    int published = 0;
    if (!publish_layout(argv[1], session.mbox, &published))
        return 4;
    std::printf("published %d\n", published);

    unsigned char mail[DSAGENT_MAIL_BUF];
    for (;;) {
        int n = dsagent_wait(&session, mail, sizeof mail, -1);
        if (n < 0)
            return 5;
        if (n == 0)
            continue;
        int command = dsagent_mail_command(mail, static_cast<size_t>(n));
        if (command == DSAGENT_MAIL_STOP || command == DSAGENT_MAIL_STOP_ALL) {
            std::printf("stopped\n");
            return 0;
        }
        if (command != DSAGENT_MAIL_SET)
            continue;
        dsagent_set set{};
        if (dsagent_parse_set(mail, static_cast<size_t>(n), &set) != 0)
            continue;
        // The log line is complete on disk before the answer goes out, so a
        // test that sees snmpset return also sees every line.
        std::string hex = to_hex(set.value, set.value_length);
        if (FILE* log = std::fopen(argv[2], "a")) {
            std::fprintf(log, "set phase=%d object=%s item=%d length=%zu hex=%s\n", static_cast<int>(set.phase),
                         set.object_name, static_cast<int>(set.item_index), set.value_length, hex.c_str());
            std::fclose(log);
        }
        std::printf("SET phase=%d object=%s item=%d mail_length=%d value=%s\n", static_cast<int>(set.phase),
                    set.object_name, static_cast<int>(set.item_index), n, hex.c_str());
        std::string value(reinterpret_cast<const char*>(set.value), set.value_length);
        if (answer == "text") {
            if (value.rfind("slow", 0) == 0 && set.phase == 1)
                sleep(3);
            if (value.rfind("silent", 0) != 0)
                dsagent_answer(&session, value.rfind("nak", 0) != 0);
        } else if (answer != "none") {
            dsagent_answer(&session, answer == "ack");
        }
    }
}
