/* agent-hello: the smallest useful agent. It publishes one object,
 * "hello/helloGroup", with a counter that grows every second and a greeting
 * that the manager may set; every tenth count it sends a trap.
 *
 * usage: agent-hello REGISTRY_DIR [INSTALL_DIR] */
/* sigaction and mkdir under a strict -std=c11 as well */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "dsagent.h"

static volatile sig_atomic_t stopping = 0;

static void on_term(int sig)
{
    (void)sig;
    stopping = 1;
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s REGISTRY_DIR [INSTALL_DIR]\n", argv[0]);
        return 2;
    }
    const char *registry = argv[1];
    const char *install_dir = argc > 2 ? argv[2] : NULL; /* null: the daemon's default */

    /* A handler without SA_RESTART, so that SIGTERM ends a blocking wait. */
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_term;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    struct dsagent_session session;
    if (dsagent_connect(&session, install_dir, "agent-hello", 10000) != 0) {
        fprintf(stderr, "agent-hello: cannot connect to the daemon: %s\n", strerror(errno));
        return 1;
    }

    /* The object's directory must exist; the object file is written whole. */
    char dir[256];
    snprintf(dir, sizeof dir, "%s/hello", registry);
    if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "agent-hello: cannot create %s: %s\n", dir, strerror(errno));
        dsagent_disconnect(&session);
        return 1;
    }
    dsagent_object *obj = dsagent_object_new(registry, "hello/helloGroup", session.mbox);
    if (obj == NULL) {
        dsagent_disconnect(&session);
        return 1;
    }
    int count_item = dsagent_object_add_item(obj, "helloCount", DSAGENT_UNSIGNED, DSAGENT_RD, 0);
    int greeting_item = dsagent_object_add_item(obj, "helloGreeting", DSAGENT_STRING, DSAGENT_RDWR, 64);
    dsagent_object_set_text(obj, greeting_item, "hello, world");
    uint32_t count = 0;
    dsagent_object_set_unsigned(obj, count_item, count);
    if (dsagent_object_publish(obj) != 0)
        fprintf(stderr, "agent-hello: cannot publish: %s\n", strerror(errno));

    unsigned char mail[DSAGENT_MAIL_BUF];
    while (!stopping) {
        int n = dsagent_wait(&session, mail, sizeof mail, 1000);
        if (n < 0)
            break;
        if (n == 0) {
            /* A second passed without mail: count, publish, trap now and then. */
            dsagent_object_set_unsigned(obj, count_item, ++count);
            dsagent_object_publish(obj);
            if (count % 10 == 0) {
                uint32_t items[1] = {(uint32_t)count_item};
                char text[64];
                snprintf(text, sizeof text, "agent-hello counted to %u\n", (unsigned)count);
                dsagent_trap(&session, "hello/helloGroup", 1, items, 1, text);
            }
            continue;
        }
        int command = dsagent_mail_command(mail, (size_t)n);
        if (command == DSAGENT_MAIL_STOP || command == DSAGENT_MAIL_STOP_ALL)
            break; /* the daemon is going away and has already forgotten us */
        if (command == DSAGENT_MAIL_SET) {
            struct dsagent_set set;
            int ok = dsagent_parse_set(mail, (size_t)n, &set) == 0 && set.item_index == greeting_item &&
                     set.value_length > 0 && set.value[set.value_length - 1] == '\0';
            /* Phase 1 asks whether we would accept; phase 2 is the commit. */
            if (ok && set.phase == 2) {
                ok = dsagent_object_set_text(obj, greeting_item, (const char *)set.value) == 0 &&
                     dsagent_object_publish(obj) == 0;
            }
            dsagent_answer(&session, ok);
        }
    }

    if (stopping)
        dsagent_disconnect(&session);
    dsagent_object_free(obj);
    return 0;
}
