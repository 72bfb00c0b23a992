// The end-to-end test bed: processes, SNMP clients, snmpd and snmptrapd
// inside the private namespaces that sandbox_main.cpp puts the test in.
#include "tests/e2e/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace dsmux::e2e {

namespace {

using clock_type = std::chrono::steady_clock;

// Client time-outs: snmpd waits for its sub-agents without limit, so an
// answer either comes soon or not at all; retries would re-send sets to the
// sub-agents, which tests must not get by accident.
constexpr const char* CLIENT_TIMEOUT = "10";
constexpr const char* SET_TIMEOUT = "30";
constexpr milliseconds CLIENT_DEADLINE(45000);

constexpr const char* TRAP_FORMAT =
    "TRAP agent=%a enterprise=%N generic=%w specific=%q community=%u vbs:%V| %v\n";

std::vector<char*> to_argv(const std::vector<std::string>& argv)
{
  std::vector<char*> out;
  for (const auto& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

int decode_status(int wstatus)
{
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

// Removes everything below dir, leaving dir itself.
void empty_dir(const std::string& dir)
{
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  for (const auto& name : names) {
    std::string path = dir + "/" + name;
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      empty_dir(path);
      rmdir(path.c_str());
    } else {
      unlink(path.c_str());
    }
  }
}

bool make_dirs(const std::string& path)
{
  std::string partial;
  std::stringstream parts(path);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    partial += "/" + part;
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// Searches /proc/net/<table> (and its IPv6 twin) for a local port, optionally
// in one socket state (hex, "0A" is LISTEN).
bool proc_net_has(const char* table, int port, const char* state)
{
  char want[8];
  std::snprintf(want, sizeof want, ":%04X", port);
  for (std::string suffix : {"", "6"}) {
    std::ifstream in(std::string("/proc/net/") + table + suffix);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, st;
      fields >> slot >> local >> remote >> st;
      if (local.size() > 5 && local.compare(local.size() - 5, 5, want) == 0 &&
          (state == nullptr || st == state)) {
        return true;
      }
    }
  }
  return false;
}

// The parent of pid from /proc/<pid>/stat ("pid (comm) state ppid ..."),
// 0 when unknown.
pid_t parent_of(pid_t pid)
{
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  auto close_paren = stat.rfind(')');
  if (close_paren == std::string::npos) return 0;
  std::istringstream rest(stat.substr(close_paren + 1));
  std::string state;
  long ppid = 0;
  rest >> state >> ppid;
  return static_cast<pid_t>(ppid);
}

std::string field_after(const std::string& line, const std::string& key)
{
  auto at = line.find(" " + key + "=");
  if (at == std::string::npos) return {};
  at += key.size() + 2;
  auto end = line.find(' ', at);
  return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

}  // namespace

bool in_sandbox()
{
  const char* v = std::getenv("DSMUX_IN_SANDBOX");
  return v != nullptr && std::strcmp(v, "1") == 0;
}

std::string sandbox_unavailable_reason()
{
  if (in_sandbox()) return {};
  const char* why = std::getenv("DSMUX_SANDBOX_UNAVAILABLE");
  if (why != nullptr && *why != '\0') return why;
  return "the test does not run inside scripts/sandbox";
}

std::string source_dir() { return DSMUX_SOURCE_DIR; }
std::string bin_dir() { return DSMUX_BIN_DIR; }

run_result run(const std::vector<std::string>& argv, milliseconds timeout, const std::string& input)
{
  run_result result;
  int out_pipe[2], err_pipe[2], in_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  if (pipe2(in_pipe, O_CLOEXEC) != 0) {
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    return result;
  }
  auto args = to_argv(argv);
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    execvp(args[0], args.data());
    dprintf(2, "cannot run %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    for (int fd : {in_pipe[1], out_pipe[0], err_pipe[0]}) close(fd);
    return result;
  }
  // Inputs are small (a pipe holds 64 KiB), so one write before reading.
  if (!input.empty()) {
    ssize_t ignored = write(in_pipe[1], input.data(), input.size());
    (void)ignored;
  }
  close(in_pipe[1]);

  auto deadline = clock_type::now() + timeout;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_fds = 2;
  while (open_fds > 0) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - clock_type::now()).count();
    if (left <= 0) {
      result.timed_out = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      break;
    }
    int n = poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (auto& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  result.status = decode_status(wstatus);
  return result;
}

bool wait_until(const std::function<bool()>& condition, milliseconds timeout, milliseconds step)
{
  auto deadline = clock_type::now() + timeout;
  while (true) {
    if (condition()) return true;
    if (clock_type::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
}

bool tcp_listening(int port) { return proc_net_has("tcp", port, "0A"); }
bool udp_bound(int port) { return proc_net_has("udp", port, nullptr); }

bool write_file(const std::string& path, const std::string& text)
{
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

std::string read_file(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<trap_record> parse_trap_line(const std::string& line)
{
  if (line.rfind("TRAP ", 0) != 0) return std::nullopt;
  trap_record t;
  t.line = line;
  t.agent = field_after(line, "agent");
  t.enterprise = field_after(line, "enterprise");
  t.community = field_after(line, "community");
  std::string generic = field_after(line, "generic");
  std::string specific = field_after(line, "specific");
  // snmptrapd prints the specific code of a v1 trap with a leading dot.
  if (!specific.empty() && specific[0] == '.') specific.erase(0, 1);
  char* end = nullptr;
  if (!generic.empty()) t.generic = static_cast<int>(std::strtol(generic.c_str(), &end, 10));
  if (!specific.empty()) t.specific = std::strtol(specific.c_str(), &end, 10);
  auto vbs = line.find(" vbs:");
  if (vbs != std::string::npos) {
    std::string rest = line.substr(vbs + 5);
    size_t at = 0;
    while (!rest.empty() && at <= rest.size()) {
      auto sep = rest.find("| ", at);
      t.varbinds.push_back(rest.substr(at, sep == std::string::npos ? std::string::npos : sep - at));
      if (sep == std::string::npos) break;
      at = sep + 2;
    }
  }
  return t;
}

// ---------------------------------------------------------------- fixture

void sandbox_test::SetUp()
{
  if (!in_sandbox()) {
    GTEST_SKIP() << "end-to-end test skipped: the sandbox is not available ("
                 << sandbox_unavailable_reason() << ")";
  }
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  scratch_ = std::string("/tmp/e2e/") + info->test_suite_name() + "." + info->name();
  // The sandbox is ours alone: a binary that runs several tests in one
  // sandbox starts each of them from empty host directories.
  empty_dir(scratch_);
  empty_dir("/etc/netmgt");
  empty_dir("/opt/varden/server");
  empty_dir("/run/dorsrvsmuxd");
  ASSERT_TRUE(make_dirs(scratch_ + "/persist")) << std::strerror(errno);
  // Keeps every net-snmp program (clients too) from writing under /var/lib/snmp.
  setenv("SNMP_PERSISTENT_DIR", (scratch_ + "/persist").c_str(), 1);
  snmpd_conf_ = scratch_ + "/snmpd.conf";
  trap_log_ = log_path("snmptrapd");
}

void sandbox_test::TearDown()
{
  if (!in_sandbox()) return;
  if (HasFailure()) dump_logs();
  for (auto& p : procs_) {
    if (!p.status) {
      kill(-p.pid, SIGKILL);
      kill(p.pid, SIGKILL);
      int wstatus = 0;
      if (waitpid(p.pid, &wstatus, 0) == p.pid) p.status = wstatus;
    }
  }
  // Whatever the programs under test started on their own (agents that left
  // their process group, for instance) is still ours: the sandbox holds no
  // process but its PID 1 shell and this test.
  // Our own ancestors (a debugger, a wrapper) are spared.
  std::vector<pid_t> spared{getpid()};
  for (pid_t up = getppid(); up > 1; up = parent_of(up)) spared.push_back(up);
  std::vector<pid_t> others;
  if (DIR* d = opendir("/proc")) {
    while (dirent* e = readdir(d)) {
      char* end = nullptr;
      long pid = std::strtol(e->d_name, &end, 10);
      if (*end != '\0' || pid <= 1) continue;
      if (std::find(spared.begin(), spared.end(), pid) != spared.end()) continue;
      others.push_back(static_cast<pid_t>(pid));
    }
    closedir(d);
  }
  for (pid_t pid : others) kill(pid, SIGKILL);
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  procs_.clear();
  snmpd_pid_ = snmptrapd_pid_ = -1;
}

void sandbox_test::dump_logs() const
{
  for (const auto& p : procs_) {
    std::string text = read_file(log_path(p.name));
    if (text.size() > 4000) text = "...\n" + text.substr(text.size() - 4000);
    std::cerr << "---- " << p.name << " (pid " << p.pid << ") log:\n" << text << "----\n";
  }
}

std::string sandbox_test::log_path(const std::string& name) const
{
  return scratch_ + "/" + name + ".log";
}

sandbox_test::tracked* sandbox_test::find(pid_t pid)
{
  for (auto& p : procs_) {
    if (p.pid == pid) return &p;
  }
  return nullptr;
}

pid_t sandbox_test::spawn(const std::vector<std::string>& argv, const std::string& name,
                          const std::vector<std::string>& env)
{
  int log = open(log_path(name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) {
    ADD_FAILURE() << "cannot open " << log_path(name) << ": " << std::strerror(errno);
    return -1;
  }
  // The child reports a failed exec through this pipe; a successful exec
  // closes it (O_CLOEXEC) and the parent reads nothing.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    close(log);
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return -1;
  }
  auto args = to_argv(argv);
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    // Only the three standard streams reach the program: descriptors this
    // test process inherited itself must not pass for the program's own.
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(null, 0);
    dup2(log, 1);
    dup2(log, 2);
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    execvp(args[0], args.data());
    int err = errno;
    ssize_t ignored = write(report[1], &err, sizeof err);
    (void)ignored;
    _exit(127);
  }
  close(log);
  close(report[1]);
  if (pid < 0) {
    close(report[0]);
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return -1;
  }
  int err = 0;
  ssize_t got;
  while ((got = read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  procs_.push_back({pid, name, std::nullopt});
  if (got == static_cast<ssize_t>(sizeof err)) {
    running(pid);
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(err);
    return -1;
  }
  return pid;
}

bool sandbox_test::running(pid_t pid)
{
  tracked* p = find(pid);
  if (p == nullptr) return kill(pid, 0) == 0;
  if (p->status) return false;
  int wstatus = 0;
  pid_t r = waitpid(pid, &wstatus, WNOHANG);
  if (r == pid) {
    p->status = wstatus;
    return false;
  }
  return r == 0;
}

std::optional<int> sandbox_test::wait_exit(pid_t pid, milliseconds timeout)
{
  if (!wait_until([&] { return !running(pid); }, timeout, milliseconds(10))) return std::nullopt;
  tracked* p = find(pid);
  if (p == nullptr || !p->status) return std::nullopt;
  return p->status;
}

int sandbox_test::stop(pid_t pid, int sig, milliseconds grace)
{
  if (running(pid)) {
    kill(pid, sig);
    if (!wait_exit(pid, grace)) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      wait_exit(pid, milliseconds(5000));
    }
  }
  tracked* p = find(pid);
  return p != nullptr && p->status ? *p->status : -1;
}

// ---------------------------------------------------------------- snmpd

void sandbox_test::write_snmpd_conf(const snmpd_config& config)
{
  std::ostringstream conf;
  conf << "smuxsocket 127.0.0.1\n";
  for (const auto& [identity, password] : config.peers) {
    conf << "smuxpeer " << identity << " " << password << "\n";
  }
  conf << "master agentx\n"
       << "agentXSocket " << AGENTX_SOCKET << "\n";
  if (config.agentx_package_timeouts) conf << "agentxTimeout 15\nagentxRetries 0\n";
  conf << "rocommunity public  127.0.0.1\n"
       << "rwcommunity private 127.0.0.1\n"
       << "trapsink  127.0.0.1:" << TRAP_PORT << " public\n"
       << "v1trapaddress 127.0.0.1\n";
  for (const auto& line : config.extra_lines) conf << line << "\n";
  ASSERT_TRUE(write_file(snmpd_conf_, conf.str())) << snmpd_conf_;
}

pid_t sandbox_test::start_snmpd(milliseconds timeout)
{
  struct stat st{};
  if (stat(snmpd_conf_.c_str(), &st) != 0) write_snmpd_conf();
  pid_t pid = spawn({"snmpd", "-m", "", "-f", "-Lo", "-C", "-c", snmpd_conf_, "-p",
                     scratch_ + "/snmpd.pid", "udp:127.0.0.1:" + std::to_string(SNMP_PORT)},
                    "snmpd");
  if (pid < 0) return -1;
  snmpd_pid_ = pid;
  // Ready means: it answers SNMP, and its SMUX listener is up (looked up in
  // /proc, since a connection would make it wait for an OpenPDU).
  bool ready = wait_until(
      [&] {
        if (!running(pid)) return true;
        struct stat socket_st{};
        if (!udp_bound(SNMP_PORT) || !tcp_listening(SMUX_PORT) || stat(AGENTX_SOCKET, &socket_st) != 0)
          return false;
        auto r = run({"snmpget", "-v1", "-c", "public", "-On", "-m", "", "-t", "1", "-r", "0",
                      "127.0.0.1:" + std::to_string(SNMP_PORT), ".1.3.6.1.2.1.1.5.0"},
                     milliseconds(5000));
        return r.status == 0;
      },
      timeout, milliseconds(50));
  if (!running(pid)) {
    ADD_FAILURE() << "snmpd ended during start-up:\n" << read_file(log_path("snmpd"));
    snmpd_pid_ = -1;
    return -1;
  }
  if (!ready) {
    ADD_FAILURE() << "snmpd did not become ready within " << timeout.count() << " ms";
    return -1;
  }
  return pid;
}

void sandbox_test::stop_snmpd()
{
  if (snmpd_pid_ > 0) stop(snmpd_pid_, SIGTERM);
  snmpd_pid_ = -1;
  // The next snmpd binds the same ports; wait until they are free.
  wait_until([] { return !udp_bound(SNMP_PORT) && !tcp_listening(SMUX_PORT); }, milliseconds(5000));
  // snmpd leaves its socket behind; the next one makes its own.
  unlink(AGENTX_SOCKET);
}

pid_t sandbox_test::restart_snmpd()
{
  stop_snmpd();
  return start_snmpd();
}

// ---------------------------------------------------------------- snmptrapd

pid_t sandbox_test::start_snmptrapd(milliseconds timeout)
{
  std::string conf = scratch_ + "/snmptrapd.conf";
  write_file(conf, "authCommunity log,execute,net public\n");
  // -X: no AgentX sub-agent of its own (it would look for a master).
  pid_t pid = spawn({"snmptrapd", "-X", "-m", "", "-On", "-f", "-Lo", "-C", "-c", conf, "-F", TRAP_FORMAT,
                     "udp:127.0.0.1:" + std::to_string(TRAP_PORT)},
                    "snmptrapd");
  if (pid < 0) return -1;
  snmptrapd_pid_ = pid;
  if (!wait_until([&] { return !running(pid) || udp_bound(TRAP_PORT); }, timeout) || !running(pid)) {
    ADD_FAILURE() << "snmptrapd did not come up:\n" << read_file(trap_log_);
    return -1;
  }
  return pid;
}

std::vector<trap_record> sandbox_test::traps() const
{
  std::vector<trap_record> out;
  std::istringstream lines(read_file(trap_log_));
  std::string line;
  while (std::getline(lines, line)) {
    if (auto t = parse_trap_line(line)) out.push_back(*t);
  }
  return out;
}

std::optional<trap_record> sandbox_test::wait_for_trap(
    const std::function<bool(const trap_record&)>& match, milliseconds timeout) const
{
  std::optional<trap_record> found;
  wait_until(
      [&] {
        for (const auto& t : traps()) {
          if (match(t)) {
            found = t;
            return true;
          }
        }
        return false;
      },
      timeout, milliseconds(50));
  return found;
}

bool sandbox_test::wait_for_line(const std::string& path, const std::string& text,
                                 milliseconds timeout) const
{
  return wait_until([&] { return read_file(path).find(text) != std::string::npos; }, timeout,
                    milliseconds(50));
}

// ---------------------------------------------------------------- clients

namespace {

std::vector<std::string> client(const char* tool, const std::string& version,
                                const std::string& community, const char* timeout)
{
  return {tool, "-v" + version, "-c", community, "-On", "-m", "", "-t", timeout, "-r", "0",
          "127.0.0.1:" + std::to_string(SNMP_PORT)};
}

}  // namespace

run_result sandbox_test::snmpget(const std::string& oid, const std::string& version,
                                 const std::string& community)
{
  auto argv = client("snmpget", version, community, CLIENT_TIMEOUT);
  argv.push_back(oid);
  return run(argv, CLIENT_DEADLINE);
}

run_result sandbox_test::snmpgetnext(const std::string& oid, const std::string& version,
                                     const std::string& community)
{
  auto argv = client("snmpgetnext", version, community, CLIENT_TIMEOUT);
  argv.push_back(oid);
  return run(argv, CLIENT_DEADLINE);
}

run_result sandbox_test::snmpwalk(const std::string& oid, const std::string& version,
                                  const std::string& community)
{
  auto argv = client("snmpwalk", version, community, CLIENT_TIMEOUT);
  argv.push_back(oid);
  return run(argv, milliseconds(120000));
}

run_result sandbox_test::snmpset(const std::string& oid, const std::string& type,
                                 const std::string& value, const std::string& version,
                                 const std::string& community)
{
  auto argv = client("snmpset", version, community, SET_TIMEOUT);
  argv.insert(argv.end(), {oid, type, value});
  return run(argv, CLIENT_DEADLINE);
}

std::string sandbox_test::value_of(const run_result& answer)
{
  std::string first = answer.out.substr(0, answer.out.find('\n'));
  auto at = first.find(" = ");
  return at == std::string::npos ? std::string() : first.substr(at + 3);
}

void sandbox_test::write_peers_file(const std::string& text)
{
  ASSERT_TRUE(write_file("/etc/netmgt/snmpd.peers", text));
}

}  // namespace dsmux::e2e
