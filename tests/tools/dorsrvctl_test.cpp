#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>

#include "agent/dsagent.h"
#include "mail/mail_format.h"

namespace {

namespace fs = std::filesystem;

struct run_result {
    int status;
    std::string output;  // standard output and error together
};

run_result run(const std::string& args)
{
    std::string command = std::string(DSMUX_BIN_DIR) + "/dorsrvctl " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    run_result r{-1, ""};
    if (pipe == nullptr)
        return r;
    char buf[512];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        r.output.append(buf, n);
    int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class dorsrvctl : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/dorsrvctl_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        if (qid >= 0)
            msgctl(qid, IPC_RMID, nullptr);
        fs::remove_all(dir);
    }
    fs::path dir;
    int qid = -1;
};

TEST_F(dorsrvctl, requests_without_daemon_queue_say_so)
{
    for (const char* command : {"stop", "stop-all", "debug", "dump sys/x"}) {
        run_result r = run("-d " + dir.string() + " " + command);
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.output, "dorsrvctl: no daemon queue for " + dir.string() + "\n") << command;
    }
}

TEST_F(dorsrvctl, requests_reach_the_service_mailbox)
{
    qid = msgget(dsagent_queue_key(dir.c_str()), IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(qid, 0);
    struct {
        const char* args;
        int command;
        int length;
    } cases[] = {
        {"dump disk/diskTable.1", MAIL_DUMP, 12 + 17},  // name and its NUL
        {"debug", MAIL_DEBUG, 12},
        {"stop", MAIL_STOP, 12},
        {"stop-all", MAIL_STOP_ALL, 12},
    };
    for (const auto& c : cases) {
        run_result r = run("-d " + dir.string() + " " + c.args);
        ASSERT_EQ(r.status, 0) << c.args << r.output;
        unsigned char mail[MAIL_BUF_SIZE];
        ASSERT_EQ(dsagent_mail_receive(qid, SERVICE_MBOX, mail, sizeof mail, 1), c.length) << c.args;
        EXPECT_EQ(mail_get_field(mail, MAIL_OFF_COMMAND), c.command) << c.args;
        if (c.command == MAIL_DUMP) {
            EXPECT_STREQ(reinterpret_cast<char*>(mail + MAIL_OFF_AGENT_NAME), "disk/diskTable.1");
        }
    }
}

TEST_F(dorsrvctl, show_prints_an_object_file_in_the_dump_format)
{
    fs::create_directory(dir / "sys");
    dsagent_object* obj = dsagent_object_new(dir.c_str(), "sys/hello", 42);
    int pos = dsagent_object_add_item(obj, "helloCount", DSAGENT_UNSIGNED, DSAGENT_RD, 0);
    dsagent_object_set_unsigned(obj, pos, 3);
    ASSERT_EQ(dsagent_object_publish(obj), 0);
    dsagent_object_free(obj);

    run_result r = run("show " + (dir / "sys/hello").string());
    EXPECT_EQ(r.status, 0);
    // One line per item, no log time stamps: the output goes to a terminal
    // or a pipe, not into the daemon's log.
    EXPECT_EQ(r.output, "*** sys/hello - " + dir.string() + "/sys/hello\n"
                        "\"          helloCount\"  UNSIGNED ENABLED    RD: 3\n");
}

TEST_F(dorsrvctl, show_puts_text_and_raw_values_on_the_item_line)
{
    fs::create_directory(dir / "sys");
    dsagent_object* obj = dsagent_object_new(dir.c_str(), "sys/info", 42);
    int text = dsagent_object_add_item(obj, "vdnSysHostName", DSAGENT_STRING, DSAGENT_RD, 32);
    int raw = dsagent_object_add_item(obj, "vdnIfPhysAddress", DSAGENT_RAW, DSAGENT_RD, 8);
    dsagent_object_set_text(obj, text, "host-1");
    const unsigned char mac[3] = {0x0a, 0xb0, 0x01};
    dsagent_object_set_raw(obj, raw, mac, 3);
    ASSERT_EQ(dsagent_object_publish(obj), 0);
    dsagent_object_free(obj);

    run_result r = run("show " + (dir / "sys/info").string());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("\"      vdnSysHostName\"    STRING ENABLED    RD: host-1\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"    vdnIfPhysAddress\"       RAW ENABLED    RD: 0A B0 01\n"), std::string::npos) << r.output;
    EXPECT_FALSE(std::regex_search(r.output, std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2}"))) << r.output;
}

TEST_F(dorsrvctl, show_of_missing_or_invalid_file_fails)
{
    run_result missing = run("show " + (dir / "none").string());
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output, "Can't find object: " + (dir / "none").string() + "\n");
    FILE* f = fopen((dir / "junk").c_str(), "w");
    fputs("not an object", f);
    fclose(f);
    EXPECT_EQ(run("show " + (dir / "junk").string()).status, 1);
}

TEST_F(dorsrvctl, wrong_usage_prints_help_and_exits_2)
{
    for (const char* args : {"", "dump", "show", "stop now", "frobnicate", "-d", "--help", "-h", "-x", "--stop"}) {
        run_result r = run(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.output.find("usage: dorsrvctl"), std::string::npos) << args;
    }
}

}  // namespace
