// The guide's example agent, run for real against a stand-in daemon that
// speaks the wire format from this test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "agent/dsagent.h"
#include "mail/mail_format.h"
#include "store/obj.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

class example_agent : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/example_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::create_directory(dir / "registry");
        qid = msgget(dsagent_queue_key(dir.c_str()), IPC_CREAT | IPC_EXCL | 0600);
        ASSERT_GE(qid, 0);
    }
    void TearDown() override
    {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        msgctl(qid, IPC_RMID, nullptr);
        fs::remove_all(dir);
    }
    // The next mail for the service, or 0 at the deadline.
    int service_mail(unsigned char* mail, int seconds = 5)
    {
        auto deadline = clock_type::now() + std::chrono::seconds(seconds);
        while (clock_type::now() < deadline) {
            int n = dsagent_mail_receive(qid, SERVICE_MBOX, mail, MAIL_BUF_SIZE, 1);
            if (n != 0)
                return n;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return 0;
    }
    void send_set(std::int32_t mbox, int phase, const char* value, const char* object = "hello/helloGroup",
                  std::int32_t item = 1)
    {
        unsigned char m[MAIL_BUF_SIZE] = {};
        std::size_t length = MAIL_SET_BASE + std::strlen(value) + 1;
        mail_put_field(m, MAIL_OFF_MTYPE, mbox);
        mail_put_field(m, MAIL_OFF_SENDER, qid);
        mail_put_field(m, MAIL_OFF_COMMAND, MAIL_SET);
        mail_put_field(m, MAIL_OFF_OWNER_MBOX, mbox);
        std::memcpy(m + MAIL_OFF_OBJECT_NAME, object, std::strlen(object) + 1);
        mail_put_field(m, MAIL_OFF_PHASE, phase);
        mail_put_field(m, MAIL_OFF_MAIL_LENGTH, static_cast<std::int32_t>(length));
        mail_put_field(m, MAIL_OFF_ITEM_INDEX, item);
        std::memcpy(m + MAIL_OFF_DATA, value, std::strlen(value) + 1);
        ASSERT_GT(dsagent_mail_send(qid, m, length), 0);
    }
    fs::path dir;
    int qid = -1;
    pid_t child = -1;
};

TEST_F(example_agent, connects_publishes_takes_a_set_and_stops_on_mail)
{
    std::string binary = std::string(DSMUX_BIN_DIR) + "/agent-hello";
    std::string registry = (dir / "registry").string();
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(binary.c_str(), "agent-hello", registry.c_str(), dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }

    unsigned char mail[MAIL_BUF_SIZE];
    ASSERT_EQ(service_mail(mail), 12 + 12);
    ASSERT_EQ(mail_get_field(mail, MAIL_OFF_COMMAND), MAIL_CONNECT);
    std::int32_t mbox = mail_get_field(mail, MAIL_OFF_SENDER);
    EXPECT_EQ(mbox, child);
    mail_put_field(mail, MAIL_OFF_MTYPE, mbox);
    mail_put_field(mail, MAIL_OFF_SENDER, qid);
    mail_put_field(mail, MAIL_OFF_COMMAND, MAIL_ACK);
    ASSERT_EQ(dsagent_mail_send(qid, mail, 12), 12);

    std::string file = registry + "/hello/helloGroup";
    auto deadline = clock_type::now() + std::chrono::seconds(5);
    reg_object* obj = nullptr;
    while (obj == nullptr && clock_type::now() < deadline) {
        obj = obj_read_file(file.c_str());
        if (obj == nullptr)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj->mbox, mbox);
    EXPECT_STREQ(reinterpret_cast<const char*>(obj_value(obj_item(obj, 1))), "hello, world");

    for (int phase : {1, 2}) {
        send_set(mbox, phase, "bonjour");
        ASSERT_EQ(service_mail(mail), 12) << phase;
        EXPECT_EQ(mail_get_field(mail, MAIL_OFF_COMMAND), MAIL_ACK) << phase;
    }
    obj = obj_read_file(file.c_str());
    ASSERT_NE(obj, nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(obj_value(obj_item(obj, 1))), "bonjour");

    // The count is read-only: the agent refuses a set of it.
    unsigned char m[MAIL_BUF_SIZE] = {};
    mail_put_field(m, MAIL_OFF_MTYPE, mbox);
    mail_put_field(m, MAIL_OFF_COMMAND, MAIL_SET);
    mail_put_field(m, MAIL_OFF_PHASE, 1);
    mail_put_field(m, MAIL_OFF_ITEM_INDEX, 0);
    ASSERT_GT(dsagent_mail_send(qid, m, MAIL_SET_BASE + 4), 0);
    ASSERT_EQ(service_mail(mail), 12);
    EXPECT_EQ(mail_get_field(mail, MAIL_OFF_COMMAND), MAIL_NAK);

    unsigned char stop[MAIL_BUF_SIZE] = {};
    mail_put_field(stop, MAIL_OFF_MTYPE, mbox);
    mail_put_field(stop, MAIL_OFF_SENDER, qid);
    mail_put_field(stop, MAIL_OFF_COMMAND, MAIL_STOP);
    ASSERT_EQ(dsagent_mail_send(qid, stop, 12), 12);
    int status = -1;
    deadline = clock_type::now() + std::chrono::seconds(5);
    while (clock_type::now() < deadline && waitpid(child, &status, WNOHANG) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    child = -1;
}

// The daemon starts its agents with a file-creation mask of 0; the shipped
// sample agent must still make no file that others may write.
TEST_F(example_agent, sysagent_files_have_explicit_modes_under_a_zero_mask)
{
    std::string binary = std::string(DSMUX_BIN_DIR) + "/sysagent";
    std::string registry = (dir / "registry").string();
    // A threshold out of reach, so that no load trap comes between the
    // mails below; the file is replaced by the first save.
    std::ofstream(dir / "registry/.sysagent.state") << "threshold=1000000\n";
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        umask(0);
        execl(binary.c_str(), "sysagent", registry.c_str(), dir.c_str(), "1", static_cast<char*>(nullptr));
        _exit(127);
    }
    unsigned char mail[MAIL_BUF_SIZE];
    ASSERT_GT(service_mail(mail), 0);
    ASSERT_EQ(mail_get_field(mail, MAIL_OFF_COMMAND), MAIL_CONNECT);
    std::int32_t mbox = mail_get_field(mail, MAIL_OFF_SENDER);
    mail_put_field(mail, MAIL_OFF_MTYPE, mbox);
    mail_put_field(mail, MAIL_OFF_SENDER, qid);
    mail_put_field(mail, MAIL_OFF_COMMAND, MAIL_ACK);
    ASSERT_EQ(dsagent_mail_send(qid, mail, 12), 12);

    // A set of the location (item 8 of sys/info) makes it save its state.
    for (int phase : {1, 2}) {
        send_set(mbox, phase, "rack 7", "sys/info", 8);
        ASSERT_EQ(service_mail(mail), 12) << phase;
        EXPECT_EQ(mail_get_field(mail, MAIL_OFF_COMMAND), MAIL_ACK) << phase;
    }
    auto mode = [](const fs::path& p) { return fs::status(p).permissions() & fs::perms::mask; };
    using fs::perms;
    const perms file = perms::owner_read | perms::owner_write | perms::group_read | perms::others_read;
    const perms directory = file | perms::owner_exec | perms::group_exec | perms::others_exec;
    EXPECT_EQ(mode(dir / "registry/.sysagent.state"), perms::owner_read | perms::owner_write);
    for (const char* object : {"sys/info", "health/health"})
        EXPECT_EQ(mode(dir / "registry" / object), file) << object;
    for (const char* sub : {"sys", "health", "fs", "net"})
        EXPECT_EQ(mode(dir / "registry" / sub), directory) << sub;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "registry"))
        EXPECT_EQ(mode(entry.path()) & (perms::group_write | perms::others_write), perms::none) << entry.path();
}

}  // namespace
