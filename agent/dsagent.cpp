// The agent-side library: the mailbox queue as the daemon sees it, the
// connect/set/trap conversation, and atomic publishing of object files.
#include "agent/dsagent.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "lib/paths.h"
#include "mail/mail_format.h"
#include "mail/mail_kernel.h"
#include "store/obj.h"
#include "store/obj_format.h"
#include "store/row_name.h"

// The C face repeats the shared constants; keep them honest.
static_assert(DSAGENT_MAIL_STOP == MAIL_STOP && DSAGENT_MAIL_CONNECT == MAIL_CONNECT &&
              DSAGENT_MAIL_DISCONNECT == MAIL_DISCONNECT && DSAGENT_MAIL_DEBUG == MAIL_DEBUG &&
              DSAGENT_MAIL_ACK == MAIL_ACK && DSAGENT_MAIL_NAK == MAIL_NAK &&
              DSAGENT_MAIL_STOP_ALL == MAIL_STOP_ALL && DSAGENT_MAIL_SET == MAIL_SET &&
              DSAGENT_MAIL_TRAP == MAIL_TRAP && DSAGENT_MAIL_DUMP == MAIL_DUMP);
static_assert(DSAGENT_SERVICE_MBOX == SERVICE_MBOX && DSAGENT_MAIL_MAX == MAIL_TEXT_MAX &&
              DSAGENT_MAIL_BUF == MAIL_BUF_SIZE && DSAGENT_NAME_MAX + 1 == MAIL_NAME_MAX);
static_assert(DSAGENT_OBJECT_NAME_MAX + 1 == OBJ_NAME_MAX && DSAGENT_ITEM_NAME_MAX + 1 == ITEM_NAME_MAX &&
              DSAGENT_INDEX_MAX == OBJ_INDEX_MAX);
static_assert(DSAGENT_UNSIGNED == ITEM_UNSIGNED && DSAGENT_SIGNED == ITEM_SIGNED && DSAGENT_STRING == ITEM_STRING &&
              DSAGENT_RAW == ITEM_RAW && DSAGENT_OID == ITEM_OID);

namespace {

// Why the last dsagent_queue_open of this thread refused the queue it found.
thread_local char queue_refusal[160];

// Deadlines are kept in microseconds: a clock read in whole milliseconds
// would end a wait up to a millisecond before its time.
long long now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

void nap_us(long long us)
{
    timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
    nanosleep(&ts, nullptr);
}

// Fails with `code` in errno: the value a C caller sees for every refusal.
int fail(int code)
{
    errno = code;
    return -1;
}

// 0 when `name` can name an object the daemon serves: relative to the data
// registry, short enough for the mail and object name fields, and without
// an empty, "." or ".." component (the daemon looks it up as given, below
// its registry). Otherwise the errno value that refuses it.
int object_name_error(const char* name)
{
    if (name == nullptr || name[0] == '\0' || name[0] == '/')
        return EINVAL;
    if (strnlen(name, OBJ_NAME_MAX) >= OBJ_NAME_MAX)
        return ENAMETOOLONG;
    const char* component = name;
    for (;;) {
        const char* end = std::strchr(component, '/');
        std::size_t length = end != nullptr ? static_cast<std::size_t>(end - component) : std::strlen(component);
        if (length == 0 || (length == 1 && component[0] == '.') ||
            (length == 2 && component[0] == '.' && component[1] == '.'))
            return EINVAL;
        if (end == nullptr)
            return 0;
        component = end + 1;
    }
}

// A header-only or name-carrying mail to the daemon.
int send_to_service(const dsagent_session* session, std::int32_t command, const char* text)
{
    unsigned char mail[MAIL_BUF_SIZE] = {};
    std::size_t length = text == nullptr
                             ? mail_build_header(mail, SERVICE_MBOX, session->mbox, command)
                             : mail_build_named(mail, SERVICE_MBOX, session->mbox, command, text, MAIL_NAME_MAX);
    if (length == 0)
        return fail(ENAMETOOLONG);
    return dsagent_mail_send(session->qid, mail, length) < 0 ? -1 : 0;
}

}  // namespace

extern "C" {

const char* dsagent_install_dir(void)
{
    return dsmux::INSTALL_DIR;
}

key_t dsagent_queue_key(const char* install_dir)
{
    return ftok(install_dir != nullptr ? install_dir : dsmux::INSTALL_DIR, MAIL_QUEUE_PROJECT_ID);
}

int dsagent_queue_open(const char* install_dir)
{
    queue_refusal[0] = '\0';
    key_t key = dsagent_queue_key(install_dir);
    if (key == static_cast<key_t>(-1))
        return -1;
    // Never IPC_CREAT: an agent talks to a daemon that is there, and must
    // not leave a queue behind that the daemon would then inherit.
    int qid = msgget(key, 0);
    if (qid < 0)
        return -1;
    // Anyone can make a queue under the key while no daemon runs: mail sent
    // there would reach whoever made it, and its answers would be forged.
    msqid_ds description{};
    if (msgctl(qid, IPC_STAT, &description) != 0) {
        int saved = errno;
        std::snprintf(queue_refusal, sizeof queue_refusal, "mailbox queue %d cannot be checked: %s", qid,
                      std::strerror(saved));
        return fail(saved);
    }
    if (const char* why = mail_queue_refusal(description, geteuid())) {
        std::snprintf(queue_refusal, sizeof queue_refusal,
                      "mailbox queue %d is not the daemon's (owner %d, creator %d, mode %03o): %s", qid,
                      static_cast<int>(description.msg_perm.uid), static_cast<int>(description.msg_perm.cuid),
                      static_cast<unsigned>(description.msg_perm.mode & 0777), why);
        return fail(EPERM);
    }
    return qid;
}

const char* dsagent_queue_refusal(void)
{
    return queue_refusal;
}

int dsagent_mail_send(int qid, const void* mail, size_t length)
{
    if (mail == nullptr || length < MAIL_HEADER_SIZE || length > MAIL_TEXT_MAX) {
        errno = EINVAL;
        return -1;
    }
    const auto* bytes = static_cast<const unsigned char*>(mail);
    std::int32_t mtype = mail_get_field(bytes, MAIL_OFF_MTYPE);
    if (mtype <= 0) {
        errno = EINVAL;
        return -1;
    }
    kernel_mail message;
    mail_to_kernel(mail, length, &message);
    while (msgsnd(qid, &message, length, 0) != 0) {
        if (errno != EINTR)
            return -1;
    }
    return static_cast<int>(length);
}

int dsagent_mail_receive(int qid, long mbox, void* mail, size_t capacity, int nowait)
{
    if (mail == nullptr || mbox <= 0 || capacity < 4) {
        errno = EINVAL;
        return -1;
    }
    kernel_mail message;
    std::size_t text_size = capacity < MAIL_TEXT_MAX ? capacity : MAIL_TEXT_MAX;
    ssize_t n = kernel_mail_receive(qid, &message, text_size, mbox, nowait ? IPC_NOWAIT : 0);
    if (n < 0)
        return (errno == ENOMSG || errno == EINTR) ? 0 : -1;
    // Rebuild the documented layout: the 32-bit type word, then the text
    // without its four trailing bytes, L bytes in all (capacity >= 4 bytes).
    mail_from_kernel(message, n > 4 ? static_cast<std::size_t>(n) : 4, mail);
    // A text of one to three bytes delivered a mail cut short: report at
    // least its type word.
    return n < 4 ? 4 : static_cast<int>(n);
}

int dsagent_connect(dsagent_session* session, const char* install_dir, const char* name, int timeout_ms)
{
    if (session == nullptr || name == nullptr)
        return fail(EINVAL);
    if (strnlen(name, MAIL_NAME_MAX) >= MAIL_NAME_MAX)
        return fail(ENAMETOOLONG);
    session->qid = dsagent_queue_open(install_dir);
    if (session->qid < 0)
        return -1;
    session->mbox = static_cast<std::int32_t>(getpid());
    std::snprintf(session->name, sizeof session->name, "%s", name);
    if (send_to_service(session, MAIL_CONNECT, name) != 0)
        return -1;
    long long deadline = now_us() + 1000LL * (timeout_ms < 0 ? 0 : timeout_ms);
    unsigned char mail[MAIL_BUF_SIZE];
    for (;;) {
        long long left = deadline - now_us();
        if (left < 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        int n = dsagent_wait(session, mail, sizeof mail, static_cast<int>((left + 999) / 1000));
        if (n < 0)
            return -1;
        if (n > 0 && dsagent_mail_command(mail, static_cast<std::size_t>(n)) == MAIL_ACK)
            return 0;
    }
}

int dsagent_disconnect(dsagent_session* session)
{
    if (session == nullptr)
        return fail(EINVAL);
    return send_to_service(session, MAIL_DISCONNECT, session->name);
}

int dsagent_wait(dsagent_session* session, void* mail, size_t capacity, int timeout_ms)
{
    if (session == nullptr)
        return fail(EINVAL);
    if (timeout_ms < 0)
        return dsagent_mail_receive(session->qid, session->mbox, mail, capacity, 0);
    // A bounded wait polls: msgrcv has no time-out of its own, and an alarm
    // would meddle with the agent's own signal handling.
    long long deadline = now_us() + 1000LL * timeout_ms;
    for (;;) {
        int n = dsagent_mail_receive(session->qid, session->mbox, mail, capacity, 1);
        if (n != 0)
            return n;
        long long left = deadline - now_us();
        if (left <= 0)
            return 0;
        nap_us(left < 5000 ? left : 5000);
    }
}

int dsagent_mail_command(const void* mail, size_t length)
{
    if (mail == nullptr || length < MAIL_HEADER_SIZE)
        return fail(EINVAL);
    return mail_get_field(static_cast<const unsigned char*>(mail), MAIL_OFF_COMMAND);
}

int dsagent_parse_set(const void* mail, size_t length, dsagent_set* set)
{
    if (set == nullptr || mail == nullptr)
        return fail(EINVAL);
    if (dsagent_mail_command(mail, length) != MAIL_SET || length < MAIL_SET_BASE)
        return fail(EBADMSG);
    const auto* bytes = static_cast<const unsigned char*>(mail);
    std::size_t n = strnlen(reinterpret_cast<const char*>(bytes + MAIL_OFF_OBJECT_NAME), OBJ_NAME_MAX - 1);
    std::memcpy(set->object_name, bytes + MAIL_OFF_OBJECT_NAME, n);
    set->object_name[n] = '\0';
    set->phase = mail_get_field(bytes, MAIL_OFF_PHASE);
    set->item_index = mail_get_field(bytes, MAIL_OFF_ITEM_INDEX);
    set->value = bytes + MAIL_OFF_DATA;
    set->value_length = length - MAIL_SET_BASE;
    return 0;
}

int dsagent_answer(dsagent_session* session, int accept)
{
    if (session == nullptr)
        return fail(EINVAL);
    return send_to_service(session, accept ? MAIL_ACK : MAIL_NAK, nullptr);
}

int dsagent_trap(dsagent_session* session, const char* object_name, int32_t trap_number, const uint32_t* items,
                 uint32_t item_count, const char* text)
{
    if (session == nullptr || (items == nullptr && item_count > 0))
        return fail(EINVAL);
    if (int refused = object_name_error(object_name); refused != 0)
        return fail(refused);
    std::size_t name_length = std::strlen(object_name);
    if (text == nullptr)
        text = "";
    std::size_t text_length = strnlen(text, MAIL_TEXT_MAX);
    std::size_t items_bytes = 4 * static_cast<std::size_t>(item_count);
    if (item_count > MAIL_TEXT_MAX / 4 || MAIL_OFF_DATA + items_bytes + text_length + 1 > MAIL_TEXT_MAX)
        return fail(EMSGSIZE);
    unsigned char mail[MAIL_BUF_SIZE] = {};
    mail_build_header(mail, SERVICE_MBOX, session->mbox, MAIL_TRAP);
    mail_put_field(mail, MAIL_OFF_OWNER_MBOX, session->mbox);
    std::memcpy(mail + MAIL_OFF_OBJECT_NAME, object_name, name_length);
    mail_put_field(mail, MAIL_OFF_TRAP_NUMBER, trap_number);
    mail_put_field(mail, MAIL_OFF_ITEM_COUNT, static_cast<std::int32_t>(item_count));
    if (item_count > 0)
        std::memcpy(mail + MAIL_OFF_DATA, items, items_bytes);
    std::memcpy(mail + MAIL_OFF_DATA + items_bytes, text, text_length);
    std::size_t length = MAIL_OFF_DATA + items_bytes + text_length + 1;
    mail_put_field(mail, MAIL_OFF_MAIL_LENGTH, static_cast<std::int32_t>(length));
    return dsagent_mail_send(session->qid, mail, length) < 0 ? -1 : 0;
}

}  // extern "C"

// ---- Object files -------------------------------------------------------
//
// Plain C memory only (malloc and free, no containers, no new): the library
// is linked by C programs with the C compiler, so it must not need the C++
// runtime.

namespace {

struct agent_item {
    reg_item record;
    unsigned char* value;  // `size` bytes of capacity (malloc'd, at least 1)
};

}  // namespace

struct dsagent_object {
    char file[OBJ_PATH_MAX];  // registry_dir/name
    reg_object header;
    agent_item* items;        // malloc'd array of `capacity`
    std::size_t count;
    std::size_t capacity;
};

namespace {

agent_item* find_item(dsagent_object* obj, int position)
{
    if (obj == nullptr || position < 0 || static_cast<std::size_t>(position) >= obj->count)
        return nullptr;
    return &obj->items[position];
}

std::size_t round4(std::size_t n)
{
    return (n + 3) & ~std::size_t{3};
}

// The whole file image, malloc'd (the caller frees it): header, item
// records, then each value at a 4-byte boundary of the data area, its
// offset counted from its item record. Null without memory.
unsigned char* build_image(const dsagent_object* obj, std::size_t* size)
{
    auto* laid = static_cast<obj_image_item*>(std::calloc(obj->count + 1, sizeof(obj_image_item)));
    if (laid == nullptr)
        return nullptr;
    for (std::size_t i = 0; i < obj->count; ++i) {
        const agent_item& it = obj->items[i];
        laid[i] = {it.record, it.value, it.record.size, round4(it.record.size)};
    }
    *size = obj_image_size(laid, obj->count);
    auto* image = static_cast<unsigned char*>(std::malloc(*size));
    if (image != nullptr)
        obj_image_write(image, obj->header, laid, obj->count);
    std::free(laid);
    return image;
}

bool write_all(int fd, const unsigned char* bytes, std::size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

extern "C" {

dsagent_object* dsagent_object_new(const char* registry_dir, const char* name, int32_t mbox)
{
    if (registry_dir == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (int refused = object_name_error(name); refused != 0) {
        errno = refused;
        return nullptr;
    }
    char file[OBJ_PATH_MAX];
    int length = std::snprintf(file, sizeof file, "%s/%s", registry_dir, name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof file) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    auto* obj = static_cast<dsagent_object*>(std::calloc(1, sizeof(dsagent_object)));
    if (obj == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(obj->file, file, static_cast<std::size_t>(length) + 1);
    obj->header.mbox = mbox;
    std::memcpy(obj->header.path, file, static_cast<std::size_t>(length) + 1);
    std::memcpy(obj->header.name, name, std::strlen(name) + 1);
    return obj;
}

void dsagent_object_free(dsagent_object* obj)
{
    if (obj == nullptr)
        return;
    for (std::size_t i = 0; i < obj->count; ++i)
        std::free(obj->items[i].value);
    std::free(obj->items);
    std::free(obj);
}

int dsagent_row_name(char* out, size_t size, const char* table, const int32_t* index, int count)
{
    if (out == nullptr || count < 0 || count > static_cast<int>(OBJ_INDEX_MAX) || (index == nullptr && count > 0))
        return fail(EINVAL);
    if (size > 0)
        out[0] = '\0';
    if (int refused = object_name_error(table); refused != 0)
        return fail(refused);
    // A suffix the daemon would not build could never be looked up.
    char suffix[OBJ_SUFFIX_MAX + 1];
    if (count > OBJ_SELECT_MAX || row_suffix_build(suffix, sizeof suffix, index, count) < 0)
        return fail(ENAMETOOLONG);
    int length = row_name_build(out, size < OBJ_NAME_MAX ? size : OBJ_NAME_MAX, table, index, count);
    return length < 0 ? fail(ENAMETOOLONG) : length;
}

int dsagent_object_set_index(dsagent_object* obj, const int32_t* values, int count)
{
    if (obj == nullptr || count < 0 || count > static_cast<int>(OBJ_INDEX_MAX) || (values == nullptr && count > 0))
        return fail(EINVAL);
    std::memset(obj->header.index, 0, sizeof obj->header.index);
    for (int i = 0; i < count; ++i)
        obj->header.index[i] = values[i];
    obj->header.index_count = count;
    return 0;
}

void dsagent_object_set_id(dsagent_object* obj, int32_t id)
{
    if (obj != nullptr)
        obj->header.id = id;
}

int dsagent_object_add_item(dsagent_object* obj, const char* mib_name, int type, int access, uint16_t size)
{
    if (obj == nullptr || mib_name == nullptr || mib_name[0] == '\0')
        return fail(EINVAL);
    if (std::strlen(mib_name) >= ITEM_NAME_MAX)
        return fail(ENAMETOOLONG);
    if (type < ITEM_UNSIGNED || type > ITEM_OID || access < ACCESS_RDWR || access > ACCESS_RD)
        return fail(EINVAL);
    if (type == ITEM_UNSIGNED || type == ITEM_SIGNED)
        size = 4;
    else if (size == 0 && type != ITEM_RAW)
        return fail(EINVAL);  // no room even for the terminator
    if (obj->count == obj->capacity) {
        std::size_t capacity = obj->capacity == 0 ? 8 : 2 * obj->capacity;
        auto* grown = static_cast<agent_item*>(std::realloc(obj->items, capacity * sizeof(agent_item)));
        if (grown == nullptr)
            return fail(ENOMEM);
        obj->items = grown;
        obj->capacity = capacity;
    }
    // One byte at least, so that an empty RAW item still has an address.
    auto* value = static_cast<unsigned char*>(std::calloc(size > 0 ? size : 1, 1));
    if (value == nullptr)
        return fail(ENOMEM);
    agent_item& it = obj->items[obj->count];
    std::memset(&it.record, 0, sizeof it.record);
    std::memcpy(it.record.name, mib_name, std::strlen(mib_name) + 1);
    it.record.size = size;
    it.record.length = 0;
    it.record.type = static_cast<std::uint8_t>(type);
    it.record.access = static_cast<std::uint8_t>(access);
    it.record.state = STATE_ENABLED;
    it.value = value;
    return static_cast<int>(obj->count++);
}

int dsagent_object_set_unsigned(dsagent_object* obj, int position, uint32_t value)
{
    auto* it = find_item(obj, position);
    if (it == nullptr || it->record.type != ITEM_UNSIGNED)
        return fail(EINVAL);
    encode_fixed32(it->value, value);
    return 0;
}

int dsagent_object_set_signed(dsagent_object* obj, int position, int32_t value)
{
    auto* it = find_item(obj, position);
    if (it == nullptr || it->record.type != ITEM_SIGNED)
        return fail(EINVAL);
    encode_int32(it->value, value);
    return 0;
}

int dsagent_object_set_text(dsagent_object* obj, int position, const char* text)
{
    auto* it = find_item(obj, position);
    if (it == nullptr || text == nullptr || (it->record.type != ITEM_STRING && it->record.type != ITEM_OID))
        return fail(EINVAL);
    std::size_t n = std::strlen(text);
    if (n + 1 > it->record.size)
        return fail(EOVERFLOW);
    std::memset(it->value, 0, it->record.size);
    std::memcpy(it->value, text, n);
    return 0;
}

int dsagent_object_set_raw(dsagent_object* obj, int position, const void* bytes, uint16_t length)
{
    auto* it = find_item(obj, position);
    if (it == nullptr || it->record.type != ITEM_RAW || (bytes == nullptr && length > 0))
        return fail(EINVAL);
    if (length > it->record.size)
        return fail(EOVERFLOW);
    std::memset(it->value, 0, it->record.size);
    if (length > 0)
        std::memcpy(it->value, bytes, length);
    it->record.length = length;
    return 0;
}

int dsagent_object_set_state(dsagent_object* obj, int position, int enabled)
{
    auto* it = find_item(obj, position);
    if (it == nullptr)
        return fail(EINVAL);
    it->record.state = enabled ? STATE_ENABLED : STATE_DISABLED;
    return 0;
}

int dsagent_object_publish(dsagent_object* obj)
{
    if (obj == nullptr)
        return fail(EINVAL);
    std::size_t size = 0;
    unsigned char* image = build_image(obj, &size);
    if (image == nullptr)
        return fail(ENOMEM);
    // The daemon refuses objects above this length; say so here instead.
    if (size > OBJ_LENGTH_MAX) {
        std::free(image);
        return fail(EFBIG);
    }
    // The temporary file lives in the object's own directory (rename is only
    // atomic within one file system) and starts with a dot, which no table
    // row's name does, so the instance search passes over it.
    const char* slash = std::strrchr(obj->file, '/');
    int dir_length = slash != nullptr ? static_cast<int>(slash - obj->file + 1) : 0;
    char temp[OBJ_PATH_MAX + 16];
    std::snprintf(temp, sizeof temp, "%.*s.%s.XXXXXX", dir_length, obj->file, obj->file + dir_length);
    int fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0) {
        std::free(image);
        return -1;
    }
    bool ok = fchmod(fd, 0644) == 0 && write_all(fd, image, size);
    std::free(image);
    ok = (close(fd) == 0) && ok;
    if (ok && rename(temp, obj->file) == 0)
        return 0;
    int saved = errno;
    unlink(temp);
    errno = saved;
    return -1;
}

size_t dsagent_object_image(const dsagent_object* obj, void* buffer, size_t capacity)
{
    if (obj == nullptr)
        return 0;
    std::size_t size = 0;
    unsigned char* image = build_image(obj, &size);
    if (image == nullptr)
        return 0;
    if (buffer != nullptr)
        std::memcpy(buffer, image, size < capacity ? size : capacity);
    std::free(image);
    return size;
}

}  // extern "C"
