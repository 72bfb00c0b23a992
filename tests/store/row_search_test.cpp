#include "store/row_search.h"
#include "tests/support/scratch_registry.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

// A scratch data registry that becomes the working directory for the test.
class registry_dir : public scratch_registry {
protected:
    // The found index as a vector of its first n values, or nothing.
    static std::optional<std::vector<std::int32_t>> next(const char* subpath, std::vector<std::int32_t> start, int n)
    {
        const std::int32_t* found = obj_next_instance(subpath, start.data(), static_cast<int>(start.size()));
        if (found == nullptr)
            return std::nullopt;
        return std::vector<std::int32_t>(found, found + n);
    }
};

using index = std::vector<std::int32_t>;

TEST_F(registry_dir, two_value_rows_follow_the_start_index)
{
    for (const char* row : {"t/rowTable.1.1", "t/rowTable.1.2", "t/rowTable.2.1"})
        touch(row);
    EXPECT_EQ(next("t/rowTable", {1, 1}, 2), index({1, 2}));
    EXPECT_EQ(next("t/rowTable", {1, 2}, 2), index({2, 1}));
    EXPECT_EQ(next("t/rowTable", {2, 1}, 2), std::nullopt);
    EXPECT_EQ(next("t/rowTable", {-1, -1}, 2), index({1, 1}));
    EXPECT_EQ(next("t/rowTable", {}, 2), index({1, 1}));
    // A partial start selects the first row that begins with it.
    EXPECT_EQ(next("t/rowTable", {1}, 2), index({1, 1}));
    EXPECT_EQ(next("t/rowTable", {2}, 2), index({2, 1}));
    EXPECT_EQ(next("t/rowTable", {3}, 2), std::nullopt);
}

TEST_F(registry_dir, one_value_rows_sort_numerically)
{
    for (const char* row : {"t/x.2", "t/x.10", "t/x.9"})
        touch(row);
    EXPECT_EQ(next("t/x", {}, 1), index({2}));
    EXPECT_EQ(next("t/x", {2}, 1), index({9}));
    EXPECT_EQ(next("t/x", {9}, 1), index({10}));
    EXPECT_EQ(next("t/x", {10}, 1), std::nullopt);
}

TEST_F(registry_dir, backup_names_and_other_tables_do_not_count)
{
    for (const char* name : {"t/x.bak", "t/x", "t/x~", "t/xy.1", "t/y.1", "t/x.+3"})
        touch(name);
    EXPECT_EQ(next("t/x", {}, 1), std::nullopt);
    touch("t/x.-1");
    EXPECT_EQ(next("t/x", {-2}, 1), index({-1}));
    // The default start is -1 itself, so that row is not after it.
    EXPECT_EQ(next("t/x", {}, 1), std::nullopt);
}

TEST_F(registry_dir, subpath_without_directory_has_no_rows)
{
    touch("flat.1");
    touch("t/flat.1");
    EXPECT_EQ(next("flat", {}, 1), std::nullopt);
    EXPECT_EQ(next("/flat", {}, 1), std::nullopt);
    EXPECT_EQ(next("missing/flat", {}, 1), std::nullopt);
}

TEST_F(registry_dir, first_value_at_or_above_unset_is_never_returned)
{
    for (const char* row : {"t/big.268435455", "t/big.268435455.1", "t/big.300000000", "t/big.99999999999"})
        touch(row);
    EXPECT_EQ(next("t/big", {}, 1), std::nullopt);
    touch("t/big.7");
    EXPECT_EQ(next("t/big", {}, 1), index({7}));
    EXPECT_EQ(next("t/big", {7}, 1), std::nullopt);
}

TEST_F(registry_dir, rows_with_more_than_five_values_are_passed_over)
{
    touch("t/wide.1.2.3.4.5.6");
    EXPECT_EQ(next("t/wide", {}, 5), std::nullopt);
    touch("t/wide.1.2.3.4.6");
    EXPECT_EQ(next("t/wide", {}, 5), index({1, 2, 3, 4, 6}));
    // Start values beyond the fifth are not used.
    EXPECT_EQ(next("t/wide", {1, 2, 3, 4, 5, 99, 99}, 5), index({1, 2, 3, 4, 6}));
}

TEST(parse_index, reads_signed_fields_after_the_suffix_dot)
{
    const struct {
        const char* name;
        int result;
        std::vector<std::int32_t> values;
    } cases[] = {
        {"ifTable.1.-2", 0, {1, -2}},
        {"a.b.3", 0, {3}},
        {"x.1..2", 0, {1, 2}},
        {"x.1a.2", 0, {1, 2}},
        {"x.1.abc", 0, {1, 0}},
        {"x.-", 0, {0}},
        {"x.0.", 0, {0}},
        {"x.2147483647", 0, {INT32_MAX}},
        {"x.99999999999", 0, {INT32_MAX}},
        {"x.-2147483648", 0, {INT32_MIN}},
        {"x.-99999999999", 0, {INT32_MIN}},
        {"x.bak", -1, {}},
        {"x", -1, {}},
        {"x.+1", -1, {}},
        {"", -1, {}},
    };
    for (const auto& c : cases) {
        std::int32_t values[SEARCH_INDEX_MAX] = {};
        int count = -7;
        EXPECT_EQ(parse_index(c.name, values, SEARCH_INDEX_MAX, &count), c.result) << c.name;
        if (c.result == 0) {
            ASSERT_EQ(count, static_cast<int>(c.values.size())) << c.name;
            EXPECT_EQ(std::vector<std::int32_t>(values, values + count), c.values) << c.name;
        }
    }
}

TEST(parse_index, counts_fields_beyond_capacity_without_storing_them)
{
    std::int32_t values[3] = {0, 0, 42};
    int count = 0;
    ASSERT_EQ(parse_index("x.1.2.3.4", values, 2, &count), 0);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(values[0], 1);
    EXPECT_EQ(values[1], 2);
    EXPECT_EQ(values[2], 42);
}

TEST(strip_index, cuts_at_the_suffix_dot_and_fits_the_buffer)
{
    const struct {
        const char* name;
        const char* base;
    } cases[] = {
        {"ifTable.1.2", "ifTable"}, {"a.b.3", "a.b"}, {"x.bak", "x.bak"},
        {"x.-1", "x"},              {"x", "x"},       {".5", ""},
    };
    char out[32];
    for (const auto& c : cases)
        EXPECT_STREQ(strip_index(c.name, out, sizeof out), c.base) << c.name;
    char small[4];
    EXPECT_STREQ(strip_index("longname.1", small, sizeof small), "lon");
}

TEST(index_cmp, first_differing_position_decides)
{
    const std::int32_t a[] = {1, 2, 3}, b[] = {1, 3, 0}, c[] = {-1, 5, 5};
    EXPECT_LT(index_cmp(a, b, 3), 0);
    EXPECT_GT(index_cmp(b, a, 3), 0);
    EXPECT_EQ(index_cmp(a, b, 1), 0);
    EXPECT_EQ(index_cmp(a, a, 3), 0);
    EXPECT_LT(index_cmp(c, a, 3), 0);
    EXPECT_EQ(index_cmp(a, c, 0), 0);
}

}  // namespace
