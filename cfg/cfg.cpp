// The agent configuration reader: `config` and "../../mailcfg" list the
// agents to start, the debug flag and the mail commands that receive trap
// texts. Both files add to the same lists.
#include "cfg/cfg.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cfg/parse.h"
#include "lib/log.h"

queue alarm_Q;

namespace {

// The configured agents, in file order; written by the `agent` statement
// only, emptied by launch_agents through cfg_agent_take.
queue agent_Q = nullptr;

// The agent name field holds 256 bytes, but names longer than this are
// reported and cut.
constexpr std::size_t AGENT_NAME_TAKEN = 80;
constexpr std::size_t ARGUMENT_SIZE = 256;

// ENABLED and DISABLED are reserved: they scan as keywords, so they cannot
// be names or arguments.
const keyword_list config_keywords[] = {
    {"agent", TOK_AGENT},     {"debug", TOK_DEBUG},       {"mail", TOK_MAIL},
    {"ENABLED", TOK_ENABLED}, {"DISABLED", TOK_DISABLED}, {nullptr, 0},
};

struct free_agent {
    void operator()(agent_entry* entry) const { agent_entry_free(entry); }
};
struct free_alarm {
    void operator()(alarm_entry* entry) const { std::free(entry); }
};

int statement_line;

void skip_value()
{
    read_token();
    if (current_token.code == TOK_EQUAL)
        read_token();
}

// Gives up a statement that ran out of memory: reported, and reading
// resumes after the statement's semicolon.
void give_up_statement(std::size_t wanted)
{
    std::string message = format_message("Can't malloc space: %d bytes\n", static_cast<int>(wanted));
    parse_error(message.c_str(), scan_line(), false);
    while (current_token.code != TOK_SEMICOLON && current_token.code != TOK_EOF)
        read_token();
    if (current_token.code == TOK_SEMICOLON)
        read_token();
}

char* copy_text(const char* text)
{
    std::size_t size = std::strlen(text) + 1;
    auto* copy = static_cast<char*>(parse_alloc(size));
    if (copy != nullptr)
        std::memcpy(copy, text, size);
    return copy;
}

// Takes one argument of kind string or number into the next slot. False
// when the token is of another kind (nothing is consumed) or memory ran
// out (*out_of_memory is then set).
bool take_argument(agent_entry* entry, std::size_t* out_of_memory)
{
    char work[ARGUMENT_SIZE];
    int code = current_token.code;
    if (code == TOK_IDENT || code == TOK_STRING || code == TOK_DASHWORD) {
        expect_string(work, sizeof work);
    } else if (code == TOK_NUMBER) {
        std::int32_t value = 0;
        expect_number(&value);
        std::snprintf(work, sizeof work, "%d", static_cast<int>(value));
    } else {
        return false;
    }
    char* copy = copy_text(work);
    if (copy == nullptr) {
        *out_of_memory = std::strlen(work) + 1;
        return false;
    }
    entry->args[entry->arg_count++] = copy;
    return true;
}

void read_agent()
{
    skip_value();
    std::unique_ptr<agent_entry, free_agent> entry(agent_entry_new());
    if (entry == nullptr) {
        give_up_statement(sizeof(agent_entry));
        return;
    }
    expect_string(entry->name, AGENT_NAME_TAKEN);
    std::size_t out_of_memory = 0;
    while (current_token.code != TOK_SEMICOLON && entry->arg_count < AGENT_ARGS_MAX &&
           take_argument(entry.get(), &out_of_memory)) {
    }
    if (out_of_memory != 0) {
        give_up_statement(out_of_memory);
        return;
    }
    // Surplus arguments: strings vanish, anything else is reported.
    while (current_token.code != TOK_SEMICOLON) {
        char work[AGENT_NAME_TAKEN];
        expect_string(work, sizeof work);
    }
    read_token();
    if (q_add(&agent_Q, entry.get()) == nullptr) {
        parse_error("Can't insert on agent_Q\n", scan_line(), false);
        return;
    }
    entry.release();  // agent_Q owns it now
}

void read_debug()
{
    skip_value();
    // The switch itself lives beside the log; the last statement read sets it.
    std::int32_t level = log_debug_level();
    expect_number(&level);
    log_debug_set(level);
    if (current_token.code != TOK_SEMICOLON) {
        std::string message = format_message("Found \"%s\" Missing ';'", current_token.text);
        parse_error(message.c_str(), statement_line, false);
    }
    read_token();
}

void read_mail()
{
    skip_value();
    std::unique_ptr<alarm_entry, free_alarm> entry(static_cast<alarm_entry*>(parse_alloc(sizeof(alarm_entry))));
    if (entry == nullptr) {
        give_up_statement(sizeof(alarm_entry));
        return;
    }
    std::memset(entry.get(), 0, sizeof(alarm_entry));
    entry->kind = TOK_MAIL;
    expect_string(entry->command, ALARM_COMMAND_MAX);
    if (q_add(&alarm_Q, entry.get()) == nullptr) {
        parse_error("Can't insert on alarm_Q\n", scan_line(), false);
        return;
    }
    entry.release();  // alarm_Q owns it now
    if (current_token.code != TOK_SEMICOLON) {
        std::string message = format_message("Found \"%s\" Missing ';'", current_token.text);
        parse_error(message.c_str(), statement_line, false);
    }
    read_token();
}

void read_statement()
{
    statement_line = scan_line();
    switch (current_token.code) {
    case TOK_DEBUG:
        read_debug();
        break;
    case TOK_AGENT:
        read_agent();
        break;
    case TOK_MAIL:
        read_mail();
        break;
    default:
        parse_unknown_statement(statement_line);
    }
}

}  // namespace

agent_entry* agent_entry_new()
{
    auto* entry = static_cast<agent_entry*>(parse_alloc(sizeof(agent_entry)));
    if (entry == nullptr)
        return nullptr;
    std::memset(entry, 0, sizeof *entry);
    entry->mbox = -1;
    return entry;
}

void agent_entry_free(agent_entry* entry)
{
    if (entry == nullptr)
        return;
    for (char* arg : entry->args)
        std::free(arg);
    std::free(entry);
}

int read_config_file(const char* path)
{
    if (parse_begin(path, config_keywords) != 0)
        return -1;
    read_token();
    while (current_token.code != TOK_EOF)
        read_statement();
    int status = parse_status();
    parse_end();
    return status;
}

namespace {

void release_agent(void* entry) { agent_entry_free(static_cast<agent_entry*>(entry)); }

void release_plain(void* entry) { std::free(entry); }

}  // namespace

std::vector<const agent_entry*> cfg_agents()
{
    std::vector<const agent_entry*> found;
    for (void* element : q_elements(&agent_Q))
        found.push_back(static_cast<const agent_entry*>(element));
    return found;
}

agent_entry* cfg_agent_take() { return static_cast<agent_entry*>(q_take(&agent_Q)); }

cfg_mark cfg_mark_now() { return {q_elements(&agent_Q).size(), q_elements(&alarm_Q).size()}; }

void cfg_rollback(const cfg_mark& mark)
{
    q_drop_after(&agent_Q, mark.agents, release_agent);
    q_drop_after(&alarm_Q, mark.alarms, release_plain);
}

void cfg_agent_add(agent_entry* entry) { (void)q_add(&agent_Q, entry); }

void cfg_reset()
{
    cfg_rollback(cfg_mark{0, 0});
}
