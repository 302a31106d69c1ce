// Filename key, naming rule, firmware folder cache and pairing, CRC-32.
#include "client_api.h"
#include "client_api_names.h"
#include "fake_backend.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
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

// A file made for another model, encoder or brake must never be taken for
// a motor while its own file is there; the rule alone pairs both.
TEST(NamingRule, ExactBeforeLoose) {
    client_firmware_info_t b0 = info_of("4009", "SingleTarsel", "B0");
    client_api_build_fw_filename_key(&b0, b0.filenameKey, sizeof(b0.filenameKey));
    client_firmware_info_t odd = info_of("Unknown", "Unknown Encoder type: 7", "B16");
    client_api_build_fw_filename_key(&odd, odd.filenameKey, sizeof(odd.filenameKey));
    const struct {
        const client_firmware_info_t *info;
        const char *name;
        int kind;
    } kinds[] = {
        {&b0, "4009_SingleTarsel_B0_V1_0_0_4.bin", CLIENT_FILE_MATCH_EXACT},
        {&b0, "4009_singletarsel_b0.BIN", CLIENT_FILE_MATCH_EXACT},
        {&b0, "4009_SingleTarsel_B0", CLIENT_FILE_MATCH_EXACT},
        {&b0, "4009_SingleTarsel_B0_final.bin", CLIENT_FILE_MATCH_EXACT},
        {&b0, "14009_SingleTarsel_B0_V1_0_0_9.bin", CLIENT_FILE_MATCH_LOOSE}, // another model
        {&b0, "4009_SingleTarsel_B16_V1_0_0_9.bin", CLIENT_FILE_MATCH_LOOSE}, // B16 with a 0 after it
        {&b0, "fw_4009_SingleTarsel_B0.bin", CLIENT_FILE_MATCH_LOOSE},
        {&b0, "4009_SingleTarsel_B0x.bin", CLIENT_FILE_MATCH_LOOSE},
        {&b0, "4009__SingleTarsel_B0.bin", CLIENT_FILE_MATCH_LOOSE},
        {&b0, "4009-SingleTarsel-B0.bin", CLIENT_FILE_MATCH_LOOSE},
        {&b0, "4009_SingleTarsel_B16_V1_2.bin", CLIENT_FILE_MATCH_NONE},
        {&b0, nullptr, CLIENT_FILE_MATCH_NONE},
        {&odd, "Unknown_UnknownEncoderType7_B16.bin", CLIENT_FILE_MATCH_EXACT},
        {&odd, "Unknown_Unknown Encoder type 7_B16.bin", CLIENT_FILE_MATCH_LOOSE},
    };
    for (const auto &c : kinds) {
        EXPECT_EQ(client_api_file_match_kind(c.name, c.info), c.kind) << (c.name ? c.name : "(null)");
    }

    const char *const listing[] = {"14009_SingleTarsel_B0_V1_0_0_9.bin", "4009_SingleTarsel_B0_V1_0_0_4.bin",
                                   "4009_SingleTarsel_B0_V1_0_0_5.bin", "4009_SingleTarsel_B16_V1_0_0_9.bin",
                                   "60018_DoubleTarsel_B16_V1_1_2_2.bin"};
    const struct {
        size_t from, count;
        int pair;
        size_t exact, loose;
    } pairs[] = {
        {0, 2, CLIENT_PAIR_EXACT, 1, 1},         // the loose file lists first; the exact one wins
        {0, 1, CLIENT_PAIR_LOOSE_ONLY, 0, 1},    // only another model's file
        {3, 1, CLIENT_PAIR_LOOSE_ONLY, 0, 1},    // only a B16 file
        {1, 2, CLIENT_PAIR_SEVERAL_EXACT, 2, 0}, // two versions: a person chooses
        {4, 1, CLIENT_PAIR_NONE, 0, 0},          {0, 0, CLIENT_PAIR_NONE, 0, 0},
    };
    for (const auto &c : pairs) {
        client_file_candidates_t cand;
        EXPECT_EQ(client_api_file_candidates(&b0, listing + c.from, c.count, &cand), c.pair) << c.from;
        EXPECT_EQ(cand.exactCount, c.exact) << c.from;
        EXPECT_EQ(cand.looseCount, c.loose) << c.from;
    }
    client_file_candidates_t cand;
    ASSERT_EQ(client_api_file_candidates(&b0, listing, 5, &cand), CLIENT_PAIR_SEVERAL_EXACT);
    EXPECT_EQ(cand.exact[0], 2u); // the newer version first
    EXPECT_EQ(cand.exact[1], 1u);
    EXPECT_EQ(cand.loose[0], 0u);
    EXPECT_EQ(cand.loose[1], 3u);
    EXPECT_EQ(client_api_file_candidates(nullptr, listing, 5, &cand), CLIENT_PAIR_NONE);
    EXPECT_EQ(cand.exactCount + cand.looseCount, 0u);

    // More candidates than are listed: all counted, the newest named, a
    // name without a version after every versioned one, equal versions in
    // listing order.
    std::vector<std::string> many = {"4009_SingleTarsel_B0.bin"};
    for (int i : {3, 19, 7, 12, 0, 15, 19, 1, 9, 18, 2, 16, 4, 17, 5}) {
        many.push_back("4009_SingleTarsel_B0_V1_0_0_" + std::to_string(i) + ".bin");
    }
    std::vector<const char *> names;
    for (const std::string &n : many) {
        names.push_back(n.c_str());
    }
    EXPECT_EQ(client_api_file_candidates(&b0, names.data(), names.size(), &cand), CLIENT_PAIR_SEVERAL_EXACT);
    EXPECT_EQ(cand.exactCount, 16u);
    const size_t newest[CLIENT_CANDIDATES_LISTED] = {2, 7, 10, 14, 12, 6, 4, 9}; // 19 19 18 17 16 15 12 9
    for (size_t k = 0; k < CLIENT_CANDIDATES_LISTED; ++k) {
        EXPECT_EQ(cand.exact[k], newest[k]) << k;
    }
    const char *two[] = {"4009_SingleTarsel_B0.bin", "4009_SingleTarsel_B0_x2.bin",
                         "4009_SingleTarsel_B0_V1.0.0.1.bin"};
    EXPECT_EQ(client_api_file_candidates(&b0, two, 3, &cand), CLIENT_PAIR_SEVERAL_EXACT);
    EXPECT_EQ(cand.exact[0], 2u);
    EXPECT_EQ(cand.exact[1], 0u);
    EXPECT_EQ(cand.exact[2], 1u);
}

TEST(NamingRule, VersionInTheName) {
    const struct {
        const char *name;
        uint32_t version; // 0: none
    } cases[] = {
        {"4009_SingleTarsel_B0_V1_0_0_4.bin", 0x01000004u},
        {"60018_DoubleTarsel_B16_V1_1_2_2.BIN", 0x01010202u},
        {"x_v255_254_0_10_final.bin", 0xFFFE000Au},
        {"V3_1_0_1", 0x03010001u},
        {"fw-V2_0_1_6.hex", 0x02000106u},
        {"a_V1_0_0_4_b_V9_9_9_9.bin", 0x01000004u},         // the first one
        {"4009_SingleTarsel_B0_V1.0.0.2.bin", 0x01000002u}, // dots, as people write it
        {"x_v2.0.1.6_final.bin", 0x02000106u},
        {"x_V1_0.0_4.bin", 0}, // one separator throughout
        {"x_V1.0.0.bin", 0},
        {"4009_SingleTarsel_B0.bin", 0},
        {"4009_SingleTarsel_B0_V1_2.bin", 0},
        {"x_V1_0_0_256.bin", 0},
        {"x_V1_0_0_0004.bin", 0},
        {"x_V1_0__0_4.bin", 0},
        {"x_V1_0_0_4a.bin", 0},
        {"xV1_0_0_4.bin", 0},
        {"x_V1_0_0_.bin", 0},
        {"", 0},
    };
    for (const auto &c : cases) {
        uint32_t v = 0xDEADBEEFu;
        EXPECT_EQ(client_api_file_name_version(c.name, &v), c.version ? 0 : -1) << c.name;
        EXPECT_EQ(v, c.version ? c.version : 0xDEADBEEFu) << c.name;
    }
    uint32_t v = 0;
    EXPECT_EQ(client_api_file_name_version(nullptr, &v), -1);
    EXPECT_EQ(client_api_file_name_version("x_V1_0_0_4.bin", nullptr), -1);
}

TEST(SdoAbortText, CiA301Meanings) {
    const struct {
        uint32_t code;
        const char *text;
    } cases[] = {
        {0x05030000u, "toggle bit not alternated"},
        {0x05040000u, "SDO protocol timed out"},
        {0x05040004u, "CRC error"},
        {0x05040005u, "out of memory"},
        {0x06010000u, "unsupported access to an object"},
        {0x06020000u, "object does not exist in the object dictionary"},
        {0x06070012u, "data type does not match, length of service parameter too high"},
        {0x06090011u, "sub-index does not exist"},
        {0x08000000u, "general error"},
        {0x08000020u, "data cannot be transferred or stored to the application"},
        {0x08000022u,
         "data cannot be transferred or stored to the application because of the present device state"},
        {0x08000024u, "no data available"},
        {0x00000000u, nullptr},
        {0x05040006u, nullptr},
        {0xFFFFFFFFu, nullptr},
    };
    for (const auto &c : cases) {
        const char *t = client_api_sdo_abort_text(c.code);
        EXPECT_STREQ(t, c.text) << std::hex << c.code;
    }
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
    const std::string out =
        fake::capture([&] { EXPECT_EQ(client_api_cache_directory_bin_files(deep.c_str()), 1); });
    EXPECT_STREQ(g_bin_file_cache[0].filename, "ok.bin");
    // Left out, but said and counted.
    EXPECT_EQ(g_bin_file_too_long, 1u);
    EXPECT_NE(out.find("[WARNING] Firmware file left out: its path has " +
                       std::to_string(deep.size() + 1 + longName.size()) +
                       " characters, the file cache holds 511: " + deep + "/" + longName + "\n"),
              std::string::npos)
        << out;
    client_api_clear_file_cache();
    EXPECT_EQ(g_bin_file_too_long, 0u);
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
    // The same listing sorted for the window: its own file is the exact one.
    client_file_candidates_t cand;
    EXPECT_EQ(client_api_cached_file_candidates(&g_discovered_motors[3].info, &cand), CLIENT_PAIR_EXACT);
    EXPECT_STREQ(g_bin_file_cache[cand.exact[0]].filename, "4009_SingleTarsel_B0.bin");
    EXPECT_STREQ(g_bin_file_cache[cand.loose[0]].filename, "4009-SingleTarsel-B16_V1_0.bin");

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
