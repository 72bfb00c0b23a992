// The configuration file being read: its keyword table and the error report
// that decides when a file has failed or the daemon must stop (see
// source.h).
#include "cfg/source.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cfg/tokens.h"
#include "lib/hash.h"
#include "lib/lib.h"
#include "lib/log.h"
#include "lib/paths.h"

void* (*parse_alloc)(std::size_t size) = [](std::size_t size) { return std::malloc(size); };

namespace {

constexpr int ERROR_LIMIT = 3;

// A keyword of the current file; the text points into the reader's list.
struct keyword_node {
    const char* text;
    std::int16_t code;
};

queue keyword_table[KEYWORD_BUCKETS];
const char* file_name = "";
int status;
int error_count;
parse_stop_hook stop_hook;

int keyword_compare(const void* key, const void* element)
{
    return std::strcmp(static_cast<const char*>(key), static_cast<const keyword_node*>(element)->text);
}

void release_node(void* node)
{
    std::free(node);
}

void release_keywords()
{
    ht_destroy(keyword_table, release_node, KEYWORD_BUCKETS);
}

// Adds one keyword; false (with its message) when that cannot be done.
bool add_keyword(const keyword_list& keyword)
{
    auto* node = static_cast<keyword_node*>(parse_alloc(sizeof(keyword_node)));
    if (node == nullptr) {
        log_line(stderr, "parse: Can't allocate memory for %s  (SM1104)\n", "keyword node");
        return false;
    }
    node->text = keyword.text;
    node->code = keyword.code;
    if (ht_insert(keyword_table, node, node->text, keyword_compare, KEYWORD_BUCKETS) == nullptr) {
        std::free(node);
        log_line(stderr, "parse: Can't allocate memory for %s  (SM1104)\n", "keyword insert");
        return false;
    }
    return true;
}

}  // namespace

void source_begin(const char* path)
{
    file_name = path;
    status = 0;
    error_count = 0;
}

bool source_load_keywords(const keyword_list* keywords)
{
    ht_clear(keyword_table, KEYWORD_BUCKETS);
    for (const keyword_list* keyword = keywords; keyword->text != nullptr; ++keyword)
        if (!add_keyword(*keyword))
            return false;
    return true;
}

void source_release_keywords()
{
    release_keywords();
}

int keyword_code(const char* text)
{
    const auto* node = static_cast<const keyword_node*>(
        ht_lookup(keyword_table, text, keyword_compare, KEYWORD_BUCKETS));
    return node != nullptr ? node->code : TOK_IDENT;
}

std::string format_message(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length));
        std::vsnprintf(text.data(), text.size() + 1, format, again);
    }
    va_end(again);
    return text;
}

void parse_error(const char* message, int line, bool fatal)
{
    std::string error_line = format_message("%s: %s: line %d: %s  (SMUX4026)\n", dsmux::PROGRAM_NAME, file_name,
                                            line, message);
    status = -1;
    if (fatal)
        parse_fatal("%s", error_line.c_str());
    log_line(stderr, "%s", error_line.c_str());
    if (++error_count >= ERROR_LIMIT)
        parse_fatal("\nToo many errors, exiting...", "");
}

int parse_status()
{
    return status;
}

void parse_fatal(const char* format, const char* arg)
{
    if (stop_hook != nullptr)
        stop_hook(format, arg);
    fatal_error(format, arg);
}

void parse_set_stop_hook(parse_stop_hook hook)
{
    stop_hook = hook;
}
