/* The agent-side library: what a management agent needs to publish object
 * files for the Server SMUX daemon and to exchange mails with it. Plain C,
 * usable from C and C++ programs. Installed with the daemon: build with
 *   cc myagent.c $(pkg-config --cflags --libs dsagent)
 * or find_package(dsagent) and dsagent::dsagent (static) or
 * dsagent::dsagent_shared (libdsagent.so.1) in CMake. The library needs
 * nothing of the C++ runtime: the C compiler links it alone.
 *
 * Conventions: functions return 0 (or a count, or a pointer) on success and
 * -1 (or null) on failure, and every failure sets errno: EINVAL for a bad
 * argument (a null pointer, an object name nothing could serve, a wrong
 * item type), ENAMETOOLONG for a name that does not fit its field, EMSGSIZE
 * for a mail that would exceed DSAGENT_MAIL_MAX, EOVERFLOW for a value
 * longer than its item, EBADMSG for a mail that is not what was asked
 * for, ETIMEDOUT for an answer
 * that did not come, and the system call's own errno where one failed.
 *
 * Object names are paths relative to the data registry directory, such as
 * "dir/file" or "dir/file.1.3" for a table row: at most 59 characters, not
 * absolute, with no empty, "." or ".." component. Other names are refused
 * (errno EINVAL or ENAMETOOLONG): the daemon could never serve them.
 * Mails are handled in their documented layout (mail/mail_format.h): a
 * 32-bit mtype at offset 0, sender at 4, command at 8, body from 12. */
#ifndef DSAGENT_H
#define DSAGENT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/ipc.h> /* key_t, also under a strict -std=c11 */

#ifdef __cplusplus
extern "C" {
#endif

/* Mail commands and fixed sizes, as the daemon knows them. */
enum {
    DSAGENT_MAIL_STOP = 1,
    DSAGENT_MAIL_CONNECT = 2,
    DSAGENT_MAIL_DISCONNECT = 3,
    DSAGENT_MAIL_DEBUG = 14,
    DSAGENT_MAIL_ACK = 15,
    DSAGENT_MAIL_NAK = 16,
    DSAGENT_MAIL_STOP_ALL = 17,
    DSAGENT_MAIL_SET = 23,
    DSAGENT_MAIL_TRAP = 25,
    DSAGENT_MAIL_DUMP = 26,

    DSAGENT_SERVICE_MBOX = 1,
    DSAGENT_MAIL_MAX = 4096,       /* largest mail the daemon can take */
    DSAGENT_MAIL_BUF = 4096 + 4,   /* a buffer that fits any mail */
    DSAGENT_NAME_MAX = 255,        /* agent name, without the NUL */
    DSAGENT_OBJECT_NAME_MAX = 59,  /* "dir/file", without the NUL */
    DSAGENT_ITEM_NAME_MAX = 59,
    DSAGENT_INDEX_MAX = 15
};

/* Item value types, access and state codes of the object file format. */
enum { DSAGENT_UNSIGNED = 0, DSAGENT_SIGNED = 1, DSAGENT_STRING = 2, DSAGENT_RAW = 3, DSAGENT_OID = 4 };
enum { DSAGENT_RDWR = 0, DSAGENT_WR = 1, DSAGENT_RD = 2 };
enum { DSAGENT_DISABLED = 0, DSAGENT_ENABLED = 1 };

/* ---- The mailbox queue ------------------------------------------------ */

/* The daemon's install directory, "/opt/varden/server". Every function
 * below that takes an install directory uses this one when given null. */
const char *dsagent_install_dir(void);

/* The queue key: ftok of the install directory (which must exist) with the
 * project id 0x16324. Returns (key_t)-1 on failure. */
key_t dsagent_queue_key(const char *install_dir);

/* Opens the daemon's existing queue (never creates one). Anyone can make a
 * queue under the key while no daemon runs, so the queue is used only when
 * one user both made and owns it, that user is the superuser (the daemon's)
 * or this process's own effective user, and it grants nothing to group or
 * others. Returns the queue identifier, or -1: errno ENOENT (no daemon has
 * created the queue), EPERM (a queue that is not the daemon's) or the
 * error of the status query (EACCES: not ours to read); then
 * dsagent_queue_refusal says why. */
int dsagent_queue_open(const char *install_dir);

/* Why the last dsagent_queue_open (or dsagent_connect) of this thread
 * refused the queue it found, as one line of text without a newline; ""
 * when it refused none. */
const char *dsagent_queue_refusal(void);

/* Sends the mail `mail` of length L (`length`, counted from its mtype; at
 * least 12, at most DSAGENT_MAIL_MAX). The kernel is handed the mail's mtype
 * as the message type and bytes 4..L-1 plus four zero bytes as the text of
 * size L; nothing past L is read. Blocks while the queue is full. Returns L,
 * or -1. */
int dsagent_mail_send(int qid, const void *mail, size_t length);

/* Takes one mail of message type `mbox` (a positive mailbox number) into `mail` of `capacity` bytes, rebuilt in the documented layout.
 * Returns its length L; 0 when `nowait` is set and there is none, or a
 * signal cut the wait short; -1 on failure (errno E2BIG: the mail does not
 * fit `capacity`, it stays queued). An empty message carries no mail: it is
 * dropped and the receive goes on, as the daemon does with one. */
int dsagent_mail_receive(int qid, long mbox, void *mail, size_t capacity, int nowait);

/* ---- A session with the daemon ---------------------------------------- */

struct dsagent_session {
    int qid;                          /* the daemon's queue */
    int32_t mbox;                     /* our mailbox: our process id */
    char name[DSAGENT_NAME_MAX + 1];  /* the name we connected under */
};

/* Opens the queue of `install_dir` (dsagent_queue_open), sends MAIL_CONNECT
 * under `name` (with our process id as the mailbox) and waits up to
 * `timeout_ms` for the daemon's MAIL_ACK. Mails other than the answer that
 * arrive meanwhile are dropped. Returns 0, or -1 (no queue or a refused one,
 * name too long, no answer in time). */
int dsagent_connect(struct dsagent_session *session, const char *install_dir, const char *name, int timeout_ms);

/* Sends MAIL_DISCONNECT under the session's name. Returns 0 or -1. */
int dsagent_disconnect(struct dsagent_session *session);

/* Waits for the next mail to our mailbox: `timeout_ms` < 0 blocks (a signal
 * ends the wait with 0), otherwise polls until the deadline. Returns the
 * mail's length, 0 when none came, -1 on failure. */
int dsagent_wait(struct dsagent_session *session, void *mail, size_t capacity, int timeout_ms);

/* The command of a received mail of `length` bytes, or -1 when it is
 * shorter than the mail header. */
int dsagent_mail_command(const void *mail, size_t length);

/* A MAIL_SET request, as the daemon sends it: once with phase 1 when the set
 * arrives, again with phase 2 when the manager commits. Decide in phase 1:
 * check the value there and accept or refuse it with dsagent_answer. Phase 2
 * cannot fail: apply the value and answer as the daemon expects an answer,
 * but a refusal there changes nothing for the manager. The daemon has
 * checked that the value has the MIB object's syntax and fits the item
 * whole (a STRING or OID with its NUL); it never cuts one. What the value
 * means (its range, say) is the agent's to check. */
struct dsagent_set {
    char object_name[DSAGENT_OBJECT_NAME_MAX + 1];
    int32_t phase;
    int32_t item_index;
    const unsigned char *value;  /* points into the mail */
    size_t value_length;         /* STRING and OID values include their NUL */
};

/* Decodes a MAIL_SET mail of `length` bytes. Returns 0, or -1 when the mail
 * is not a MAIL_SET or is too short. */
int dsagent_parse_set(const void *mail, size_t length, struct dsagent_set *set);

/* Answers a MAIL_SET: MAIL_ACK when `accept` is non-zero, MAIL_NAK
 * otherwise, to the daemon's mailbox. Returns 0 or -1. */
int dsagent_answer(struct dsagent_session *session, int accept);

/* Sends MAIL_TRAP: the object that raised it (its name relative to the data
 * registry, "dir/file"), the trap's specific number, the positions of the
 * items whose values go into the trap, and the text for the mail notice.
 * Returns 0, or -1 (a refused object name, the mail would exceed
 * DSAGENT_MAIL_MAX). The daemon reads the items' values from the object
 * file when it relays the trap (it polls its mail once a second), not when
 * the trap is sent: publish the values first and keep them until then. An
 * item it cannot send (the object unreadable, a name its MIB does not
 * know) is left out with a line in its log; the trap still goes. */
int dsagent_trap(struct dsagent_session *session, const char *object_name, int32_t trap_number,
                 const uint32_t *items, uint32_t item_count, const char *text);

/* ---- Object files ----------------------------------------------------- */

/* An object being built in memory and published into the data registry. */
typedef struct dsagent_object dsagent_object;

/* A new object named `name` ("dir/file", or "dir/file.1.3" for a table row;
 * at most 59 characters) in the data registry directory `registry_dir`,
 * owned by mailbox `mbox` (normally the session's). The file is
 * registry_dir/name. Returns null (errno set) when the name is refused
 * (see the top of this file), the file's path does not fit, or there is no
 * memory. */
dsagent_object *dsagent_object_new(const char *registry_dir, const char *name, int32_t mbox);
void dsagent_object_free(dsagent_object *obj);

/* Writes the object name of the row of `table` (the table's registry
 * sub-path, such as "disk/diskTable") whose index values are the first
 * `count` of `index` into `out` of `size` bytes: the table name, then
 * ".<value>" per value in signed decimal, e.g. "disk/diskTable.3.-1". This is the name the
 * daemon looks the row up under. Returns the name's length, or -1 with
 * errno EINVAL (bad table name, count below 0 or above 15) or ENAMETOOLONG
 * (the name does not fit `out` or the object name field, or passes the
 * daemon's limits on a row name: 10 values, a suffix of 31 characters). */
int dsagent_row_name(char *out, size_t size, const char *table, const int32_t *index, int count);

/* Sets the instance index values recorded in the header (at most 15). */
int dsagent_object_set_index(dsagent_object *obj, const int32_t *values, int count);
/* Sets the agent's own object number (the daemon does not read it). */
void dsagent_object_set_id(dsagent_object *obj, int32_t id);

/* Adds an item (MIB name of the variable it holds, value type, access).
 * `size` is the capacity of STRING, RAW and OID values in bytes (a STRING
 * or OID includes its NUL, so at least 1); it is ignored for UNSIGNED and
 * SIGNED, which take 4. The item starts enabled with a zero value. Returns
 * the item's position, or -1. */
int dsagent_object_add_item(dsagent_object *obj, const char *mib_name, int type, int access, uint16_t size);

/* Setting values. Each returns 0, or -1 for a wrong position or type; text
 * and octets longer than the item's size are refused (-1). */
int dsagent_object_set_unsigned(dsagent_object *obj, int position, uint32_t value);
int dsagent_object_set_signed(dsagent_object *obj, int position, int32_t value);
int dsagent_object_set_text(dsagent_object *obj, int position, const char *text);  /* STRING or OID */
int dsagent_object_set_raw(dsagent_object *obj, int position, const void *bytes, uint16_t length);
int dsagent_object_set_state(dsagent_object *obj, int position, int enabled);

/* Writes the object file atomically: the whole object goes to a temporary
 * file whose name begins with a dot in the same directory, which is then
 * renamed over the object's name, so that the daemon never reads a
 * half-written object. Returns 0, or -1 (the temporary file is removed). */
int dsagent_object_publish(dsagent_object *obj);

/* The object's file image as published (header, items, data), for tests and
 * tools: copies at most `capacity` bytes and returns the whole length. */
size_t dsagent_object_image(const dsagent_object *obj, void *buffer, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
