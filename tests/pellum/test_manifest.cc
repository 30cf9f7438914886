// The manifest check: key-file parsing, minimum and refused versions, and the verdict on a
// real archive extracted with tar under a private camera root.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "main.h"
#include "manifest.h"

namespace
{

const char *const kGroups[] = {"pellum", "firmware"};

zent_version v(int a, int b, int c, int d)
{
    return zent_version{{a, b, c, d}};
}

std::string shq(const std::string &s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct ManifestText {
    Manifest *man;
    int loaded;
    explicit ManifestText(const std::string &text)
        : man(manifest_create(kGroups, 2)),
          loaded(manifest_load_data(man, text.data(), text.size(), G_KEY_FILE_NONE))
    {
    }
    ~ManifestText() { manifest_destroy(man); }
};

TEST(ManifestData, MinimumAndBlacklistPerGroup)
{
    ManifestText m("[firmware]\nmin_required=5.50\nblacklist=6.10;6.50.1;7\n"
                   "[pellum]\nmin_required=1.6\n# comment\n[other]\nmin_required=99\n");
    ASSERT_EQ(m.loaded, 1);
    zent_version fw = v(6, 50, 1, -1);
    zent_version old_fw = v(5, 49, 9, -1);
    zent_version pellum = v(1, 6, 0, -1);
    EXPECT_EQ(manifest_check_min_required(m.man, "firmware", &fw), 1);
    EXPECT_EQ(manifest_check_min_required(m.man, "firmware", &old_fw), 0);
    EXPECT_EQ(manifest_check_min_required(m.man, "pellum", &pellum), 1); // 1.6 below 1.6.0
    EXPECT_EQ(manifest_check_blacklist(m.man, "firmware", &fw), 0);
    EXPECT_EQ(manifest_check_blacklist(m.man, "pellum", &pellum), 1);
    // Equality is over all four numbers: 6.10 refuses 6.10 but not 6.10.1.
    zent_version six_ten = v(6, 10, -1, -1);
    zent_version six_ten_one = v(6, 10, 1, -1);
    EXPECT_EQ(manifest_check_blacklist(m.man, "firmware", &six_ten), 0);
    EXPECT_EQ(manifest_check_blacklist(m.man, "firmware", &six_ten_one), 1);
    const zent_version *min = manifest_get_min_required(m.man, "firmware");
    ASSERT_NE(min, nullptr);
    EXPECT_EQ(min->num[0], 5);
    EXPECT_EQ(min->num[1], 50);
    EXPECT_EQ(min->num[2], -1);
}

TEST(ManifestData, FourthNumberMinimumRefusesThreeNumberVersion)
{
    ManifestText m("[firmware]\nmin_required=6.50.1.0\n");
    ASSERT_EQ(m.loaded, 1);
    zent_version fw = v(6, 50, 1, -1);
    EXPECT_EQ(manifest_check_min_required(m.man, "firmware", &fw), 0);
}

TEST(ManifestData, MissingGroupOrMinimumSetsNoConstraint)
{
    ManifestText m("[firmware]\nblacklist=1.0\n");
    ASSERT_EQ(m.loaded, 1);
    zent_version anything = v(0, 0, -1, -1);
    EXPECT_EQ(manifest_get_min_required(m.man, "firmware"), nullptr);
    EXPECT_EQ(manifest_get_min_required(m.man, "pellum"), nullptr);
    EXPECT_EQ(manifest_check_min_required(m.man, "firmware", &anything), 1);
    EXPECT_EQ(manifest_check_min_required(m.man, "pellum", &anything), 1);
    EXPECT_EQ(manifest_check_blacklist(m.man, "pellum", &anything), 1);
}

TEST(ManifestData, UnparsableValuesBecomeEmptyVersions)
{
    // An unreadable minimum is an empty version (met by everything); an empty blacklist entry
    // refuses only an empty version.
    ManifestText m("[firmware]\nmin_required=latest\nblacklist=;abc\n");
    ASSERT_EQ(m.loaded, 1);
    zent_version fw = v(6, 50, 1, -1);
    zent_version empty = v(-1, -1, -1, -1);
    EXPECT_EQ(manifest_check_min_required(m.man, "firmware", &fw), 1);
    EXPECT_EQ(manifest_check_blacklist(m.man, "firmware", &fw), 1);
    EXPECT_EQ(manifest_check_blacklist(m.man, "firmware", &empty), 0);
}

TEST(ManifestData, InvalidKeyFileIsRefusedAndMayBeLoadedAgain)
{
    Manifest *man = manifest_create(kGroups, 2);
    const std::string bad = "this is [not a key file\n=\n";
    EXPECT_EQ(manifest_load_data(man, bad.data(), bad.size(), G_KEY_FILE_NONE), 0);
    const std::string good = "[pellum]\nmin_required=1.7\n";
    EXPECT_EQ(manifest_load_data(man, good.data(), good.size(), G_KEY_FILE_NONE), 1);
    zent_version pellum = v(1, 6, 0, -1);
    EXPECT_EQ(manifest_check_min_required(man, "pellum", &pellum), 0);
    // Loaded once: the key file is gone and a second load is refused.
    EXPECT_EQ(manifest_load_data(man, good.data(), good.size(), G_KEY_FILE_NONE), 0);
    manifest_destroy(man);
    manifest_destroy(nullptr);
}

TEST(ManifestData, UnknownGroupIsAProgrammingError)
{
    ManifestText m("[pellum]\n");
    zent_version x = v(1, 0, -1, -1);
    EXPECT_DEATH(manifest_check_min_required(m.man, "nosuch", &x), "");
}

TEST(ManifestStateNames, OutOfRangeReadsMissing)
{
    EXPECT_STREQ(manifest_state_to_string(OK), "OK");
    EXPECT_STREQ(manifest_state_to_string(INVALID_PELLUM_AND_FIRMWARE),
                 "INVALID_PELLUM_AND_FIRMWARE");
    EXPECT_STREQ(manifest_state_to_string(5), "MISSING");
    EXPECT_STREQ(manifest_state_to_string(-1), "MISSING");
    EXPECT_STREQ(manifest_state_to_page_name(2), "invalid_firmware");
    EXPECT_STREQ(manifest_state_to_page_name(17), "missing");
}

// A private camera root with an archive made by tar from the given manifest.
class ManifestArchive : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/pellum-manifest-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        setenv("ZENT_ROOT", root_.c_str(), 1);
        mkdir((root_ + "/tmp").c_str(), 0755);
        firmware_version = v(6, 50, 1, -1);
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf " + shq(root_);
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        unsetenv("ZENT_ROOT");
    }
    void make_archive(const char *manifest)
    {
        std::string src = root_ + "/src";
        ASSERT_EQ(std::system(("mkdir -p " + shq(src + "/package")).c_str()), 0);
        std::ofstream(src + "/package/pyrun") << "#!/bin/sh\n";
        if (manifest != nullptr)
            std::ofstream(src + "/package/REQUIREMENTS.ini") << manifest;
        std::string cmd =
            "tar -czf " + shq(root_ + "/tmp/package.tar.gz") + " -C " + shq(src) + " package";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string root_;
};

TEST_F(ManifestArchive, Verdicts)
{
    struct Case {
        const char *manifest;
        int state;
    } cases[] = {
        {"[firmware]\nmin_required=5.50\n[pellum]\nmin_required=1.6\n", OK},
        {"[firmware]\nmin_required=5.50\n[pellum]\nmin_required=1.7\n", INVALID_PELLUM},
        {"[firmware]\nmin_required=5.50\nblacklist=6.10;6.50.1;7.0\n", INVALID_FIRMWARE},
        {"[firmware]\nmin_required=6.50.1.0\n[pellum]\nblacklist=1.6.0\n",
         INVALID_PELLUM_AND_FIRMWARE},
        {"[firmware]\n[pellum]\n", OK},
        {"[pellum]\n", OK},
        // An empty file cannot be mapped: unreadable, so missing.
        {"", MISSING},
        {"not [a key file\n", MISSING},
    };
    for (const Case &c : cases) {
        make_archive(c.manifest);
        EXPECT_EQ(eval_manifest_state(), c.state) << c.manifest;
        struct stat st {
        };
        // The extracted copy is cleaned up after every check.
        EXPECT_NE(stat((root_ + "/tmp/package").c_str(), &st), 0);
    }
}

TEST_F(ManifestArchive, MissingArchiveOrManifest)
{
    EXPECT_EQ(eval_manifest_state(), MISSING);
    make_archive(nullptr);
    EXPECT_EQ(eval_manifest_state(), MISSING);
    std::ofstream(root_ + "/tmp/package.tar.gz") << "not gzip at all";
    EXPECT_EQ(eval_manifest_state(), MISSING);
}

TEST_F(ManifestArchive, ForeignFilesInExtractDirectoryStay)
{
    make_archive("[pellum]\nmin_required=1.7\n");
    ASSERT_EQ(mkdir((root_ + "/tmp/package").c_str(), 0755), 0);
    std::ofstream(root_ + "/tmp/package/keep") << "x";
    EXPECT_EQ(eval_manifest_state(), INVALID_PELLUM);
    struct stat st {
    };
    EXPECT_EQ(stat((root_ + "/tmp/package/keep").c_str(), &st), 0);
    EXPECT_NE(stat((root_ + "/tmp/package/REQUIREMENTS.ini").c_str(), &st), 0);
}

TEST_F(ManifestArchive, ArchivePathWithQuoteIsInert)
{
    // The archive path reaches a shell command: a quote in the root must not break it.
    std::string odd = root_ + "/it's";
    ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
    setenv("ZENT_ROOT", odd.c_str(), 1);
    std::string saved = root_;
    root_ = odd;
    mkdir((root_ + "/tmp").c_str(), 0755);
    make_archive("[pellum]\nmin_required=1.7\n");
    EXPECT_EQ(eval_manifest_state(), INVALID_PELLUM);
    root_ = saved;
}

} // namespace
