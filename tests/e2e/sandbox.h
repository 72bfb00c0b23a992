// The end-to-end test bed: a GoogleTest fixture that runs net-snmp's snmpd
// (as SMUX master), snmptrapd, the SNMP command-line clients and any program
// under test inside private namespaces (see scripts/sandbox).
//
// One e2e test process runs inside one sandbox: the main() of this library
// re-executes the test binary through scripts/sandbox unless it already runs
// inside one, so the fixed host paths (/etc/netmgt, /opt/varden/server, /tmp),
// TCP port 199, UDP ports 161/1162 and the mailbox queue key belong to the
// test alone, and two test binaries run by `ctest -j2` never meet. When the
// sandbox cannot be set up, every test derived from sandbox_test is skipped
// with the reason.
//
// Every wait polls with a deadline; every process the fixture starts is
// tracked by process id and killed at tear-down.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dsmux::e2e {

using std::chrono::milliseconds;

// The SMUX identity and password that our daemon's tests use by default.
inline constexpr const char* DEFAULT_IDENTITY = ".1.3.6.1.4.1.32473.11.2.11.2";
inline constexpr const char* DEFAULT_PASSWORD = "e2e-peer-password";
// Where snmpd answers SNMP and where snmptrapd listens for the traps snmpd sends.
inline constexpr int SNMP_PORT = 161;
inline constexpr int SMUX_PORT = 199;
inline constexpr int TRAP_PORT = 1162;

// True when this process runs inside scripts/sandbox.
bool in_sandbox();
// Why the sandbox is not available (empty when it is).
std::string sandbox_unavailable_reason();
// The source tree and the build's bin directory.
std::string source_dir();
std::string bin_dir();

// The outcome of one command run to completion.
struct run_result {
  int status = -1;         // exit status; 128 + signal when killed
  bool timed_out = false;  // killed because the deadline passed
  std::string out;
  std::string err;
};

// Runs argv (argv[0] found through PATH) with an optional standard input and
// waits for it, at most `timeout`; the command is killed when it overruns.
run_result run(const std::vector<std::string>& argv, milliseconds timeout = milliseconds(60000),
               const std::string& input = "");

// Polls `condition` every `step` until it holds or `timeout` passes.
bool wait_until(const std::function<bool()>& condition, milliseconds timeout,
                milliseconds step = milliseconds(20));

// Sockets in this network namespace, read from /proc/net (never by connecting:
// a connection to snmpd's port 199 makes it wait for an OpenPDU).
bool tcp_listening(int port);
bool udp_bound(int port);

// Whole-file helpers for test inputs and logs.
bool write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);

// One trap as snmptrapd printed it.
struct trap_record {
  std::string agent;       // agent-addr of the v1 PDU
  std::string enterprise;  // numeric, with a leading dot
  int generic = -1;
  long specific = -1;
  std::string community;
  std::vector<std::string> varbinds;  // ".1.3.6... = TYPE: value"
  std::string line;                   // the whole printed line
};
// Parses a line of the trap log; nullopt for lines that are not traps.
std::optional<trap_record> parse_trap_line(const std::string& line);

// Where the sandboxed snmpd's AgentX master listens (the usual path: the
// sandbox hides the host's /var/agentx).
inline constexpr const char* AGENTX_SOCKET = "/var/agentx/master";

// What snmpd.conf holds besides the fixed lines (smuxsocket 127.0.0.1,
// communities public/private for 127.0.0.1, trapsink 127.0.0.1:1162 public,
// v1trapaddress 127.0.0.1). snmpd is master over SMUX and AgentX at once.
struct snmpd_config {
  // smuxpeer lines: identity (dotted OID) and password.
  std::vector<std::pair<std::string, std::string>> peers{{DEFAULT_IDENTITY, DEFAULT_PASSWORD}};
  // Further lines, e.g. "override .1.3.6.1.4.1.32473.11.2.11.1.0 integer 7".
  std::vector<std::string> extra_lines;
  // The AgentX master's time-out and retries, as the package ships them
  // (a set may wait 10 s for its agent); false keeps net-snmp's defaults
  // of 1 s and 5 retries.
  bool agentx_package_timeouts = true;
};

class sandbox_test : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The test's scratch directory (inside the private /tmp).
  const std::string& scratch() const { return scratch_; }

  // --- snmpd as SMUX master ---
  void write_snmpd_conf(const snmpd_config& config = {});
  // Starts snmpd with the last written configuration (a default one if none)
  // and waits until it answers sysName.0 and listens on port 199. Returns
  // its pid, or -1 (with a test failure) when it did not come up in time.
  pid_t start_snmpd(milliseconds timeout = milliseconds(20000));
  // Stops snmpd with SIGTERM (the way a host shuts it down) and reaps it.
  void stop_snmpd();
  pid_t restart_snmpd();
  pid_t snmpd_pid() const { return snmpd_pid_; }

  // --- snmptrapd on udp 127.0.0.1:1162, printing one "TRAP ..." line per trap ---
  pid_t start_snmptrapd(milliseconds timeout = milliseconds(10000));
  std::vector<trap_record> traps() const;
  // Waits for a trap that satisfies `match`; nullopt on time-out.
  std::optional<trap_record> wait_for_trap(const std::function<bool(const trap_record&)>& match,
                                           milliseconds timeout = milliseconds(10000)) const;
  // Waits for a line of `path` containing `text`.
  bool wait_for_line(const std::string& path, const std::string& text,
                     milliseconds timeout = milliseconds(10000)) const;

  // --- SNMP clients against 127.0.0.1:161, numeric OIDs (-On), short time-outs ---
  // version "1" or "2c".
  run_result snmpget(const std::string& oid, const std::string& version = "1",
                     const std::string& community = "public");
  run_result snmpgetnext(const std::string& oid, const std::string& version = "1",
                         const std::string& community = "public");
  run_result snmpwalk(const std::string& oid, const std::string& version = "1",
                      const std::string& community = "public");
  // type is snmpset's letter (i, u, s, x, o, t, a, ...); -t 30 -r 0.
  run_result snmpset(const std::string& oid, const std::string& type, const std::string& value,
                     const std::string& version = "1", const std::string& community = "private");
  // The value part of a "-On" answer line ("STRING: \"x\"" -> "STRING: \"x\"").
  static std::string value_of(const run_result& answer);

  // /etc/netmgt/snmpd.peers, written verbatim.
  void write_peers_file(const std::string& text);

  // --- processes ---
  // Starts argv with standard output and error in <scratch>/<name>.log and
  // tracks it; returns the pid (-1 with a test failure when it cannot start).
  pid_t spawn(const std::vector<std::string>& argv, const std::string& name,
              const std::vector<std::string>& env = {});
  std::string log_path(const std::string& name) const;
  // True while pid runs (a tracked process that has exited is reaped here).
  bool running(pid_t pid);
  // Waits for pid to end by itself; its wait status, or nullopt on time-out.
  std::optional<int> wait_exit(pid_t pid, milliseconds timeout);
  // Sends sig, waits up to `grace`, then SIGKILL; returns the wait status.
  int stop(pid_t pid, int sig = SIGTERM, milliseconds grace = milliseconds(5000));

 private:
  struct tracked {
    pid_t pid;
    std::string name;
    std::optional<int> status;  // set once reaped
  };
  tracked* find(pid_t pid);
  void dump_logs() const;

  std::string scratch_;
  std::string snmpd_conf_;
  std::string trap_log_;
  pid_t snmpd_pid_ = -1;
  pid_t snmptrapd_pid_ = -1;
  std::vector<tracked> procs_;
};

// Runs the tests of `Fixture` once over each protocol the daemon may reach
// snmpd by: the parameter is the daemon's --master value, stored into the
// fixture's master_ before the test starts. Instantiate with
// INSTANTIATE_TEST_SUITE_P(master, NAME, both_masters(), master_name).
template <class Fixture>
class over_both_masters : public Fixture, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override
  {
    Fixture::SetUp();
    this->master_ = this->GetParam();
  }
};

inline auto both_masters() { return ::testing::Values(std::string("smux"), std::string("agentx")); }
inline std::string master_name(const ::testing::TestParamInfo<std::string>& info) { return info.param; }

}  // namespace dsmux::e2e
