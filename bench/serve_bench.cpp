// The daemon served through snmpd, measured from the outside: a plain
// program (no Google Benchmark loop: each figure is one real run) that sets
// up snmpd, the daemon and object files inside scripts/sandbox and reports
//   - 2,000 SNMPv1 gets of one of our scalars against 2,000 of snmpd's own
//     sysName.0, each request one varbind, sent by a small UDP client on our
//     BER codec so that process start-up does not drown the figures;
//   - snmpwalk (net-snmp's) of a 1,000-row and of a 10,000-row table column;
//   - the daemon's resident memory while it serves the 10,000-row table.
// Outside the sandbox it runs itself through scripts/sandbox (found from
// the binary's place in <source>/<build>/bin).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lib/obj_format.h"
#include "snmp/ber.h"
#include "snmp/smux.h"
#include "tests/support/object_image.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

const std::string WORK = "/tmp/serve_bench";
const std::string REGISTRY = "/opt/varden/server/registry";
const std::string SCALAR = "1.3.6.1.4.1.32473.11.2.2.1.0";
const std::string SYSNAME = "1.3.6.1.2.1.1.5.0";
const std::string COL_1K = ".1.3.6.1.4.1.32473.11.2.1.1.1.1";
const std::string COL_10K = ".1.3.6.1.4.1.32473.11.2.4.1.1.1";

const char* DEFS = R"(vdnServer        enterprises.32473.11.2
vdnStdEquipment  vdnServer.1
vdnSystemInfo    vdnServer.2
vdnHealth        vdnServer.3
vdnSm2           vdnServer.4
bScalar          vdnSystemInfo.1 INTEGER read-only mandatory
kTable           vdnStdEquipment.1
kEntry           kTable.1
kCol             kEntry.1        INTEGER read-only mandatory
tTable           vdnSm2.1
tEntry           tTable.1
tCol             tEntry.1        INTEGER read-only mandatory
)";

const char* REGISTRY_MIB = R"(registry = /opt/varden/server/registry
"bench/scalar" "bScalar" SCALAR
table_index = 1
"k/row" "kCol" TABLE
"t/row" "tCol" TABLE
)";

[[noreturn]] void die(const std::string& why)
{
    std::fprintf(stderr, "serve_bench: %s\n", why.c_str());
    std::exit(1);
}

void write_text(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out)
        die("cannot write " + path);
}

// One object file with one SIGNED item, as an agent publishes it.
void write_object(const std::string& name, const char* item, int32_t value, const std::vector<int32_t>& index)
{
    std::vector<unsigned char> image = object_image({name, REGISTRY + "/" + name, 1, index},
                                                    {{item, ITEM_SIGNED, image_u32(static_cast<uint32_t>(value))}});
    std::ofstream out(REGISTRY + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (!out)
        die("cannot write object " + name);
}

pid_t start(const std::vector<std::string>& argv, const std::string& dir, const std::string& log)
{
    pid_t pid = fork();
    if (pid == 0) {
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

    // One GetRequest of one varbind; true when a response without error
    // arrived within the time-out.
    bool get(const snmp_oid* oid, int timeout_ms = 5000)
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
        ber::wrap(w, 0xa0, pdu);
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
            if (parse_response(in, static_cast<size_t>(n), &got_id, &status) && got_id == id)
                return status == 0;
        }
    }

    static bool parse_response(const uint8_t* data, size_t n, int32_t* id, int32_t* status)
    {
        ber::reader r = ber::make_reader(data, n), msg, field, pdu;
        uint8_t tag;
        if (!ber::expect(r, ber::TAG_SEQUENCE, &msg) || !ber::read_tlv(msg, &tag, &field) ||
            !ber::read_tlv(msg, &tag, &field) || !ber::read_tlv(msg, &tag, &pdu) || tag != 0xa2)
            return false;
        return ber::expect(pdu, 0x02, &field) && ber::decode_int32(field, id) && ber::expect(pdu, 0x02, &field) &&
               ber::decode_int32(field, status);
    }
};

double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// Seconds for `count` gets of oid, one after the other.
double time_gets(client& c, const std::string& dotted, int count)
{
    snmp_oid* oid = make_obj_id_from_dot(dotted.c_str());
    if (oid == nullptr)
        die("bad OID " + dotted);
    auto t0 = clock_type::now();
    for (int i = 0; i < count; ++i)
        if (!c.get(oid))
            die("get " + dotted + " failed at request " + std::to_string(i + 1));
    double took = seconds_since(t0);
    free_oid(oid);
    return took;
}

struct walk_result {
    double seconds = 0;
    long rows = 0;
};

walk_result time_walk(const std::string& column)
{
    std::string out = WORK + "/walk.out";
    auto t0 = clock_type::now();
    std::string command = "snmpwalk -v1 -c public -On -m '' -t 30 -r 0 127.0.0.1 " + column + " > " + out + " 2>&1";
    int status = std::system(command.c_str());
    walk_result r;
    r.seconds = seconds_since(t0);
    if (status != 0)
        die("snmpwalk of " + column + " failed, see " + out);
    std::ifstream in(out);
    for (std::string line; std::getline(in, line);)
        r.rows += line.rfind(column + ".", 0) == 0;
    return r;
}

long status_kb(pid_t pid, const char* field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0)
            return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    return -1;
}

bool wait_until_answers(client& c, const std::string& dotted, int seconds)
{
    snmp_oid* oid = make_obj_id_from_dot(dotted.c_str());
    auto deadline = clock_type::now() + std::chrono::seconds(seconds);
    bool ok = false;
    while (!(ok = c.get(oid, 500)) && clock_type::now() < deadline)
        usleep(100000);
    free_oid(oid);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    fs::path self = fs::canonical("/proc/self/exe");
    if (getenv("DSMUX_IN_SANDBOX") == nullptr) {
        // <source>/<build>/bin/serve_bench -> <source>/scripts/sandbox
        std::string sandbox = (self.parent_path().parent_path().parent_path() / "scripts" / "sandbox").string();
        std::vector<char*> args = {const_cast<char*>(sandbox.c_str()), const_cast<char*>(self.c_str())};
        for (int i = 1; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        execv(sandbox.c_str(), args.data());
        die("cannot run " + sandbox);
    }
    std::string bin = self.parent_path().string();
    int gets = 2000;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--gets=", 7) == 0)
            gets = std::atoi(argv[i] + 7);

    // The install tree, the data registry and the host files.
    fs::create_directories(WORK + "/server/etc/smux");
    fs::create_directories(REGISTRY + "/bench");
    fs::create_directories(REGISTRY + "/k");
    fs::create_directories(REGISTRY + "/t");
    fs::create_directories("/etc/netmgt");
    write_text(WORK + "/server/etc/smux/dorsrvsmuxd.defs", DEFS);
    write_text(WORK + "/server/etc/smux/registry.mib", REGISTRY_MIB);
    write_text(WORK + "/server/etc/smux/config", "debug = 0;\n");
    write_text("/etc/netmgt/snmpd.peers", "dorsrvsmuxd .1.3.6.1.4.1.32473.11.2.11.2 smuxsecret\n");
    write_text(WORK + "/snmpd.conf",
               "smuxsocket 127.0.0.1\nsmuxpeer .1.3.6.1.4.1.32473.11.2.11.2 smuxsecret\n"
               "rocommunity public 127.0.0.1\nsysName benchhost\n");
    write_object("bench/scalar", "bScalar", 42, {});
    for (int i = 1; i <= 1000; ++i)
        write_object("k/row." + std::to_string(i), "kCol", i, {i});
    for (int i = 1; i <= 10000; ++i)
        write_object("t/row." + std::to_string(i), "tCol", i, {i});

    pid_t snmpd = start({"snmpd", "-m", "", "-f", "-Lf", WORK + "/snmpd.log", "-C", "-c", WORK + "/snmpd.conf",
                         "udp:127.0.0.1:161"},
                        "", WORK + "/snmpd.out");
    client c;
    if (!wait_until_answers(c, SYSNAME, 20))
        die("snmpd does not answer");
    pid_t daemon = start({bin + "/dorsrvsmuxd"}, WORK + "/server/etc/smux", WORK + "/daemon.log");
    if (!wait_until_answers(c, SCALAR, 30))
        die("the daemon does not answer; see " + WORK + "/daemon.log");

    std::printf("dorsrvsmuxd through snmpd %s, SNMPv1, one varbind per request\n", "5.9");
    // Warm both paths, then alternate so that neither side gets a quieter machine.
    time_gets(c, SYSNAME, 100);
    time_gets(c, SCALAR, 100);
    double own = 0, ours = 0;
    for (int round = 0; round < 4; ++round) {
        own += time_gets(c, SYSNAME, gets / 4);
        ours += time_gets(c, SCALAR, gets / 4);
    }
    std::printf("  %d gets of snmpd's sysName.0:      %7.3f s  %8.0f req/s  %6.1f us/req\n", gets, own, gets / own,
                own / gets * 1e6);
    std::printf("  %d gets of our scalar (via SMUX):  %7.3f s  %8.0f req/s  %6.1f us/req\n", gets, ours, gets / ours,
                ours / gets * 1e6);
    std::printf("  ratio ours / snmpd's own:            %5.2fx  (target: within 1.5x)\n", ours / own);

    walk_result k = time_walk(COL_1K);
    long rss_before = status_kb(daemon, "VmRSS:");
    walk_result t = time_walk(COL_10K);
    long rss_after = status_kb(daemon, "VmRSS:");
    long hwm = status_kb(daemon, "VmHWM:");
    std::printf("snmpwalk of a table column (each get-next scans the table's directory)\n");
    std::printf("  1,000 rows:   %5ld rows %8.3f s  %8.0f req/s  %7.1f us/row\n", k.rows, k.seconds,
                (k.rows + 1) / k.seconds, k.seconds / (k.rows + 1) * 1e6);
    std::printf("  10,000 rows:  %5ld rows %8.3f s  %8.0f req/s  %7.1f us/row\n", t.rows, t.seconds,
                (t.rows + 1) / t.seconds, t.seconds / (t.rows + 1) * 1e6);
    std::printf("  time ratio 10,000 / 1,000 rows:    %6.1fx  (10x rows; 100x if quadratic)\n", t.seconds / k.seconds);
    std::printf("daemon resident memory: %ld kB before the 10,000-row walk, %ld kB after, peak %ld kB\n", rss_before,
                rss_after, hwm);

    kill(daemon, SIGTERM);
    kill(snmpd, SIGTERM);
    int status;
    waitpid(snmpd, &status, 0);
    // The daemon takes its documented pauses on the way out; the sandbox
    // ends it with everything else when we return.
    return 0;
}
