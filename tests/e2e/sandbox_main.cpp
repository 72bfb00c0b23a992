// main() of every end-to-end test binary: puts the whole test process into
// its own sandbox (scripts/sandbox) before GoogleTest runs, so that each
// binary, and each test case that ctest runs as its own process, owns the
// host paths, ports and IPC keys it uses.
//
// Linked from the dsmux_e2e_support archive ahead of GoogleTest's own main.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e/sandbox.h"

namespace {

volatile sig_atomic_t sandbox_child = 0;

// Passing a stop signal on to unshare takes the whole namespace down with it.
void forward_signal(int sig)
{
  if (sandbox_child > 0) kill(sandbox_child, sig);
}

bool listing_only(int argc, char** argv)
{
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--gtest_list_tests", 18) == 0) return true;
  }
  return false;
}

std::string self_path()
{
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  buf[n] = '\0';
  return buf;
}

// Runs this binary again inside the sandbox and returns its exit status.
int run_inside(const std::string& script, const std::string& self, int argc, char** argv)
{
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    // If the test process is killed (a ctest time-out), unshare dies with
    // it, and with unshare the namespace and everything in it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    std::vector<char*> args;
    args.push_back(const_cast<char*>(script.c_str()));
    args.push_back(const_cast<char*>(self.c_str()));
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(script.c_str(), args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", script.c_str(), std::strerror(errno));
    _exit(125);
  }
  sandbox_child = pid;
  struct sigaction sa{};
  sa.sa_handler = forward_signal;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) return 1;
  }
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  return 128 + (WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0);
}

}  // namespace

int main(int argc, char** argv)
{
  using namespace dsmux::e2e;
  if (!in_sandbox() && !listing_only(argc, argv)) {
    std::string script = source_dir() + "/scripts/sandbox";
    auto probe = run({script, "true"}, milliseconds(30000));
    if (probe.status == 0) return run_inside(script, self_path(), argc, argv);
    std::string why = probe.err.empty() ? "scripts/sandbox true failed" : probe.err;
    while (!why.empty() && why.back() == '\n') why.pop_back();
    // The tests still run, to report themselves skipped with the reason.
    setenv("DSMUX_SANDBOX_UNAVAILABLE", why.c_str(), 1);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
