// The parameter module's reduction of library answers to results and codes, including the
// answers no real store gives: failure without an error object, success without a value.
#include "fake_qlparameter.h"
#include "orvex_parameter.h"

#include <gtest/gtest.h>

using fake_ql::Script;

namespace
{

class OrvexParameter : public ::testing::Test
{
  protected:
    void SetUp() override { fake_ql::reset(); }
    QLParameter *handle()
    {
        QLParameter *h = orvex_parameter_new();
        EXPECT_NE(h, nullptr);
        return h;
    }
};

TEST_F(OrvexParameter, OpensUnderTheNameZentAndReleases)
{
    QLParameter *h = handle();
    EXPECT_EQ(fake_ql::seen().app_name, "zent");
    orvex_parameter_free(h);
    orvex_parameter_free(nullptr);
    EXPECT_EQ(fake_ql::seen().frees, 1);
}

TEST_F(OrvexParameter, FailedOpenIsNull)
{
    fake_ql::script(Script{.with_error = true, .code = 16, .fail_new = true});
    EXPECT_EQ(orvex_parameter_new(), nullptr);
}

TEST_F(OrvexParameter, GetSuccessHandsOutANewText)
{
    fake_ql::script(Script{.value = "6.50.1"});
    char *value = reinterpret_cast<char *>(0x1); // stale cell contents must be replaced
    int code = -7;
    ASSERT_EQ(orvex_parameter_get(handle(), const_cast<char *>("root.a.b"), &value, &code), 1);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "6.50.1");
    EXPECT_EQ(code, -7);
    EXPECT_EQ(fake_ql::seen().name, "root.a.b");
    EXPECT_TRUE(fake_ql::seen().error_cell_given);
    orvex_parameter_free_value(&value);
    EXPECT_EQ(value, nullptr);
    orvex_parameter_free_value(&value); // nothing left to release twice
    orvex_parameter_free_value(nullptr);
}

TEST_F(OrvexParameter, EveryLibraryCodePassesThroughUnchanged)
{
    for (int code = 0; code <= 16; ++code) {
        fake_ql::script(Script{.ok = false, .with_error = true, .code = code});
        char *value = nullptr;
        int got = -1;
        EXPECT_EQ(orvex_parameter_get(handle(), const_cast<char *>("x"), &value, &got), 0);
        EXPECT_EQ(got, code);
        EXPECT_EQ(value, nullptr);
        got = -1;
        EXPECT_EQ(orvex_parameter_set(handle(), const_cast<char *>("x"), const_cast<char *>("1"),
                                      &got, 1),
                  0);
        EXPECT_EQ(got, code);
    }
}

TEST_F(OrvexParameter, FailureWithoutAnErrorObjectIsStillAFailure)
{
    fake_ql::script(Script{.ok = false});
    char *value = nullptr;
    int code = -1;
    EXPECT_EQ(orvex_parameter_get(handle(), const_cast<char *>("x"), &value, &code), 0);
    EXPECT_EQ(code, QL_PARAMETER_PARAM_GET_ERROR);
    EXPECT_EQ(value, nullptr);
    code = -1;
    EXPECT_EQ(
        orvex_parameter_set(handle(), const_cast<char *>("x"), const_cast<char *>("1"), &code, 0),
        0);
    EXPECT_EQ(code, QL_PARAMETER_PARAM_SET_ERROR);
}

TEST_F(OrvexParameter, SuccessWithoutAValueIsAFailedRead)
{
    fake_ql::script(Script{.ok = true});
    char *value = nullptr;
    int code = -1;
    EXPECT_EQ(orvex_parameter_get(handle(), const_cast<char *>("x"), &value, &code), 0);
    EXPECT_EQ(code, QL_PARAMETER_PARAM_GET_ERROR);
}

TEST_F(OrvexParameter, AValueLeftByAFailedGetIsDropped)
{
    fake_ql::script(Script{.ok = false, .value = "stale", .with_error = true, .code = 9});
    char *value = nullptr;
    int code = -1;
    EXPECT_EQ(orvex_parameter_get(handle(), const_cast<char *>("x"), &value, &code), 0);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(code, 9);
}

TEST_F(OrvexParameter, MissingCellsAreNeverWrittenThrough)
{
    int code = -1;
    EXPECT_EQ(orvex_parameter_get(handle(), const_cast<char *>("x"), nullptr, &code), 0);
    EXPECT_EQ(code, QL_PARAMETER_INVALID_ARG_ERROR);
    EXPECT_EQ(fake_ql::seen().gets, 0);
    EXPECT_EQ(orvex_parameter_get(handle(), const_cast<char *>("x"), nullptr, nullptr), 0);

    fake_ql::script(Script{.ok = false, .with_error = true, .code = 9});
    char *value = nullptr;
    EXPECT_EQ(orvex_parameter_get(handle(), const_cast<char *>("x"), &value, nullptr), 0);
    EXPECT_EQ(
        orvex_parameter_set(handle(), const_cast<char *>("x"), const_cast<char *>("v"), nullptr, 1),
        0);
}

TEST_F(OrvexParameter, SetPassesNameValueAndSyncUnchanged)
{
    int code = -1;
    for (int sync : {0, 1, 5}) {
        EXPECT_EQ(orvex_parameter_set(handle(), const_cast<char *>("root.stereo.a"),
                                      const_cast<char *>("40000"), &code, sync),
                  1);
        EXPECT_EQ(fake_ql::seen().sync, sync);
    }
    EXPECT_EQ(fake_ql::seen().name, "root.stereo.a");
    EXPECT_EQ(fake_ql::seen().value, "40000");
    EXPECT_EQ(code, -1);
}

} // namespace
