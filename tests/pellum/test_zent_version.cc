// Version strings: scan results by item count, ordering with absent and wildcard numbers, and
// the printer's cut at every buffer size.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "zent_version.h"

namespace
{

zent_version v(int a, int b, int c, int d)
{
    return zent_version{{a, b, c, d}};
}

void expect_version(const zent_version &got, int a, int b, int c, int d)
{
    EXPECT_EQ(got.num[0], a);
    EXPECT_EQ(got.num[1], b);
    EXPECT_EQ(got.num[2], c);
    EXPECT_EQ(got.num[3], d);
}

TEST(VersionScan, ReadsUpToFourNumbersAndDropsTheSuffix)
{
    zent_version r = v(9, 9, 9, 9);
    EXPECT_EQ(zent_version_scan("1.6.0", &r), 0);
    expect_version(r, 1, 6, 0, -1);
    EXPECT_EQ(zent_version_scan("5.50.3.2.rc1", &r), 0);
    expect_version(r, 5, 50, 3, 2);
    EXPECT_EQ(zent_version_scan("6.50", &r), 0);
    expect_version(r, 6, 50, -1, -1);
    EXPECT_EQ(zent_version_scan("7", &r), 0);
    expect_version(r, 7, -1, -1, -1);
    EXPECT_EQ(zent_version_scan("6.50.1-beta", &r), 0);
    expect_version(r, 6, 50, 1, -1);
    EXPECT_EQ(zent_version_scan("-3.4", &r), 0);
    expect_version(r, -3, 4, -1, -1);
}

TEST(VersionScan, RefusesTextWithoutALeadingNumber)
{
    zent_version r = v(1, 2, 3, 4);
    EXPECT_EQ(zent_version_scan("abc", &r), 1);
    expect_version(r, -1, -1, -1, -1);
    r = v(1, 2, 3, 4);
    EXPECT_EQ(zent_version_scan("v6.50.1", &r), 1);
    expect_version(r, -1, -1, -1, -1);
    EXPECT_EQ(zent_version_scan(nullptr, &r), 1);
}

TEST(VersionScan, EmptyTextLeavesTheRecord)
{
    zent_version r = v(1, 2, 3, 4);
    EXPECT_EQ(zent_version_scan("", &r), 0);
    expect_version(r, 1, 2, 3, 4);
}

TEST(VersionScan, LongSuffixDoesNotOverrun)
{
    std::string text = "1.2.3.4." + std::string(5000, 'x');
    zent_version r = v(0, 0, 0, 0);
    EXPECT_EQ(zent_version_scan(text.c_str(), &r), 0);
    expect_version(r, 1, 2, 3, 4);
}

TEST(VersionCompare, SignOfBMinusA)
{
    zent_version a = v(1, 6, -1, -1);
    zent_version b = v(1, 6, 0, -1);
    EXPECT_EQ(zent_version_compare(&a, &b), 1);
    EXPECT_EQ(zent_version_compare(&b, &a), -1);
    EXPECT_EQ(zent_version_compare(&a, &a), 0);
    zent_version c = v(1, 6, 0, 0);
    EXPECT_EQ(zent_version_compare(&b, &c), 1); // absent fourth is below 0
    zent_version d = v(2, 0, 0, 0);
    zent_version e = v(1, 99, 99, 99);
    EXPECT_EQ(zent_version_compare(&d, &e), -1);
    EXPECT_EQ(zent_version_compare(&e, &d), 1);
}

TEST(VersionCompare, WildcardStopsAsEqual)
{
    zent_version w = v(6, -2, 0, 0);
    zent_version x = v(6, 99, 5, 5);
    EXPECT_EQ(zent_version_compare(&w, &x), 0);
    EXPECT_EQ(zent_version_compare(&x, &w), 0);
    // A difference before the wildcard still decides.
    zent_version y = v(7, 0, 0, 0);
    EXPECT_EQ(zent_version_compare(&w, &y), 1);
}

TEST(VersionEmpty, FirstNumberAbsent)
{
    zent_version e = v(-1, 2, -1, -1);
    zent_version f = v(0, -1, -1, -1);
    EXPECT_NE(zent_version_is_empty(&e), 0);
    EXPECT_EQ(zent_version_is_empty(&f), 0);
}

TEST(VersionStringify, TextForms)
{
    char buf[32];
    zent_version a = v(1, 6, 0, -1);
    EXPECT_STREQ(zent_version_stringify_r(buf, sizeof buf, &a), "1.6.0");
    zent_version b = v(6, 50, -1, -1);
    EXPECT_STREQ(zent_version_stringify_r(buf, sizeof buf, &b), "6.50");
    zent_version c = v(6, -2, -1, -1);
    EXPECT_STREQ(zent_version_stringify_r(buf, sizeof buf, &c), "6.*");
    zent_version d = v(-1, -1, -1, -1);
    EXPECT_STREQ(zent_version_stringify_r(buf, sizeof buf, &d), "");
    zent_version e = v(-1, 2, -1, -1);
    EXPECT_STREQ(zent_version_stringify_r(buf, sizeof buf, &e), "2");
    zent_version f = v(-2, 3, -1, -1);
    EXPECT_STREQ(zent_version_stringify_r(buf, sizeof buf, &f), "*.3");
}

TEST(VersionStringify, CutsAtEveryBufferSize)
{
    zent_version big = v(2147483647, 2147483647, 2147483647, 2147483647);
    const std::string full = "2147483647.2147483647.2147483647.2147483647";
    // The static printer holds 19 characters.
    EXPECT_EQ(std::string(zent_version_stringify(&big)), full.substr(0, 19));
    for (size_t size = 1; size <= full.size() + 2; ++size) {
        std::string buf(size + 8, '#'); // guard bytes after the buffer
        zent_version_stringify_r(buf.data(), size, &big);
        EXPECT_EQ(std::string(buf.c_str()), full.substr(0, size - 1)) << "size " << size;
        EXPECT_EQ(buf.substr(size), std::string(8, '#')) << "size " << size;
    }
    char none[1] = {'#'};
    EXPECT_EQ(zent_version_stringify_r(none, 0, &big), none); // nothing written
    EXPECT_EQ(none[0], '#');
}

TEST(VersionStringify, RoundTripThroughScan)
{
    const char *texts[] = {"0", "1.6.0", "6.50.1", "10.20.30.40", "3.0"};
    for (const char *t : texts) {
        zent_version r = v(0, 0, 0, 0);
        ASSERT_EQ(zent_version_scan(t, &r), 0);
        char buf[20];
        EXPECT_STREQ(zent_version_stringify_r(buf, sizeof buf, &r), t);
    }
}

} // namespace
