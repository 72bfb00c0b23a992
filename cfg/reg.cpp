// The registry map reader: `registry.mib` names the data registry directory
// and binds each MIB object to the object file that holds its value.
#include "cfg/reg.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "cfg/parse.h"
#include "lib/paths.h"
#include "store/obj.h"

std::int8_t table_index_count;
queue registry_Q;
int registry_count;

namespace {

// ITEM, ENABLED and DISABLED are reserved: they scan as keywords so that no
// statement can take them as names.
const keyword_list registry_keywords[] = {
    {"registry", TOK_REGISTRY}, {"table_index", TOK_TABLE_INDEX}, {"ITEM", TOK_ITEM},
    {"SCALAR", TOK_SCALAR},     {"TABLE", TOK_TABLE},             {"ENABLED", TOK_ENABLED},
    {"DISABLED", TOK_DISABLED}, {nullptr, 0},
};

struct free_entry {
    void operator()(reg_entry* entry) const { std::free(entry); }
};
using entry_ptr = std::unique_ptr<reg_entry, free_entry>;

int statement_line;
// Reading a fragment of the map: the directory is registry.mib's.
bool reading_fragment = false;

[[noreturn]] void entry_fatal(const char* what)
{
    std::string message = format_message("%s: %s", dsmux::PROGRAM_NAME, what);
    parse_error(message.c_str(), statement_line, true);
    std::abort();  // parse_error does not return from a fatal error
}

void skip_value()
{
    read_token();
    if (current_token.code == TOK_EQUAL)
        read_token();
}

entry_ptr new_entry()
{
    auto* entry = static_cast<reg_entry*>(parse_alloc(sizeof(reg_entry)));
    if (entry != nullptr) {
        std::memset(entry, 0, sizeof *entry);
        entry->item_pos = -1;
    }
    return entry_ptr(entry);
}

// Takes the sub-path. One that does not fit the entry's field is refused,
// not cut: a cut name would point at some other object file.
bool take_subpath(reg_entry* entry)
{
    if (std::strlen(current_token.text) < REG_SUBPATH_MAX)
        return expect_string(entry->subpath, REG_SUBPATH_MAX) == 0;
    std::string message = format_message("\"%s\" range 1-%d characters\n", current_token.text,
                                         static_cast<int>(REG_SUBPATH_MAX - 1));
    parse_error(message.c_str(), scan_line(), false);
    read_token();
    return false;
}

// An entry: sub-path string, MIB name string, SCALAR or TABLE.
void read_entry()
{
    if (obj_registry_dir()[0] == '\0')
        entry_fatal("Data registry path required");
    entry_ptr entry = new_entry();
    if (entry == nullptr) {
        // Out of memory: report it, fail the read and step over the whole
        // entry, so that neither a token is read twice nor an entry lost
        // without a word.
        std::string message = format_message("Can't malloc space: %d bytes\n", static_cast<int>(sizeof(reg_entry)));
        parse_error(message.c_str(), statement_line, false);
        read_token();
        if (current_token.code == TOK_STRING)
            read_token();
        if (current_token.code == TOK_SCALAR || current_token.code == TOK_TABLE)
            read_token();
        return;
    }
    bool subpath_taken = take_subpath(entry.get());
    bool named = false;
    if (current_token.code == TOK_STRING) {
        expect_string(entry->name, REG_NAME_MAX);
        named = true;
    }
    bool typed = false;
    if (current_token.code == TOK_SCALAR || current_token.code == TOK_TABLE) {
        bool table = current_token.code == TOK_TABLE;
        entry->table_flag = table ? TABLE : SCALAR;
        entry->index_count = table ? table_index_count : 0;
        read_token();
        typed = true;
    }
    if (!named)
        entry_fatal("Mib entry name required");
    if (!typed)
        entry_fatal("Entry type required (SCALAR/TABLE)");
    if (!subpath_taken)
        return;  // already reported; the entry is dropped
    if (q_add(&registry_Q, entry.get()) == nullptr) {
        std::string message = format_message("%s: Can't insert on queue: %s", dsmux::PROGRAM_NAME, entry->name);
        parse_error(message.c_str(), statement_line, true);
    }
    entry.release();  // registry_Q owns it now
    ++registry_count;
}

void read_statement()
{
    statement_line = scan_line();
    switch (current_token.code) {
    case TOK_REGISTRY: {
        skip_value();
        // A value that is no string leaves the directory as it was.
        char dir[REGISTRY_DIR_MAX];
        if (expect_string(dir, REGISTRY_DIR_MAX) != 0)
            break;
        // There is one registry directory: a fragment naming another one
        // would move every object of the main map there.
        if (!reading_fragment)
            obj_set_registry_dir(dir);
        else if (std::strcmp(dir, obj_registry_dir()) != 0)
            parse_error("The data registry directory is the one registry.mib names", statement_line, false);
        break;
    }
    case TOK_TABLE_INDEX:
        skip_value();
        expect_number(&table_index_count);
        break;
    case TOK_STRING:
        read_entry();
        break;
    default:
        parse_unknown_statement(statement_line);
    }
}

}  // namespace

namespace {

int read_map(const char* path, bool fragment)
{
    if (parse_begin(path, registry_keywords) != 0)
        return -1;
    reading_fragment = fragment;
    // A fragment says its own table_index: its tables must not take the
    // count the file before it happened to end with.
    if (fragment)
        table_index_count = 0;
    read_token();
    while (current_token.code != TOK_EOF)
        read_statement();
    int status = parse_status();
    parse_end();
    reading_fragment = false;
    return status;
}

}  // namespace

int read_registry_file(const char* path)
{
    obj_set_registry_dir(nullptr);
    return read_map(path, false);
}

int read_registry_fragment(const char* path)
{
    return read_map(path, true);
}
