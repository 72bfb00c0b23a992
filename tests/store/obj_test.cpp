#include "store/obj.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/object_image.h"

namespace {

namespace fs = std::filesystem;

// One item of a hand-built object image; value bytes go to the data area.
struct item_spec {
    std::string name;
    std::uint8_t type;
    std::vector<unsigned char> value;
    std::uint16_t size = 0;    // 0: the value's own size
    std::uint16_t length = 0;  // RAW length
    std::uint8_t access = ACCESS_RD;
    std::uint8_t state = STATE_ENABLED;
};

std::vector<unsigned char> u32(std::uint32_t v)
{
    return image_u32(v);
}

std::vector<unsigned char> text(const std::string& s)
{
    return std::vector<unsigned char>(s.c_str(), s.c_str() + s.size() + 1);
}

// Lays an object out the way agents write it: header, item records, values.
std::vector<unsigned char> make_object(const std::string& name, const std::vector<item_spec>& items)
{
    std::vector<image_item> laid;
    for (const auto& it : items)
        laid.push_back({it.name, it.type, it.value, it.size, it.length, it.access, it.state});
    return object_image({name, "/var/registry/" + name, 4242, {}}, laid);
}

std::vector<unsigned char> sample_object(const std::string& name = "sys/sysGroup")
{
    return make_object(name, {{"sysUpTime", ITEM_UNSIGNED, u32(1234)},
                              {"sysLoad", ITEM_SIGNED, u32(static_cast<std::uint32_t>(-7))},
                              {"sysDescr", ITEM_STRING, text("server one"), 32}});
}

template <typename T>
void patch(std::vector<unsigned char>& image, std::size_t offset, T value)
{
    std::memcpy(image.data() + offset, &value, sizeof value);
}

std::string slurp(FILE* f)
{
    std::string out;
    rewind(f);
    char buf[512];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    return out;
}

// The lines of a dump, split at their time stamps.
std::vector<std::string> records(const std::string& log)
{
    static const std::regex stamp("[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ");
    std::vector<std::string> out;
    std::sregex_token_iterator it(log.begin(), log.end(), stamp, -1), end;
    for (; it != end; ++it)
        out.push_back(*it);
    if (!out.empty() && out.front().empty())
        out.erase(out.begin());
    return out;
}

class obj_files : public ::testing::Test {
protected:
    void SetUp() override
    {
        start_dir = fs::current_path();
        char tmpl[] = "/tmp/obj_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::current_path(dir);
        obj_set_registry_dir(dir.c_str());
    }
    void TearDown() override
    {
        obj_set_registry_dir(nullptr);
        fs::current_path(start_dir);
        fs::remove_all(dir);
    }
    void write(const std::string& name, const std::vector<unsigned char>& bytes)
    {
        fs::create_directories((dir / name).parent_path());
        std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    reg_entry entry(const char* mib_name, const char* subpath, int index_count)
    {
        reg_entry e{};
        std::snprintf(e.name, sizeof e.name, "%s", mib_name);
        std::snprintf(e.subpath, sizeof e.subpath, "%s", subpath);
        e.index_count = static_cast<std::int8_t>(index_count);
        e.item_pos = -1;
        e.table_flag = index_count > 0 ? TABLE : SCALAR;
        return e;
    }
    fs::path start_dir;
    fs::path dir;
};

TEST_F(obj_files, read_loads_header_items_and_values)
{
    write("sys/sysGroup", sample_object());
    reg_object* obj = obj_read("sys/sysGroup");
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj_read_attempts(), 1);
    EXPECT_EQ(obj->mbox, 4242);
    EXPECT_STREQ(obj->name, "sys/sysGroup");
    ASSERT_EQ(obj->item_count, 3u);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(obj_items(obj)), reinterpret_cast<unsigned char*>(obj) + 252);
    EXPECT_EQ(obj_data(obj), reinterpret_cast<unsigned char*>(obj) + 252 + 3 * 80);
    EXPECT_EQ(obj_value_unsigned(obj_item(obj, 0)), 1234u);
    EXPECT_EQ(obj_value_signed(obj_item(obj, 1)), -7);
    EXPECT_STREQ(reinterpret_cast<const char*>(obj_value(obj_item(obj, 2))), "server one");
    EXPECT_EQ(obj_item(obj, 3), nullptr);
    EXPECT_EQ(obj_item(obj, -1), nullptr);
}

TEST_F(obj_files, bytes_beyond_length_are_ignored)
{
    auto image = sample_object();
    const std::size_t length = image.size();
    image.insert(image.end(), {0xde, 0xad, 0xbe, 0xef});
    write("sys/sysGroup", image);
    reg_object* obj = obj_read("sys/sysGroup");
    ASSERT_NE(obj, nullptr);
    // The object is the first `length` bytes, laid out as written.
    EXPECT_EQ(obj->length, length);
    EXPECT_EQ(std::memcmp(obj_items(obj), image.data() + 252, length - 252), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(obj_value(obj_item(obj, 2))), "server one");
}

TEST_F(obj_files, missing_file_is_null_after_one_attempt)
{
    EXPECT_EQ(obj_read("sys/none"), nullptr);
    EXPECT_EQ(obj_read_attempts(), 1);
}

TEST_F(obj_files, torn_files_are_read_21_times_then_null)
{
    auto whole = sample_object();
    struct {
        const char* what;
        std::size_t keep;
    } cases[] = {
        {"empty file", 0},
        {"short header", 100},
        {"header only", 252},
        {"body shorter than length", whole.size() - 1},
    };
    for (const auto& c : cases) {
        write("sys/torn", std::vector<unsigned char>(whole.begin(), whole.begin() + static_cast<long>(c.keep)));
        EXPECT_EQ(obj_read("sys/torn"), nullptr) << c.what;
        EXPECT_EQ(obj_read_attempts(), 21) << c.what;
    }
}

TEST_F(obj_files, structurally_invalid_files_are_refused)
{
    const std::size_t item0 = 252, item2 = 252 + 160;
    struct {
        const char* what;
        void (*spoil)(std::vector<unsigned char>&);
    } cases[] = {
        {"length below header", [](auto& b) { patch<std::uint32_t>(b, 232, 100); }},
        {"length below items", [](auto& b) { patch<std::uint32_t>(b, 232, 252 + 80); }},
        {"length far above the ceiling", [](auto& b) { patch<std::uint32_t>(b, 232, 0xFFFFFFF0u); }},
        {"item count beyond length", [](auto& b) { patch<std::uint32_t>(b, 236, 0x40000000u); }},
        {"value offset past the end", [](auto& b) { patch<std::int32_t>(b, item0 + 72, 100000); }},
        {"value offset before the start", [](auto& b) { patch<std::int32_t>(b, item0 + 72, -300); }},
        {"unsigned straddling the end",
         [](auto& b) { patch<std::int32_t>(b, item0 + 72, static_cast<std::int32_t>(b.size() - item0 - 2)); }},
        {"unsigned overhanging the end by one byte",
         [](auto& b) { patch<std::int32_t>(b, item0 + 72, static_cast<std::int32_t>(b.size() - item0 - 3)); }},
        {"raw value overhanging the end by one byte", [](auto& b) {
             std::int32_t at;
             std::memcpy(&at, b.data() + item2 + 72, sizeof at);
             b[item2 + 64] = ITEM_RAW;
             patch<std::uint16_t>(b, item2 + 62, static_cast<std::uint16_t>(b.size() - (item2 + at) + 1));
         }},
        {"string without terminator in its size", [](auto& b) { patch<std::uint16_t>(b, item2 + 60, 4); }},
        {"string without terminator in the object", [](auto& b) { b.back() = 'x'; }},
        {"string of size 0", [](auto& b) { patch<std::uint16_t>(b, item2 + 60, 0); }},
        {"raw length beyond the object", [](auto& b) {
             b[item2 + 64] = ITEM_RAW;
             patch<std::uint16_t>(b, item2 + 62, 5000);
         }},
        {"unterminated object name", [](auto& b) { std::memset(b.data() + 104, 'n', 60); }},
        {"unterminated path", [](auto& b) { std::memset(b.data() + 4, 'p', 100); }},
        {"unterminated item name", [](auto& b) { std::memset(b.data() + item0, 'i', 60); }},
        {"negative index count", [](auto& b) { patch<std::int32_t>(b, 228, -1); }},
        {"index count above 15", [](auto& b) { patch<std::int32_t>(b, 228, 16); }},
    };
    for (const auto& c : cases) {
        auto image = sample_object();
        c.spoil(image);
        write("sys/bad", image);
        EXPECT_EQ(obj_read("sys/bad"), nullptr) << c.what;
        EXPECT_FALSE(obj_valid(image.data(), image.size())) << c.what;
    }
}

TEST_F(obj_files, unknown_codes_are_accepted_and_dumped_as_numbers)
{
    auto image = make_object("sys/odd", {{"oddItem", 9, u32(5), 4, 0, 7, 5}});
    write("sys/odd", image);
    reg_object* obj = obj_read("sys/odd");
    ASSERT_NE(obj, nullptr);
    FILE* f = tmpfile();
    obj_dump_item(f, obj_item(obj, 0));
    auto fragments = records(slurp(f));
    fclose(f);
    ASSERT_EQ(fragments.size(), 1u);
    EXPECT_EQ(fragments[0], "\"             oddItem\"         9       5     7: \n");
}

TEST_F(obj_files, fifo_is_refused_without_blocking)
{
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(obj_read("fifo"), nullptr);
    EXPECT_EQ(obj_read_attempts(), 1);
}

TEST_F(obj_files, names_leading_out_of_the_registry_are_missing)
{
    // The registry is a folder of its own; beside it lies a readable object
    // that no mail may reach.
    write("registry/sys/ok", sample_object());
    write("secret", sample_object());
    fs::create_symlink(dir / "secret", dir / "registry/sys/link");
    obj_set_registry_dir((dir / "registry").c_str());
    // Reads are relative to the registry, not to the working directory.
    fs::current_path(start_dir);
    EXPECT_NE(obj_read("sys/ok"), nullptr);
    for (const std::string& name : {(dir / "secret").string(), std::string("../secret"), std::string("sys/../../secret"),
                                    std::string("sys/link"), std::string(""), std::string("sys/..")}) {
        EXPECT_EQ(obj_read(name.c_str()), nullptr) << name;
        EXPECT_FALSE(obj_name_valid(name.c_str()) && name != "sys/link") << name;
    }
    EXPECT_TRUE(obj_name_valid("sys/..x"));
    // A lookup neither leaves the registry nor moves the working directory.
    reg_entry out = entry("sysDescr", "../secret", 0);
    EXPECT_EQ(obj_lookup(&out, nullptr, 0), nullptr);
    reg_entry ok = entry("sysDescr", "sys/ok", 0);
    EXPECT_NE(obj_lookup(&ok, nullptr, 0), nullptr);
    EXPECT_EQ(fs::current_path(), start_dir);
}

TEST_F(obj_files, second_read_reuses_the_shared_buffer)
{
    write("sys/big", make_object("sys/big", {{"blob", ITEM_RAW, std::vector<unsigned char>(500, 1), 500, 500}}));
    write("sys/sysGroup", sample_object());
    reg_object* big = obj_read("sys/big");
    ASSERT_NE(big, nullptr);
    reg_object* small = obj_read("sys/sysGroup");
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(small, big);
    EXPECT_EQ(obj_read("sys/big"), big);
}

TEST_F(obj_files, item_index_finds_first_equal_name)
{
    write("sys/dup", make_object("sys/dup", {{"a", ITEM_UNSIGNED, u32(1)},
                                             {"b", ITEM_UNSIGNED, u32(2)},
                                             {"b", ITEM_UNSIGNED, u32(3)}}));
    reg_object* obj = obj_read("sys/dup");
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj_item_index("a", obj), 0);
    EXPECT_EQ(obj_item_index("b", obj), 1);
    EXPECT_EQ(obj_item_index("c", obj), -1);
    EXPECT_EQ(obj_item_index("", obj), -1);
}

TEST_F(obj_files, lookup_names_scalar_and_table_rows)
{
    write("sys/sysGroup", sample_object());
    write("disk/diskTable.1.3", make_object("disk/diskTable.1.3", {{"diskSize", ITEM_UNSIGNED, u32(13)}}));
    write("disk/diskTable.-1", make_object("disk/diskTable.-1", {{"diskSize", ITEM_UNSIGNED, u32(99)}}));

    reg_entry scalar = entry("sysDescr", "sys/sysGroup", 0);
    reg_object* obj = obj_lookup(&scalar, nullptr, 0);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(scalar.item_pos, 2);

    reg_entry column = entry("diskSize", "disk/diskTable", 2);
    std::int32_t one_three[] = {1, 3};
    obj = obj_lookup(&column, one_three, 2);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj_value_unsigned(obj_item(obj, column.item_pos)), 13u);

    std::int32_t minus_one[] = {-1};
    obj = obj_lookup(&column, minus_one, 1);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj_value_unsigned(obj_item(obj, column.item_pos)), 99u);
}

// The position found once must still name the entry's item: rows of
// differing layouts, a missing row, an item inserted before the mapped one,
// items reordered, the item gone.
TEST_F(obj_files, lookup_answers_the_item_of_its_name_whatever_the_layout)
{
    write("t/tab.1", make_object("t/tab.1", {{"x", ITEM_UNSIGNED, u32(1)}, {"col", ITEM_UNSIGNED, u32(10)}}));
    write("t/tab.2", make_object("t/tab.2", {{"col", ITEM_UNSIGNED, u32(20)}}));
    reg_entry column = entry("col", "t/tab", 1);
    auto value = [&](std::int32_t row) -> long {
        reg_object* obj = obj_lookup(&column, &row, 1);
        return obj == nullptr ? -1 : static_cast<long>(obj_value_unsigned(obj_item(obj, column.item_pos)));
    };
    EXPECT_EQ(value(1), 10);
    EXPECT_EQ(value(2), 20);
    EXPECT_EQ(value(9), -1);
    EXPECT_EQ(column.item_pos, -1);
    const std::vector<std::vector<item_spec>> layouts = {
        {{"x", ITEM_UNSIGNED, u32(1)}, {"new", ITEM_UNSIGNED, u32(424242)}, {"col", ITEM_UNSIGNED, u32(11)}},
        {{"col", ITEM_UNSIGNED, u32(11)}, {"x", ITEM_UNSIGNED, u32(1)}, {"new", ITEM_UNSIGNED, u32(424242)}},
        {{"x", ITEM_UNSIGNED, u32(1)}, {"new", ITEM_UNSIGNED, u32(424242)}}};
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        write("t/tab.1", make_object("t/tab.1", layouts[i]));
        EXPECT_EQ(value(1), i < 2 ? 11 : -1) << i;
    }
}

TEST_F(obj_files, lookup_without_the_item_is_null)
{
    write("sys/sysGroup", sample_object());
    reg_entry e = entry("notThere", "sys/sysGroup", 0);
    EXPECT_EQ(obj_lookup(&e, nullptr, 0), nullptr);
    EXPECT_EQ(e.item_pos, -1);
}

TEST_F(obj_files, lookup_refuses_names_that_do_not_fit)
{
    reg_entry column = entry("col", "t/tab", 10);
    std::int32_t wide[11];
    for (auto& v : wide)
        v = -2147483647 - 1;
    EXPECT_EQ(obj_lookup(&column, wide, 10), nullptr);  // suffix of 120 characters
    EXPECT_EQ(obj_lookup(&column, wide, 11), nullptr);  // more values than the buffer holds
    // Exactly 31 characters of suffix still make a name.
    std::int32_t fits[] = {-2147483647 - 1, -2147483647 - 1, 123456};  // 12 + 12 + 7
    write("t/tab.-2147483648.-2147483648.123456",
          make_object("t/tab.x", {{"col", ITEM_UNSIGNED, u32(5)}}));
    EXPECT_NE(obj_lookup(&column, fits, 3), nullptr);
    // A sub-path that fills its field without a terminator names nothing.
    reg_entry unterminated = entry("col", "", 1);
    std::memset(unterminated.subpath, 'a', sizeof unterminated.subpath);
    EXPECT_EQ(obj_lookup(&unterminated, fits, 1), nullptr);
}

TEST_F(obj_files, select_exact_returns_request_tail_even_without_row)
{
    reg_entry column = entry("col", "t/tab", 2);
    std::uint32_t request[] = {1, 3, 6, 1, 4, 7, 9};
    int count = 0;
    const std::int32_t* index = obj_select_index(&column, request, 7, &count, IDX_EXACT);
    ASSERT_NE(index, nullptr);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(index[0], 7);
    EXPECT_EQ(index[1], 9);
    EXPECT_EQ(obj_lookup(&column, index, count), nullptr);
}

TEST_F(obj_files, select_first_and_next_walk_the_rows)
{
    reg_entry column = entry("col", "t/tab", 2);
    int count = 0;
    EXPECT_EQ(obj_select_index(&column, nullptr, 0, &count, IDX_FIRST), nullptr);

    for (const char* row : {"t/tab.1.1", "t/tab.1.2", "t/tab.2.1"})
        write(row, make_object(row, {{"col", ITEM_UNSIGNED, u32(1)}}));
    const std::int32_t* index = obj_select_index(&column, nullptr, 0, &count, IDX_FIRST);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(index[0], 1);
    EXPECT_EQ(index[1], 1);

    std::uint32_t request[] = {1, 3, 9, 1, 2};
    count = 2;
    index = obj_select_index(&column, request, 5, &count, IDX_NEXT);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(index[0], 2);
    EXPECT_EQ(index[1], 1);

    // Only the first index value in the request: the first row under it.
    count = 1;
    index = obj_select_index(&column, request, 4, &count, IDX_NEXT);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(index[0], 1);
    EXPECT_EQ(index[1], 1);

    std::uint32_t last[] = {2, 1};
    count = 2;
    EXPECT_EQ(obj_select_index(&column, last, 2, &count, IDX_NEXT), nullptr);
}

TEST_F(obj_files, select_refuses_counts_that_do_not_fit)
{
    write("t/tab.1", make_object("t/tab.1", {{"col", ITEM_UNSIGNED, u32(1)}}));
    std::uint32_t request[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    struct {
        const char* what;
        int index_count;
        int count_in;
        int length;
        int mode;
    } cases[] = {
        {"negative entry count, exact", -3, 0, 12, IDX_EXACT},
        {"negative entry count, first", -3, 0, 12, IDX_FIRST},
        {"entry count above ten", 11, 0, 12, IDX_EXACT},
        {"exact request shorter than the index", 3, 0, 2, IDX_EXACT},
        {"next count above ten", 1, 11, 12, IDX_NEXT},
        {"next count negative", 1, -1, 12, IDX_NEXT},
        {"next count above request length", 1, 3, 2, IDX_NEXT},
        {"search for more values than a row holds", 6, 1, 12, IDX_NEXT},
        {"first with more values than a row holds", 6, 0, 12, IDX_FIRST},
        {"unknown mode", 1, 1, 12, 3},
    };
    for (const auto& c : cases) {
        reg_entry column = entry("col", "t/tab", c.index_count);
        int count = c.count_in;
        EXPECT_EQ(obj_select_index(&column, request, c.length, &count, c.mode), nullptr) << c.what;
    }
    // Ten values fit an exact request.
    reg_entry ten = entry("col", "t/tab", 10);
    int count = 0;
    const std::int32_t* index = obj_select_index(&ten, request, 12, &count, IDX_EXACT);
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(count, 10);
    EXPECT_EQ(index[0], 3);
    EXPECT_EQ(index[9], 12);
}

TEST_F(obj_files, dump_stamps_each_line_once_at_its_start)
{
    write("sys/raw", make_object("sys/raw", {{"rawThing", ITEM_RAW, {0x01, 0xAB, 0x00}, 3, 3, ACCESS_RDWR},
                                             {"count", ITEM_UNSIGNED, u32(42), 4, 0, ACCESS_WR, STATE_DISABLED},
                                             {"descr", ITEM_STRING, text("hi"), 8}}));
    reg_object* obj = obj_read("sys/raw");
    ASSERT_NE(obj, nullptr);
    FILE* f = tmpfile();
    obj_dump(f, obj);
    auto fragments = records(slurp(f));
    fclose(f);
    std::vector<std::string> expected = {
        "\n",
        "*** sys/raw - /var/registry/sys/raw\n",
        "\"            rawThing\"       RAW ENABLED RD/WR: \n", "1 AB 0 \n",
        "\"               count\"  UNSIGNED DISABLED    WR: 42\n",
        "\"               descr\"    STRING ENABLED    RD: \n", "hi\n",
    };
    EXPECT_EQ(fragments, expected);
}

}  // namespace
