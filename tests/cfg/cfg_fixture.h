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
#include "store/obj.h"

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

// The errors a refused file must print, in order: the line each names and
// its message.
using line_errors = std::vector<std::pair<int, std::string>>;

// A reader on scratch files: read() writes the content, runs the reader with
// standard error captured, and keeps the path and what was printed. Both
// readers' outputs start empty and are emptied again afterwards.
class reader_test : public ::testing::Test {
protected:
    reader_test(int (*reader)(const char*), const char* file_name) : reader_(reader), file_name_(file_name) {}
    void SetUp() override { reset_outputs(); }
    void TearDown() override { reset_outputs(); }

    int read(const std::string& content, const char* name = nullptr)
    {
        path = dir.write(name != nullptr ? name : file_name_, content);
        int result = 0;
        log = capture_stderr([&] { result = reader_(path.c_str()); });
        return result;
    }

    // Every case (a table of name, content, errors and whatever the reader
    // keeps) fails the read and prints exactly its errors; then
    // check_kept(case) looks at what the reader kept of the file.
    template <class Case, class Check>
    void expect_refused(const std::vector<Case>& cases, Check check_kept)
    {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            reset_outputs();
            EXPECT_EQ(read(c.content), -1);
            std::string expected;
            for (const auto& [line, message] : c.errors)
                expected += error_line(path, line, message);
            EXPECT_EQ(log, expected);
            check_kept(c);
        }
    }

    // A file that ends the process: status 1 and exactly `expected` on
    // standard error (stamps removed).
    struct fatal_case {
        const char* name;
        std::string content;
        std::string expected;
    };
    // The path the fatal cases are read from, for their expected texts.
    std::string fatal_path() const { return dir.path() + "/" + file_name_; }
    void expect_fatal(const std::vector<fatal_case>& cases)
    {
        const std::string file = fatal_path();
        for (const fatal_case& c : cases) {
            SCOPED_TRACE(c.name);
            dir.write(file_name_, c.content);
            auto result = run_in_child([&] { return reader_(file.c_str()); });
            EXPECT_EQ(result.exit_status, 1);
            EXPECT_EQ(result.stderr_text, c.expected);
        }
    }

    scratch_dir dir;
    std::string path;
    std::string log;

private:
    int (*reader_)(const char*);
    const char* file_name_;
};

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
