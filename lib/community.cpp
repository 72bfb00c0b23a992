// Community string discovery: read the master agent's community file and
// try its communities with getone until one is answered.
#include "lib/community.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A line is read with a limit of 127 characters; longer lines arrive as
// several pieces, each taken as a line of its own.
constexpr int LINE_MAX_CHARS = 127;
constexpr std::size_t WORD_MAX = LINE_MAX_CHARS + 1;

struct candidate {
    char community[WORD_MAX];
    char address[WORD_MAX];
    char privileges[WORD_MAX];  // upper case
    candidate* next;
};

// Copies the next white-space separated word of `*cursor` into `word`
// (empty when the line has no more words) and advances the cursor.
void next_word(const char** cursor, char* word)
{
    const char* p = *cursor;
    while (*p != '\0' && isspace(static_cast<unsigned char>(*p)))
        ++p;
    std::size_t n = 0;
    while (*p != '\0' && !isspace(static_cast<unsigned char>(*p))) {
        if (n + 1 < WORD_MAX)
            word[n++] = *p;
        ++p;
    }
    word[n] = '\0';
    *cursor = p;
}

bool is_local_address(const char* address)
{
    return strcmp(address, "127.0.0.1") == 0 || strcmp(address, "0.0.0.0") == 0;
}

// Asks the local master agent for sysDescr.0 with this community.
bool try_community(const char* community, command_runner runner, int* trials)
{
    std::string command = "getone 127.0.0.1 ";
    command += shell_quote(community);
    command += " 1.3.6.1.2.1.1.1.0";
    // A command that run_command would have to cut is not run at all: a cut
    // line is not the question we meant to ask.
    if (command.size() > COMMAND_LINE_MAX)
        return false;
    char output[COMMUNITY_OUTPUT_MAX];
    output[0] = '\0';
    ++*trials;
    if (runner(command.c_str(), output, sizeof output) != 0)
        return false;
    return getone_answered(output);
}

void free_candidates(candidate* list)
{
    while (list != nullptr) {
        candidate* next = list->next;
        free(list);
        list = next;
    }
}

}  // namespace

std::string shell_quote(const char* text)
{
    std::string quoted = "'";
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\'')
            quoted += "'\\''";
        else
            quoted += *p;
    }
    quoted += '\'';
    return quoted;
}

bool getone_answered(const char* output)
{
    return strstr(output, "\nValue:") != nullptr;
}

char* find_community(const char* path, command_runner runner, int* trials)
{
    int ran = 0;
    if (trials == nullptr)
        trials = &ran;
    *trials = 0;
    // Close-on-exec: the file stays open while getone runs.
    FILE* file = fopen(path, "re");
    if (file == nullptr)
        return nullptr;

    candidate* pending = nullptr;  // newest first
    char* result = nullptr;
    char line[LINE_MAX_CHARS + 1];
    while (result == nullptr && fgets(line, sizeof line, file) != nullptr) {
        if (line[0] == '#')
            continue;
        const char* cursor = line;
        char first[WORD_MAX];
        next_word(&cursor, first);
        if (strcmp(first, "ip") != 0)
            continue;
        auto* c = static_cast<candidate*>(malloc(sizeof(candidate)));
        if (c == nullptr)
            continue;
        next_word(&cursor, c->community);
        next_word(&cursor, c->address);
        next_word(&cursor, c->privileges);
        for (char* p = c->privileges; *p != '\0'; ++p)
            *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));

        if (strcmp(c->privileges, "NONE") == 0) {
            free(c);
        } else if (is_local_address(c->address)) {
            if (try_community(c->community, runner, trials))
                result = strdup(c->community);
            free(c);
        } else {
            c->next = pending;
            pending = c;
        }
    }
    fclose(file);

    for (candidate* c = pending; result == nullptr && c != nullptr; c = c->next) {
        if (try_community(c->community, runner, trials))
            result = strdup(c->community);
    }
    free_candidates(pending);
    return result;
}
