// Filename key, naming rule, firmware folder cache and pairing, CRC-32.
#include "fake_backend.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

client_firmware_info_t info_of(const char *model, const char *encoder, const char *suffix) {
    client_firmware_info_t i{};
    snprintf(i.firmwareModel, sizeof(i.firmwareModel), "%s", model);
    snprintf(i.encoderName, sizeof(i.encoderName), "%s", encoder);
    snprintf(i.brakeSuffix, sizeof(i.brakeSuffix), "%s", suffix);
    return i;
}

std::string key_of(const client_firmware_info_t &i, size_t outSize = 128) {
    char out[128];
    memset(out, 'x', sizeof(out));
    client_api_build_fw_filename_key(&i, out, outSize);
    return std::string(out);
}

TEST(FilenameKey, KeepsDigitsAndLettersLowercased) {
    EXPECT_EQ(key_of(info_of("Unknown", "SingleTarsel", "B16")), "unknownsingletarselb16");
    EXPECT_EQ(key_of(info_of("60018", "Unknown Encoder type: 7", "B0")), "60018unknownencodertype7b0");
    EXPECT_EQ(key_of(info_of("40\xC3\xA9_9", "Double-Brisca", "B0")), "409doublebriscab0");
    EXPECT_EQ(key_of(info_of("4009", "SingleTarsel", "B0"), 5), "4009");
    EXPECT_EQ(key_of(info_of("4009", "SingleTarsel", "B0"), 1), "");

    // Buffers without a terminator (filled by a careless caller) are not overrun.
    client_firmware_info_t raw;
    memset(&raw, 'A', sizeof(raw));
    const std::string k = key_of(raw);
    EXPECT_EQ(k.size(), 16u + 32u + 8u);

    char untouched[4] = {'z', 'z', 'z', 0};
    client_api_build_fw_filename_key(nullptr, untouched, sizeof(untouched));
    client_api_build_fw_filename_key(&raw, untouched, 0);
    EXPECT_STREQ(untouched, "zzz");
}

TEST(NamingRule, KeyCharactersInOrderIgnoringCaseAndUnderscores) {
    const std::string key = key_of(info_of("Unknown", "SingleTarsel", "B16"));
    EXPECT_TRUE(match_filename_with_key("Unknown_SingleTarsel_B16.bin", key.c_str()));
    EXPECT_TRUE(match_filename_with_key("UNKNOWN_SINGLETARSEL_B16.BIN", key.c_str()));
    EXPECT_TRUE(match_filename_with_key("Unknown_SingleTarsel_B16_V1_2.bin", key.c_str()));
    EXPECT_TRUE(match_filename_with_key("fw-Unknown SingleTarsel B16 final.Bin", key.c_str()));
    EXPECT_FALSE(match_filename_with_key("SingleTarsel_Unknown_B16.bin", key.c_str()));
    EXPECT_FALSE(match_filename_with_key("Unknown_SingleTarsel_B1.bin", key.c_str()));
    EXPECT_FALSE(match_filename_with_key(".BIN", key.c_str()));
    EXPECT_FALSE(match_filename_with_key("", key.c_str()));
    EXPECT_FALSE(match_filename_with_key("anything.bin", ""));
    EXPECT_FALSE(match_filename_with_key(nullptr, key.c_str()));
    // Only the first 255 characters of a name count.
    const std::string longName = std::string(260, 'x') + "Unknown_SingleTarsel_B16.bin";
    EXPECT_FALSE(match_filename_with_key(longName.c_str(), key.c_str()));
    EXPECT_TRUE(match_filename_with_key(longName.substr(40).c_str(), key.c_str()));

    // B0 key: a B16 file matches when a 0 follows somewhere after "B16".
    const std::string b0 = key_of(info_of("4009", "SingleTarsel", "B0"));
    EXPECT_TRUE(match_filename_with_key("4009_SingleTarsel_B0.bin", b0.c_str()));
    EXPECT_TRUE(match_filename_with_key("4009-SingleTarsel-B16_V1_0.bin", b0.c_str()));
    EXPECT_FALSE(match_filename_with_key("4009_SingleTarsel_B16_V1_2.bin", b0.c_str()));
    // ".bin" is only cut as a suffix: its letters count when it is not one.
    EXPECT_TRUE(match_filename_with_key("4009_SingleTarsel_B.bin0.txt", b0.c_str()));
}

TEST(Crc32, StandardCheckValuesAndFailures) {
    char dir[] = "/tmp/client_crc_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string nine = std::string(dir) + "/nine.bin";
    const std::string empty = std::string(dir) + "/empty.bin";
    const std::string big = std::string(dir) + "/big.bin";
    FILE *f = fopen(nine.c_str(), "wb");
    fputs("123456789", f);
    fclose(f);
    fclose(fopen(empty.c_str(), "wb"));
    // 3 × 4096 + 5 bytes: crosses the read blocks.
    f = fopen(big.c_str(), "wb");
    for (int i = 0; i < 3 * 4096 + 5; ++i) {
        fputc(i * 7 + 3, f);
    }
    fclose(f);

    std::string out =
        fake::capture([&] { EXPECT_EQ(client_api_calculate_file_crc32(nine.c_str()), 0xCBF43926u); });
    EXPECT_NE(out.find("Calculating CRC32 for file: " + nine + "\n"), std::string::npos);
    EXPECT_NE(out.find("File CRC32: 0xCBF43926\n"), std::string::npos);
    EXPECT_EQ(client_api_calculate_file_crc32(empty.c_str()), 0u);
    EXPECT_EQ(client_api_calculate_file_crc32(big.c_str()), 0x354D5AA7u);

    const std::string missing = std::string(dir) + "/missing.bin";
    out = fake::capture([&] { EXPECT_EQ(client_api_calculate_file_crc32(missing.c_str()), 0u); });
    EXPECT_EQ(out, "Error: Cannot open file " + missing + " for CRC calculation\n");
    out = fake::capture([&] { EXPECT_EQ(client_api_calculate_file_crc32(dir), 0u); });
    EXPECT_EQ(out, "Error: Cannot open file " + std::string(dir) + " for CRC calculation\n");

    EXPECT_EQ(reverse_byte(0x01, 8), 0x80u);
    EXPECT_EQ(reverse_byte(0x04C11DB7u, 32), 0xEDB88320u);

    uint8_t *buf = nullptr;
    size_t size = 99;
    out = fake::capture([&] { EXPECT_EQ(read_file_to_buffer(dir, &buf, &size), -1); });
    EXPECT_EQ(out, "Error: Cannot open file " + std::string(dir) + "\n");
    ASSERT_EQ(read_file_to_buffer(empty.c_str(), &buf, &size), 0);
    EXPECT_EQ(size, 0u);
    free(buf);
    ASSERT_EQ(read_file_to_buffer(nine.c_str(), &buf, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), size), "123456789");
    free(buf);

    unlink(nine.c_str());
    unlink(empty.c_str());
    unlink(big.c_str());
    rmdir(dir);
}

class FileCache : public ::testing::Test {
  protected:
    void SetUp() override {
        strcpy(dir_, "/tmp/client_cache_XXXXXX");
        ASSERT_NE(mkdtemp(dir_), nullptr);
        fake::capture([] {
            client_api_clear_file_cache();
            client_api_clear_discovered_motors();
        });
    }
    void TearDown() override {
        fake::capture([] {
            client_api_clear_file_cache();
            client_api_clear_discovered_motors();
        });
        const std::string cmd = std::string("rm -rf '") + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string touch(const std::string &name, const std::string &sub = "") {
        const std::string path = std::string(dir_) + (sub.empty() ? "" : "/" + sub) + "/" + name;
        FILE *f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr) << path;
        if (f != nullptr) {
            fputs("x", f);
            fclose(f);
        }
        return path;
    }
    void discover(uint8_t node, const char *model, const char *encoder, const char *suffix) {
        client_discovered_motor_t &m = g_discovered_motors[node];
        m.discovered = 1;
        m.nodeId = node;
        m.channelId = {4, 0, 1, 500};
        m.info = info_of(model, encoder, suffix);
        client_api_build_fw_filename_key(&m.info, m.info.filenameKey, sizeof(m.info.filenameKey));
    }
    char dir_[64];
};

TEST_F(FileCache, ListsRegularBinFilesSortedWithAbsolutePaths) {
    touch("b_second.BIN");
    touch("a_first.bin");
    touch("c_third.Bin");
    touch("readme.txt");
    touch("bin"); // no dot
    ASSERT_EQ(mkdir((std::string(dir_) + "/folder.bin").c_str(), 0755), 0);
    touch("\xE7\x94\xB5\xE6\x9C\xBA.bin"); // UTF-8 name

    EXPECT_EQ(client_api_cache_directory_bin_files(dir_), 4);
    EXPECT_STREQ(g_bin_file_cache[0].filename, "a_first.bin");
    EXPECT_STREQ(g_bin_file_cache[1].filename, "b_second.BIN");
    EXPECT_STREQ(g_bin_file_cache[2].filename, "c_third.Bin");
    EXPECT_STREQ(g_bin_file_cache[3].filename, "\xE7\x94\xB5\xE6\x9C\xBA.bin");
    EXPECT_EQ(std::string(g_bin_file_cache[0].fullPath), std::string(dir_) + "/a_first.bin");
    EXPECT_TRUE(g_file_cache_valid);
    EXPECT_STREQ(g_cached_folder_path, dir_);

    // Same path again: no rescan, even though a file was added.
    touch("d_fourth.bin");
    EXPECT_EQ(client_api_cache_directory_bin_files(dir_), 4);
    // Differently spelled path of the same folder: rescans, paths normalised.
    const std::string spelled = std::string(dir_) + "/./";
    EXPECT_EQ(client_api_cache_directory_bin_files(spelled.c_str()), 5);
    EXPECT_EQ(std::string(g_bin_file_cache[3].fullPath), std::string(dir_) + "/d_fourth.bin");

    // Relative folder: made absolute against the current directory.
    char *cwd = getcwd(nullptr, 0);
    ASSERT_EQ(chdir("/tmp"), 0);
    const std::string rel = std::string(dir_ + 5) + "/../" + std::string(dir_ + 5);
    EXPECT_EQ(client_api_cache_directory_bin_files(rel.c_str()), 5);
    EXPECT_EQ(std::string(g_bin_file_cache[0].fullPath), std::string(dir_) + "/a_first.bin");
    ASSERT_EQ(chdir(cwd), 0);
    free(cwd);

    // A UTF-8 folder name.
    const std::string utf8 = std::string(dir_) + "/\xE5\x9B\xBA\xE4\xBB\xB6";
    ASSERT_EQ(mkdir(utf8.c_str(), 0755), 0);
    touch("4009_SingleTarsel_B0.bin", "\xE5\x9B\xBA\xE4\xBB\xB6");
    EXPECT_EQ(client_api_cache_directory_bin_files(utf8.c_str()), 1);
    EXPECT_EQ(std::string(g_bin_file_cache[0].fullPath), utf8 + "/4009_SingleTarsel_B0.bin");

    // Missing folder: empty, still valid for that path.
    const std::string missing = std::string(dir_) + "/nope";
    EXPECT_EQ(client_api_cache_directory_bin_files(missing.c_str()), 0);
    EXPECT_TRUE(g_file_cache_valid);

    client_api_clear_file_cache();
    EXPECT_FALSE(g_file_cache_valid);
    EXPECT_EQ(g_bin_file_count, 0u);
    EXPECT_STREQ(g_cached_folder_path, "");
}

TEST_F(FileCache, KeepsTheFirst512AndSkipsPathsTooLongForTheRecord) {
    char name[32];
    for (int i = 0; i < 600; ++i) {
        snprintf(name, sizeof(name), "fw_%03d.bin", i);
        touch(name);
    }
    EXPECT_EQ(client_api_cache_directory_bin_files(dir_), 512);
    EXPECT_STREQ(g_bin_file_cache[0].filename, "fw_000.bin");
    EXPECT_STREQ(g_bin_file_cache[511].filename, "fw_511.bin");

    // A 255-character name in a deep folder: the path exceeds 511 characters.
    std::string sub = "d";
    std::string deep = std::string(dir_);
    for (int i = 0; i < 3; ++i) {
        deep += "/" + std::string(100, 'p');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    const std::string longName = std::string(251, 'n') + ".bin";
    const std::string shortName = "ok.bin";
    for (const std::string *n : {&longName, &shortName}) {
        FILE *f = fopen((deep + "/" + *n).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fclose(f);
    }
    EXPECT_EQ(client_api_cache_directory_bin_files(deep.c_str()), 1);
    EXPECT_STREQ(g_bin_file_cache[0].filename, "ok.bin");
}

TEST_F(FileCache, PairsMotorsWithTheFirstMatchingFile) {
    touch("4009-SingleTarsel-B16_V1_0.bin");
    touch("4009_SingleTarsel_B0.bin");
    touch("60018_DoubleBrisca_B16.bin");
    discover(3, "4009", "SingleTarsel", "B0");
    discover(7, "60018", "DoubleBrisca", "B16");
    discover(9, "80026", "SingleTarsel", "B0"); // no file

    std::string out = fake::capture([&] { EXPECT_EQ(client_api_match_bin_files(dir_), 2); });
    EXPECT_NE(out.find(std::string("Cached 3 .bin files from directory: ") + dir_ + "\n"), std::string::npos);
    EXPECT_NE(out.find("Matched 2 motors with bin files\n"), std::string::npos);
    // The B16 file sorts first and carries a 0 after "B16": it wins for the B0 motor.
    EXPECT_TRUE(g_matched_files[3].matched);
    EXPECT_STREQ(g_matched_files[3].filename, "4009-SingleTarsel-B16_V1_0.bin");
    EXPECT_STREQ(g_matched_files[7].filename, "60018_DoubleBrisca_B16.bin");
    EXPECT_EQ(std::string(g_matched_files[7].fullPath), std::string(dir_) + "/60018_DoubleBrisca_B16.bin");
    EXPECT_FALSE(g_matched_files[9].matched);

    out = fake::capture([] { client_api_print_matched_files(); });
    EXPECT_NE(out.find("[node 3] Channel: Type=4, Index=0, Channel=1, Bitrate=500\n  Filename key: "
                       "4009singletarselb0\n  Matched file: 4009-SingleTarsel-B16_V1_0.bin\n"),
              std::string::npos);
    EXPECT_NE(out.find("[node 9] Channel: Type=4, Index=0, Channel=1, Bitrate=500\n  Filename key: "
                       "80026singletarselb0\n  No matched file found\n"),
              std::string::npos);

    out = fake::capture([] { EXPECT_EQ(client_api_match_bin_files(nullptr), -1); });
    EXPECT_EQ(out, "Error: Invalid folder path\n");

    fake::capture([] { client_api_clear_discovered_motors(); });
    out = fake::capture([&] { EXPECT_EQ(client_api_match_bin_files(dir_), 0); });
    EXPECT_NE(out.find("Matched 0 motors with bin files\n"), std::string::npos);
    EXPECT_FALSE(g_matched_files[3].matched);
}

} // namespace
