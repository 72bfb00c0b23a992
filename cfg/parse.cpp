// Parser support: opening a file with its keyword list, the current token,
// and the bounded takers of strings and numbers.
#include "cfg/parse.h"

#include <cstring>
#include <string>

parse_token current_token;

namespace {

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
    if (!source_load_keywords(keywords)) {
        parse_abandon();
        return -1;
    }
    current_token.code = TOK_EOF;
    current_token.text[0] = '\0';
    source_begin(path);
    return 0;
}

void parse_end()
{
    source_release_keywords();
    scan_close();
}

void parse_abandon()
{
    source_release_keywords();
    scan_close();
}

int read_token()
{
    current_token.code = next_token(current_token.text);
    return current_token.code;
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

void parse_unknown_statement(int line)
{
    std::string message = format_message("keyword \"%s\" not found", current_token.text);
    parse_error(message.c_str(), line, false);
    read_token();
}
