// The tool's byte layouts and EEPROM bookkeeping that need no device: the UFM header's
// parse, print and serialisation, record layouts, and the EEPROM bounds checks.
#include "common.h"
#include "util.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <string>

namespace
{

const uint8_t sample[16] = {0x01, 0x00, 0x10, 0x00, 'A', 'B', 'C',  'D',
                            'E',  'F',  'G',  'H',  'I', 'J', 0xfe, 0x07};

TEST(UfmHeader, LayoutMatchesTheEepromBytes)
{
    EXPECT_EQ(sizeof(ufm_header_t), 16u);
    EXPECT_EQ(offsetof(ufm_header_t, compr_type), 1u);
    EXPECT_EQ(offsetof(ufm_header_t, size), 2u);
    EXPECT_EQ(offsetof(ufm_header_t, unit_id), 4u);
    EXPECT_EQ(offsetof(ufm_header_t, crop), 14u);
    EXPECT_EQ(offsetof(ufm_header_t, data_field), 15u);
    EXPECT_EQ(offsetof(ext_dev_data, data), 24u);
    EXPECT_EQ(sizeof(ext_dev_data), sizeof(void *) == 4 ? 36u : 40u);
}

TEST(UfmHeader, ExtractSample)
{
    ufm_header_t h;
    ASSERT_EQ(extract_ufm_header(sample, &h), 0);
    EXPECT_EQ(h.version, 1);
    EXPECT_EQ(h.compr_type, 0);
    EXPECT_EQ(h.size, 16);
    EXPECT_EQ(std::string(h.unit_id, 10), "ABCDEFGHIJ");
    EXPECT_EQ(h.crop, -2);
    EXPECT_EQ(h.data_field, 7);
}

TEST(UfmHeader, OnlyVersionOneParses)
{
    for (int v : {0, 2, 0x81, 0xff}) {
        uint8_t b[16];
        std::memcpy(b, sample, 16);
        b[0] = static_cast<uint8_t>(v);
        ufm_header_t h;
        EXPECT_EQ(extract_ufm_header(b, &h), prog_err_ufm_verify) << v;
    }
}

TEST(UfmHeader, SizeIsLittleEndianAndRoundTrips)
{
    std::mt19937 rng(7);
    for (int n = 0; n < 500; n++) {
        uint8_t b[16];
        for (uint8_t &x : b)
            x = static_cast<uint8_t>(rng());
        b[0] = 1;
        ufm_header_t h;
        ASSERT_EQ(extract_ufm_header(b, &h), 0);
        EXPECT_EQ(h.size, b[2] + 256 * b[3]);
        uint8_t back[16];
        ufm_header_to_bytes(&h, back);
        EXPECT_EQ(std::memcmp(back, b, 16), 0);
    }
}

std::string dump(const uint8_t *b, int *ret)
{
    testing::internal::CaptureStdout();
    *ret = dump_ufm_header(b);
    return testing::internal::GetCapturedStdout();
}

TEST(UfmHeader, DumpFieldsAtTheirExtremes)
{
    uint8_t b[16] = {1, 0xab, 0xff, 0xff, 'z', 0, 'q', 0, 0, 0, 0, 0, 0, '!', 0x80, 0xff};
    int ret = -1;
    std::string out = dump(b, &ret);
    EXPECT_EQ(ret, 0);
    // A zero byte ends the unit id early, as for any C string.
    EXPECT_EQ(out, "raw: 01 ab ff ff 7a 00 71 00 00 00 00 00 00 21 80 ff \n"
                   "version = 0x01\n"
                   "compr_type = 0xab\n"
                   "size = 0xffff, 65535\n"
                   "unit_id = \"z\"\n"
                   "crop = 0x80, -128\n"
                   "data_field = 0xff\n");
    // Ten characters with no terminator: printing stops at the field's end.
    std::memcpy(b + 4, "0123456789", 10);
    out = dump(b, &ret);
    EXPECT_NE(out.find("unit_id = \"0123456789\"\n"), std::string::npos);
    b[14] = 0x7f;
    b[2] = 0;
    b[3] = 0;
    out = dump(b, &ret);
    EXPECT_NE(out.find("size = 0x0000, 00000\n"), std::string::npos);
    EXPECT_NE(out.find("crop = 0x7f, 127\n"), std::string::npos);
}

TEST(UfmHeader, DumpOfForeignHeaderStopsAfterRawLine)
{
    uint8_t b[16];
    std::memset(b, 0xff, sizeof b);
    testing::internal::CaptureStderr();
    int ret = -1;
    std::string out = dump(b, &ret);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ret, prog_err_ufm_verify);
    EXPECT_EQ(out, "raw: ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff \n");
    EXPECT_EQ(err, "ERR dump_ufm_header: Error (21) parsing UFM header\n\n");
}

// Without the device every transfer fails at once, which shows whether the bounds check
// let a request through to its first transfer.
TEST(EepromBounds, FitCheckAtTheLastChunk)
{
    link_close();
    std::vector<uint8_t> data(65536, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(eeprom_write(0, data.data(), 1, 65521), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "ERR eeprom_write: Data does not fit in eeprom: 65552 bytes > 65536 (eeprom "
                   "size)\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(eeprom_write(0, data.data(), 1, 65520), prog_err_write_fpga);
    EXPECT_EQ(eeprom_write(0, data.data(), 4095, 16), prog_err_write_fpga);
    EXPECT_EQ(eeprom_write(0, data.data(), 4095, 17), 1);
    EXPECT_EQ(eeprom_write(0, data.data(), 4096, 0), prog_ok); // nothing to write
    testing::internal::GetCapturedStderr();
}

TEST(EepromBounds, ReadFailureNamesTheChunk)
{
    link_close();
    uint8_t buf[16];
    testing::internal::CaptureStderr();
    EXPECT_EQ(eeprom_read(0, buf, 4095, 16), prog_err_read_fpga);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "ERR link_read_full: link_read error: Bad file descriptor (9)\n"
                   "ERR eeprom_read: Failed to read eeprom chunk = 0, 17\n");
    EXPECT_EQ(common_ioctl(EXT_DEV_IOC_READ_CTRL, buf), -1);
}

TEST(EepromBoundsDeathTest, ProgrammingErrorsAssert)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    uint8_t buf[32] = {};
    // The tool's own assertion, not a crash further on, must be what ends it.
    EXPECT_DEATH(eeprom_read(0, buf, 4095, 17), "Assertion");
    EXPECT_DEATH(eeprom_read(5, buf, 0, 16), "Assertion");
    EXPECT_DEATH(eeprom_read(0, buf, -1, 16), "Assertion");
    EXPECT_DEATH(eeprom_write(0, nullptr, 0, 16), "Assertion");
    EXPECT_DEATH(eeprom_write(5, buf, 0, 16), "Assertion");
    EXPECT_DEATH(eeprom_erase(-1), "Assertion");
    EXPECT_DEATH(link_read(5, ext_dev_ser, 5, buf), "Assertion");
    EXPECT_DEATH(link_write(-1, ext_dev_ser, 5, 0), "Assertion");
}

} // namespace
