// The MIB tree: the built-in nodes, the mosy-style definitions file, and the
// lookups that map a request's name to an object type. Records are kept in
// one map ordered by OID, so that the next object type and the longest
// prefix are found in logarithmic time whatever the size of the MIB.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "snmp/mib.h"
#include "snmp/smux_pdu.h"

namespace {

using key_t = std::vector<uint32_t>;
using key_view = std::span<const uint32_t>;

// Lexicographic order on sub-identifiers, a prefix before its extensions;
// transparent so that a request's OID is looked up without copying it.
struct oid_less {
    using is_transparent = void;
    static bool less(key_view a, key_view b)
    {
        size_t n = a.size() < b.size() ? a.size() : b.size();
        for (size_t i = 0; i < n; ++i)
            if (a[i] != b[i])
                return a[i] < b[i];
        return a.size() < b.size();
    }
    bool operator()(const key_t& a, const key_t& b) const { return less(a, b); }
    bool operator()(const key_t& a, key_view b) const { return less(a, b); }
    bool operator()(key_view a, const key_t& b) const { return less(a, b); }
};

struct node {
    object_type rec{};
    std::string descriptor;
    std::string access;
    key_t key;
    snmp_oid oid{};
    // The nearest record whose OID is a proper prefix of this one.
    node* parent = nullptr;
};

struct mib_tree {
    std::map<key_t, std::unique_ptr<node>, oid_less> by_oid;
    std::unordered_map<std::string, node*> by_name;
};

const object_syntax syntaxes[] = {
    {"INTEGER", SNMP_INTEGER},       {"Integer32", SNMP_INTEGER},     {"OctetString", SNMP_OCTET_STRING},
    {"DisplayString", SNMP_OCTET_STRING}, {"PhysAddress", SNMP_OCTET_STRING}, {"ObjectID", SNMP_OBJECT_ID},
    {"NULL", SNMP_NULL},             {"IpAddress", SNMP_IPADDRESS},   {"NetworkAddress", SNMP_IPADDRESS},
    {"Counter", SNMP_COUNTER},       {"Counter32", SNMP_COUNTER},     {"Gauge", SNMP_GAUGE},
    {"Gauge32", SNMP_GAUGE},         {"Unsigned32", SNMP_GAUGE},      {"TimeTicks", SNMP_TIMETICKS},
    {"Opaque", SNMP_OPAQUE},         {"Aggregate", 0},
};

const object_syntax* find_syntax(std::string_view name)
{
    for (const object_syntax& s : syntaxes)
        if (name == s.name)
            return &s;
    return nullptr;
}

// One definition, before it joins the tree.
struct definition {
    std::string name;
    key_t oid;
    bool is_type = false;
    const object_syntax* syntax = nullptr;
    std::string access;
};

mib_tree* tree_ptr = nullptr;

node* add_node(mib_tree& t, const definition& d)
{
    auto it = t.by_oid.find(d.oid);
    node* n;
    if (it != t.by_oid.end()) {
        // The same OID again (a repeated line, or a second name for it):
        // one record, upgraded to an object type when a line says so.
        n = it->second.get();
    } else {
        auto fresh = std::make_unique<node>();
        n = fresh.get();
        n->descriptor = d.name;
        n->key = d.oid;
        n->oid.count = static_cast<uint16_t>(n->key.size());
        n->oid.ids = n->key.data();
        n->rec.descriptor = n->descriptor.c_str();
        n->rec.oid = &n->oid;
        n->rec.kind = MIB_OBJECT_ID;
        n->rec.access = "";
        t.by_oid.emplace(d.oid, std::move(fresh));
    }
    if (d.is_type) {
        n->access = d.access;
        n->rec.access = n->access.c_str();
        n->rec.kind = MIB_OBJECT_TYPE;
        n->rec.syntax = d.syntax;
    }
    t.by_name[d.name] = n;
    return n;
}

bool is_prefix(const key_t& prefix, key_view name)
{
    return prefix.size() <= name.size() && std::equal(prefix.begin(), prefix.end(), name.begin());
}

// Re-derives next and parent for every record after a load: one pass each
// way over the ordered map.
void relink(mib_tree& t)
{
    object_type* following = nullptr;
    for (auto it = t.by_oid.rbegin(); it != t.by_oid.rend(); ++it) {
        node* n = it->second.get();
        n->rec.next = following;
        if (n->rec.kind == MIB_OBJECT_TYPE)
            following = &n->rec;
    }
    std::vector<node*> stack;
    for (auto& [key, owned] : t.by_oid) {
        node* n = owned.get();
        while (!stack.empty() && !is_prefix(stack.back()->key, n->key))
            stack.pop_back();
        n->parent = stack.empty() ? nullptr : stack.back();
        stack.push_back(n);
    }
}

void add_builtins(mib_tree& t)
{
    struct builtin {
        const char* name;
        key_t oid;
        const char* syntax;
        const char* access;
    };
    const builtin list[] = {
        {"iso", {1}, nullptr, nullptr},
        {"org", {1, 3}, nullptr, nullptr},
        {"dod", {1, 3, 6}, nullptr, nullptr},
        {"internet", {1, 3, 6, 1}, nullptr, nullptr},
        {"directory", {1, 3, 6, 1, 1}, nullptr, nullptr},
        {"mgmt", {1, 3, 6, 1, 2}, nullptr, nullptr},
        {"mib-2", {1, 3, 6, 1, 2, 1}, nullptr, nullptr},
        {"system", {1, 3, 6, 1, 2, 1, 1}, nullptr, nullptr},
        {"sysDescr", {1, 3, 6, 1, 2, 1, 1, 1}, "DisplayString", "read-only"},
        {"sysObjectID", {1, 3, 6, 1, 2, 1, 1, 2}, "ObjectID", "read-only"},
        {"sysUpTime", {1, 3, 6, 1, 2, 1, 1, 3}, "TimeTicks", "read-only"},
        {"sysContact", {1, 3, 6, 1, 2, 1, 1, 4}, "DisplayString", "read-write"},
        {"sysName", {1, 3, 6, 1, 2, 1, 1, 5}, "DisplayString", "read-write"},
        {"sysLocation", {1, 3, 6, 1, 2, 1, 1, 6}, "DisplayString", "read-write"},
        {"sysServices", {1, 3, 6, 1, 2, 1, 1, 7}, "INTEGER", "read-only"},
        {"experimental", {1, 3, 6, 1, 3}, nullptr, nullptr},
        {"private", {1, 3, 6, 1, 4}, nullptr, nullptr},
        {"enterprises", {1, 3, 6, 1, 4, 1}, nullptr, nullptr},
    };
    for (const builtin& b : list) {
        definition d;
        d.name = b.name;
        d.oid = b.oid;
        d.is_type = b.syntax != nullptr;
        d.syntax = b.syntax ? find_syntax(b.syntax) : nullptr;
        d.access = b.access ? b.access : "";
        add_node(t, d);
    }
    relink(t);
}

mib_tree& tree()
{
    if (tree_ptr == nullptr) {
        tree_ptr = new mib_tree;
        add_builtins(*tree_ptr);
    }
    return *tree_ptr;
}

// ---- the definitions file

struct loader {
    const char* label;
    int line = 0;
    std::string error;
    std::unordered_map<std::string, key_t> staged;
    std::vector<definition> defs;

    bool fail(const std::string& why)
    {
        error = std::string(label) + ":" + std::to_string(line) + ": " + why;
        return false;
    }
};

bool valid_name(std::string_view name)
{
    if (name.empty() || !((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= 'A' && name[0] <= 'Z')))
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    return true;
}

// ".N.N..." after the parent: at least one number for a named parent.
bool parse_numbers(std::string_view text, key_t* out)
{
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '.')
            return false;
        ++i;
        if (i == text.size() || text[i] < '0' || text[i] > '9')
            return false;
        uint64_t v = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            v = v * 10 + static_cast<uint64_t>(text[i] - '0');
            if (v > UINT32_MAX)
                return false;
            ++i;
        }
        out->push_back(static_cast<uint32_t>(v));
        if (out->size() > static_cast<size_t>(SNMP_MAX_SUBIDS))
            return false;
    }
    return true;
}

bool resolve(loader& ld, std::string_view where, key_t* oid)
{
    oid->clear();
    if (where[0] == '.' || (where[0] >= '0' && where[0] <= '9')) {
        // Built by appending: gcc 12 warns (-Wrestrict, a false positive) on
        // "literal" + std::string at -O3.
        std::string dotted;
        if (where[0] != '.')
            dotted += '.';
        dotted += where;
        if (!parse_numbers(dotted, oid) || oid->empty())
            return ld.fail(std::string("bad numeric OID \"").append(where).append("\""));
        return true;
    }
    size_t dot = where.find('.');
    if (dot == std::string_view::npos)
        return ld.fail(std::string("\"").append(where).append("\" has no sub-identifier after its parent"));
    std::string parent(where.substr(0, dot));
    if (auto s = ld.staged.find(parent); s != ld.staged.end()) {
        *oid = s->second;
    } else if (auto g = tree().by_name.find(parent); g != tree().by_name.end()) {
        *oid = g->second->key;
    } else {
        return ld.fail("unknown parent \"" + parent + "\"");
    }
    if (!parse_numbers(where.substr(dot), oid))
        return ld.fail("bad sub-identifiers in \"" + std::string(where) + "\"");
    return true;
}

bool parse_line(loader& ld, std::string_view text)
{
    // "--" starts a comment to the end of the line.
    if (size_t c = text.find("--"); c != std::string_view::npos)
        text = text.substr(0, c);
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r'))
            ++i;
        size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != '\r')
            ++i;
        if (i > start)
            words.push_back(text.substr(start, i - start));
    }
    if (words.empty() || words[0][0] == '%')
        return true;
    if (words.size() != 2 && words.size() != 5)
        return ld.fail("expected NAME PARENT.N or NAME PARENT.N SYNTAX ACCESS STATUS, found " +
                       std::to_string(words.size()) + " fields");
    definition d;
    d.name = std::string(words[0]);
    if (!valid_name(d.name))
        return ld.fail("bad name \"" + d.name + "\"");
    if (!resolve(ld, words[1], &d.oid))
        return false;
    if (words.size() == 5) {
        d.is_type = true;
        d.syntax = find_syntax(words[2]);  // unknown: an object type without syntax
        d.access = std::string(words[3]);
    }
    const key_t* before = nullptr;
    if (auto s = ld.staged.find(d.name); s != ld.staged.end())
        before = &s->second;
    else if (auto g = tree().by_name.find(d.name); g != tree().by_name.end())
        before = &g->second->key;
    if (before != nullptr && *before != d.oid)
        return ld.fail("\"" + d.name + "\" defined again with another OID");
    ld.staged[d.name] = d.oid;
    ld.defs.push_back(std::move(d));
    return true;
}

}  // namespace

int readobjects_from_buffer(const char* text, size_t len, const char* label)
{
    loader ld;
    ld.label = label ? label : "(buffer)";
    std::string_view all(text ? text : "", text ? len : 0);
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find('\n', pos);
        if (end == std::string_view::npos)
            end = all.size();
        ++ld.line;
        std::string_view line = all.substr(pos, end - pos);
        if (line.find('\0') != std::string_view::npos) {
            ld.fail("NUL byte in line");
        } else if (parse_line(ld, line)) {
            pos = end + 1;
            continue;
        }
        snprintf(smux_info, sizeof smux_info, "%s", ld.error.c_str());
        return -1;
    }
    // Nothing joins the tree until the whole file has been read, so a bad
    // line leaves the tree as it was.
    mib_tree& t = tree();
    for (const definition& d : ld.defs)
        add_node(t, d);
    relink(t);
    return 0;
}

int readobjects(const char* path)
{
    if (path == nullptr)
        return -1;
    FILE* file = fopen(path, "re");
    if (file == nullptr) {
        snprintf(smux_info, sizeof smux_info, "%s: %s", path, strerror(errno));
        return -1;
    }
    std::string text;
    char chunk[8192];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, n);
    bool bad = ferror(file) != 0;
    fclose(file);
    if (bad) {
        snprintf(smux_info, sizeof smux_info, "%s: read error", path);
        return -1;
    }
    return readobjects_from_buffer(text.data(), text.size(), path);
}

void mib_reset(void)
{
    delete tree_ptr;
    tree_ptr = nullptr;
}

object_type* text2obj(const char* descriptor)
{
    if (descriptor == nullptr)
        return nullptr;
    mib_tree& t = tree();
    auto it = t.by_name.find(descriptor);
    return it == t.by_name.end() ? nullptr : &it->second->rec;
}

// ---- Text to OID ----

namespace {

// Appends ".N.N..." (or "N.N..." when leading is false) to ids; false on an
// empty component, a non-digit, a value beyond 32 bits or too many parts.
bool append_numbers(const char* p, bool leading_dot, uint32_t* ids, int* count)
{
    if (*p == '\0')
        return true;
    if (leading_dot) {
        if (*p != '.')
            return false;
        ++p;
    }
    for (;;) {
        if (*p < '0' || *p > '9')
            return false;
        uint64_t v = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + static_cast<uint64_t>(*p - '0');
            if (v > UINT32_MAX)
                return false;
            ++p;
        }
        if (*count >= SNMP_MAX_SUBIDS)
            return false;
        ids[(*count)++] = static_cast<uint32_t>(v);
        if (*p == '\0')
            return true;
        if (*p != '.')
            return false;
        ++p;
    }
}

snmp_oid* parse_text(const char* text)
{
    if (text == nullptr || *text == '\0')
        return nullptr;
    uint32_t ids[SNMP_MAX_SUBIDS];
    int count = 0;
    if (*text == '.' || (*text >= '0' && *text <= '9')) {
        if (!append_numbers(*text == '.' ? text + 1 : text, false, ids, &count) || count == 0)
            return nullptr;
    } else {
        const char* dot = strchr(text, '.');
        size_t len = dot ? static_cast<size_t>(dot - text) : strlen(text);
        char name[256];
        if (len >= sizeof name)
            return nullptr;
        memcpy(name, text, len);
        name[len] = '\0';
        const object_type* type = text2obj(name);
        if (type == nullptr)
            return nullptr;
        count = type->oid->count;
        memcpy(ids, type->oid->ids, static_cast<size_t>(count) * sizeof ids[0]);
        if (dot != nullptr && (dot[1] == '\0' || !append_numbers(dot, true, ids, &count)))
            return nullptr;
    }
    snmp_oid* oid = oid_extend(nullptr, count);
    if (oid != nullptr)
        memcpy(oid->ids, ids, static_cast<size_t>(count) * sizeof ids[0]);
    return oid;
}

}  // namespace

snmp_oid* text2oid(const char* text) { return parse_text(text); }

snmp_oid* make_obj_id_from_dot(const char* text) { return parse_text(text); }

namespace {

object_instance* make_inst(object_type* type, const snmp_oid* name)
{
    snmp_oid* copy = oid_cpy(name);
    if (copy == nullptr)
        return nullptr;
    auto* inst = new (std::nothrow) object_instance{type, copy};
    if (inst == nullptr)
        free_oid(copy);
    return inst;
}

}  // namespace

object_instance* name2inst(const snmp_oid* name)
{
    if (name == nullptr)
        return nullptr;
    mib_tree& t = tree();
    key_view want(name->ids, name->count);
    // Every record that prefixes the name sorts at or before it, and the
    // greatest record at or before it has all of them as prefixes; so the
    // answer is on that record's parent chain.
    auto it = t.by_oid.upper_bound(want);
    if (it == t.by_oid.begin())
        return nullptr;
    node* n = std::prev(it)->second.get();
    while (n != nullptr && !is_prefix(n->key, want))
        n = n->parent;
    return n ? make_inst(&n->rec, name) : nullptr;
}

object_instance* next2inst(const snmp_oid* name)
{
    if (name == nullptr)
        return nullptr;
    mib_tree& t = tree();
    auto it = t.by_oid.upper_bound(key_view(name->ids, name->count));
    if (it == t.by_oid.end())
        return nullptr;
    object_type* rec = &it->second->rec;
    return type2inst(rec->kind == MIB_OBJECT_TYPE ? rec : rec->next);
}

object_instance* type2inst(object_type* type)
{
    return type ? make_inst(type, type->oid) : nullptr;
}

void free_inst(object_instance* inst)
{
    if (inst == nullptr)
        return;
    free_oid(inst->name);
    delete inst;
}

// ---- value encoding by syntax

namespace {

// The longest OCTET STRING value o_string takes.
size_t octets_limit = SMUX_MAX_OCTETS;

int syntax_tag(const object_instance* inst)
{
    if (inst == nullptr || inst->type == nullptr || inst->type->syntax == nullptr)
        return -1;
    return inst->type->syntax->tag;
}

}  // namespace

size_t mib_set_octets_limit(size_t limit)
{
    size_t kept = octets_limit;
    octets_limit = limit > 0 ? limit : SMUX_MAX_OCTETS;
    return kept;
}

int o_longword(object_instance* inst, snmp_varbind* vb, int64_t value)
{
    int tag = syntax_tag(inst);
    if (vb == nullptr || !(tag == SNMP_INTEGER || tag == SNMP_COUNTER || tag == SNMP_GAUGE || tag == SNMP_TIMETICKS))
        return SNMP_GEN_ERR;
    snmp_value_clear(&vb->value);
    vb->value.syntax = tag;
    vb->value.uval = static_cast<uint32_t>(value);
    vb->value.sval = static_cast<int32_t>(vb->value.uval);
    return SNMP_NO_ERROR;
}

int o_string(object_instance* inst, snmp_varbind* vb, const void* bytes, size_t len)
{
    int tag = syntax_tag(inst);
    if (vb == nullptr || (bytes == nullptr && len != 0))
        return SNMP_GEN_ERR;
    if (tag == SNMP_OCTET_STRING) {
        // A longer string than the protocol carries whole would reach the
        // client mangled (net-snmp's SMUX master hands it on as stale
        // buffer contents).
        if (len > octets_limit)
            return SNMP_TOO_BIG;
    } else if (tag == SNMP_IPADDRESS) {
        if (len != 4)
            return SNMP_GEN_ERR;
    } else {
        return SNMP_GEN_ERR;
    }
    snmp_octets* octets = make_octetstring(bytes, len);
    if (octets == nullptr)
        return SNMP_GEN_ERR;
    snmp_value_clear(&vb->value);
    vb->value.syntax = tag;
    vb->value.octets = octets;
    return SNMP_NO_ERROR;
}

int o_specific(object_instance* inst, snmp_varbind* vb, const snmp_oid* oid)
{
    if (vb == nullptr || oid == nullptr || syntax_tag(inst) != SNMP_OBJECT_ID)
        return SNMP_GEN_ERR;
    // An OID that BER cannot carry would make the whole response unsendable.
    if (oid->count < 2 || oid->ids[0] > 2 || (oid->ids[0] < 2 && oid->ids[1] >= 40))
        return SNMP_BAD_VALUE;
    snmp_oid* copy = oid_cpy(oid);
    if (copy == nullptr)
        return SNMP_GEN_ERR;
    snmp_value_clear(&vb->value);
    vb->value.syntax = SNMP_OBJECT_ID;
    vb->value.oid = copy;
    return SNMP_NO_ERROR;
}
