// A scratch data registry under /tmp that is the working directory while a
// test runs; removed with everything in it afterwards.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

class scratch_registry : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/dsmux_registry_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        old_cwd = std::filesystem::current_path();
        std::filesystem::current_path(root);
    }
    void TearDown() override
    {
        std::filesystem::current_path(old_cwd);
        std::filesystem::remove_all(root);
    }
    // Makes the file `relative` (and the directories on its way) below the
    // registry.
    void touch(const std::string& relative)
    {
        std::filesystem::path p = root / relative;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p) << "row";
    }
    std::filesystem::path root;
    std::filesystem::path old_cwd;
};
