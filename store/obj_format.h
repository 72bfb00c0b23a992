// The object file format: what an agent publishes in the data registry and
// the daemon reads back at every request. Shared by the daemon and agent/.
//
// All integers are in host byte order. The header's `items` and `data`
// fields are 4 bytes on disk; they are never used to hold addresses (a
// pointer does not fit them on 64-bit hosts): readers keep the addresses of
// the item array and the data area beside the buffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

inline constexpr std::size_t OBJ_HEADER_SIZE = 252;
inline constexpr std::size_t OBJ_ITEM_SIZE = 80;
inline constexpr std::size_t OBJ_PATH_MAX = 100;   // field size, with the terminator
inline constexpr std::size_t OBJ_NAME_MAX = 60;    // field size, with the terminator
inline constexpr std::size_t OBJ_INDEX_MAX = 15;   // index values in the header
inline constexpr std::size_t ITEM_NAME_MAX = 60;   // field size, with the terminator

// Item value types.
inline constexpr std::uint8_t ITEM_UNSIGNED = 0;
inline constexpr std::uint8_t ITEM_SIGNED = 1;
inline constexpr std::uint8_t ITEM_STRING = 2;
inline constexpr std::uint8_t ITEM_RAW = 3;
inline constexpr std::uint8_t ITEM_OID = 4;

// Item access codes.
inline constexpr std::uint8_t ACCESS_RDWR = 0;
inline constexpr std::uint8_t ACCESS_WR = 1;
inline constexpr std::uint8_t ACCESS_RD = 2;

// Item states: any non-zero state counts as enabled.
inline constexpr std::uint8_t STATE_DISABLED = 0;
inline constexpr std::uint8_t STATE_ENABLED = 1;

struct reg_object {
    std::int32_t mbox;               // mailbox of the owning agent
    char path[OBJ_PATH_MAX];         // full path of the object file
    char name[OBJ_NAME_MAX];         // "dir/file": path relative to the registry
    std::int32_t id;                 // agent's object number (not read by the daemon)
    std::int32_t index[OBJ_INDEX_MAX];
    std::int32_t index_count;        // valid values in index; 0 for a scalar
    std::uint32_t length;            // header + items + data, in bytes
    std::uint32_t item_count;
    std::uint32_t data_size;
    std::uint32_t items;             // 4 bytes on disk; never an address here
    std::uint32_t data;              // 4 bytes on disk; never an address here
};

struct reg_item {
    char name[ITEM_NAME_MAX];        // MIB descriptor of the variable
    std::uint16_t size;              // capacity of the value in bytes
    std::uint16_t length;            // current length of a RAW value
    std::uint8_t type;               // ITEM_*
    std::uint8_t access;             // ACCESS_*
    std::uint8_t state;              // STATE_*
    std::uint8_t unused1;
    std::uint32_t aux;               // agent's own (not read by the daemon)
    std::int32_t value_offset;       // from the first byte of this item record
    std::uint16_t tag;               // agent's own (not read by the daemon)
    std::uint16_t unused2;
};

static_assert(sizeof(reg_object) == OBJ_HEADER_SIZE);
static_assert(offsetof(reg_object, mbox) == 0);
static_assert(offsetof(reg_object, path) == 4);
static_assert(offsetof(reg_object, name) == 104);
static_assert(offsetof(reg_object, id) == 164);
static_assert(offsetof(reg_object, index) == 168);
static_assert(offsetof(reg_object, index_count) == 228);
static_assert(offsetof(reg_object, length) == 232);
static_assert(offsetof(reg_object, item_count) == 236);
static_assert(offsetof(reg_object, data_size) == 240);
static_assert(offsetof(reg_object, items) == 244);
static_assert(offsetof(reg_object, data) == 248);

static_assert(sizeof(reg_item) == OBJ_ITEM_SIZE);
static_assert(offsetof(reg_item, name) == 0);
static_assert(offsetof(reg_item, size) == 60);
static_assert(offsetof(reg_item, length) == 62);
static_assert(offsetof(reg_item, type) == 64);
static_assert(offsetof(reg_item, access) == 65);
static_assert(offsetof(reg_item, state) == 66);
static_assert(offsetof(reg_item, aux) == 68);
static_assert(offsetof(reg_item, value_offset) == 72);
static_assert(offsetof(reg_item, tag) == 76);

// ---- Writing an object --------------------------------------------------

// One item as obj_image_build lays it out: its record (value_offset is
// filled in) and the value slot that follows the records, `slot` bytes of
// which the first min(value_size, slot) come from `value`, the rest zero.
struct obj_image_item {
    reg_item record;
    const unsigned char* value;
    std::size_t value_size;
    std::size_t slot;
};

// The length of the file image of an object with these items: the header,
// the item records and every item's value slot.
inline std::size_t obj_image_size(const obj_image_item* items, std::size_t count)
{
    std::size_t size = OBJ_HEADER_SIZE + OBJ_ITEM_SIZE * count;
    for (std::size_t i = 0; i < count; ++i)
        size += items[i].slot;
    return size;
}

// Writes the file image of an object into `out`, which holds
// obj_image_size(items, count) bytes: `header` (its length, item_count and
// data_size filled in, items and data zero), the item records, then each
// item's value slot in item order; every value_offset counts from its own
// record. The one writer of the layout the daemon's reader checks; it needs
// nothing from the C++ runtime, so the agent library (linked by C
// programs) uses it as it is.
inline void obj_image_write(unsigned char* out, const reg_object& header, const obj_image_item* items,
                            std::size_t count)
{
    const std::size_t size = obj_image_size(items, count);
    const std::size_t data_at = OBJ_HEADER_SIZE + OBJ_ITEM_SIZE * count;
    std::memset(out, 0, size);

    reg_object head = header;
    head.length = static_cast<std::uint32_t>(size);
    head.item_count = static_cast<std::uint32_t>(count);
    head.data_size = static_cast<std::uint32_t>(size - data_at);
    head.items = 0;
    head.data = 0;
    std::memcpy(out, &head, sizeof head);

    std::size_t value_at = data_at;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t record_at = OBJ_HEADER_SIZE + OBJ_ITEM_SIZE * i;
        reg_item record = items[i].record;
        record.value_offset = static_cast<std::int32_t>(value_at - record_at);
        std::memcpy(out + record_at, &record, sizeof record);
        std::size_t n = items[i].value_size < items[i].slot ? items[i].value_size : items[i].slot;
        if (n > 0)
            std::memcpy(out + value_at, items[i].value, n);
        value_at += items[i].slot;
    }
}

// The file image as obj_image_write lays it out, in a vector.
inline std::vector<unsigned char> obj_image_build(const reg_object& header, const obj_image_item* items,
                                                  std::size_t count)
{
    std::vector<unsigned char> image(obj_image_size(items, count));
    obj_image_write(image.data(), header, items, count);
    return image;
}
