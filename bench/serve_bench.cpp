// The daemon served through snmpd, measured from the outside: a plain
// program (no Google Benchmark loop: each figure is one real run) that sets
// up snmpd, the daemon, a memory-only SMUX peer (mem_peer), a pass_persist
// script (pass_table.pl) and object files inside scripts/sandbox, and
// reports, as ratios within this one run:
//   - gets of our scalar against snmpd's own sysName.0 and the memory-only
//     peer's scalar (the floor of the SMUX hop), sent one varbind at a time
//     by a small UDP client on our BER codec so that process start-up does
//     not drown the figures;
//   - get-next walks of our 1,000 x 3 table against the same table from the
//     memory-only peer and from snmpd's pass_persist, and snmpd walking its
//     own MIB; then a 10,000-row column and a 10,000 x 3 table;
//   - the daemon's resident memory after the walks, and its system calls
//     per get and per get-next (strace -c over a fixed number of requests).
// Ratios are taken between median request times, which the load of this
// shared machine moves far less than totals (see median_us).
// Outside the sandbox it runs itself through scripts/sandbox (found from
// the binary's place in <source>/<build>/bin).
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

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <functional>
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace {

using namespace bench;

int request_serial = 0;

// System calls of process `pid` (all its threads) while `work` runs, by
// strace -c; printed per request, one line per call name.
void count_syscalls(pid_t pid, const char* what, long requests, const std::function<void()>& work)
{
    std::string out = WORK + "/strace." + std::to_string(request_serial++) + ".txt";
    std::string log = out + ".log";
    pid_t tracer = start({"strace", "-c", "-f", "-o", out, "-p", std::to_string(pid)}, "", log);
    bool ended = false;
    if (!wait_for_text(log, "attached", 10, [&] { return ended = waitpid(tracer, nullptr, WNOHANG) == tracer; })) {
        if (!ended) {
            kill(tracer, SIGKILL);
            waitpid(tracer, nullptr, 0);
        }
        std::printf("  %s: strace %s (see %s)\n", what, ended ? "did not run" : "could not attach", log.c_str());
        return;
    }
    work();
    kill(tracer, SIGINT);
    waitpid(tracer, nullptr, 0);
    std::ifstream in(out);
    std::string line, shown;
    double total = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string word; fields >> word;)
            f.push_back(word);
        if (f.size() < 5 || !std::isdigit(static_cast<unsigned char>(f[0][0])) || f.back() == "total")
            continue;
        double calls = std::atof(f[3].c_str()) / static_cast<double>(requests);
        total += calls;
        if (calls >= 0.01) {
            char part[64];
            std::snprintf(part, sizeof part, " %s %.2f", f.back().c_str(), calls);
            shown += part;
        }
    }
    std::printf("  %-34s %5.2f per request:%s\n", what, total, shown.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    fs::path self = run_in_sandbox(argc, argv);
    std::string bin = self.parent_path().string();
    std::string source = self.parent_path().parent_path().parent_path().string();
    int gets = 2000;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--gets=", 7) == 0)
            gets = std::atoi(argv[i] + 7);

    write_tree(1000);
    for (int i = 1; i <= 10000; ++i)
        write_object("t/row." + std::to_string(i), "tCol", 3, i, {i});
    write_text(WORK + "/mem.peers", "mempeer .1.3.6.1.4.1.32473.96.1 memsecret\n");
    write_text(WORK + "/snmpd.conf",
               "smuxsocket 127.0.0.1\nsmuxpeer .1.3.6.1.4.1.32473.11.2.11.2 benchsecret\n"
               "smuxpeer .1.3.6.1.4.1.32473.96.1 memsecret\n"
               "rocommunity public 127.0.0.1\nsysName benchhost\n"
               "pass_persist " + PASS + " /usr/bin/perl " + source + "/bench/pass_table.pl " + PASS + " 1000\n");

    client c;
    pid_t snmpd = start_snmpd(c);
    pid_t daemon = start({bin + "/dorsrvsmuxd"}, WORK + "/server/etc/smux", WORK + "/daemon.log", SERVER_CPU);
    // The memory-only peer runs at the daemon's own priority (it raises
    // itself to nice -20), so that both meet snmpd on the same terms.
    pid_t peer = start({"nice", "-n", "-20", bin + "/mem_peer", "mempeer", WORK + "/mem.peers", MEM, "1000"}, "", WORK + "/mem_peer.log",
                       SERVER_CPU);
    if (!wait_until_answers(c, SCALAR, 30))
        die("the daemon does not answer", WORK + "/daemon.log");
    if (!wait_until_answers(c, MEM_SCALAR, 30))
        die("the memory-only peer does not answer", WORK + "/mem_peer.log");

    std::printf("dorsrvsmuxd through snmpd %s, SNMPv1, one varbind per request\n", "5.9");
    // Warm every path, then alternate in many short rounds so that no side
    // gets a quieter machine.
    struct get_target {
        const char* label;
        std::string oid;
        pid_t server;
        double seconds = 0;
        double cpu = 0;
        std::vector<float> times;
        get_target(const char* l, std::string o, pid_t s) : label(l), oid(std::move(o)), server(s) {}
    };
    std::vector<get_target> targets = {{"snmpd's own sysName.0:", SYSNAME, snmpd},
                                       {"memory-only SMUX peer's scalar:", MEM_SCALAR, peer},
                                       {"our scalar:", SCALAR, daemon},
                                       {"memory-only SMUX peer's table row:", MEM_TABLE + ".1.500", peer},
                                       {"our table row:", TABLE_1K + ".1.1.500", daemon}};
    for (auto& t : targets)
        time_gets(c, t.oid, 100);
    const int rounds = 20;
    for (int round = 0; round < rounds; ++round)
        for (auto& t : targets) {
            double cpu0 = cpu_seconds(t.server);
            t.seconds += time_gets(c, t.oid, gets / rounds, &t.times);
            t.cpu += cpu_seconds(t.server) - cpu0;
        }
    std::printf("gets (%d each, in %d alternating rounds)\n", gets / rounds * rounds, rounds);
    int counted = gets / rounds * rounds;
    for (const auto& t : targets)
        std::printf("  %-36s %8.0f req/s  median %6.1f us  server CPU %5.1f us/req\n", t.label, counted / t.seconds,
                    median_us(t.times), t.cpu / counted * 1e6);
    double own = median_us(targets[0].times), mem = median_us(targets[1].times), ours = median_us(targets[2].times);
    std::printf("  ratios of median times:\n");
    std::printf("  our scalar / memory-only peer's:      %6.3fx  (target: at most 1.05x)\n", ours / mem);
    std::printf("  our row / memory-only peer's:         %6.3fx\n",
                median_us(targets[4].times) / median_us(targets[3].times));
    std::printf("  our scalar / snmpd's own:             %6.3fx\n", ours / own);
    gets = counted;

    // Warm-up walks: the first fills our caches and starts the script. The
    // first walk of the 10,000 x 3 table reads every row file once.
    long rss_start = status_kb(daemon, "VmRSS:");
    time_walk(c, TABLE_1K);
    time_walk(c, MEM_TABLE);
    time_walk(c, PASS_TABLE);
    walk_result cold = time_walk(c, TABLE_10K);
    long rss_cold = status_kb(daemon, "VmRSS:");
    // Then every walk in turn, 100 requests at a time, 30,003 requests each
    // (ten passes of a 1,000 x 3 table, three of a 10,000-row column, one
    // of a 10,000 x 3 table).
    walker k(TABLE_1K, daemon), m(MEM_TABLE, peer), p(PASS_TABLE, 0), o(SNMPD_OWN, 0, 3001), column(COL_10K, daemon),
        t(TABLE_10K, daemon);
    walker* walkers[] = {&k, &m, &p, &o, &column, &t};
    const long per_walker = 30003, batch = 100;
    // Gets of our scalar in the same rounds, for the cost of a get-next
    // against a get at the same moments.
    std::vector<float> scalar_times;
    for (long done = 0; done < per_walker; done += batch) {
        for (walker* w : walkers)
            w->step(c, std::min(batch, per_walker - done));
        if (done % (batch * 10) == 0)
            time_gets(c, SCALAR, static_cast<int>(batch), &scalar_times);
    }
    long rss_warm = status_kb(daemon, "VmRSS:");
    double scalar_median = median_us(scalar_times);
    std::printf("get-next walks of a 1,000 x 3 table (%ld requests each, interleaved 100 at a time)\n",
                k.total.requests);
    for (const walker* w : {&k, &m, &p, &o})
        std::printf("  %-36s %8.0f req/s  median %6.1f us\n",
                    w == &k ? "our table:" : w == &m ? "memory-only SMUX peer:" : w == &p ? "snmpd pass_persist (perl):"
                                                                                   : "snmpd walking its own MIB:",
                    w->total.rate(), w->median());
    std::printf("  rates from median times:\n");
    std::printf("  ours / memory-only peer's:            %6.3f   (target: at least 0.9)\n", m.median() / k.median());
    std::printf("  ours / pass_persist's:                %6.3f\n", p.median() / k.median());
    std::printf("  our get-next / our scalar get:        %6.3fx  (target: at most 1.1x; gets taken in the same rounds)\n",
                k.median() / scalar_median);
    std::printf("  CPU per get-next, ours / the memory-only peer's: %.1f / %.1f us\n", k.cpu_us(), m.cpu_us());
    std::printf("get-next walks of 10,000 rows (interleaved with those above)\n");
    std::printf("  10,000 x 3 table, first walk:         %8.0f req/s\n", cold.rate());
    std::printf("  10,000-row column:                    %8.0f req/s  median %6.1f us  rate / 1,000 x 3's: %5.3f"
                "  (target: at least 0.9)\n",
                column.total.rate(), column.median(), k.median() / column.median());
    std::printf("  10,000 x 3 table:                     %8.0f req/s  median %6.1f us  rate / 1,000 x 3's: %5.3f"
                "  (target: at least 0.9)\n",
                t.total.rate(), t.median(), k.median() / t.median());
    std::printf("  CPU per get-next, 10,000-row column / 10,000 x 3 table: %.1f / %.1f us\n", column.cpu_us(),
                t.cpu_us());
    std::printf("daemon resident memory: %ld kB before the walks, %ld kB after the first 10,000 x 3 walk, "
                "%ld kB after all of them; peak %ld kB (target: under 8192 kB)\n",
                rss_start, rss_cold, rss_warm, status_kb(daemon, "VmHWM:"));

    std::printf("daemon system calls with nothing changing on disk (strace -c -f -p)\n");
    snmp_oid* scalar = oid_of(SCALAR);
    count_syscalls(daemon, "get of our scalar:", 500, [&] {
        for (int i = 0; i < 500; ++i)
            if (!c.get(scalar))
                die("get failed under strace");
    });
    free_oid(scalar);
    count_syscalls(daemon, "get-next in our 1,000 x 3 table:", 3001, [&] { time_walk(c, TABLE_1K); });

    kill(peer, SIGTERM);
    kill(daemon, SIGTERM);
    kill(snmpd, SIGTERM);
    int status;
    waitpid(snmpd, &status, 0);
    waitpid(peer, &status, 0);
    // The daemon takes its documented pauses on the way out; the sandbox
    // ends it with everything else when we return.
    return 0;
}
