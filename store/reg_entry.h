// The registry map entry, which is also the pairs-table entry: the record
// that binds one MIB object to the object file and item holding its value.
// The configuration reader fills the map fields; the pairs table adds the
// position, item position and methods.
#pragma once
#include <cstddef>
#include <cstdint>

// The SMUX library's records, named here only so that a method's type can
// be spelled without this header depending on the library.
struct object_instance;
struct snmp_varbind;

// A get or set method of a MIB object, as the SMUX library calls it: the
// instance asked for, the varbind to fill or take the value from, and the
// request's operation code. The same type as the library's object_method.
using reg_method = int (*)(object_instance* inst, snmp_varbind* vb, int op);

inline constexpr std::size_t REG_NAME_MAX = 60;     // MIB name field, with the NUL
inline constexpr std::size_t REG_SUBPATH_MAX = 60;  // sub-path field, with the NUL

inline constexpr std::uint8_t SCALAR = 0;
inline constexpr std::uint8_t TABLE = 1;

struct reg_entry {
    char name[REG_NAME_MAX];   // MIB descriptor, equal to the item's name
    reg_method get_method;     // null until the pairs table installs it
    reg_method set_method;     // null until the pairs table installs it
    std::int32_t position;     // index in the pairs table, from 0
    std::int32_t item_pos;     // item position in the object; -1 until found
    std::int8_t index_count;   // instance sub-identifiers of a table column
    char subpath[REG_SUBPATH_MAX];  // object file name relative to the registry
    std::uint8_t table_flag;   // SCALAR or TABLE
};
