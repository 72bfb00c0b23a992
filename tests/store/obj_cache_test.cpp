// The object cache under obj_lookup: a kept object is served without reading
// its file, and every change an agent can make to the file (or to the
// directories on its way) is seen by the next lookup.
#include "store/obj_cache.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "store/obj.h"
#include "store/reg_watch.h"
#include "tests/support/object_image.h"
#include "tests/support/scratch_registry.h"

namespace fs = std::filesystem;

namespace {

// An object of one SIGNED item named "value", as an agent lays it out.
std::string signed_object(const std::string& name, std::int32_t value)
{
    std::vector<unsigned char> image = object_image({name, "/registry/" + name, 7, {}},
                                                    {{"value", ITEM_SIGNED, image_u32(static_cast<std::uint32_t>(value))}});
    return std::string(image.begin(), image.end());
}

// The scratch directory holds the registry and what lies beside it.
class obj_cache_files : public scratch_registry {
protected:
    void SetUp() override
    {
        scratch_registry::SetUp();
        top = std::exchange(root, root / "registry");
        fs::create_directories(root / "d");
        obj_set_registry_dir(root.c_str());
        entry = reg_entry{};
        std::snprintf(entry.name, sizeof entry.name, "value");
        std::snprintf(entry.subpath, sizeof entry.subpath, "d/obj");
        entry.item_pos = -1;
    }
    void TearDown() override
    {
        obj_set_registry_dir(nullptr);
        root = top;
        scratch_registry::TearDown();
    }
    void write(const fs::path& path, const std::string& bytes)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    // Publishes by a temporary file renamed over the object, as agents do.
    void publish(std::int32_t value)
    {
        write(root / "d/.obj.tmp", signed_object("d/obj", value));
        fs::rename(root / "d/.obj.tmp", root / "d/obj");
    }
    // The value the next lookup answers, or -999 for no object.
    std::int32_t lookup()
    {
        reg_object* obj = obj_lookup(&entry, nullptr, 0);
        if (obj == nullptr)
            return -999;
        return obj_value_signed(obj_item(obj, entry.item_pos));
    }
    // The rows of table `sub` ("dir/base") as a walk finds them, each with
    // the value the lookup answers: "1=10 2=20".
    std::string walk(const char* sub)
    {
        reg_entry column = entry;
        std::snprintf(column.subpath, sizeof column.subpath, "%s", sub);
        column.index_count = 1;
        std::string rows;
        std::uint32_t last = 0;
        for (int mode = IDX_FIRST, count = 1;; mode = IDX_NEXT, count = 1) {
            const std::int32_t* index = obj_select_index(&column, &last, 1, &count, mode);
            if (index == nullptr)
                return rows;
            last = static_cast<std::uint32_t>(index[0]);
            reg_object* obj = obj_lookup(&column, index, 1);
            rows += (rows.empty() ? "" : " ") + std::to_string(index[0]) + "=" +
                    (obj == nullptr ? "?" : std::to_string(obj_value_signed(obj_item(obj, column.item_pos))));
        }
    }
    fs::path top;
    reg_entry entry;
};

TEST_F(obj_cache_files, an_unchanged_object_is_served_from_the_cache)
{
    publish(1);
    EXPECT_EQ(lookup(), 1);
    std::uint64_t hits = obj_cache_counters().hits;
    EXPECT_EQ(lookup(), 1);
    EXPECT_EQ(obj_cache_counters().hits, hits + 1);
}

TEST_F(obj_cache_files, every_change_to_the_file_shows_at_the_next_lookup)
{
    publish(1);
    ASSERT_EQ(lookup(), 1);
    // Same size, same second: only the watch can tell.
    publish(2);
    EXPECT_EQ(lookup(), 2);
    {
        std::fstream in_place(root / "d/obj", std::ios::binary | std::ios::in | std::ios::out);
        in_place.seekp(OBJ_HEADER_SIZE + OBJ_ITEM_SIZE);
        std::int32_t three = 3;
        in_place.write(reinterpret_cast<const char*>(&three), 4);
    }
    EXPECT_EQ(lookup(), 3);
    fs::resize_file(root / "d/obj", 100);
    EXPECT_EQ(lookup(), -999);
    write(root / "d/obj", signed_object("d/obj", 4));
    EXPECT_EQ(lookup(), 4);
    fs::remove(root / "d/obj");
    EXPECT_EQ(lookup(), -999);
    publish(5);
    EXPECT_EQ(lookup(), 5);
}

TEST_F(obj_cache_files, replaced_directories_on_the_way_are_read_anew)
{
    publish(1);
    ASSERT_EQ(lookup(), 1);
    // The object's directory replaced.
    fs::create_directories(root / "d.new");
    write(root / "d.new/obj", signed_object("d/obj", 2));
    fs::rename(root / "d", root / "d.old");
    fs::rename(root / "d.new", root / "d");
    EXPECT_EQ(lookup(), 2);
    // The registry directory itself replaced under its path.
    fs::create_directories(top / "other/d");
    write(top / "other/d/obj", signed_object("d/obj", 3));
    fs::rename(root, top / "registry.old");
    fs::rename(top / "other", root);
    EXPECT_EQ(lookup(), 3);
}

TEST_F(obj_cache_files, a_registry_reached_through_a_swapped_symbolic_link_is_read_anew)
{
    // Nothing but the directory above the registry sees the link replaced.
    fs::remove_all(root);
    fs::create_directories(top / "a/d");
    fs::create_directories(top / "b/d");
    write(top / "a/d/obj", signed_object("d/obj", 4));
    write(top / "b/d/obj", signed_object("d/obj", 5));
    fs::create_directory_symlink(top / "a", root);
    ASSERT_EQ(lookup(), 4);
    ASSERT_EQ(lookup(), 4);
    fs::create_directory_symlink(top / "b", top / "link.tmp");
    fs::rename(top / "link.tmp", root);
    EXPECT_EQ(lookup(), 5);
}

// A table reached through linked directories, with a link swapped the way
// a release is put in place, answers as the files now read; so does a
// table whose directory was looked up as an object meanwhile.
TEST_F(obj_cache_files, tables_answer_as_read_afresh_after_a_link_swap_or_a_directory_lookup)
{
    for (auto [dir, row, value] : {std::tuple{"v1", 1, 10}, {"v1", 2, 20}, {"v2", 1, 11}, {"v2", 3, 31}}) {
        fs::create_directories(root / dir);
        write(root / dir / ("t." + std::to_string(row)), signed_object("t/t", value));
    }
    fs::create_directory_symlink("v1", root / "current");
    fs::create_directory_symlink("current", root / "t");
    ASSERT_EQ(walk("t/t"), "1=10 2=20");
    ASSERT_EQ(walk("t/t"), "1=10 2=20");
    fs::create_directory_symlink("v2", root / "current.tmp");
    fs::rename(root / "current.tmp", root / "current");  // mv -T current.tmp current
    EXPECT_EQ(walk("t/t"), "1=11 3=31");

    ASSERT_EQ(walk("v1/t"), "1=10 2=20");
    std::snprintf(entry.subpath, sizeof entry.subpath, "v1");
    EXPECT_EQ(lookup(), -999);
    write(root / "v1/t.4", signed_object("t/t", 40));
    EXPECT_EQ(walk("v1/t"), "1=10 2=20 4=40");
}

// The kernel's watches, counted from this process's inotify descriptors.
int kernel_watches()
{
    int watches = 0;
    for (const auto& fd : fs::directory_iterator("/proc/self/fdinfo")) {
        std::ifstream info(fd.path());
        for (std::string line; std::getline(info, line);)
            watches += line.rfind("inotify wd:", 0) == 0 ? 1 : 0;
    }
    return watches;
}

// However many objects are read, the cache holds no more watches than its
// bound, answers every lookup all the same, and says once that it is limited.
TEST_F(obj_cache_files, watches_stay_within_their_bound)
{
    reg_watch_set_max(12);
    testing::internal::CaptureStderr();
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 40; ++i) {
            std::string name = "d/obj" + std::to_string(i);
            if (round == 0)
                write(root / name, signed_object(name, i));
            std::snprintf(entry.subpath, sizeof entry.subpath, "%s", name.c_str());
            EXPECT_EQ(lookup(), i);
        }
        EXPECT_LE(kernel_watches(), 12);
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find("Object cache limited: the 12 watches it may hold are in use"), std::string::npos) << log;
}

TEST_F(obj_cache_files, writes_through_another_name_are_seen)
{
    write(root / "d/obj", signed_object("d/obj", 1));
    ASSERT_EQ(lookup(), 1);
    // A hard link made afterwards in a directory nobody watches: the write
    // through it shows in no registry directory, only on the file itself.
    fs::create_hard_link(root / "d/obj", top / "elsewhere");
    ASSERT_EQ(lookup(), 1);
    {
        std::fstream in_place(top / "elsewhere", std::ios::binary | std::ios::in | std::ios::out);
        in_place.seekp(OBJ_HEADER_SIZE + OBJ_ITEM_SIZE);
        std::int32_t two = 2;
        in_place.write(reinterpret_cast<const char*>(&two), 4);
    }
    EXPECT_EQ(lookup(), 2);
    // A symbolic link as the object file could lead out of the registry: it
    // is refused as a missing object, and nothing of it is kept.
    fs::remove(root / "d/obj");
    fs::create_symlink(top / "elsewhere", root / "d/obj");
    std::uint64_t hits = obj_cache_counters().hits;
    EXPECT_EQ(lookup(), -999);
    EXPECT_EQ(lookup(), -999);
    EXPECT_EQ(obj_cache_counters().hits, hits);
}

TEST_F(obj_cache_files, contents_stay_within_the_budget)
{
    std::string big(OBJ_CACHE_BUDGET / 16, 'x');
    for (int i = 0; i < 40; ++i) {
        std::string name = "d/big" + std::to_string(i);
        std::string image = signed_object(name, i);
        // Object-specific bytes past the item make the entries incompressible.
        std::mt19937 random(static_cast<unsigned>(i));
        for (char& c : big)
            c = static_cast<char>(random());
        image += big;
        reg_object h;
        std::memcpy(&h, image.data(), sizeof h);
        h.length = static_cast<std::uint32_t>(image.size());
        std::memcpy(image.data(), &h, sizeof h);
        write(root / name, image);
        std::snprintf(entry.subpath, sizeof entry.subpath, "%s", name.c_str());
        entry.item_pos = -1;
        EXPECT_EQ(lookup(), i);
        EXPECT_LE(obj_cache_counters().bytes, OBJ_CACHE_BUDGET);
    }
}

TEST(obj_delta, decodes_to_the_image_for_any_reference)
{
    std::mt19937 random(42);
    for (int round = 0; round < 200; ++round) {
        std::vector<unsigned char> ref(random() % 600), image(random() % 600);
        for (auto& b : ref)
            b = static_cast<unsigned char>(random() % 4 == 0 ? random() : 0);
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = random() % 3 == 0 ? static_cast<unsigned char>(random()) : (i < ref.size() ? ref[i] : 0);
        std::string code;
        obj_delta_encode(image.data(), image.size(), ref.data(), ref.size(), code);
        // A used buffer: the decoder must write every byte of the image.
        std::vector<unsigned char> out(image.size(), 0xa5);
        ASSERT_TRUE(obj_delta_decode(code, ref.data(), ref.size(), out.data(), out.size()));
        EXPECT_EQ(out, image);
    }
}

}  // namespace
