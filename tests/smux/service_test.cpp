// Service start-up: the order of its steps, and that repeated attempts go on
// from the step that failed without reading a file or starting an agent
// twice.
#include "smux/service.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "cfg/cfg.h"
#include "cfg/reg.h"
#include "lib/log.h"
#include "mail/connected.h"
#include "mail/mail.h"
#include "mail/mbox.h"
#include "smux/pairs.h"
#include "smux/session.h"
#include "store/obj.h"

namespace {

int count(queue* q)
{
    int n = 0;
    qnode* cursor = *q;
    while (q_walk(q, &cursor) != nullptr)
        ++n;
    return n;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Polls until `path` holds `lines` lines or two seconds pass.
int wait_for_lines(const std::string& path, int lines)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int seen = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = read_file(path);
        seen = static_cast<int>(std::count(text.begin(), text.end(), '\n'));
        if (seen >= lines)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return seen;
}

const int saved_signals[] = {SIGCHLD, SIGALRM, SIGINT, SIGTERM, SIGHUP};

// A start directory two levels below the mail configuration, a data registry
// and a queue key of the test's own.
class service_test : public ::testing::Test {
 protected:
    void SetUp() override
    {
        ASSERT_NE(getcwd(start_dir_, sizeof start_dir_), nullptr);
        char pattern[] = "/tmp/smux_service.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        run_ = root_ + "/a/b";
        registry_ = root_ + "/registry";
        started_ = root_ + "/started";
        for (const std::string& dir : {root_ + "/a", run_, registry_, root_ + "/key"})
            ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        for (int i = 0; i < 5; ++i)
            sigaction(saved_signals[i], nullptr, &old_actions_[i]);
        old_umask_ = umask(022);
        umask(old_umask_);
        ASSERT_EQ(chdir(run_.c_str()), 0);
        service_reset();
        log_debug_set(0);
    }

    void TearDown() override
    {
        alarm(0);
        for (int i = 0; i < 5; ++i)
            sigaction(saved_signals[i], &old_actions_[i], nullptr);
        umask(old_umask_);
        mbox_close_service();
        mbox_rtype = -1;
        cfg_reset();
        mail_agents_reset();
        while (void* entry = q_take(&registry_Q))
            std::free(entry);
        registry_count = 0;
        obj_set_registry_dir(nullptr);
        service_reset();
        pairs_reset();
        peer_set_init_pending(INIT_PENDING);
        log_debug_set(0);
        ASSERT_EQ(chdir(start_dir_), 0);
        std::system(("rm -rf '" + root_ + "'").c_str());
    }

    void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
    void write_config() { write(run_ + "/config", "agent /bin/sh -c \"echo x >> " + started_ + "\";\nmail \"cat\";\n"); }
    void write_mailcfg() { write(root_ + "/mailcfg", "mail \"cat > /dev/null\";\n"); }
    void write_registry(bool with_entry = true)
    {
        write(run_ + "/registry.mib", "registry = \"" + registry_ + "\"\n" +
                                          (with_entry ? "\"sys/scalars\" \"uCount\" SCALAR\n" : ""));
    }
    int attempt(std::string* err = nullptr, std::string* out = nullptr)
    {
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        int result = service_init((root_ + "/key").c_str());
        std::string o = testing::internal::GetCapturedStdout();
        std::string e = testing::internal::GetCapturedStderr();
        if (err != nullptr)
            *err = e;
        if (out != nullptr)
            *out = o;
        return result;
    }
    std::string cwd()
    {
        char here[PATH_MAX];
        return getcwd(here, sizeof here) ? here : "";
    }

    std::string root_, run_, registry_, started_;
    char start_dir_[PATH_MAX] = "";
    struct sigaction old_actions_[5]{};
    mode_t old_umask_ = 022;
};

TEST_F(service_test, starts_in_order_and_moves_into_the_registry)
{
    write_config();
    write_mailcfg();
    write_registry();
    std::string err, out;
    ASSERT_EQ(attempt(&err, &out), 0) << err;
    EXPECT_NE(out.find(" Started Server Agents SMUX Manager\n"), std::string::npos) << out;
    EXPECT_EQ(cwd(), registry_);
    EXPECT_GE(mbox_service_qid(), 0);
    EXPECT_EQ(cfg_agents().size(), 0u);
    EXPECT_EQ(count(&alarm_Q), 2);
    EXPECT_EQ(count(&registry_Q), 1);
    EXPECT_EQ(wait_for_lines(started_, 1), 1);
    EXPECT_EQ(umask(0), 0);  // the service leaves the mask at 0
}

TEST_F(service_test, attempts_go_on_from_the_step_that_failed)
{
    write_config();
    write_mailcfg();
    std::string err, out;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(attempt(&err), -1);
        EXPECT_NE(err.find("dorsrvsmuxd: Can't interpret file: registry.mib  (SMUX4020)\n"), std::string::npos) << err;
        EXPECT_EQ(err.find("file: config"), std::string::npos) << err;
        EXPECT_EQ(cfg_agents().size(), 1u) << "no list doubles";
        EXPECT_EQ(count(&alarm_Q), 2);
        EXPECT_EQ(mbox_service_qid(), -1) << "no queue before the registry map is read";
    }
    write_registry();
    ASSERT_EQ(attempt(&err), 0) << err;
    EXPECT_EQ(wait_for_lines(started_, 1), 1);

    // Once done, an attempt changes nothing and says nothing.
    int queue = mbox_service_qid();
    ASSERT_EQ(attempt(&err, &out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(mbox_service_qid(), queue);
    EXPECT_EQ(cwd(), registry_);
    EXPECT_EQ(count(&registry_Q), 1);
    EXPECT_EQ(count(&alarm_Q), 2);
    EXPECT_EQ(wait_for_lines(started_, 1), 1);
}

TEST_F(service_test, failed_configuration_read_leaves_no_entries_behind)
{
    write(run_ + "/config", "agent /bin/true;\nmail \"cat\";\nbogus\n");
    write_registry();
    std::string err;
    ASSERT_EQ(attempt(&err), -1);
    EXPECT_NE(err.find("dorsrvsmuxd: Can't interpret file: config  (SMUX4020)\n"), std::string::npos) << err;
    EXPECT_EQ(cfg_agents().size(), 0u);
    EXPECT_EQ(count(&alarm_Q), 0);
    EXPECT_EQ(cwd(), run_);

    write_config();
    ASSERT_EQ(attempt(&err), 0) << err;
    EXPECT_EQ(count(&alarm_Q), 1);
    EXPECT_EQ(wait_for_lines(started_, 1), 1);
}

TEST_F(service_test, missing_mail_configuration_costs_only_its_message)
{
    write_config();
    write_registry();
    std::string err;
    ASSERT_EQ(attempt(&err), 0);
    EXPECT_NE(err.find("dorsrvsmuxd: Can't interpret file: ../../mailcfg  (SMUX4020)\n"), std::string::npos) << err;
    EXPECT_EQ(count(&alarm_Q), 1);
}

TEST_F(service_test, missing_config_fails_every_attempt_with_its_message)
{
    write_registry();
    for (int i = 0; i < 4; ++i) {
        std::string err;
        ASSERT_EQ(attempt(&err), -1);
        EXPECT_NE(err.find("dorsrvsmuxd: Can't interpret file: config  (SMUX4020)\n"), std::string::npos) << err;
    }
    EXPECT_EQ(mbox_service_qid(), -1);
}

TEST_F(service_test, after_success_a_later_subtree_attempt_only_builds_the_pairs_table)
{
    write_config();
    write_mailcfg();
    write_registry(false);  // no entries: the pairs table cannot be built
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    // service_init uses the default queue key here, which may not exist on
    // this host; give it ours by running the first attempt directly.
    ASSERT_EQ(service_init((root_ + "/key").c_str()), 0);
    EXPECT_EQ(subtree_init(), -1);
    EXPECT_EQ(subtree_init(), -1);
    std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(init_pending(), INIT_PENDING);
    EXPECT_EQ(cwd(), registry_) << "the configuration is not looked for in the registry";
    EXPECT_EQ(out.find("Started"), out.rfind("Started"));
    EXPECT_EQ(wait_for_lines(started_, 1), 1);
    EXPECT_EQ(count(&alarm_Q), 2);
}

}  // namespace
