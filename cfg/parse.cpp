// Parser support: the per-file keyword table, the current token, the
// bounded takers of strings and numbers, and the error report that decides
// when a configuration file has failed or the daemon must stop.
#include "cfg/parse.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/hash.h"
#include "lib/lib.h"
#include "lib/log.h"
#include "lib/paths.h"

parse_token current_token;

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

template <class T>
int take_number(T* destination)
{
    if (current_token.code != TOK_NUMBER)
        parse_error("Expect number", scan_line(), true);
    // Keeping the low bits is the documented cut of a wide value.
    *destination = static_cast<T>(scan_value());
    read_token();
    return 0;
}

}  // namespace

int parse_begin(const char* path, const keyword_list* keywords)
{
    // A read cut short by a stop hook leaves its file and table behind.
    parse_abandon();
    if (scan_open(path) != 0)
        return -1;
    ht_clear(keyword_table, KEYWORD_BUCKETS);
    for (const keyword_list* keyword = keywords; keyword->text != nullptr; ++keyword) {
        if (!add_keyword(*keyword)) {
            parse_abandon();
            return -1;
        }
    }
    current_token.code = TOK_EOF;
    current_token.text[0] = '\0';
    file_name = path;
    status = 0;
    error_count = 0;
    return 0;
}

void parse_end()
{
    release_keywords();
    scan_close();
}

void parse_abandon()
{
    release_keywords();
    scan_close();
}

int read_token()
{
    current_token.code = next_token(current_token.text);
    return current_token.code;
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

int expect_string(char* destination, std::size_t capacity)
{
    int code = current_token.code;
    if (code != TOK_STRING && code != TOK_IDENT && code != TOK_DASHWORD) {
        parse_error("Expect string", scan_line(), false);
        read_token();
        return -1;
    }
    std::size_t length = std::strlen(current_token.text);
    std::size_t kept = length < capacity ? length : capacity - 1;
    std::memcpy(destination, current_token.text, kept);
    destination[kept] = '\0';
    if (kept < length) {
        std::string message = format_message("\"%s\" range 1-%d characters\n", current_token.text,
                                             static_cast<int>(capacity - 1));
        parse_error(message.c_str(), scan_line(), false);
    }
    read_token();
    return 0;
}

int expect_number(std::int8_t* destination)
{
    return take_number(destination);
}

int expect_number(std::int16_t* destination)
{
    return take_number(destination);
}

int expect_number(std::int32_t* destination)
{
    return take_number(destination);
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

void parse_unknown_statement(int line)
{
    std::string message = format_message("keyword \"%s\" not found", current_token.text);
    parse_error(message.c_str(), line, false);
    read_token();
}
