/* Link layer of the head EEPROM tool: the serializer driver's records and requests, the
 * tool's result codes, register transfers, the link check and the serializer set-up. */
#ifndef PROG_COMMON_H
#define PROG_COMMON_H

#include <stdint.h>
#include <sys/ioctl.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    ext_dev_des = 0,
    ext_dev_ser = 1,
    ext_dev_pld_pri = 2,
    ext_dev_pld_sec = 3,
    ext_dev_eeprom = 4,
    ext_dev_sensor_imx136 = 5,
    ext_dev_sensor_ov9715 = 6,
    ext_dev_sensor_ov2718 = 7,
    ext_dev_adc_ads7924 = 8,
    ext_dev_sensor_thermal = 9,
    ext_dev_ioexp_flx6408 = 10,
    ext_dev_generic = 11,
    ext_dev_max_devices = 12
} ext_dev_device_type;

typedef enum {
    ext_dev_uart0 = 0,
    ext_dev_uart1 = 1,
    ext_dev_uart2 = 2,
    ext_dev_uart3 = 3,
    ext_dev_uart_last = 4
} ext_dev_instances;

typedef enum { ext_dev_flags_no_error_log = 1 } ext_dev_flags;

typedef enum {
    ext_dev_ser_max9259 = 0,
    ext_dev_ser_max9271 = 1,
    ext_dev_ser_max9271_12b = 2,
    ext_dev_ser_max9271_12b_no_dbl = 3,
    ext_dev_ser_unknown = 4
} ext_dev_sersel;

/* Transfer request: every field a 32-bit word except the buffer pointer. */
struct ext_dev_data {
    ext_dev_instances instance;
    ext_dev_device_type dev_type;
    unsigned int reg_address;
    unsigned int opcode;
    unsigned int opcode_len;
    unsigned int data_len;
    uint8_t *data;
    ext_dev_flags flags;
    unsigned int tries;
};

/* Link control block. */
struct ext_dev_ctrl {
    ext_dev_instances instance;
    unsigned int intp;
    unsigned int pwdn;
    unsigned int pwr_12v_en;
    unsigned int irqdis;
    ext_dev_sersel sersel;
    unsigned int flags;
    unsigned int stat_err;
    unsigned int stat_saved_err;
    unsigned int stat_clear;
};

#define EXT_DEV_IOC_TYPE 's'
#define EXT_DEV_IOC_READ_DATA _IOWR(EXT_DEV_IOC_TYPE, 2, struct ext_dev_data)
#define EXT_DEV_IOC_WRITE_DATA _IOW(EXT_DEV_IOC_TYPE, 3, struct ext_dev_data)
#define EXT_DEV_IOC_READ_CTRL _IOR(EXT_DEV_IOC_TYPE, 4, struct ext_dev_ctrl)
#define EXT_DEV_IOC_WRITE_CTRL _IOW(EXT_DEV_IOC_TYPE, 5, struct ext_dev_ctrl)

#define EXT_DEV_PATH "/dev/external_device"

typedef enum {
    prog_ok = 0,
    prog_err_wrong_arguments = 1,
    prog_err_tetherd_running = 2,
    prog_err_prog_done = 3,
    prog_err_read_status = 4,
    prog_err_bypass_mode = 5,
    prog_err_en_config_interface = 6,
    prog_err_erase_flash = 7,
    prog_err_change_ser_addr = 8,
    prog_err_dis_conf_int = 9,
    prog_err_programming_failed = 10,
    prog_err_refresh_failed = 11,
    prog_err_refresh_cmd_failed = 12,
    prog_err_no_link = 13,
    prog_err_setup_fpga = 14,
    prog_err_open_device = 15,
    prog_err_write_fpga = 16,
    prog_err_read_fpga = 17,
    prog_err_ufm_reset_addr = 18,
    prog_err_ufm_header = 19,
    prog_err_ufm_page = 20,
    prog_err_ufm_verify = 21,
    prog_err_cfg_reset_addr = 22,
    prog_err_cfg_page = 23,
    prog_err_cfg_verify = 24,
    prog_err_fe_row_op_code = 25,
    prog_err_feabits = 26,
    prog_err_feature_row_verify = 27,
    prog_err_feabits_verify = 28,
    prog_err_open_file = 29,
    prog_err_no_device = 30,
    prog_err_stx_missing = 31,
    prog_err_jed_not_parsed = 32,
    prog_err_jed_not_valid = 33,
    prog_err_read_file = 34,
    prog_err_invalid_file_name = 35,
    prog_err_invalid_head_id_in_head = 36,
    prog_err_invalid_head_id_in_jed = 37,
    prog_err_wrong_id = 38
} prog_err;

/* Opens the device once: 0, or prog_err_open_device. */
int link_setup(void);
/* Closes the device if open: 0. */
int link_close(void);
/* The ioctl on the device; -1 when it is not open. */
int common_ioctl(unsigned long request, void *data);

/* One transfer to a device on a link (channel 0..4); the driver makes nbr_retries + 1
 * attempts. 0, or prog_err_read_fpga / prog_err_write_fpga. */
int link_read_full(int channel, ext_dev_device_type dev_type, unsigned int reg_addr,
                   unsigned int opcode, unsigned int opcode_len, uint8_t *data,
                   unsigned int data_len, unsigned int nbr_retries);
int link_write_full(int channel, ext_dev_device_type dev_type, unsigned int reg_addr,
                    unsigned int opcode, unsigned int opcode_len, uint8_t *data,
                    unsigned int data_len, unsigned int nbr_retries);
/* One register byte: reads with 1 retry, writes with 10. */
int link_read(int channel, ext_dev_device_type dev_type, unsigned int reg_addr, uint8_t *data);
int link_write(int channel, ext_dev_device_type dev_type, unsigned int reg_addr, uint8_t data);

/* 0 when the deserializer reports the link up; prog_err_no_link, or the read's code. */
int check_link_status(int channel);
/* Sets the serializer's I2C method bit; failures are reported, not returned. */
void setup_ser_i2c_method(int channel);
/* Prepares the serializer for EEPROM access: 0, or the failing step's code. */
int setup_ser9271(int channel);

/* Progress output, shown only at a print level other than 0 (the start value). */
void print(const char *format, ...) __attribute__((format(printf, 1, 2)));
void set_print_lvl(int level);

/* Ctrl-C handling: the signal handler only raises the flag; the tool stops at the next
 * safe point (between transfers), says so and exits with 130. */
void prog_request_interrupt(void);
void prog_check_interrupt(void);
/* Tells the interrupt exit that a progress line on standard error needs ending first. */
void prog_progress_line_open(int open);
/* Ends an open progress line, so that a message that follows starts on a line of its own. */
void prog_end_progress_line(void);

#define PROG_EXIT_INTERRUPTED 130

/* Programming errors (a channel out of range, a missing buffer, a read past the end) end
 * the tool in every build, not only in those without NDEBUG. */
void prog_assert_fail(const char *expr, const char *file, int line) __attribute__((noreturn));
#define PROG_ASSERT(expr) ((expr) ? (void)0 : prog_assert_fail(#expr, __FILE__, __LINE__))

#ifdef __cplusplus
}
#endif

#endif
