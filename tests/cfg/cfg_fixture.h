// Shared helpers of the configuration tests: scratch files, the captured
// standard error stream with its time stamps removed, and a forked child for
// the errors that end the process.
#pragma once
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace cfg_test {

// A scratch directory removed with the object.
class scratch_dir {
public:
    scratch_dir()
    {
        char pattern[] = "/tmp/cfg_test_XXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        path_ = made != nullptr ? made : "/tmp";
    }
    ~scratch_dir() { std::filesystem::remove_all(path_); }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    // Writes `content` byte for byte to `name` and returns its path.
    std::string write(const std::string& name, const std::string& content) const
    {
        std::string path = path_ + "/" + name;
        std::ofstream out(path, std::ios::binary);
        out << content;
        return path;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The log's "%b %d %H:%M:%S " stamps, wherever a record starts.
inline std::string strip_stamps(const std::string& text)
{
    static const std::regex stamp("[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ");
    return std::regex_replace(text, stamp, "");
}

inline std::string read_fd(int fd)
{
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(got));
    return text;
}

// Runs `body` with standard error going to a scratch file; returns what was
// written there, stamps removed.
inline std::string capture_stderr(const std::function<void()>& body)
{
    std::fflush(stderr);
    FILE* sink = std::tmpfile();
    int saved = dup(2);
    dup2(fileno(sink), 2);
    body();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::rewind(sink);
    std::string text;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, sink)) > 0)
        text.append(chunk, got);
    std::fclose(sink);
    return strip_stamps(text);
}

struct child_result {
    int exit_status;     // exit status, or -1 when the child did not exit
    std::string stderr_text;  // stamps removed
};

// Runs `body` in a forked child whose standard error is captured. A body
// that returns makes the child exit with 0 when it returned 0, else 2.
inline child_result run_in_child(const std::function<int()>& body)
{
    int pipe_fds[2];
    EXPECT_EQ(pipe(pipe_fds), 0);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        dup2(pipe_fds[1], 2);
        close(pipe_fds[1]);
        int result = body();
        std::fflush(stderr);
        _exit(result == 0 ? 0 : 2);
    }
    close(pipe_fds[1]);
    std::string text = read_fd(pipe_fds[0]);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, strip_stamps(text)};
}

// The line parse_error prints for `path`.
inline std::string error_line(const std::string& path, int line, const std::string& message)
{
    return "dorsrvsmuxd: " + path + ": line " + std::to_string(line) + ": " + message + "  (SMUX4026)\n";
}

}  // namespace cfg_test

#include "cfg/cfg.h"
#include "cfg/reg.h"
#include "lib/log.h"
#include "lib/obj.h"

namespace cfg_test {

// Empties every output of the two readers, as at process start.
inline void reset_outputs()
{
    cfg_reset();
    while (void* entry = q_take(&registry_Q))
        std::free(entry);
    log_debug_set(0);
    obj_set_registry_dir(nullptr);
    table_index_count = 0;
    registry_count = 0;
}

// The elements of a queue, head first.
template <class T>
std::vector<T*> queue_items(queue* q)
{
    std::vector<T*> items;
    qnode* cursor = *q;
    while (void* element = q_walk(q, &cursor))
        items.push_back(static_cast<T*>(element));
    return items;
}

}  // namespace cfg_test
