// The daemon's AgentX path through snmpd against a memory-only AgentX peer
// (ax_mem_peer, the same codec and connection code) and against the
// daemon's own SMUX path, in one run, printed as ratios:
//   - gets and get-next walks, ours over AgentX / the memory-only peer's,
//     interleaved in short rounds (medians of request times);
//   - snmptable of a 1,000 x 3 table, as an operator runs it, over AgentX
//     and over SMUX (medians of whole runs);
//   - sysName.0, which snmpd answers itself, while one of our sets waits
//     3 s for its agent, against sysName.0 when nothing else happens.
// The daemon runs over AgentX first, then is stopped and started over SMUX.
#include "bench/bench_support.h"

#include <future>

using namespace bench;

namespace {

const std::string AX_MEM = ".1.3.6.1.4.1.32473.96";  // the memory-only AgentX peer
const std::string AX_MEM_SCALAR = AX_MEM + ".1.0";
const std::string AX_MEM_TABLE = AX_MEM + ".2.1";
const std::string SLOW = BASE + ".2.2.0";  // bSlow, set through serve_agent

// kTable as a manager's MIB module names it, for snmptable.
const char* BENCH_MIB = R"(BENCH-MIB DEFINITIONS ::= BEGIN
IMPORTS OBJECT-TYPE, Integer32, enterprises FROM SNMPv2-SMI;
vdnStdEquipment OBJECT IDENTIFIER ::= { enterprises 32473 11 2 1 }
kTable OBJECT-TYPE
    SYNTAX SEQUENCE OF KEntry
    MAX-ACCESS not-accessible
    STATUS current
    DESCRIPTION "the bench table"
    ::= { vdnStdEquipment 1 }
kEntry OBJECT-TYPE
    SYNTAX KEntry
    MAX-ACCESS not-accessible
    STATUS current
    DESCRIPTION "a row"
    INDEX { kCol1 }
    ::= { kTable 1 }
KEntry ::= SEQUENCE { kCol1 Integer32, kCol2 Integer32, kCol3 Integer32 }
kCol1 OBJECT-TYPE SYNTAX Integer32 MAX-ACCESS read-only STATUS current DESCRIPTION "c1" ::= { kEntry 1 }
kCol2 OBJECT-TYPE SYNTAX Integer32 MAX-ACCESS read-only STATUS current DESCRIPTION "c2" ::= { kEntry 2 }
kCol3 OBJECT-TYPE SYNTAX Integer32 MAX-ACCESS read-only STATUS current DESCRIPTION "c3" ::= { kEntry 3 }
axMem OBJECT IDENTIFIER ::= { enterprises 32473 96 }
mTable OBJECT-TYPE
    SYNTAX SEQUENCE OF MEntry
    MAX-ACCESS not-accessible
    STATUS current
    DESCRIPTION "the memory-only peer's table"
    ::= { axMem 2 }
mEntry OBJECT-TYPE
    SYNTAX MEntry
    MAX-ACCESS not-accessible
    STATUS current
    DESCRIPTION "a row"
    INDEX { mCol1 }
    ::= { mTable 1 }
MEntry ::= SEQUENCE { mCol1 Integer32, mCol2 Integer32, mCol3 Integer32 }
mCol1 OBJECT-TYPE SYNTAX Integer32 MAX-ACCESS read-only STATUS current DESCRIPTION "c1" ::= { mEntry 1 }
mCol2 OBJECT-TYPE SYNTAX Integer32 MAX-ACCESS read-only STATUS current DESCRIPTION "c2" ::= { mEntry 2 }
mCol3 OBJECT-TYPE SYNTAX Integer32 MAX-ACCESS read-only STATUS current DESCRIPTION "c3" ::= { mEntry 3 }
END
)";

// Runs a command to its end: its wall time in seconds, or a negative time
// when it failed.
double timed_run(const std::vector<std::string>& argv, const std::string& log)
{
    auto t0 = clock_type::now();
    pid_t pid = start(argv, "", log, CLIENT_CPU);
    int status = 0;
    waitpid(pid, &status, 0);
    double took = seconds_since(t0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? took : -took;
}

double median_of(std::vector<double> v)
{
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// snmptable of `table` (kTable or mTable), `runs` times: the median seconds
// of a run.
double snmptable_median(const std::string& source, int runs, int rows, const std::string& table = "kTable")
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        double t = timed_run({"snmptable", "-M", "+" + WORK + ":" + source + "/mib/stand-ins", "-m", "+BENCH-MIB", "-v2c",
                              "-c", "public", "-t", "30", "-r", "0", "-Cf", ",", "127.0.0.1", "BENCH-MIB::" + table},
                             WORK + "/snmptable.out");
        if (t < 0)
            die("snmptable failed", WORK + "/snmptable.out");
        times.push_back(t);
    }
    std::ifstream out(WORK + "/snmptable.out");
    long lines = 0;
    for (std::string line; std::getline(out, line);)
        lines += line.find(',') != std::string::npos ? 1 : 0;
    if (lines < rows)
        die("snmptable showed " + std::to_string(lines) + " rows", WORK + "/snmptable.out");
    return median_of(times);
}

// sysName.0 while a set of ours waits 3 s for its agent: the time of the
// get started once the agent has the set, in microseconds.
double sysname_during_slow_set(client& c, const std::string& set_log)
{
    std::remove(set_log.c_str());
    auto set = std::async(std::launch::async, [] {
        return timed_run({"snmpset", "-m", "", "-v2c", "-c", "private", "-t", "30", "-r", "0", "127.0.0.1", SLOW, "s",
                          "slow"},
                         WORK + "/snmpset.out");
    });
    if (!wait_for_text(set_log, "phase=1", 10))
        die("the agent never saw the set", WORK + "/snmpset.out");
    std::vector<float> one;
    time_gets(c, SYSNAME, 1, &one);
    if (set.get() < 0)
        die("the slow set failed", WORK + "/snmpset.out");
    return median_us(one);
}

pid_t start_daemon(const std::string& bin, const std::string& master)
{
    return start({bin + "/dorsrvsmuxd", "--master=" + master, "--reconnect-wait=1"}, WORK + "/server/etc/smux",
                 WORK + "/daemon." + master + ".log", SERVER_CPU);
}

void stop_daemon(pid_t daemon)
{
    kill(daemon, SIGTERM);
    int status;
    waitpid(daemon, &status, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    fs::path self = run_in_sandbox(argc, argv);
    std::string bin = self.parent_path().string();
    std::string source = self.parent_path().parent_path().parent_path().string();
    write_tree(1000);
    // A writable scalar owned by serve_agent, which takes a value beginning
    // "slow" after 3 s.
    write_text(WORK + "/server/etc/smux/dorsrvsmuxd.defs",
               std::string(DEFS) + "bSlow            vdnSystemInfo.2 DisplayString read-write mandatory\n");
    std::ofstream(WORK + "/server/etc/smux/registry.mib", std::ios::app) << "\"bench/slow\" \"bSlow\" SCALAR\n";
    write_text(WORK + "/layout", "registry " + REGISTRY + "\nobject bench/slow\nitem bSlow string rdwr enabled 16 x\n");
    write_text(WORK + "/server/etc/smux/config",
               "agent serve_agent " + WORK + "/layout " + WORK + "/sets.log text;\n");
    // Agents are found along PATH.
    const char* path = getenv("PATH");
    setenv("PATH", (bin + ":" + (path != nullptr ? path : "/usr/bin:/bin")).c_str(), 1);
    write_text(WORK + "/BENCH-MIB.txt", BENCH_MIB);
    write_text(WORK + "/snmpd.conf",
               "smuxsocket 127.0.0.1\nsmuxpeer .1.3.6.1.4.1.32473.11.2.11.2 benchsecret\n"
               "master agentx\nagentXSocket /var/agentx/master\nagentxTimeout 15\nagentxRetries 0\n"
               "rocommunity public 127.0.0.1\nrwcommunity private 127.0.0.1\nsysName benchhost\n");

    client c;
    pid_t snmpd = start_snmpd(c);
    pid_t peer = start({"nice", "-n", "-20", bin + "/ax_mem_peer", "/var/agentx/master", AX_MEM, "1000"}, "",
                       WORK + "/ax_mem_peer.log", SERVER_CPU);
    pid_t daemon = start_daemon(bin, "agentx");
    if (!wait_until_answers(c, SCALAR, 30))
        die("the daemon does not answer over AgentX", WORK + "/daemon.agentx.log");
    if (!wait_until_answers(c, AX_MEM_SCALAR, 30))
        die("the memory-only AgentX peer does not answer", WORK + "/ax_mem_peer.log");

    // sysName.0 when nothing else happens, for the slow-set figures.
    std::vector<float> idle;
    time_gets(c, SYSNAME, 200, &idle);
    double sysname_idle = median_us(idle);

    std::printf("dorsrvsmuxd over AgentX through snmpd, SNMPv1, one varbind per request\n");
    struct get_target {
        const char* label;
        std::string oid;
        std::vector<float> times;
    };
    std::vector<get_target> targets = {{"memory-only AgentX peer's scalar:", AX_MEM_SCALAR, {}},
                                       {"our scalar over AgentX:", SCALAR, {}}};
    const int gets = 2000, rounds = 20;
    for (auto& t : targets)
        time_gets(c, t.oid, 100);
    for (int round = 0; round < rounds; ++round)
        for (auto& t : targets)
            time_gets(c, t.oid, gets / rounds, &t.times);
    for (const auto& t : targets)
        std::printf("  %-36s median %6.1f us\n", t.label, median_us(t.times));
    double get_rate = median_us(targets[0].times) / median_us(targets[1].times);
    std::printf("  get rate, ours / memory-only peer's:  %6.3f   (target: at least 0.95)\n", get_rate);

    time_walk(c, TABLE_1K);
    time_walk(c, AX_MEM_TABLE);
    walker ours(TABLE_1K, daemon), mem(AX_MEM_TABLE, peer);
    for (long done = 0; done < 30003; done += 100) {
        ours.step(c, 100);
        mem.step(c, 100);
    }
    std::printf("get-next walks of a 1,000 x 3 table (%ld requests each, interleaved 100 at a time)\n",
                ours.total.requests);
    std::printf("  memory-only AgentX peer:             median %6.1f us\n", mem.median());
    std::printf("  ours over AgentX:                    median %6.1f us\n", ours.median());
    std::printf("  walk rate, ours / memory-only peer's: %6.3f   (target: at least 0.95)\n",
                mem.median() / ours.median());
    std::printf("  CPU per get-next, ours / the memory-only peer's: %.1f / %.1f us\n", ours.cpu_us(), mem.cpu_us());

    const int runs = 5;
    double table_mem = snmptable_median(source, runs, 1000, "mTable");
    double table_agentx = snmptable_median(source, runs, 1000);
    double slow_agentx = sysname_during_slow_set(c, WORK + "/sets.log");

    // The same daemon over SMUX.
    stop_daemon(daemon);
    daemon = start_daemon(bin, "smux");
    if (!wait_until_answers(c, SCALAR, 30))
        die("the daemon does not answer over SMUX", WORK + "/daemon.smux.log");
    time_walk(c, TABLE_1K);
    double table_smux = snmptable_median(source, runs, 1000);
    double slow_smux = sysname_during_slow_set(c, WORK + "/sets.log");

    std::printf("snmptable -v2c of the 1,000 x 3 table (median of %d runs)\n", runs);
    std::printf("  over AgentX: %6.3f s   over SMUX: %6.3f s   SMUX / AgentX: %5.2fx  (target: at least 2x)\n",
                table_agentx, table_smux, table_smux / table_agentx);
    std::printf("  the memory-only AgentX peer's table: %6.3f s   ours over AgentX / the peer's: %5.2fx\n", table_mem,
                table_agentx / table_mem);
    // The peer answers from memory, so SMUX / peer bounds what any AgentX
    // sub-agent could reach through this snmpd.
    std::printf("  SMUX / the memory-only peer's: %5.2fx: snmpd's AgentX side turns each bulk repetition into\n"
                "  one delegated request, which costs it about what three SMUX exchanges cost.\n",
                table_smux / table_mem);
    std::printf("sysName.0 (snmpd's own) while one of our sets waits 3 s for its agent\n");
    std::printf("  idle: %.0f us   during the set over AgentX: %.0f us (%.0fx)   over SMUX: %.0f us (%.0fx)"
                "  (target: under 2x over AgentX)\n",
                sysname_idle, slow_agentx, slow_agentx / sysname_idle, slow_smux, slow_smux / sysname_idle);
    std::printf("  snmpd holds every other request while any set is in progress, whichever protocol\n"
                "  carries it (net-snmp's snmp_agent.c queues them), so a sub-agent cannot make this figure smaller.\n");

    kill(peer, SIGTERM);
    kill(daemon, SIGTERM);
    kill(snmpd, SIGTERM);
    int status;
    waitpid(snmpd, &status, 0);
    waitpid(peer, &status, 0);
    return 0;
}
