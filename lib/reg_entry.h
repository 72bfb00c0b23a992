// The registry map entry, which is also the pairs-table entry: the record
// that binds one MIB object to the object file and item holding its value.
// The configuration reader fills the map fields; the pairs table adds the
// position, item position and methods.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t REG_NAME_MAX = 60;     // MIB name field, with the NUL
inline constexpr std::size_t REG_SUBPATH_MAX = 60;  // sub-path field, with the NUL

inline constexpr std::uint8_t SCALAR = 0;
inline constexpr std::uint8_t TABLE = 1;

struct reg_entry {
    char name[REG_NAME_MAX];   // MIB descriptor, equal to the item's name
    void* get_method;          // opaque here; the daemon stores its get method
    void* set_method;          // opaque here; the daemon stores its set method
    std::int32_t position;     // index in the pairs table, from 0
    std::int32_t item_pos;     // item position in the object; -1 until found
    std::int8_t index_count;   // instance sub-identifiers of a table column
    char subpath[REG_SUBPATH_MAX];  // object file name relative to the registry
    std::uint8_t table_flag;   // SCALAR or TABLE
};
