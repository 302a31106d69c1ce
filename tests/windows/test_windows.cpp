// Windows only: the firmware folder listing (FindFirstFileA with the folder's
// "*.bin" pattern, directories skipped, full paths from _fullpath) and the
// millisecond tick from GetTickCount across its wrap.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "client_api.h"
#include "ostrelo_time.h"

namespace {

void touch(const std::string &path) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fputs("x", f);
    fclose(f);
}

TEST(WindowsFileCache, ListsBinFilesWithAbsoluteBackslashPaths) {
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof(temp), temp), 0u);
    const std::string dir = std::string(temp) + "ostrelo_win_cache_" + std::to_string(GetCurrentProcessId());
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    for (const char *name : {"b_second.bin", "a_first.BIN", "c_long_extension.binary", "notes.txt"}) {
        touch(dir + "\\" + name);
    }
    ASSERT_TRUE(std::filesystem::create_directory(dir + "\\folder.bin"));

    client_api_clear_file_cache();
    ASSERT_EQ(client_api_cache_directory_bin_files(dir.c_str()), 2);
    std::set<std::string> names;
    for (size_t i = 0; i < g_bin_file_count; ++i) {
        const std::string name = g_bin_file_cache[i].filename;
        names.insert(name);
        char expected[CLIENT_PATH_LEN];
        ASSERT_NE(_fullpath(expected, (dir + "\\" + name).c_str(), sizeof(expected)), nullptr);
        EXPECT_EQ(std::string(g_bin_file_cache[i].fullPath), expected);
        EXPECT_EQ(g_bin_file_cache[i].fullPath[1], ':') << "absolute, with its drive";
    }
    EXPECT_EQ(names, (std::set<std::string>{"a_first.BIN", "b_second.bin"}));

    // A relative folder path is made absolute against the current folder.
    char cwd[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(sizeof(cwd), cwd), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(temp));
    client_api_clear_file_cache();
    const std::string relative = dir.substr(strlen(temp));
    EXPECT_EQ(client_api_cache_directory_bin_files(relative.c_str()), 2);
    char expected[CLIENT_PATH_LEN];
    ASSERT_NE(_fullpath(expected, (dir + "\\" + g_bin_file_cache[0].filename).c_str(), sizeof(expected)),
              nullptr);
    EXPECT_EQ(std::string(g_bin_file_cache[0].fullPath), expected);
    SetCurrentDirectoryA(cwd);

    // A folder that cannot be listed gives an empty, valid cache.
    client_api_clear_file_cache();
    EXPECT_EQ(client_api_cache_directory_bin_files((dir + "\\missing").c_str()), 0);
    EXPECT_TRUE(g_file_cache_valid);
    client_api_clear_file_cache();
    std::filesystem::remove_all(dir);
}

// GetTickCount moves in steps of its own (about 16 ms on many machines), so
// a sleep measured with it can read a step short; the wrap is what counts.
TEST(WindowsTime, TickWrapsAndSleepsAreNeverShort) {
    ostrelo_time_set_tick_origin(0xFFFFFFFFu - 30u);
    const uint32_t start = get_current_time_ms();
    const uint64_t t0 = ostrelo_monotonic_us();
    delay_ms(100);
    EXPECT_GE(ostrelo_monotonic_us() - t0, 100000u);
    const uint32_t elapsed = get_current_time_ms() - start;
    EXPECT_LT(get_current_time_ms(), start); // wrapped
    EXPECT_GE(elapsed, 100u - 32u);
    EXPECT_LT(elapsed, 60000u);
    ostrelo_time_set_tick_origin(0);
}

} // namespace
