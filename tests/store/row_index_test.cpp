// The row index against the directory scan it stands in for: for random row
// sets (negative, huge and out-of-range index values, mixed widths) and
// random start indexes, both give the same answer, also after rows come and
// go between two questions.
#include "store/row_index.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "store/obj.h"
#include "store/obj_cache.h"
#include "store/row_search.h"
#include "tests/support/scratch_registry.h"

namespace fs = std::filesystem;

namespace {

class row_index_scan : public scratch_registry {
protected:
    void SetUp() override
    {
        scratch_registry::SetUp();
        fs::create_directories(root / "t");
        obj_set_registry_dir(root.c_str());
    }
    void TearDown() override
    {
        obj_set_registry_dir(nullptr);
        scratch_registry::TearDown();
    }
    static std::string row_name(const std::vector<std::int32_t>& index)
    {
        std::string name = "t/row";
        for (std::int32_t v : index)
            name.append(".").append(std::to_string(v));
        return name;
    }
    void add(const std::vector<std::int32_t>& index) { std::ofstream(root / row_name(index)) << "row"; }
    void remove(const std::vector<std::int32_t>& index) { fs::remove(root / row_name(index)); }

    using answer = std::optional<std::vector<std::int32_t>>;
    static answer as_answer(const std::int32_t* found)
    {
        if (found == nullptr)
            return std::nullopt;
        return std::vector<std::int32_t>(found, found + SEARCH_INDEX_MAX);
    }
    // Both answers to one question: the scan's and the index's.
    void expect_same(const std::vector<std::int32_t>& start)
    {
        int count = static_cast<int>(start.size());
        answer scanned = as_answer(obj_next_instance("t/row", start.data(), count));
        const std::int32_t* found = nullptr;
        ASSERT_TRUE(row_index_next("t/row", start.data(), count, &found));
        EXPECT_EQ(as_answer(found), scanned) << "start of " << count << " values, first " << (count ? start[0] : 0);
    }
};

const std::vector<std::int32_t> POOL = {INT32_MIN, -7, -1, 0, 1, 2, 9, 10, 100, INDEX_UNSET - 1, INDEX_UNSET,
                                        INDEX_UNSET + 1, INT32_MAX};

std::int32_t pick(std::mt19937& random)
{
    if (random() % 3 == 0)
        return static_cast<std::int32_t>(random());
    return POOL[random() % POOL.size()];
}

TEST_F(row_index_scan, answers_as_the_scan_for_random_rows_and_starts_while_rows_come_and_go)
{
    std::mt19937 random(20261208);
    for (int round = 0; round < 40; ++round) {
        for (const auto& entry : fs::directory_iterator(root / "t"))
            fs::remove(entry.path());
        int width = 1 + static_cast<int>(random() % 3);
        // One round in four carries rows of another width as well, where
        // the scan's answer follows the directory's order.
        bool mixed = round % 4 == 3;
        std::vector<std::vector<std::int32_t>> rows;
        for (int r = 0, n = static_cast<int>(random() % 12); r < n; ++r) {
            int w = mixed && random() % 3 == 0 ? 1 + static_cast<int>(random() % 4) : width;
            std::vector<std::int32_t> index;
            for (int i = 0; i < w; ++i)
                index.push_back(pick(random));
            rows.push_back(index);
            add(index);
        }
        // Names that are not rows of the table.
        std::ofstream(root / "t/row.bak") << "x";
        std::ofstream(root / "t/rowx.1") << "x";
        for (int q = 0; q < 25; ++q) {
            std::vector<std::int32_t> start;
            int count = static_cast<int>(random() % (width + 1));
            for (int i = 0; i < count; ++i)
                start.push_back(!rows.empty() && random() % 2 ? rows[random() % rows.size()][0] : pick(random));
            expect_same(start);
            if (q % 5 == 4) {
                // A row comes or goes; the next question must see it.
                if (!rows.empty() && random() % 2) {
                    remove(rows.back());
                    rows.pop_back();
                } else {
                    std::vector<std::int32_t> index;
                    for (int i = 0; i < width; ++i)
                        index.push_back(pick(random));
                    rows.push_back(index);
                    add(index);
                }
            }
        }
    }
}

TEST_F(row_index_scan, a_replaced_table_directory_is_read_anew)
{
    add({1});
    add({2});
    std::vector<std::int32_t> first = {-1};
    expect_same(first);
    fs::rename(root / "t", root / "t.old");
    fs::create_directories(root / "t");
    add({5});
    const std::int32_t* found = nullptr;
    ASSERT_TRUE(row_index_next("t/row", first.data(), 1, &found));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found[0], 5);
    // A change in the directory moved away no longer counts.
    std::ofstream(root / "t.old/row.0") << "row";
    ASSERT_TRUE(row_index_next("t/row", first.data(), 1, &found));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found[0], 5);
}

TEST_F(row_index_scan, a_lost_change_makes_every_table_read_anew)
{
    // Two tables indexed, then more changes in one directory than the
    // kernel queues: the row the other table gains meanwhile is lost with
    // the overflow, and only reading every table anew can see it.
    add({1});
    touch("u/row.1");
    const std::int32_t first[1] = {-1};
    const std::int32_t* found = nullptr;
    ASSERT_TRUE(row_index_next("u/row", first, 1, &found));
    expect_same({1});
    long queued = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queued;
    if (queued <= 0 || queued > 1000000)
        GTEST_SKIP() << "inotify queue of " << queued << " events";
    // Each new file is two events: its creation and its close after writing.
    for (long i = 0; i <= queued / 2; ++i)
        ASSERT_TRUE(std::ofstream(root / ("u/x" + std::to_string(i)))) << i;
    add({2});
    expect_same({1});
}

TEST_F(row_index_scan, tables_without_a_directory_part_are_left_to_the_scan)
{
    const std::int32_t start[1] = {-1};
    const std::int32_t* found = nullptr;
    EXPECT_FALSE(row_index_next("row", start, 1, &found));
    EXPECT_FALSE(row_index_next("../t/row", start, 1, &found));
}

}  // namespace
