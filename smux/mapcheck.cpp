// Start-up warnings about registry map entries that are served as nothing.
#include "smux/mapcheck.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cfg/reg.h"
#include "lib/dirsearch.h"
#include "lib/log.h"
#include "lib/paths.h"
#include "lib/queue.h"
#include "smux/subtrees.h"
#include "snmp/mib.h"
#include "snmp/types.h"
#include "store/obj.h"
#include "store/row_search.h"

using dsmux::PROGRAM_NAME;

namespace {

bool has_prefix(const snmp_oid* oid, const snmp_oid* prefix)
{
    if (oid == nullptr || prefix == nullptr || oid->count < prefix->count)
        return false;
    for (int i = 0; i < prefix->count; ++i)
        if (oid->ids[i] != prefix->ids[i])
            return false;
    return true;
}

// Whether the OID lies under one of the subtrees the daemon registers. The
// subtree rows are looked up here by name: at start-up the later rows get
// their OIDs only after the first row's initialisation has run.
bool under_served_subtree(const snmp_oid* oid)
{
    for (const subtree* row = subtrees; row->name != nullptr; ++row) {
        const object_type* root = text2obj(row->name);
        if (root != nullptr && has_prefix(oid, root->oid))
            return true;
    }
    return false;
}

// A table or its entry, not a column: it carries no value of its own
// (no syntax, or Aggregate) or other objects lie below it.
bool holds_no_value(const object_type* type)
{
    if (type->syntax == nullptr || type->syntax->tag == 0)
        return true;
    return type->next != nullptr && type->next->oid != nullptr && type->next->oid->count > type->oid->count &&
           has_prefix(type->next->oid, type->oid);
}

// "vdnStdEquipment, vdnSystemInfo, ..." from the subtree table.
std::string served_subtrees()
{
    std::string names;
    for (const subtree* row = subtrees; row->name != nullptr; ++row)
        names += (names.empty() ? "" : ", ") + std::string(row->name);
    return names;
}

}  // namespace

int registry_warnings()
{
    char defs[64];
    std::snprintf(defs, sizeof defs, "%s.defs", PROGRAM_NAME);
    int warnings = 0;
    qnode* cursor = registry_Q;
    while (const auto* entry = static_cast<const reg_entry*>(q_walk(&registry_Q, &cursor))) {
        const object_type* type = text2obj(entry->name);
        if (type == nullptr || type->oid == nullptr) {
            log_line_at(LOG_PRI_WARNING, stderr,
                        "%s: Registry entry %s is not in %s: it is served as nothing  (SMUX4040)\n", PROGRAM_NAME,
                        entry->name, defs);
        } else if (!under_served_subtree(type->oid)) {
            log_line_at(LOG_PRI_WARNING, stderr,
                        "%s: Registry entry %s lies outside the served subtrees (%s): it is served as "
                        "nothing  (SMUX4041)\n",
                        PROGRAM_NAME, entry->name, served_subtrees().c_str());
        } else if (entry->table_flag == TABLE && holds_no_value(type)) {
            log_line_at(LOG_PRI_WARNING, stderr,
                        "%s: Registry entry %s maps a table or its entry, not a column: map each column "
                        "instead; it is served as nothing  (SMUX4042)\n",
                        PROGRAM_NAME, entry->name);
        } else {
            continue;
        }
        ++warnings;
    }
    return warnings;
}

namespace {

// The object files of the registry: its regular files and those of its
// directories, one level down, as names relative to it ("dir/file"). Names
// beginning with a dot are an agent's files being written.
std::vector<std::string> registry_files()
{
    std::vector<std::string> names;
    const std::string registry = obj_registry_dir();
    char name[NAME_MAX + 1];
    DIR* top = nullptr;
    while (dir_next_entry(registry.c_str(), name, sizeof name, &top) == 0) {
        if (name[0] == '.')
            continue;
        std::string path = registry + "/" + name;
        struct stat status;
        if (stat(path.c_str(), &status) != 0)
            continue;
        if (S_ISREG(status.st_mode)) {
            names.emplace_back(name);
            continue;
        }
        if (!S_ISDIR(status.st_mode))
            continue;
        char inner[NAME_MAX + 1];
        DIR* sub = nullptr;
        while (dir_next_entry(path.c_str(), inner, sizeof inner, &sub) == 0)
            if (inner[0] != '.')
                names.push_back(std::string(name) + "/" + inner);
    }
    return names;
}

}  // namespace

int registry_file_warnings()
{
    // What the objects carry: (sub-path, item) pairs, a row file counting
    // for its table's sub-path.
    std::set<std::pair<std::string, std::string>> carried;
    std::vector<std::pair<std::string, std::string>> items;  // file, item
    for (const std::string& file : registry_files()) {
        const reg_object* obj = obj_read(file.c_str());
        if (obj == nullptr)
            continue;
        char subpath[OBJ_PATH_MAX];
        strip_index(file.c_str(), subpath, sizeof subpath);
        const reg_item* all = obj_items(obj);
        for (std::uint32_t i = 0; i < obj->item_count; ++i) {
            std::string item(all[i].name, strnlen(all[i].name, ITEM_NAME_MAX));
            carried.emplace(subpath, item);
            items.emplace_back(file, item);
        }
    }
    // Before any agent has published, nothing is missing yet.
    if (items.empty())
        return 0;

    std::set<std::string> mapped;
    int warnings = 0;
    qnode* cursor = registry_Q;
    while (const auto* entry = static_cast<const reg_entry*>(q_walk(&registry_Q, &cursor))) {
        mapped.insert(entry->name);
        if (carried.count({entry->subpath, entry->name}) != 0)
            continue;
        log_line_at(LOG_PRI_WARNING, stderr,
                    "%s: Registry entry %s: no object file under %s carries it: it is served as nothing  "
                    "(SMUX4047)\n",
                    PROGRAM_NAME, entry->name, entry->subpath);
        ++warnings;
    }
    std::set<std::string> told;
    for (const auto& [file, item] : items) {
        if (mapped.count(item) != 0 || !told.insert(item).second)
            continue;
        log_line_at(LOG_PRI_WARNING, stderr,
                    "%s: Object file %s carries item %s, which registry.mib does not map: it is not served  "
                    "(SMUX4046)\n",
                    PROGRAM_NAME, file.c_str(), item.c_str());
        ++warnings;
    }
    return warnings;
}
