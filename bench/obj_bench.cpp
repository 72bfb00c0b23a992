// The object reader's hot paths: reading one object file per request, and
// the directory scan behind every get-next of a table.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "store/obj.h"
#include "tests/support/object_image.h"

namespace {

namespace fs = std::filesystem;

// An object of exactly `total` bytes: `count` - 1 UNSIGNED items and one
// RAW item that takes the rest of the space.
std::vector<unsigned char> sized_object(std::size_t total, std::size_t count)
{
    std::vector<image_item> items(count);
    std::size_t used = OBJ_HEADER_SIZE + OBJ_ITEM_SIZE * count;
    for (std::size_t i = 0; i < count; ++i) {
        bool raw = i == count - 1;
        std::size_t slot = raw ? total - used : 4;
        items[i] = {"benchItem" + std::to_string(i), raw ? ITEM_RAW : ITEM_UNSIGNED,
                    std::vector<unsigned char>(slot, 0), 0, static_cast<std::uint16_t>(raw ? slot : 0)};
        used += slot;
    }
    return object_image({"bench/obj", "/var/registry/bench/obj", 100, {}}, items);
}

fs::path scratch_dir(const std::string& tag)
{
    fs::path dir = fs::temp_directory_path() / ("obj_bench." + tag + "." + std::to_string(getpid()));
    fs::create_directories(dir);
    return dir;
}

void write_file(const fs::path& file, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void BM_obj_read_4k(benchmark::State& state)
{
    fs::path dir = scratch_dir("read");
    fs::path file = dir / "obj";
    write_file(file, sized_object(4096, 21));
    for (auto _ : state) {
        reg_object* obj = obj_read_file(file.c_str());
        if (obj == nullptr) {
            state.SkipWithError("object not readable");
            break;
        }
        benchmark::DoNotOptimize(obj);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * 4096);
    fs::remove_all(dir);
}
BENCHMARK(BM_obj_read_4k);

// One get-next step in a one-value table of state.range(0) rows: the whole
// table directory is scanned for the row after the one asked.
void BM_select_next(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    fs::path dir = scratch_dir("next" + std::to_string(rows));
    fs::create_directories(dir / "t");
    std::vector<unsigned char> row = sized_object(512, 1);
    for (int i = 1; i <= rows; ++i)
        write_file(dir / "t" / ("tab." + std::to_string(i)), row);
    obj_set_registry_dir(dir.c_str());
    reg_entry entry{};
    std::strcpy(entry.name, "benchItem0");
    std::strcpy(entry.subpath, "t/tab");
    entry.index_count = 1;
    entry.item_pos = -1;
    std::uint32_t request[] = {1, 3, 6, 1, 4, 1, 0};
    for (auto _ : state) {
        request[6] = static_cast<std::uint32_t>(rows / 2);
        int count = 1;
        const std::int32_t* next = obj_select_index(&entry, request, 7, &count, IDX_NEXT);
        if (next == nullptr || next[0] != rows / 2 + 1) {
            state.SkipWithError("wrong next row");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["rows"] = rows;
    obj_set_registry_dir(nullptr);
    fs::remove_all(dir);
}
BENCHMARK(BM_select_next)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
