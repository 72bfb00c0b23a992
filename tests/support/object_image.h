// Object files for tests, benchmarks and fuzz targets, laid out by the
// format's own writer (obj_image_build in store/obj_format.h), so that no
// test carries a copy of the layout that could drift from the daemon's.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "lib/coding.h"
#include "store/obj_format.h"

// One item: its record's fields and the bytes of its value slot.
struct image_item {
    std::string name;
    std::uint8_t type = ITEM_UNSIGNED;
    std::vector<unsigned char> value;  // the slot, exactly these bytes
    std::uint16_t size = 0;            // the record's capacity; 0: the slot's size
    std::uint16_t length = 0;          // current length of a RAW value
    std::uint8_t access = ACCESS_RD;
    std::uint8_t state = STATE_ENABLED;
};

// The header fields a test chooses; the rest follow from the items.
struct image_header {
    std::string name;                  // "dir/file[.index]"
    std::string path;                  // full path recorded in the header
    std::int32_t mbox = 4242;
    std::vector<std::int32_t> index;   // at most OBJ_INDEX_MAX values
};

inline std::vector<unsigned char> object_image(const image_header& header, const std::vector<image_item>& items)
{
    reg_object head{};
    head.mbox = header.mbox;
    std::snprintf(head.path, sizeof head.path, "%s", header.path.c_str());
    std::snprintf(head.name, sizeof head.name, "%s", header.name.c_str());
    for (std::size_t i = 0; i < header.index.size() && i < OBJ_INDEX_MAX; ++i)
        head.index[i] = header.index[i];
    head.index_count = static_cast<std::int32_t>(header.index.size());
    std::vector<obj_image_item> laid;
    for (const image_item& it : items) {
        reg_item record{};
        std::snprintf(record.name, sizeof record.name, "%s", it.name.c_str());
        record.size = it.size != 0 ? it.size : static_cast<std::uint16_t>(it.value.size());
        record.length = it.length;
        record.type = it.type;
        record.access = it.access;
        record.state = it.state;
        laid.push_back({record, it.value.data(), it.value.size(), it.value.size()});
    }
    return obj_image_build(head, laid.data(), laid.size());
}

// The four bytes of a 32-bit value as an item's slot.
inline std::vector<unsigned char> image_u32(std::uint32_t value)
{
    std::vector<unsigned char> bytes(4);
    encode_fixed32(bytes.data(), value);
    return bytes;
}

// Writes `image` to `path`, making its directory when missing; false on
// failure.
inline bool write_object_file(const std::string& path, const std::vector<unsigned char>& image)
{
    std::string::size_type slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        mkdir(path.substr(0, slash).c_str(), 0755);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool ok = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    return std::fclose(file) == 0 && ok;
}
