/* agent-table: a table agent in plain C. It keeps a small job queue and
 * publishes it as the table jobqTable: one object file per job,
 * "jobq/jobqEntry.<job>", holding the job's number, name and progress and a
 * priority (0 to 9) that a manager may set. Every second each job makes
 * progress; a job that reaches 100 is done and its row is removed.
 *
 * The daemon serves every row file it finds, whoever wrote it and when, so
 * the agent first removes the rows an earlier run of it left behind.
 *
 * usage: agent-table REGISTRY_DIR [JOB_NAME...] */
/* sigaction, mkdir and readdir under a strict -std=c11 as well */
#define _POSIX_C_SOURCE 200809L

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dsagent.h"

enum { MAX_JOBS = 16, NAME_SIZE = 32 };

struct job {
    int32_t number; /* the row's index */
    char row[DSAGENT_OBJECT_NAME_MAX + 1];
    dsagent_object *obj;
    int progress_item, priority_item;
    uint32_t progress;
};

static volatile sig_atomic_t stopping = 0;

static void on_term(int sig)
{
    (void)sig;
    stopping = 1;
}

/* Removes every row file of the table that is lying in REGISTRY/jobq. */
static void remove_old_rows(const char *registry)
{
    char dir[256];
    snprintf(dir, sizeof dir, "%s/jobq", registry);
    DIR *d = opendir(dir);
    if (d == NULL)
        return;
    struct dirent *entry;
    while ((entry = readdir(d)) != NULL) {
        if (strncmp(entry->d_name, "jobqEntry.", 10) != 0)
            continue;
        char path[512];
        snprintf(path, sizeof path, "%s/%s", dir, entry->d_name);
        unlink(path);
    }
    closedir(d);
}

/* A new row for job `number`: its object, items and first values. */
static int add_job(struct job *job, const char *registry, int32_t mbox, int32_t number, const char *name)
{
    job->number = number;
    job->progress = 0;
    if (dsagent_row_name(job->row, sizeof job->row, "jobq/jobqEntry", &number, 1) < 0)
        return -1;
    job->obj = dsagent_object_new(registry, job->row, mbox);
    if (job->obj == NULL)
        return -1;
    dsagent_object_set_index(job->obj, &number, 1);
    int index_item = dsagent_object_add_item(job->obj, "jobqIndex", DSAGENT_SIGNED, DSAGENT_RD, 0);
    int name_item = dsagent_object_add_item(job->obj, "jobqName", DSAGENT_STRING, DSAGENT_RD, NAME_SIZE);
    job->progress_item = dsagent_object_add_item(job->obj, "jobqProgress", DSAGENT_UNSIGNED, DSAGENT_RD, 0);
    job->priority_item = dsagent_object_add_item(job->obj, "jobqPriority", DSAGENT_SIGNED, DSAGENT_RDWR, 0);
    if (dsagent_object_set_signed(job->obj, index_item, number) != 0 ||
        dsagent_object_set_text(job->obj, name_item, name) != 0 ||
        dsagent_object_set_signed(job->obj, job->priority_item, 5) != 0)
        return -1;
    return dsagent_object_publish(job->obj);
}

/* The job whose row the set names, or null. */
static struct job *job_of(struct job *jobs, int count, const char *row)
{
    for (int i = 0; i < count; ++i)
        if (jobs[i].obj != NULL && strcmp(jobs[i].row, row) == 0)
            return &jobs[i];
    return NULL;
}

/* Phase 1 checks the value, phase 2 applies it; only the priority is
 * writable, and only 0 to 9. The daemon has checked that the value is an
 * INTEGER that fits the item: it arrives as 4 bytes in host byte order. */
static int take_set(struct job *jobs, int count, const struct dsagent_set *set)
{
    struct job *job = job_of(jobs, count, set->object_name);
    if (job == NULL || set->item_index != job->priority_item || set->value_length != 4)
        return 0;
    int32_t priority;
    memcpy(&priority, set->value, 4);
    if (priority < 0 || priority > 9)
        return 0;
    if (set->phase == 2)
        return dsagent_object_set_signed(job->obj, job->priority_item, priority) == 0 &&
               dsagent_object_publish(job->obj) == 0;
    return 1;
}

/* A second has passed: every job makes progress; a job done leaves. */
static void advance(struct job *jobs, int count, const char *registry)
{
    for (int i = 0; i < count; ++i) {
        struct job *job = &jobs[i];
        if (job->obj == NULL)
            continue;
        if (++job->progress < 100) {
            dsagent_object_set_unsigned(job->obj, job->progress_item, job->progress);
            dsagent_object_publish(job->obj);
            continue;
        }
        char path[512];
        snprintf(path, sizeof path, "%s/%s", registry, job->row);
        unlink(path);
        dsagent_object_free(job->obj);
        job->obj = NULL;
    }
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s REGISTRY_DIR [JOB_NAME...]\n", argv[0]);
        return 2;
    }
    const char *registry = argv[1];
    const char *default_jobs[] = {"backup", "report"};
    const char **names = argc > 2 ? (const char **)argv + 2 : default_jobs;
    int count = argc > 2 ? argc - 2 : 2;
    if (count > MAX_JOBS)
        count = MAX_JOBS;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_term;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    struct dsagent_session session;
    if (dsagent_connect(&session, NULL, "agent-table", 10000) != 0) {
        fprintf(stderr, "agent-table: cannot connect to the daemon: %s\n", strerror(errno));
        return 1;
    }
    char dir[256];
    snprintf(dir, sizeof dir, "%s/jobq", registry);
    if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "agent-table: cannot create %s: %s\n", dir, strerror(errno));
        dsagent_disconnect(&session);
        return 1;
    }
    remove_old_rows(registry);
    struct job jobs[MAX_JOBS];
    memset(jobs, 0, sizeof jobs);
    for (int i = 0; i < count; ++i)
        if (add_job(&jobs[i], registry, session.mbox, i + 1, names[i]) != 0)
            fprintf(stderr, "agent-table: cannot publish job %d: %s\n", i + 1, strerror(errno));

    unsigned char mail[DSAGENT_MAIL_BUF];
    while (!stopping) {
        int n = dsagent_wait(&session, mail, sizeof mail, 1000);
        if (n < 0)
            break;
        if (n == 0) {
            advance(jobs, count, registry);
            continue;
        }
        int command = dsagent_mail_command(mail, (size_t)n);
        if (command == DSAGENT_MAIL_STOP || command == DSAGENT_MAIL_STOP_ALL)
            break;
        struct dsagent_set set;
        if (command == DSAGENT_MAIL_SET && dsagent_parse_set(mail, (size_t)n, &set) == 0)
            dsagent_answer(&session, take_set(jobs, count, &set));
    }

    if (stopping)
        dsagent_disconnect(&session);
    for (int i = 0; i < count; ++i)
        dsagent_object_free(jobs[i].obj);
    return 0;
}
