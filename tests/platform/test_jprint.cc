// The JSON printer byte for byte: layouts of the three modes, separators, number formats, and
// the overflow rule (a cut text is always the document up to its last whole element).
#include "jprint.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <vector>

namespace
{

std::string run(int size, int mode, int step, const std::function<void(jprint_t *)> &body,
                int *overflow = nullptr)
{
    std::vector<char> buf(static_cast<std::size_t>(size) + 16, '#');
    jprint_t jp;
    EXPECT_EQ(jprint_init(&jp, buf.data(), size, 0, step), 0);
    jp.mode = mode;
    body(&jp);
    if (overflow != nullptr)
        *overflow = jp.overflow;
    EXPECT_EQ(jprint_length(&jp), static_cast<int>(std::strlen(jp.start)));
    // Nothing is written past the buffer.
    for (std::size_t i = static_cast<std::size_t>(size); i < buf.size(); ++i)
        EXPECT_EQ(buf[i], '#') << "byte " << i << " written past a buffer of " << size;
    std::string out(jp.start);
    EXPECT_EQ(jprint_cleanup(&jp), 0);
    return out;
}

void small_object(jprint_t *jp)
{
    jprint_begin_dict(jp, nullptr);
    jprint_string(jp, "a", "b");
    jprint_int(jp, "n", 3);
    jprint_end_dict(jp);
}

TEST(JprintLayout, ModeZeroWritesOneMemberPerLine)
{
    EXPECT_EQ(run(256, 0, 2, small_object), "{\n  \"a\" : \"b\",\n  \"n\" : 3\n}");
}

TEST(JprintLayout, CompactModeHasNoBlanksOrBreaks)
{
    EXPECT_EQ(run(256, JPRINT_COMPACT, 0, small_object), "{\"a\":\"b\",\"n\":3}");
}

TEST(JprintLayout, TightKeysAndUnquotedValues)
{
    EXPECT_EQ(run(256, JPRINT_TIGHT_KEY, 2, small_object), "{\n  \"a\": \"b\",\n  \"n\": 3\n}");
    // With values unquoted the caller's text goes in as it is.
    EXPECT_EQ(run(256, JPRINT_UNQUOTED | JPRINT_TIGHT_KEY, 2,
                  [](jprint_t *jp) {
                      jprint_begin_dict(jp, nullptr);
                      jprint_string(jp, "s", "\"x\"");
                      jprint_string(jp, "n", "12");
                      jprint_end_dict(jp);
                  }),
              "{\n  \"s\": \"x\",\n  \"n\": 12\n}");
}

TEST(JprintLayout, NestedObjectsListsAndSeparators)
{
    auto doc = [](jprint_t *jp) {
        jprint_begin_dict(jp, nullptr);
        jprint_begin_list(jp, "l");
        jprint_end_list(jp);
        jprint_int(jp, "after", 1);
        jprint_begin_list(jp, "v");
        jprint_int(jp, nullptr, 1);
        jprint_string(jp, nullptr, "two");
        jprint_end_list(jp);
        jprint_begin_dict(jp, "o");
        jprint_bool(jp, "t", 1);
        jprint_end_dict(jp);
        jprint_end_dict(jp);
    };
    // An empty list still separates from the next member.
    EXPECT_EQ(run(512, 0, 2, doc), "{\n  \"l\" : [\n    \n  ],\n  \"after\" : 1,\n  \"v\" : [\n"
                                   "     1, \"two\"\n  ],\n  \"o\" : {\n    \"t\" : true\n  }\n}");
    EXPECT_EQ(run(512, JPRINT_COMPACT, 0, doc),
              "{\"l\":[],\"after\":1,\"v\":[1,\"two\"],\"o\":{\"t\":true}}");
}

TEST(JprintLayout, KeylessObjectsInSequence)
{
    auto doc = [](jprint_t *jp) {
        jprint_begin_list(jp, nullptr);
        jprint_begin_dict(jp, nullptr);
        jprint_end_dict(jp);
        jprint_begin_dict(jp, nullptr);
        jprint_end_dict(jp);
        jprint_end_list(jp);
    };
    EXPECT_EQ(run(256, JPRINT_COMPACT, 0, doc), "[{},{}]");
    // The list indents its first line, and a first object adds its own indentation.
    EXPECT_EQ(run(256, 0, 2, doc), " [\n    {\n  }, {\n  }\n]");
}

TEST(JprintValues, NumberFormatsAndLimits)
{
    auto doc = [](jprint_t *jp) {
        jprint_begin_dict(jp, nullptr);
        jprint_int(jp, "imin", INT_MIN);
        jprint_float(jp, "f", 1.5f);
        jprint_double(jp, "d", 0.1);
        jprint_double(jp, "big", 1e300);
        jprint_ulong(jp, "u", ULONG_MAX);
        jprint_bool(jp, "no", 0);
        jprint_bool(jp, "yes", -7);
        jprint_end_dict(jp);
    };
    EXPECT_EQ(run(512, JPRINT_COMPACT, 0, doc),
              "{\"imin\":-2147483648,\"f\":1.500000,\"d\":0.1,\"big\":1e+300,\"u\":" +
                  std::to_string(ULONG_MAX) + ",\"no\":false,\"yes\":true}");
}

// The numbers are formatted without printf; the text must still be printf's, digit for digit.
TEST(JprintValues, NumbersMatchPrintfExactly)
{
    std::vector<double> values = {0.0,           -0.0,     1.0,           0.1,
                                  0.5,           2.8,      5.12,          1e-5,
                                  1.23456789e-4, 123456.5, 999999.5,      1e6,
                                  1e15,          1e300,    5e-324,        2.2250738585072014e-308,
                                  -3.75,         0.0001,   0.00009999995, 9.9999995,
                                  4294967295.0};
    std::uint64_t x = 88172645463325252ull;
    for (int i = 0; i < 3000; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        double d;
        std::uint64_t bits = x;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d))
            values.push_back(d);
        values.push_back(static_cast<double>(static_cast<std::int64_t>(x % 2000001) - 1000000) /
                         64.0);
    }
    for (double d : values) {
        char expect[512];
        std::snprintf(expect, sizeof expect, "%g", d);
        EXPECT_EQ(run(512, JPRINT_COMPACT, 0, [&](jprint_t *jp) { jprint_double(jp, nullptr, d); }),
                  expect);
        float f = static_cast<float>(d);
        if (std::isfinite(f)) {
            std::snprintf(expect, sizeof expect, "%f", static_cast<double>(f));
            std::string got =
                run(512, JPRINT_COMPACT, 0, [&](jprint_t *jp) { jprint_float(jp, nullptr, f); });
            // A fixed text longer than the scratch text is cut there, as printf into it would be.
            EXPECT_EQ(got, std::string(expect).substr(0, 99)) << d;
        }
    }
    for (int v : {0, -1, 7, INT_MAX, INT_MIN})
        EXPECT_EQ(run(64, JPRINT_COMPACT, 0, [&](jprint_t *jp) { jprint_int(jp, nullptr, v); }),
                  std::to_string(v));
}

TEST(JprintValues, NonFiniteNumbersAreNull)
{
    auto doc = [](jprint_t *jp) {
        jprint_begin_dict(jp, nullptr);
        jprint_float(jp, "fnan", std::numeric_limits<float>::quiet_NaN());
        jprint_double(jp, "dnan", std::nan(""));
        jprint_double(jp, "inf", -std::numeric_limits<double>::infinity());
        jprint_float(jp, "finf", std::numeric_limits<float>::infinity());
        jprint_end_dict(jp);
    };
    EXPECT_EQ(run(256, JPRINT_COMPACT, 0, doc),
              "{\"fnan\":null,\"dnan\":null,\"inf\":null,\"finf\":null}");
}

TEST(JprintValues, TimestampIsFourteenDigits)
{
    struct tm t = {};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 7;
    t.tm_min = 8;
    t.tm_sec = 9;
    EXPECT_EQ(run(64, JPRINT_COMPACT, 0, [&](jprint_t *jp) { jprint_timestamp(jp, "t", &t); }),
              "\"t\":\"20240305070809\"");
    t.tm_year = 1999 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 60; // a leap second stays as given
    EXPECT_EQ(run(64, JPRINT_COMPACT, 0, [&](jprint_t *jp) { jprint_timestamp(jp, nullptr, &t); }),
              "\"19991231235960\"");
}

TEST(JprintOverflow, FourByteBufferKeepsTheBrace)
{
    int overflow = 0;
    EXPECT_EQ(run(
                  4, 0, 2,
                  [](jprint_t *jp) {
                      jprint_begin_dict(jp, nullptr);
                      jprint_string(jp, "a", "b");
                  },
                  &overflow),
              "{");
    EXPECT_EQ(overflow, 1);
}

TEST(JprintOverflow, NothingIsAppendedAfterAnOverflow)
{
    int overflow = 0;
    // The long member does not fit; the short ones after it would, yet the text must stay a
    // clean prefix of the document.
    std::string out = run(
        24, JPRINT_COMPACT, 0,
        [](jprint_t *jp) {
            jprint_begin_dict(jp, nullptr);
            jprint_int(jp, "a", 1);
            jprint_string(jp, "long", "xxxxxxxxxxxxxxxxxxxxxxxx");
            jprint_int(jp, "b", 2);
            jprint_end_dict(jp);
            jprint_raw(jp, "!");
        },
        &overflow);
    EXPECT_EQ(out, "{\"a\":1");
    EXPECT_EQ(overflow, 1);
}

// Every size from nothing to roomy: the text is the full document cut after one of its whole
// elements, overflow is set exactly when the document did not fit, and the buffer is never
// overrun.
TEST(JprintOverflow, EverySizeCutsAtAnElementBoundary)
{
    for (int mode : {0, JPRINT_TIGHT_KEY, JPRINT_COMPACT}) {
        int step = mode == JPRINT_COMPACT ? 0 : 2;
        std::vector<std::string> steps;
        auto doc = [&](jprint_t *jp) {
            auto mark = [&] { steps.emplace_back(jp->start); };
            jprint_begin_dict(jp, nullptr);
            mark();
            jprint_string(jp, "name", "stereo");
            mark();
            jprint_begin_list(jp, "sizes");
            mark();
            jprint_int(jp, nullptr, 320);
            mark();
            jprint_int(jp, nullptr, 640);
            mark();
            jprint_end_list(jp);
            mark();
            jprint_begin_dict(jp, "o");
            mark();
            jprint_double(jp, "d", 2.5);
            mark();
            jprint_end_dict(jp);
            mark();
            jprint_end_dict(jp);
            mark();
        };
        std::string full = run(4096, mode, step, doc);
        std::set<std::string> boundaries(steps.begin(), steps.end());
        boundaries.insert("");
        for (int size = 1; size <= static_cast<int>(full.size()) + 2; ++size) {
            int overflow = -1;
            std::vector<std::string> ignored;
            std::swap(ignored, steps);
            std::string cut = run(size, mode, step, doc, &overflow);
            EXPECT_EQ(full.compare(0, cut.size(), cut), 0) << "size " << size;
            EXPECT_TRUE(boundaries.count(cut))
                << "size " << size << " cut inside an element: " << cut;
            EXPECT_LT(static_cast<int>(cut.size()), size);
            EXPECT_EQ(overflow, size <= static_cast<int>(full.size()) ? 1 : 0) << "size " << size;
        }
    }
}

TEST(JprintBuffer, OwnedAndGivenBuffers)
{
    jprint_t jp;
    ASSERT_EQ(jprint_init(&jp, nullptr, 64, 0, 2), 0);
    EXPECT_EQ(jp.owns, 1);
    EXPECT_STREQ(jp.start, "");
    jprint_raw(&jp, "var x = ");
    EXPECT_EQ(jprint_length(&jp), 8);
    EXPECT_EQ(jprint_cleanup(&jp), 1);
    EXPECT_EQ(jp.start, nullptr);
    EXPECT_EQ(jp.cur, nullptr);
    EXPECT_EQ(jprint_length(&jp), 0);

    char mine[8];
    ASSERT_EQ(jprint_init(&jp, mine, sizeof mine, 4, 2), 0);
    EXPECT_EQ(jp.owns, 0);
    jprint_begin_dict(&jp, nullptr); // the initial indent is written before a first object
    EXPECT_STREQ(mine, "    {");
    EXPECT_EQ(jprint_cleanup(&jp), 0);

    // Nothing to allocate with.
    EXPECT_EQ(jprint_init(&jp, nullptr, 0, 0, 2), 1);
}

} // namespace
