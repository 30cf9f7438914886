// The serializer-driver stand-in's protocol: request numbers and record checks, the EEPROM's
// write cycle, page wrap and persistence, control block, pass-through and descriptor table.
#include "common.h"
#include "ext_dev_abi.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using devsim::ctrl_rec;
using devsim::xfer_rec;

// What the system call itself answers, past the stand-in's ioctl: a descriptor that is not
// the device must get exactly that (the kernel's ENOTTY or EBADF; under a user-mode
// emulator, whatever it answers for a request it does not know).
int kernel_ioctl_errno(int fd, unsigned long request, void *arg)
{
    errno = 0;
    long r = syscall(SYS_ioctl, fd, request, arg);
    int e = errno;
    EXPECT_EQ(r, -1);
    EXPECT_NE(e, 0);
    return e;
}

class Devsim : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dir_ = test_files::make_scratch_dir(SCRATCH_DIR, "devsim");
        ASSERT_FALSE(dir_.empty());
        eeprom_ = dir_ + "/eeprom.bin";
        for (const char *v :
             {"DEVSIM_MISSING", "DEVSIM_LINK_DOWN", "DEVSIM_FAIL_READ", "DEVSIM_FAIL_WRITE",
              "DEVSIM_FAIL_EEPROM_WRITE", "DEVSIM_CORRUPT_ADDR", "DEVSIM_RETRY_US", "DEVSIM_LOG",
              "DEVSIM_EEPROM_TWR_US"})
            unsetenv(v);
        setenv("ZENT_ROOT", dir_.c_str(), 1);
        setenv("DEVSIM_EEPROM", eeprom_.c_str(), 1);
    }

    void TearDown() override
    {
        if (fd_ >= 0)
            close(fd_);
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    int dev()
    {
        if (fd_ < 0)
            fd_ = open("/dev/external_device", O_RDWR);
        return fd_;
    }

    // ioctl result: 0 or the errno.
    int xfer(unsigned long req, uint32_t dev_type, uint32_t addr, uint8_t *data, uint32_t len,
             uint32_t tries = 1, uint32_t instance = 0)
    {
        xfer_rec r{};
        r.instance = instance;
        r.dev_type = dev_type;
        r.reg_address = addr;
        r.data_len = len;
        r.data = data;
        r.tries = tries;
        errno = 0;
        return ioctl(dev(), req, &r) == 0 ? 0 : errno;
    }

    std::string dir_, eeprom_;
    int fd_ = -1;
};

TEST(DevsimRequests, ToolAndDriverAgreeOnNumbersAndLayout)
{
    EXPECT_EQ(EXT_DEV_IOC_READ_DATA, devsim::REQ_READ_XFER);
    EXPECT_EQ(EXT_DEV_IOC_WRITE_DATA, devsim::REQ_WRITE_XFER);
    EXPECT_EQ(EXT_DEV_IOC_READ_CTRL, devsim::REQ_READ_CTRL);
    EXPECT_EQ(EXT_DEV_IOC_WRITE_CTRL, devsim::REQ_WRITE_CTRL);
    EXPECT_EQ(sizeof(ext_dev_data), sizeof(xfer_rec));
    EXPECT_EQ(offsetof(ext_dev_data, data), offsetof(xfer_rec, data));
    EXPECT_EQ(offsetof(ext_dev_data, flags), offsetof(xfer_rec, flags));
    EXPECT_EQ(offsetof(ext_dev_data, tries), offsetof(xfer_rec, tries));
    EXPECT_EQ(sizeof(ext_dev_ctrl), 40u);
    EXPECT_EQ(offsetof(ext_dev_ctrl, stat_clear), 36u);
#if defined(__x86_64__)
    // This build's encoding: write is direction 1, read 2; the record is 40 bytes.
    EXPECT_EQ(EXT_DEV_IOC_READ_DATA, 0xc0287302UL);
    EXPECT_EQ(EXT_DEV_IOC_WRITE_DATA, 0x40287303UL);
    EXPECT_EQ(EXT_DEV_IOC_READ_CTRL, 0x80287304UL);
    EXPECT_EQ(EXT_DEV_IOC_WRITE_CTRL, 0x40287305UL);
#elif defined(__mips__) && _MIPS_SZPTR == 32
    // The camera's own: write is direction 4, read 2; the record is 36 bytes.
    EXPECT_EQ(EXT_DEV_IOC_READ_DATA, 0xc0247302UL);
    EXPECT_EQ(EXT_DEV_IOC_WRITE_DATA, 0x80247303UL);
    EXPECT_EQ(EXT_DEV_IOC_READ_CTRL, 0x40287304UL);
    EXPECT_EQ(EXT_DEV_IOC_WRITE_CTRL, 0x80287305UL);
#endif
}

TEST_F(Devsim, WrongRequestNumberOrSizeIsRefused)
{
    ASSERT_GE(dev(), 0);
    uint8_t b = 0;
    xfer_rec r{};
    r.data = &b;
    r.data_len = 1;
    r.tries = 1;
    EXPECT_EQ(ioctl(dev(), _IOWR('s', 9, xfer_rec), &r), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(ioctl(dev(), _IOWR('t', 2, xfer_rec), &r), -1);
    EXPECT_EQ(errno, ENOTTY);
    // Right request, direction swapped: another request altogether.
    EXPECT_EQ(ioctl(dev(), _IOR('s', 3, xfer_rec), &r), -1);
    EXPECT_EQ(errno, ENOTTY);
    // Right request, record of the other pointer width's layout (36 bytes on the camera,
    // 40 on a 64-bit host): a build mismatch.
    constexpr unsigned other = sizeof(void *) == 4 ? 40 : 36;
    unsigned char small[44] = {};
    EXPECT_EQ(ioctl(dev(), _IOC(_IOC_READ | _IOC_WRITE, 's', 2, other), small), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ioctl(dev(), _IOC(_IOC_READ, 's', 4, 44), small), -1);
    EXPECT_EQ(errno, EINVAL);
    // No record at all: the copy from the caller faults.
    for (unsigned long req : {devsim::REQ_READ_XFER, devsim::REQ_WRITE_XFER, devsim::REQ_READ_CTRL,
                              devsim::REQ_WRITE_CTRL}) {
        EXPECT_EQ(ioctl(dev(), req, nullptr), -1) << req;
        EXPECT_EQ(errno, EFAULT) << req;
    }
    // The genuine request still works afterwards.
    EXPECT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_DES, 4, &b, 1), 0);
    EXPECT_EQ(b, 0x80);
}

TEST_F(Devsim, BadRecordFieldsAreRefused)
{
    uint8_t buf[32] = {};
    const unsigned long rd = devsim::REQ_READ_XFER, wr = devsim::REQ_WRITE_XFER;
    EXPECT_EQ(xfer(rd, devsim::DEV_EEPROM, 0, buf, 16, 1, 4), EINVAL); // no such link
    EXPECT_EQ(xfer(rd, 12, 0, buf, 1), EINVAL);                        // no such device
    EXPECT_EQ(xfer(rd, devsim::DEV_EEPROM, 0, nullptr, 16), EFAULT);
    EXPECT_EQ(xfer(rd, devsim::DEV_EEPROM, 0, buf, 0), EINVAL);
    EXPECT_EQ(xfer(rd, devsim::DEV_EEPROM, 0, buf, 17), EINVAL); // beyond a chunk
    EXPECT_EQ(xfer(wr, devsim::DEV_EEPROM, 65536, buf, 1, 1), EINVAL);
    EXPECT_EQ(xfer(rd, devsim::DEV_SER, 5, buf, 2), EINVAL); // registers are single bytes
    EXPECT_EQ(xfer(rd, devsim::DEV_SER, 0x100, buf, 1), EINVAL);
    EXPECT_EQ(xfer(rd, devsim::DEV_SER, 5, buf, 1, 0), EINVAL); // zero tries
    // More than a chunk is refused for every device, not only the EEPROM.
    std::vector<uint8_t> big(4096, 0x5a);
    EXPECT_EQ(xfer(wr, 2, 0, big.data(), 4096, 1), EINVAL);
    EXPECT_EQ(xfer(rd, 11, 0, big.data(), 17, 1), EINVAL);
    EXPECT_EQ(big[0], 0x5a);
    // A chip that is not on this head never answers.
    EXPECT_EQ(xfer(rd, 2, 0, buf, 1, 3), EIO);
    EXPECT_EQ(xfer(wr, 2, 0, buf, 1, 3), ETIMEDOUT);
}

TEST_F(Devsim, FreshEepromIsErasedAndPersists)
{
    uint8_t buf[16];
    ASSERT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_EEPROM, 0xfff0, buf, 16), 0);
    for (uint8_t b : buf)
        EXPECT_EQ(b, 0xff);
    struct stat st {
    };
    ASSERT_EQ(stat(eeprom_.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 65536);

    uint8_t pattern[16];
    for (int i = 0; i < 16; i++)
        pattern[i] = static_cast<uint8_t>(0xa0 + i);
    ASSERT_EQ(xfer(devsim::REQ_WRITE_XFER, devsim::DEV_EEPROM, 0x1230, pattern, 16, 10), 0);
    close(fd_);
    fd_ = -1;
    usleep(6000);
    uint8_t back[16] = {};
    ASSERT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_EEPROM, 0x1230, back, 16), 0);
    EXPECT_EQ(std::memcmp(back, pattern, 16), 0);

    std::ifstream f(eeprom_, std::ios::binary);
    f.seekg(0x1230);
    char file_bytes[16];
    f.read(file_bytes, 16);
    EXPECT_EQ(std::memcmp(file_bytes, pattern, 16), 0);
}

TEST_F(Devsim, EepromIgnoresTransfersDuringItsWriteCycle)
{
    // A write cycle long enough that the transfers straight after a write fall inside it
    // even on a loaded machine or under an emulator.
    setenv("DEVSIM_EEPROM_TWR_US", "300000", 1);
    setenv("DEVSIM_RETRY_US", "100", 1);
    uint8_t data[16] = {1, 2, 3};
    uint8_t back[16] = {};
    ASSERT_EQ(xfer(devsim::REQ_WRITE_XFER, devsim::DEV_EEPROM, 0x40, data, 16, 1), 0);
    // Straight after the write the part does not acknowledge: one try is not enough...
    EXPECT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_EEPROM, 0x40, back, 16, 1), EIO);
    EXPECT_EQ(xfer(devsim::REQ_WRITE_XFER, devsim::DEV_EEPROM, 0x50, data, 16, 1), ETIMEDOUT);
    // ...and a failed transfer leaves the caller's buffer alone.
    EXPECT_EQ(back[0], 0);
    // Once the cycle is over the part answers again.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int r;
    while ((r = xfer(devsim::REQ_READ_XFER, devsim::DEV_EEPROM, 0x40, back, 16, 1)) == EIO &&
           std::chrono::steady_clock::now() < deadline)
        usleep(1000);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(std::memcmp(back, data, 16), 0);
    // With enough tries (100 us apart: a second) the driver outlasts the cycle by itself.
    ASSERT_EQ(xfer(devsim::REQ_WRITE_XFER, devsim::DEV_EEPROM, 0x50, data, 16, 1), 0);
    EXPECT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_EEPROM, 0x50, back, 16, 10000), 0);
}

TEST_F(Devsim, PageWriteWrapsAtThePageEnd)
{
    uint8_t data[16];
    for (int i = 0; i < 16; i++)
        data[i] = static_cast<uint8_t>(i + 1);
    // 0x178 is 8 bytes before the end of the 128-byte page at 0x100.
    ASSERT_EQ(xfer(devsim::REQ_WRITE_XFER, devsim::DEV_EEPROM, 0x178, data, 16, 1), 0);
    usleep(5500);
    uint8_t end[8], start[8], next[8];
    ASSERT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_EEPROM, 0x178, end, 8), 0);
    ASSERT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_EEPROM, 0x100, start, 8), 0);
    ASSERT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_EEPROM, 0x180, next, 8), 0);
    EXPECT_EQ(std::memcmp(end, data, 8), 0);
    EXPECT_EQ(std::memcmp(start, data + 8, 8), 0);
    for (uint8_t b : next)
        EXPECT_EQ(b, 0xff); // the next page is untouched
}

TEST_F(Devsim, InjectedFaults)
{
    setenv("DEVSIM_FAIL_EEPROM_WRITE", "2", 1);
    setenv("DEVSIM_CORRUPT_ADDR", "0x25", 1);
    setenv("DEVSIM_FAIL_READ", "ser:0x0f", 1);
    setenv("DEVSIM_LINK_DOWN", "1", 1);
    uint8_t d[16] = {};
    uint8_t b = 0;
    EXPECT_EQ(xfer(devsim::REQ_WRITE_XFER, devsim::DEV_EEPROM, 0x20, d, 16, 10), 0);
    usleep(5500);
    EXPECT_EQ(xfer(devsim::REQ_WRITE_XFER, devsim::DEV_EEPROM, 0x30, d, 16, 10), ETIMEDOUT);
    EXPECT_EQ(xfer(devsim::REQ_WRITE_XFER, devsim::DEV_EEPROM, 0x30, d, 16, 10), 0);
    usleep(5500);
    uint8_t back[16];
    ASSERT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_EEPROM, 0x20, back, 16), 0);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(back[i], i == 5 ? 0x01 : 0x00) << i; // flipped on the way out only
    EXPECT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_SER, 0x0f, &b, 1, 2), EIO);
    EXPECT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_SER, 0x0e, &b, 1, 2), 0);
    // Link 1 is down: its deserializer says so and nothing behind it answers.
    EXPECT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_DES, 4, &b, 1, 1, 1), 0);
    EXPECT_EQ(b & 0x80, 0);
    EXPECT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_SER, 5, &b, 1, 1, 1), EIO);
    EXPECT_EQ(xfer(devsim::REQ_READ_XFER, devsim::DEV_EEPROM, 0, d, 16, 1, 1), EIO);
}

TEST_F(Devsim, NthFailingWriteCountsFromEachOpen)
{
    setenv("DEVSIM_FAIL_EEPROM_WRITE", "2", 1);
    setenv("DEVSIM_RETRY_US", "100", 1);
    uint8_t d[16] = {};
    for (int round = 0; round < 2; round++) {
        EXPECT_EQ(xfer(devsim::REQ_WRITE_XFER, devsim::DEV_EEPROM, 0x100, d, 16, 100), 0) << round;
        EXPECT_EQ(xfer(devsim::REQ_WRITE_XFER, devsim::DEV_EEPROM, 0x110, d, 16, 100), ETIMEDOUT)
            << round;
        EXPECT_EQ(xfer(devsim::REQ_WRITE_XFER, devsim::DEV_EEPROM, 0x110, d, 16, 100), 0) << round;
        close(fd_);
        fd_ = -1;
    }
}

TEST_F(Devsim, MissingDeviceFailsToOpen)
{
    setenv("DEVSIM_MISSING", "1", 1);
    errno = 0;
    EXPECT_EQ(open("/dev/external_device", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Devsim, ControlBlockKeepsThePinPerLink)
{
    ctrl_rec c{};
    c.instance = 2;
    ASSERT_EQ(ioctl(dev(), devsim::REQ_READ_CTRL, &c), 0);
    EXPECT_EQ(c.intp, 1u);
    EXPECT_EQ(c.sersel, 1u);
    c.intp = 0;
    ASSERT_EQ(ioctl(dev(), devsim::REQ_WRITE_CTRL, &c), 0);
    ctrl_rec other{};
    other.instance = 1;
    ASSERT_EQ(ioctl(dev(), devsim::REQ_READ_CTRL, &other), 0);
    EXPECT_EQ(other.intp, 1u);
    ctrl_rec again{};
    again.instance = 2;
    ASSERT_EQ(ioctl(dev(), devsim::REQ_READ_CTRL, &again), 0);
    EXPECT_EQ(again.intp, 0u);
    again.instance = 4;
    EXPECT_EQ(ioctl(dev(), devsim::REQ_READ_CTRL, &again), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(Devsim, DescriptorsArePollableAndOtherFilesPassThrough)
{
    int fd = dev();
    ASSERT_GE(fd, 0);
    pollfd p{fd, POLLOUT, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1);
    EXPECT_TRUE(p.revents & POLLOUT);

    std::string other = dir_ + "/plain.txt";
    int ofd = open(other.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(ofd, 0);
    ASSERT_EQ(write(ofd, "abc", 3), 3);
    int avail = -1;
    lseek(ofd, 0, SEEK_SET);
    EXPECT_EQ(ioctl(ofd, FIONREAD, &avail), 0); // handled by the kernel, not the stand-in
    EXPECT_EQ(avail, 3);
    uint8_t b;
    xfer_rec r{};
    r.data = &b;
    r.data_len = 1;
    r.tries = 1;
    EXPECT_EQ(ioctl(ofd, devsim::REQ_READ_XFER, &r), -1);
    EXPECT_EQ(errno, kernel_ioctl_errno(ofd, devsim::REQ_READ_XFER, &r));
    close(ofd);

    // A similar path is not the device.
    EXPECT_EQ(open("/dev/external_device2", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);

    close(fd);
    fd_ = -1;
    EXPECT_EQ(ioctl(fd, devsim::REQ_READ_XFER, &r), -1);
    EXPECT_EQ(errno, kernel_ioctl_errno(fd, devsim::REQ_READ_XFER, &r));
}

TEST_F(Devsim, CopiesOfTheDescriptorReachTheDevice)
{
    uint8_t b = 0;
    int copy = dup(dev());
    ASSERT_GE(copy, 0);
    xfer_rec r{};
    r.dev_type = devsim::DEV_DES;
    r.reg_address = 4;
    r.data = &b;
    r.data_len = 1;
    r.tries = 1;
    EXPECT_EQ(ioctl(copy, devsim::REQ_READ_XFER, &r), 0);
    EXPECT_EQ(b, 0x80);
    // Replacing the copy with a plain file makes it a plain file again.
    std::string other = dir_ + "/plain.txt";
    int ofd = open(other.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(ofd, 0);
    ASSERT_EQ(dup2(ofd, copy), copy);
    EXPECT_EQ(ioctl(copy, devsim::REQ_READ_XFER, &r), -1);
    EXPECT_EQ(errno, kernel_ioctl_errno(copy, devsim::REQ_READ_XFER, &r));
    close(ofd);
    close(copy);
}

TEST_F(Devsim, ConcurrentOpensAndTransfersStayConsistent)
{
    // Each thread owns one link's registers and its own descriptors.
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (uint32_t link = 0; link < 4; link++) {
        threads.emplace_back([link, &failures] {
            for (int i = 0; i < 200; i++) {
                int fd = open("/dev/external_device", O_RDWR);
                if (fd < 0) {
                    failures++;
                    continue;
                }
                uint8_t v = static_cast<uint8_t>(link * 50 + i % 50);
                xfer_rec r{};
                r.instance = link;
                r.dev_type = devsim::DEV_DES;
                r.reg_address = 0x10;
                r.data = &v;
                r.data_len = 1;
                r.tries = 1;
                if (ioctl(fd, devsim::REQ_WRITE_XFER, &r) != 0)
                    failures++;
                uint8_t back = 0;
                r.data = &back;
                if (ioctl(fd, devsim::REQ_READ_XFER, &r) != 0)
                    failures++;
                // Opens by other threads leave this link's register alone.
                if (back != v)
                    failures++;
                close(fd);
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
