#include "agent/dsagent.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "mail/mail_format.h"
#include "store/obj.h"
#include "store/row_search.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> dump_fragments(const reg_object* obj)
{
    FILE* f = tmpfile();
    obj_dump(f, obj);
    std::string log;
    rewind(f);
    char buf[512];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        log.append(buf, n);
    fclose(f);
    static const std::regex stamp("[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ");
    std::vector<std::string> out;
    std::sregex_token_iterator it(log.begin(), log.end(), stamp, -1), end;
    for (; it != end; ++it)
        if (!it->str().empty())
            out.push_back(*it);
    return out;
}

class registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/agent_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::create_directory(dir / "disk");
    }
    void TearDown() override { fs::remove_all(dir); }
    std::vector<std::string> listing(const fs::path& where)
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(where))
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path dir;
};

TEST_F(registry, published_object_is_read_and_dumped_by_the_daemon_reader)
{
    dsagent_object* obj = dsagent_object_new(dir.c_str(), "disk/diskTable.1.3", 777);
    ASSERT_NE(obj, nullptr);
    std::int32_t index[] = {1, 3};
    ASSERT_EQ(dsagent_object_set_index(obj, index, 2), 0);
    int size = dsagent_object_add_item(obj, "diskSize", DSAGENT_UNSIGNED, DSAGENT_RD, 0);
    int temp = dsagent_object_add_item(obj, "diskTemp", DSAGENT_SIGNED, DSAGENT_RDWR, 0);
    int name = dsagent_object_add_item(obj, "diskName", DSAGENT_STRING, DSAGENT_RDWR, 17);
    int serial = dsagent_object_add_item(obj, "diskSerial", DSAGENT_RAW, DSAGENT_RD, 6);
    int kind = dsagent_object_add_item(obj, "diskKind", DSAGENT_OID, DSAGENT_WR, 32);
    ASSERT_EQ(size, 0);
    ASSERT_EQ(kind, 4);
    EXPECT_EQ(dsagent_object_set_unsigned(obj, size, 4000000000u), 0);
    EXPECT_EQ(dsagent_object_set_signed(obj, temp, -12), 0);
    EXPECT_EQ(dsagent_object_set_text(obj, name, "sda"), 0);
    unsigned char bytes[] = {0x01, 0xAB, 0x00};
    EXPECT_EQ(dsagent_object_set_raw(obj, serial, bytes, 3), 0);
    EXPECT_EQ(dsagent_object_set_text(obj, kind, "1.3.6.1.4.1.9"), 0);
    EXPECT_EQ(dsagent_object_set_state(obj, temp, 0), 0);
    ASSERT_EQ(dsagent_object_publish(obj), 0);
    dsagent_object_free(obj);

    std::string file = (dir / "disk/diskTable.1.3").string();
    reg_object* read = obj_read_file(file.c_str());
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->mbox, 777);
    EXPECT_EQ(read->index_count, 2);
    EXPECT_EQ(read->index[1], 3);
    EXPECT_EQ(read->length % 4, 0u);
    EXPECT_EQ(obj_item_index("diskSerial", read), 3);
    // One stamp per line, at its start.
    std::vector<std::string> expected = {
        "\n",
        "*** disk/diskTable.1.3 - " + file + "\n",
        "\"            diskSize\"  UNSIGNED ENABLED    RD: 4000000000\n",
        "\"            diskTemp\"    SIGNED DISABLED RD/WR: -12\n",
        "\"            diskName\"    STRING ENABLED RD/WR: \n", "sda\n",
        "\"          diskSerial\"       RAW ENABLED    RD: \n", "1 AB 0 \n",
        "\"            diskKind\"       OID ENABLED    WR: \n", "1.3.6.1.4.1.9\n",
    };
    EXPECT_EQ(dump_fragments(read), expected);
}

TEST_F(registry, values_that_do_not_fit_their_item_are_refused)
{
    dsagent_object* obj = dsagent_object_new(dir.c_str(), "disk/d", 1);
    ASSERT_NE(obj, nullptr);
    int text = dsagent_object_add_item(obj, "t", DSAGENT_STRING, DSAGENT_RD, 4);
    int raw = dsagent_object_add_item(obj, "r", DSAGENT_RAW, DSAGENT_RD, 2);
    int number = dsagent_object_add_item(obj, "n", DSAGENT_UNSIGNED, DSAGENT_RD, 0);
    unsigned char three[3] = {1, 2, 3};
    EXPECT_EQ(dsagent_object_set_text(obj, text, "abc"), 0);
    EXPECT_EQ(dsagent_object_set_text(obj, text, "abcd"), -1);  // no room for the NUL
    EXPECT_EQ(dsagent_object_set_raw(obj, raw, three, 3), -1);
    EXPECT_EQ(dsagent_object_set_text(obj, number, "1"), -1);   // wrong type
    EXPECT_EQ(dsagent_object_set_signed(obj, number, 1), -1);   // wrong type
    EXPECT_EQ(dsagent_object_set_unsigned(obj, 7, 1), -1);      // no such item
    EXPECT_EQ(dsagent_object_add_item(obj, "s0", DSAGENT_STRING, DSAGENT_RD, 0), -1);
    EXPECT_EQ(dsagent_object_add_item(obj, "bad", 9, DSAGENT_RD, 4), -1);
    EXPECT_EQ(dsagent_object_add_item(obj, std::string(60, 'x').c_str(), DSAGENT_RAW, DSAGENT_RD, 4), -1);
    std::vector<unsigned char> image(dsagent_object_image(obj, nullptr, 0));
    dsagent_object_image(obj, image.data(), image.size());
    EXPECT_TRUE(obj_valid(image.data(), image.size()));
    dsagent_object_free(obj);

    EXPECT_EQ(dsagent_object_new(dir.c_str(), std::string(60, 'n').c_str(), 1), nullptr);
    EXPECT_EQ(dsagent_object_new(std::string(95, '/').c_str(), "disk/d", 1), nullptr);
}

TEST_F(registry, names_nothing_could_serve_are_refused_with_errno)
{
    const struct {
        std::string name;
        int error;
    } refused[] = {{"", EINVAL},          {"/etc/passwd", EINVAL},        {"../outside", EINVAL},
                   {"disk/../d", EINVAL}, {"disk//d", EINVAL},            {"./disk/d", EINVAL},
                   {"disk/", EINVAL},     {std::string(60, 'n'), ENAMETOOLONG}};
    for (const auto& c : refused) {
        errno = 0;
        EXPECT_EQ(dsagent_object_new(dir.c_str(), c.name.c_str(), 1), nullptr) << c.name;
        EXPECT_EQ(errno, c.error) << c.name;
        dsagent_session session{-1, 1, "x"};
        errno = 0;
        EXPECT_EQ(dsagent_trap(&session, c.name.c_str(), 1, nullptr, 0, "t"), -1) << c.name;
        EXPECT_EQ(errno, c.error) << c.name;
    }
    dsagent_object* obj = dsagent_object_new(dir.c_str(), "disk/diskTable.1.3", 1);
    ASSERT_NE(obj, nullptr);
    // Refused arguments that touch no system call still say why.
    int text = dsagent_object_add_item(obj, "t", DSAGENT_STRING, DSAGENT_RD, 4);
    errno = 0;
    EXPECT_EQ(dsagent_object_set_text(obj, text, "abcd"), -1);
    EXPECT_EQ(errno, EOVERFLOW);
    errno = 0;
    EXPECT_EQ(dsagent_object_set_unsigned(obj, text, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(dsagent_object_publish(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(dsagent_wait(nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    unsigned char header[12] = {};
    errno = 0;
    dsagent_set set;
    EXPECT_EQ(dsagent_parse_set(header, sizeof header, &set), -1);
    EXPECT_EQ(errno, EBADMSG);
    dsagent_object_free(obj);
}

TEST(agent_row_name, names_a_row_as_the_daemon_reads_its_index_back)
{
    const std::int32_t index[] = {1, -2, INT32_MIN};
    char name[64];
    ASSERT_EQ(dsagent_row_name(name, sizeof name, "disk/diskTable", index, 3), 31);
    EXPECT_STREQ(name, "disk/diskTable.1.-2.-2147483648");
    std::int32_t back[SEARCH_INDEX_MAX];
    int count = 0;
    ASSERT_EQ(parse_index(name, back, SEARCH_INDEX_MAX, &count), 0);
    EXPECT_EQ(std::vector<std::int32_t>(back, back + count), std::vector<std::int32_t>(index, index + 3));

    // Names the daemon would never look up, or that do not fit, are refused.
    const std::int32_t eleven[11] = {};
    struct {
        std::size_t size;
        const char* table;
        const std::int32_t* index;
        int count;
        int error;
    } refused[] = {
        {sizeof name, "/abs/table", index, 1, EINVAL},
        {sizeof name, "disk/diskTable", index, -1, EINVAL},
        {sizeof name, "disk/diskTable", eleven, 11, ENAMETOOLONG},
        {sizeof name, "disk/diskTable", index, 3, 0},  // control: fits
        {16, "disk/diskTable", index, 1, ENAMETOOLONG},  // "disk/diskTable.1" needs 17 with the NUL
        {sizeof name, "d/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", index, 1, ENAMETOOLONG},  // 60 characters: past the name field,
    };
    for (const auto& c : refused) {
        errno = 0;
        int got = dsagent_row_name(name, c.size, c.table, c.index, c.count);
        EXPECT_EQ(got < 0 ? errno : 0, c.error) << c.table << " " << c.size;
    }
    EXPECT_EQ(dsagent_row_name(name, 17, "disk/diskTable", index, 1), 16);
}

TEST_F(registry, publish_replaces_the_file_and_leaves_no_dot_file)
{
    dsagent_object* obj = dsagent_object_new(dir.c_str(), "disk/counter", 5);
    int pos = dsagent_object_add_item(obj, "count", DSAGENT_UNSIGNED, DSAGENT_RD, 0);
    std::string file = (dir / "disk/counter").string();
    for (std::uint32_t round = 1; round <= 3; ++round) {
        ASSERT_EQ(dsagent_object_set_unsigned(obj, pos, round), 0);
        ASSERT_EQ(dsagent_object_publish(obj), 0);
        reg_object* read = obj_read_file(file.c_str());
        ASSERT_NE(read, nullptr);
        EXPECT_EQ(obj_value_unsigned(obj_item(read, 0)), round);
    }
    EXPECT_EQ(listing(dir / "disk"), std::vector<std::string>{"counter"});
    dsagent_object_free(obj);

    // A directory that is not there: nothing is published and nothing is left.
    dsagent_object* lost = dsagent_object_new(dir.c_str(), "gone/counter", 5);
    EXPECT_EQ(dsagent_object_publish(lost), -1);
    dsagent_object_free(lost);
    EXPECT_EQ(listing(dir), std::vector<std::string>{"disk"});
}

// A private queue: no key, no root, gone at the end of the test.
class queue_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        qid = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
        ASSERT_GE(qid, 0);
    }
    void TearDown() override { msgctl(qid, IPC_RMID, nullptr); }
    int qid = -1;
};

struct kernel_message {
    long mtype;
    unsigned char text[MAIL_TEXT_MAX];
};

TEST_F(queue_test, send_hands_the_kernel_type_and_bytes_4_to_L_then_four_zeros)
{
    unsigned char mail[64];
    std::memset(mail, 0xEE, sizeof mail);  // bytes past L must not travel
    mail_put_field(mail, 0, 4321);
    mail_put_field(mail, 4, 99);
    mail_put_field(mail, 8, MAIL_DUMP);
    std::memcpy(mail + 12, "sys/x", 6);
    ASSERT_EQ(dsagent_mail_send(qid, mail, 18), 18);

    kernel_message raw;
    ssize_t n = msgrcv(qid, &raw, sizeof raw.text, 0, IPC_NOWAIT);
    ASSERT_EQ(n, 18);
    EXPECT_EQ(raw.mtype, 4321);
    EXPECT_EQ(std::memcmp(raw.text, mail + 4, 14), 0);
    for (int i = 14; i < 18; ++i)
        EXPECT_EQ(raw.text[i], 0) << i;
}

TEST_F(queue_test, receive_rebuilds_the_documented_layout)
{
    kernel_message raw;
    raw.mtype = 555;
    std::int32_t sender = 1, command = MAIL_SET;
    std::memcpy(raw.text, &sender, 4);
    std::memcpy(raw.text + 4, &command, 4);
    std::memcpy(raw.text + 8, "abc", 4);
    std::memset(raw.text + 12, 0, 4);
    ASSERT_EQ(msgsnd(qid, &raw, 16, 0), 0);

    unsigned char mail[MAIL_BUF_SIZE];
    std::memset(mail, 0xEE, sizeof mail);
    ASSERT_EQ(dsagent_mail_receive(qid, 555, mail, sizeof mail, 1), 16);
    EXPECT_EQ(mail_get_field(mail, 0), 555);
    EXPECT_EQ(mail_get_field(mail, 4), 1);
    EXPECT_EQ(mail_get_field(mail, 8), MAIL_SET);
    EXPECT_STREQ(reinterpret_cast<char*>(mail + 12), "abc");
    EXPECT_EQ(mail[16], 0xEE);  // nothing written past L
}

TEST_F(queue_test, round_trip_keeps_every_length_and_byte)
{
    for (std::size_t length : {std::size_t{12}, std::size_t{13}, std::size_t{264}, std::size_t{4095},
                               std::size_t{MAIL_TEXT_MAX}}) {
        std::vector<unsigned char> mail(length + 4);
        for (std::size_t i = 0; i < mail.size(); ++i)
            mail[i] = static_cast<unsigned char>(i * 7 + 3);
        mail_put_field(mail.data(), 0, 77);
        ASSERT_EQ(dsagent_mail_send(qid, mail.data(), length), static_cast<int>(length));
        std::vector<unsigned char> back(MAIL_BUF_SIZE);
        ASSERT_EQ(dsagent_mail_receive(qid, 77, back.data(), back.size(), 1), static_cast<int>(length));
        EXPECT_EQ(std::memcmp(back.data(), mail.data(), length), 0) << length;
    }
}

TEST_F(queue_test, mails_the_daemon_cannot_take_are_not_sent)
{
    unsigned char mail[MAIL_BUF_SIZE + 8] = {};
    mail_put_field(mail, 0, 1);
    EXPECT_EQ(dsagent_mail_send(qid, mail, MAIL_TEXT_MAX + 1), -1);  // beyond the receive capacity
    EXPECT_EQ(dsagent_mail_send(qid, mail, 11), -1);                 // shorter than the header
    mail_put_field(mail, 0, 0);
    EXPECT_EQ(dsagent_mail_send(qid, mail, 12), -1);                 // no valid mailbox
    mail_put_field(mail, 0, -5);
    EXPECT_EQ(dsagent_mail_send(qid, mail, 12), -1);
    unsigned char back[MAIL_BUF_SIZE];
    EXPECT_EQ(dsagent_mail_receive(qid, 1, back, sizeof back, 1), 0);
}

TEST_F(queue_test, receive_into_a_small_buffer_leaves_the_mail_queued)
{
    unsigned char mail[MAIL_BUF_SIZE] = {};
    mail_put_field(mail, 0, 9);
    ASSERT_EQ(dsagent_mail_send(qid, mail, 100), 100);
    unsigned char small[64];
    EXPECT_EQ(dsagent_mail_receive(qid, 9, small, sizeof small, 1), -1);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_EQ(dsagent_mail_receive(qid, 9, mail, sizeof mail, 1), 100);
}

TEST_F(queue_test, set_request_is_parsed_and_answered_to_the_service)
{
    dsagent_session session{qid, 4000, "hello"};
    // The daemon's MAIL_SET for a STRING value "on" with its NUL.
    unsigned char set[MAIL_BUF_SIZE] = {};
    mail_put_field(set, MAIL_OFF_MTYPE, 4000);
    mail_put_field(set, MAIL_OFF_SENDER, qid);
    mail_put_field(set, MAIL_OFF_COMMAND, MAIL_SET);
    mail_put_field(set, MAIL_OFF_OWNER_MBOX, 4000);
    std::memcpy(set + MAIL_OFF_OBJECT_NAME, "sys/hello", 10);
    mail_put_field(set, MAIL_OFF_PHASE, 2);
    mail_put_field(set, MAIL_OFF_MAIL_LENGTH, MAIL_SET_BASE + 3);
    mail_put_field(set, MAIL_OFF_ITEM_INDEX, 1);
    std::memcpy(set + MAIL_OFF_DATA, "on", 3);
    ASSERT_GT(dsagent_mail_send(qid, set, MAIL_SET_BASE + 3), 0);

    unsigned char mail[MAIL_BUF_SIZE];
    int n = dsagent_wait(&session, mail, sizeof mail, 1000);
    ASSERT_EQ(n, static_cast<int>(MAIL_SET_BASE + 3));
    dsagent_set request;
    ASSERT_EQ(dsagent_parse_set(mail, static_cast<std::size_t>(n), &request), 0);
    EXPECT_STREQ(request.object_name, "sys/hello");
    EXPECT_EQ(request.phase, 2);
    EXPECT_EQ(request.item_index, 1);
    ASSERT_EQ(request.value_length, 3u);
    EXPECT_STREQ(reinterpret_cast<const char*>(request.value), "on");
    EXPECT_EQ(dsagent_parse_set(mail, MAIL_SET_BASE - 1, &request), -1);

    ASSERT_EQ(dsagent_answer(&session, 0), 0);
    ASSERT_EQ(dsagent_answer(&session, 1), 0);
    for (int expected : {MAIL_NAK, MAIL_ACK}) {
        ASSERT_EQ(dsagent_mail_receive(qid, SERVICE_MBOX, mail, sizeof mail, 1), 12);
        EXPECT_EQ(mail_get_field(mail, MAIL_OFF_SENDER), 4000);
        EXPECT_EQ(mail_get_field(mail, MAIL_OFF_COMMAND), expected);
    }
}

TEST_F(queue_test, trap_carries_object_number_items_and_text)
{
    dsagent_session session{qid, 4001, "hello"};
    std::uint32_t items[] = {0, 2};
    ASSERT_EQ(dsagent_trap(&session, "sys/hello", 7, items, 2, "disk full"), 0);
    unsigned char mail[MAIL_BUF_SIZE];
    int n = dsagent_mail_receive(qid, SERVICE_MBOX, mail, sizeof mail, 1);
    ASSERT_EQ(n, 260 + 8 + 10);
    EXPECT_EQ(mail_get_field(mail, MAIL_OFF_COMMAND), MAIL_TRAP);
    EXPECT_STREQ(reinterpret_cast<char*>(mail + MAIL_OFF_OBJECT_NAME), "sys/hello");
    EXPECT_EQ(mail_get_field(mail, MAIL_OFF_TRAP_NUMBER), 7);
    EXPECT_EQ(mail_get_field(mail, MAIL_OFF_ITEM_COUNT), 2);
    EXPECT_EQ(mail_get_field(mail, MAIL_OFF_DATA), 0);
    EXPECT_EQ(mail_get_field(mail, MAIL_OFF_DATA + 4), 2);
    EXPECT_STREQ(reinterpret_cast<char*>(mail + MAIL_OFF_DATA + 8), "disk full");

    EXPECT_EQ(dsagent_trap(&session, std::string(60, 'o').c_str(), 7, items, 2, "x"), -1);
    EXPECT_EQ(dsagent_trap(&session, "sys/hello", 7, items, 2, std::string(4000, 't').c_str()), -1);
    EXPECT_EQ(dsagent_mail_receive(qid, SERVICE_MBOX, mail, sizeof mail, 1), 0);
}

TEST_F(queue_test, wait_with_deadline_returns_zero_when_nothing_comes)
{
    dsagent_session session{qid, 4002, "hello"};
    unsigned char mail[MAIL_BUF_SIZE];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dsagent_wait(&session, mail, sizeof mail, 50), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

// Connecting needs the queue under the install directory's key; a scratch
// directory gives a key of our own.
class connect_test : public registry {
protected:
    void SetUp() override
    {
        registry::SetUp();
        key_t key = dsagent_queue_key(dir.c_str());
        ASSERT_NE(key, static_cast<key_t>(-1));
        qid = msgget(key, IPC_CREAT | IPC_EXCL | 0600);
        ASSERT_GE(qid, 0);
    }
    void TearDown() override
    {
        if (qid >= 0)
            msgctl(qid, IPC_RMID, nullptr);
        registry::TearDown();
    }
    int qid = -1;
};

TEST_F(connect_test, connect_waits_for_ack_and_disconnect_names_the_agent)
{
    // Play the daemon: answer the connect with the connect mail itself,
    // header replaced, L = 12, to the mailbox the agent asked for.
    std::thread daemon([this] {
        unsigned char mail[MAIL_BUF_SIZE];
        int n = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (n == 0 && std::chrono::steady_clock::now() < deadline) {
            n = dsagent_mail_receive(qid, SERVICE_MBOX, mail, sizeof mail, 1);
            if (n == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_EQ(n, 12 + 6);
        EXPECT_EQ(mail_get_field(mail, MAIL_OFF_COMMAND), MAIL_CONNECT);
        EXPECT_STREQ(reinterpret_cast<char*>(mail + MAIL_OFF_AGENT_NAME), "hello");
        std::int32_t mbox = mail_get_field(mail, MAIL_OFF_SENDER);
        EXPECT_EQ(mbox, getpid());
        mail_put_field(mail, MAIL_OFF_MTYPE, mbox);
        mail_put_field(mail, MAIL_OFF_SENDER, qid);
        mail_put_field(mail, MAIL_OFF_COMMAND, MAIL_ACK);
        dsagent_mail_send(qid, mail, 12);
    });
    dsagent_session session;
    int result = dsagent_connect(&session, dir.c_str(), "hello", 5000);
    daemon.join();
    ASSERT_EQ(result, 0);
    EXPECT_EQ(session.qid, qid);
    EXPECT_EQ(session.mbox, getpid());

    ASSERT_EQ(dsagent_disconnect(&session), 0);
    unsigned char mail[MAIL_BUF_SIZE];
    ASSERT_EQ(dsagent_mail_receive(qid, SERVICE_MBOX, mail, sizeof mail, 1), 18);
    EXPECT_EQ(mail_get_field(mail, MAIL_OFF_COMMAND), MAIL_DISCONNECT);
    EXPECT_STREQ(reinterpret_cast<char*>(mail + MAIL_OFF_AGENT_NAME), "hello");
}

TEST_F(connect_test, connect_without_answer_times_out)
{
    dsagent_session session;
    errno = 0;
    EXPECT_EQ(dsagent_connect(&session, dir.c_str(), "hello", 30), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(dsagent_connect(&session, dir.c_str(), std::string(256, 'n').c_str(), 30), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

// A queue under the key that is not provably the daemon's gets no mail: the
// connect is refused, with the reason, before anything is sent.
TEST_F(connect_test, a_queue_of_another_owner_or_open_to_others_is_refused_with_the_reason)
{
    msqid_ds own{};
    ASSERT_EQ(msgctl(qid, IPC_STAT, &own), 0);
    for (unsigned short mode : {0600, 0640, 0602}) {
        msqid_ds changed = own;
        changed.msg_perm.uid += mode == 0600;  // owned by another than its maker
        changed.msg_perm.mode = mode;
        ASSERT_EQ(msgctl(qid, IPC_SET, &changed), 0);
        dsagent_session session;
        EXPECT_EQ(dsagent_connect(&session, dir.c_str(), "hello", 30), -1) << mode;
        EXPECT_EQ(errno, EPERM) << mode;
        std::string why = dsagent_queue_refusal();
        EXPECT_NE(why.find(mode == 0600 ? "its owner is not the user who made it" : "group or others have access to it"),
                  std::string::npos) << why;
        ASSERT_EQ(msgctl(qid, IPC_SET, &own), 0);  // we made it: we may set it back
    }
    unsigned char mail[MAIL_BUF_SIZE];
    EXPECT_EQ(dsagent_mail_receive(qid, SERVICE_MBOX, mail, sizeof mail, 1), 0) << "a refused queue got mail";
    EXPECT_EQ(dsagent_queue_open(dir.c_str()), qid);
}

TEST(agent_queue, connect_without_daemon_queue_fails)
{
    dsagent_session session;
    EXPECT_EQ(dsagent_connect(&session, "/nonexistent/install/dir", "hello", 10), -1);
    char tmpl[] = "/tmp/agent_noq.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    EXPECT_EQ(dsagent_queue_open(tmpl), -1);
    EXPECT_EQ(errno, ENOENT);
    rmdir(tmpl);
}

}  // namespace
