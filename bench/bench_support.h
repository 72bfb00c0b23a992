// What the benchmarks that measure the daemon through snmpd share: the
// install tree they set up (definitions, registry map, object files), a
// minimal SNMPv1 client on our BER codec (so that process start-up does not
// drown the figures), timed gets and get-next walks, and the median and CPU
// figures the reports are made of. Everything here runs inside
// scripts/sandbox.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "snmp/ber.h"
#include "snmp/mib.h"
#include "snmp/types.h"
#include "store/obj_format.h"
#include "tests/support/object_image.h"

namespace bench {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

inline const std::string WORK = "/tmp/serve_bench";
inline const std::string REGISTRY = "/opt/varden/server/registry";
inline const std::string BASE = ".1.3.6.1.4.1.32473.11.2";
inline const std::string SCALAR = BASE + ".2.1.0";
inline const std::string SYSNAME = ".1.3.6.1.2.1.1.5.0";
inline const std::string TABLE_1K = BASE + ".1.1";        // kTable, 1,000 x 3
inline const std::string TABLE_10K = BASE + ".4.1";       // tTable, 10,000 x 3
inline const std::string COL_10K = TABLE_10K + ".1.1";    // its first column
inline const std::string MEM = ".1.3.6.1.4.1.32473.97";   // the memory-only peer
inline const std::string MEM_SCALAR = MEM + ".1.0";
inline const std::string MEM_TABLE = MEM + ".2.1";
inline const std::string PASS = ".1.3.6.1.4.1.32473.98";  // the pass_persist script
inline const std::string PASS_TABLE = PASS + ".1";
inline const std::string SNMPD_OWN = ".1.3.6.1.2.1";      // snmpd's own MIB

inline const char* DEFS = R"(vdnServer        enterprises.32473.11.2
vdnStdEquipment  vdnServer.1
vdnSystemInfo    vdnServer.2
vdnHealth        vdnServer.3
vdnSm2           vdnServer.4
bScalar          vdnSystemInfo.1 INTEGER read-only mandatory
kTable           vdnStdEquipment.1
kEntry           kTable.1
kCol1            kEntry.1        INTEGER read-only mandatory
kCol2            kEntry.2        INTEGER read-only mandatory
kCol3            kEntry.3        INTEGER read-only mandatory
tTable           vdnSm2.1
tEntry           tTable.1
tCol1            tEntry.1        INTEGER read-only mandatory
tCol2            tEntry.2        INTEGER read-only mandatory
tCol3            tEntry.3        INTEGER read-only mandatory
)";

inline const char* REGISTRY_MIB = R"(registry = /opt/varden/server/registry
"bench/scalar" "bScalar" SCALAR
table_index = 1
"k/row" "kCol1" TABLE
"k/row" "kCol2" TABLE
"k/row" "kCol3" TABLE
"t/row" "tCol1" TABLE
"t/row" "tCol2" TABLE
"t/row" "tCol3" TABLE
)";

// The benchmark's files live in the sandbox's private /tmp, gone when it
// ends, so a failure shows the end of the log that tells why rather than
// naming a file nobody can open any more.
[[noreturn]] inline void die(const std::string& why, const std::string& log = "")
{
    std::fprintf(stderr, "serve_bench: %s\n", why.c_str());
    if (!log.empty()) {
        std::ifstream in(log);
        std::deque<std::string> tail;
        for (std::string line; std::getline(in, line);) {
            tail.push_back(line);
            if (tail.size() > 20)
                tail.pop_front();
        }
        std::fprintf(stderr, "serve_bench: the end of %s:\n", log.c_str());
        for (const auto& line : tail)
            std::fprintf(stderr, "  %s\n", line.c_str());
    }
    std::exit(1);
}

inline void write_text(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out)
        die("cannot write " + path);
}

// One object file with SIGNED items, as an agent publishes it: one item
// named prefix, or items prefix1, prefix2, ...; values value * 10 + column.
inline void write_object(const std::string& name, const std::string& prefix, int items, int32_t value,
                  const std::vector<int32_t>& index)
{
    std::size_t n = static_cast<std::size_t>(items);
    std::vector<image_item> laid;
    for (std::size_t i = 0; i < n; ++i) {
        std::string item = n == 1 ? prefix : prefix + std::to_string(i + 1);
        int32_t v = value * 10 + static_cast<int32_t>(i + 1);
        laid.push_back({item, ITEM_SIGNED, image_u32(static_cast<uint32_t>(v))});
    }
    std::vector<unsigned char> image = object_image({name, REGISTRY + "/" + name, 1, index}, laid);
    std::ofstream out(REGISTRY + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (!out)
        die("cannot write object " + name);
}

// The CPU every server runs on, and the one the client runs on (when there
// are two). Where the scheduler would put them otherwise changes from phase
// to phase, and a server woken on the other CPU than snmpd pays for the
// wake-up across CPUs: figures would depend on placement, not on the server.
constexpr int SERVER_CPU = 0;
constexpr int CLIENT_CPU = 1;

inline void pin_to(int cpu)
{
    if (cpu >= static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)))
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    (void)sched_setaffinity(0, sizeof set, &set);
}

// Starts a program with its output in `log`; `cpu` >= 0 pins it there.
inline pid_t start(const std::vector<std::string>& argv, const std::string& dir, const std::string& log, int cpu = -1)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (cpu >= 0)
            pin_to(cpu);
        if (!dir.empty() && chdir(dir.c_str()) != 0)
            _exit(126);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// ---- a minimal SNMPv1 client -------------------------------------------------

struct client {
    int fd = -1;
    int32_t request_id = 1;

    client()
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(161);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            die("cannot open the UDP client");
    }
    ~client() { close(fd); }

    // One request (0xa0 get, 0xa1 get-next) of one varbind; true when a
    // response without error arrived within the time-out. *answered gets the
    // response's name when asked for.
    bool ask(uint8_t type, const snmp_oid* oid, snmp_oid** answered = nullptr, int timeout_ms = 5000)
    {
        uint8_t buf[512];
        ber::writer w(buf, sizeof buf);
        size_t all = w.mark();
        size_t pdu = w.mark();
        size_t list = w.mark();
        size_t vb = w.mark();
        ber::put_null(w);
        ber::put_oid(w, oid);
        ber::wrap(w, ber::TAG_SEQUENCE, vb);
        ber::wrap(w, ber::TAG_SEQUENCE, list);
        ber::put_int(w, 0x02, 0);
        ber::put_int(w, 0x02, 0);
        int32_t id = request_id++;
        ber::put_int(w, 0x02, id);
        ber::wrap(w, type, pdu);
        ber::put_octets(w, 0x04, "public", 6);
        ber::put_int(w, 0x02, 0);
        ber::wrap(w, ber::TAG_SEQUENCE, all);
        if (w.overflow || send(fd, w.data(), w.used, 0) != static_cast<ssize_t>(w.used))
            return false;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) != 1)
                return false;
            uint8_t in[2048];
            ssize_t n = recv(fd, in, sizeof in, 0);
            if (n <= 0)
                return false;
            int32_t got_id = 0, status = -1;
            if (parse_response(in, static_cast<size_t>(n), &got_id, &status, answered) && got_id == id)
                return status == 0;
        }
    }
    bool get(const snmp_oid* oid, int timeout_ms = 5000) { return ask(0xa0, oid, nullptr, timeout_ms); }

    static bool parse_response(const uint8_t* data, size_t n, int32_t* id, int32_t* status, snmp_oid** answered)
    {
        ber::reader r = ber::make_reader(data, n), msg, field, pdu, list, vb;
        uint8_t tag;
        if (!ber::expect(r, ber::TAG_SEQUENCE, &msg) || !ber::read_tlv(msg, &tag, &field) ||
            !ber::read_tlv(msg, &tag, &field) || !ber::read_tlv(msg, &tag, &pdu) || tag != 0xa2)
            return false;
        if (!ber::expect(pdu, 0x02, &field) || !ber::decode_int32(field, id) || !ber::expect(pdu, 0x02, &field) ||
            !ber::decode_int32(field, status))
            return false;
        if (answered == nullptr)
            return true;
        return ber::expect(pdu, 0x02, &field) && ber::expect(pdu, ber::TAG_SEQUENCE, &list) &&
               ber::expect(list, ber::TAG_SEQUENCE, &vb) && ber::expect(vb, 0x06, &field) &&
               ber::decode_oid(field, answered);
    }
};

inline double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// Seconds for `count` gets of oid, one after the other.
// The median of request times: on this shared machine a request now and
// then waits milliseconds for a CPU that another program holds, and a few
// such waits move a mean by more than the difference being measured.
inline double median_us(std::vector<float> times)
{
    if (times.empty())
        return 0;
    auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
    std::nth_element(times.begin(), middle, times.end());
    return *middle * 1e6;
}

// Seconds for `count` gets of `dotted`, one after the other; each request's
// time is appended to `times` when given.
inline double time_gets(client& c, const std::string& dotted, int count, std::vector<float>* times = nullptr)
{
    snmp_oid* oid = make_obj_id_from_dot(dotted.c_str());
    if (oid == nullptr)
        die("bad OID " + dotted);
    auto t0 = clock_type::now();
    for (int i = 0; i < count; ++i) {
        auto r0 = clock_type::now();
        if (!c.get(oid))
            die("get " + dotted + " failed at request " + std::to_string(i + 1));
        if (times != nullptr)
            times->push_back(static_cast<float>(seconds_since(r0)));
    }
    double took = seconds_since(t0);
    free_oid(oid);
    return took;
}

inline snmp_oid* oid_of(const std::string& dotted)
{
    snmp_oid* oid = make_obj_id_from_dot(dotted.c_str());
    if (oid == nullptr)
        die("bad OID " + dotted);
    return oid;
}

inline bool under(const snmp_oid* name, const snmp_oid* base)
{
    return name->count > base->count &&
           std::memcmp(name->ids, base->ids, base->count * sizeof(uint32_t)) == 0;
}

struct walk_result {
    double seconds = 0;
    long requests = 0;
    double rate() const { return requests / seconds; }
};

// Walks `base` with get-next, one request after the other, until the answer
// leaves it (or `limit` requests were sent). Every request counts, the
// last one that leaves the subtree too.
inline walk_result time_walk(client& c, const std::string& base, long limit = 1L << 30)
{
    snmp_oid* root = oid_of(base);
    snmp_oid* at = oid_cpy(root);
    walk_result r;
    auto t0 = clock_type::now();
    while (r.requests < limit) {
        snmp_oid* next = nullptr;
        ++r.requests;
        bool ok = c.ask(0xa1, at, &next);
        free_oid(at);
        at = next;
        if (!ok || at == nullptr || !under(at, root))
            break;
    }
    r.seconds = seconds_since(t0);
    free_oid(at);
    free_oid(root);
    if (r.requests < 2)
        die("the walk of " + base + " found nothing");
    return r;
}

// CPU seconds (user and system) that process `pid` has used so far: what a
// server spends per request, which the load of the machine changes far less
// than the time a client waits for it.
inline double cpu_seconds(pid_t pid)
{
    if (pid <= 0)
        return 0;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    // Fields after the command name in parentheses: state is the 3rd field,
    // utime and stime the 14th and 15th.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A walk that can be taken a few requests at a time, so that walks of
// different servers can be interleaved finely: on this shared machine the
// load changes within a second, and a server measured in another second than
// its rival would win or lose by that alone. It starts again at `base` when
// the answer leaves it (or after `limit` requests of one pass).
struct walker {
    std::string base;
    long limit;
    snmp_oid* root = nullptr;
    snmp_oid* at = nullptr;
    long in_pass = 0;
    walk_result total;
    pid_t server;          // whose CPU time to count (0: none)
    double cpu = 0;
    std::vector<float> times;  // of each request, in seconds

    walker(std::string b, pid_t s, long l = 1L << 30) : base(std::move(b)), limit(l), server(s) {}
    walker(const walker&) = delete;
    ~walker()
    {
        free_oid(at);
        free_oid(root);
    }

    void step(client& c, long n)
    {
        if (root == nullptr)
            root = oid_of(base);
        auto t0 = clock_type::now();
        double cpu0 = cpu_seconds(server);
        for (long i = 0; i < n; ++i) {
            if (at == nullptr) {
                at = oid_cpy(root);
                in_pass = 0;
            }
            snmp_oid* next = nullptr;
            ++total.requests;
            ++in_pass;
            auto r0 = clock_type::now();
            bool ok = c.ask(0xa1, at, &next);
            times.push_back(static_cast<float>(seconds_since(r0)));
            free_oid(at);
            at = next;
            if (!ok || at == nullptr || !under(at, root) || in_pass >= limit) {
                if (in_pass < 2)
                    die("the walk of " + base + " found nothing");
                free_oid(at);
                at = nullptr;
            }
        }
        total.seconds += seconds_since(t0);
        cpu += cpu_seconds(server) - cpu0;
    }
    double cpu_us() const { return cpu / static_cast<double>(total.requests) * 1e6; }
    double median() const { return median_us(times); }
};

inline long status_kb(pid_t pid, const char* field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0)
            return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    return -1;
}

inline bool wait_until_answers(client& c, const std::string& dotted, int seconds)
{
    snmp_oid* oid = make_obj_id_from_dot(dotted.c_str());
    auto deadline = clock_type::now() + std::chrono::seconds(seconds);
    bool ok = false;
    while (!(ok = c.get(oid, 500)) && clock_type::now() < deadline)
        usleep(100000);
    free_oid(oid);
    return ok;
}

// snmpd with WORK/snmpd.conf on the server's CPU, and this process moved to
// the client's; returns once snmpd answers `c`.
inline pid_t start_snmpd(client& c)
{
    pid_t snmpd = start({"snmpd", "-m", "", "-f", "-Lf", WORK + "/snmpd.log", "-C", "-c", WORK + "/snmpd.conf",
                         "udp:127.0.0.1:161"},
                        "", WORK + "/snmpd.out", SERVER_CPU);
    pin_to(CLIENT_CPU);
    if (!wait_until_answers(c, SYSNAME, 20))
        die("snmpd does not answer", WORK + "/snmpd.log");
    return snmpd;
}

// Whether `path` comes to hold `text` within `seconds` (polled); `gone`,
// when given, ends the wait early when it returns true.
inline bool wait_for_text(const std::string& path, const std::string& text, int seconds,
                          const std::function<bool()>& gone = nullptr)
{
    auto deadline = clock_type::now() + std::chrono::seconds(seconds);
    for (;;) {
        std::ifstream in(path);
        std::stringstream content;
        content << in.rdbuf();
        if (content.str().find(text) != std::string::npos)
            return true;
        if (clock_type::now() > deadline || (gone && gone()))
            return false;
        usleep(5000);
    }
}

// Outside the sandbox the benchmark runs itself again through
// scripts/sandbox (found from the binary's place in <source>/<build>/bin)
// and never returns; inside it returns the binary's path.
inline fs::path run_in_sandbox(int argc, char** argv)
{
    fs::path self = fs::canonical("/proc/self/exe");
    if (getenv("DSMUX_IN_SANDBOX") != nullptr)
        return self;
    std::string sandbox = (self.parent_path().parent_path().parent_path() / "scripts" / "sandbox").string();
    std::vector<char*> args = {const_cast<char*>(sandbox.c_str()), const_cast<char*>(self.c_str())};
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(sandbox.c_str(), args.data());
    die("cannot run " + sandbox);
}

// The install tree, the data registry with the scalar and the 1,000 x 3
// table (`rows` rows), and the daemon's peers entry.
inline void write_tree(int rows)
{
    fs::create_directories(WORK + "/server/etc/smux");
    fs::create_directories(REGISTRY + "/bench");
    fs::create_directories(REGISTRY + "/k");
    fs::create_directories(REGISTRY + "/t");
    fs::create_directories("/etc/netmgt");
    write_text(WORK + "/server/etc/smux/dorsrvsmuxd.defs", DEFS);
    write_text(WORK + "/server/etc/smux/registry.mib", REGISTRY_MIB);
    write_text(WORK + "/server/etc/smux/config", "debug = 0;\n");
    write_text("/etc/netmgt/snmpd.peers", "dorsrvsmuxd .1.3.6.1.4.1.32473.11.2.11.2 benchsecret\n");
    write_object("bench/scalar", "bScalar", 1, 42, {});
    for (int i = 1; i <= rows; ++i)
        write_object("k/row." + std::to_string(i), "kCol", 3, i, {i});
}

}  // namespace bench
