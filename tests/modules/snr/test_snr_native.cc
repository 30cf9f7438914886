// The SNR client natively against the image-control service on a private bus: every way a
// query can end, then libdbus shut down, so the leak checker of the sanitizer build sees
// any reply, error or text left behind.
#include "private_bus.h"
#include "zent_dbus.h"

#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <string>

namespace
{

class Snr : public ::testing::Test
{
  protected:
    PrivateBus bus{SNR_TEST_CONF, SNR_TEST_SCRATCH, SNR_TEST_SERVICE};
    void SetUp() override { ASSERT_TRUE(bus.start()); }
};

struct Outcome {
    int value;
    int status;
    std::string text;
};

Outcome query(zent_dbus *d)
{
    int v = zent_dbus_get_snr(d);
    return {v, zent_dbus_get_status(d), zent_dbus_get_error(d)};
}

bool operator==(const Outcome &a, const Outcome &b)
{
    return a.value == b.value && a.status == b.status && a.text == b.text;
}

std::ostream &operator<<(std::ostream &os, const Outcome &o)
{
    return os << "{" << o.value << ", " << o.status << ", \"" << o.text << "\"}";
}

TEST_F(Snr, EveryEndingOfAQueryReleasesWhatItMade)
{
    // No service yet: the bus's own error.
    zent_dbus *d = zent_dbus_open();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(query(d), (Outcome{-1, 4,
                                 "The name com.orvex.ImageControl was not provided by any "
                                 ".service files"}));
    EXPECT_EQ(query(d).value, -1); // sticky
    zent_dbus_close(d);

    ASSERT_TRUE(bus.start_service({"--snr", "33"}));
    d = zent_dbus_open();
    EXPECT_EQ(query(d), (Outcome{33, 0, ""}));
    zent_dbus_close(d);

    struct Case {
        const char *mode;
        const char *text;
    };
    for (Case c : {Case{"string", "The variant in the reply is not of int32 type"},
                   Case{"bare", "The reply does not contain a variant"},
                   Case{"empty", "The reply does not contain a variant"},
                   Case{"error", "Sensor not ready"}}) {
        ASSERT_TRUE(bus.control("SetMode", {std::string("string:") + c.mode}));
        d = zent_dbus_open();
        EXPECT_EQ(query(d), (Outcome{-1, 4, c.text})) << c.mode;
        zent_dbus_close(d);
    }

    ASSERT_TRUE(bus.control("SetMode", {"string:silent"}));
    d = zent_dbus_open();
    Outcome timed_out = query(d);
    EXPECT_EQ(timed_out.value, -1);
    EXPECT_EQ(timed_out.status, 4);
    EXPECT_FALSE(timed_out.text.empty());

    // The bus goes away under the open object: the process lives on.
    bus.stop();
    EXPECT_EQ(query(d).value, -1);
    zent_dbus *second = zent_dbus_open();
    EXPECT_EQ(zent_dbus_get_status(second), 1);
    EXPECT_EQ(query(second), (Outcome{-1, 2, "Uninitialized dbus object"}));
    zent_dbus_close(second);
    zent_dbus_close(d);

    // And comes back at the same address.
    ASSERT_TRUE(bus.start());
    ASSERT_TRUE(bus.start_service({"--snr", "34"}));
    d = zent_dbus_open();
    EXPECT_EQ(query(d), (Outcome{34, 0, ""}));
    zent_dbus_close(d);
    zent_dbus_close(nullptr);
}

TEST_F(Snr, LosingTheBusDuringAQueryNeitherEndsTheProcessNorHangs)
{
    ASSERT_TRUE(bus.start_service({"--delay", "300"}));
    zent_dbus *d = zent_dbus_open();
    ASSERT_EQ(zent_dbus_get_status(d), 0);
    bus.stop(); // the held reply is never sent
    Outcome o = query(d);
    EXPECT_EQ(o.value, -1);
    EXPECT_EQ(o.status, 4);
    EXPECT_EQ(query(d), (Outcome{-1, 3, "DBus connection is not open"}));
    zent_dbus_close(d);
}

} // namespace

// libdbus keeps its shared connections and caches until it is shut down; with that done, the
// leak checker sees only what the client left behind.
class DbusShutdown : public ::testing::Environment
{
  public:
    void TearDown() override { dbus_shutdown(); }
};

static ::testing::Environment *const g_shutdown =
    ::testing::AddGlobalTestEnvironment(new DbusShutdown);
