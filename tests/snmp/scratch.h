// A private scratch folder for tests that need real files; removed with
// everything in it when the test ends.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

struct scratch_dir {
    std::string path;
    scratch_dir()
    {
        char tmpl[] = "/tmp/snmp_test.XXXXXX";
        const char* made = mkdtemp(tmpl);
        path = made ? made : "";
    }
    ~scratch_dir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string write(const std::string& name, const std::string& text) const
    {
        std::string file = path + "/" + name;
        FILE* f = fopen(file.c_str(), "w");
        if (f != nullptr) {
            fwrite(text.data(), 1, text.size(), f);
            fclose(f);
        }
        return file;
    }
};
