// The SMUX peers file: which identity and password a named sub-agent opens
// its association with.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "snmp/peers.h"

#include "snmp/mib.h"

namespace {

struct peer_line {
    std::string name, identity, password, priority;
    int fields = 0;
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Splits one line into at most four fields; a field may be double-quoted
// (no escapes inside), which is how an empty password is written. False for
// an unterminated quote, text glued to a closing quote, or a fifth field.
bool split(const char* p, peer_line* out)
{
    std::string* slots[4] = {&out->name, &out->identity, &out->password, &out->priority};
    for (;;) {
        while (is_blank(*p))
            ++p;
        if (*p == '\0')
            return true;
        if (out->fields == 4)
            return false;
        std::string* field = slots[out->fields++];
        if (*p == '"') {
            const char* close = strchr(p + 1, '"');
            if (close == nullptr)
                return false;
            field->assign(p + 1, close);
            p = close + 1;
            if (*p != '\0' && !is_blank(*p))
                return false;
        } else {
            const char* start = p;
            while (*p != '\0' && !is_blank(*p)) {
                if (*p == '"')
                    return false;
                ++p;
            }
            field->assign(start, p);
        }
    }
}

// A dotted numeric identity, with or without a leading dot.
snmp_oid* parse_identity(const std::string& text)
{
    if (text.empty() || !(text[0] == '.' || (text[0] >= '0' && text[0] <= '9')))
        return nullptr;
    snmp_oid* oid = make_obj_id_from_dot(text.c_str());
    if (oid != nullptr && oid->count < 2) {
        free_oid(oid);
        return nullptr;
    }
    return oid;
}

bool parse_priority(const std::string& text, int* priority)
{
    if (text.empty())
        return true;
    char* end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < -1 || v > INT32_MAX)
        return false;
    *priority = static_cast<int>(v);
    return true;
}

smux_peer entry;

void set_text(char* dst, const std::string& src)
{
    // Callers have checked the length; the copy still cannot run past dst.
    snprintf(dst, SMUX_PEER_TEXT_MAX + 1, "%s", src.c_str());
}

}  // namespace

smux_peer* getsmuxEntrybyname(const char* name, const char* path)
{
    free_oid(entry.identity);
    entry = smux_peer{};
    if (name == nullptr || path == nullptr)
        return nullptr;
    FILE* file = fopen(path, "re");
    if (file == nullptr)
        return nullptr;
    char* line = nullptr;
    size_t cap = 0;
    smux_peer* found = nullptr;
    while (found == nullptr && getline(&line, &cap, file) >= 0) {
        const char* p = line;
        while (is_blank(*p))
            ++p;
        if (*p == '#' || *p == '\0')
            continue;
        peer_line fields;
        int priority = -1;
        if (!split(p, &fields) || fields.fields < 3 || fields.name != name || fields.name.empty())
            continue;
        if (fields.name.size() > SMUX_PEER_TEXT_MAX || fields.password.size() > SMUX_PEER_TEXT_MAX ||
            !parse_priority(fields.priority, &priority))
            continue;
        snmp_oid* identity = parse_identity(fields.identity);
        if (identity == nullptr)
            continue;
        set_text(entry.name, fields.name);
        set_text(entry.password, fields.password);
        entry.identity = identity;
        entry.priority = priority;
        found = &entry;
    }
    free(line);
    fclose(file);
    return found;
}
