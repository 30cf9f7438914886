/* EEPROM layer of the head EEPROM tool: chunked transfers, erase, the UFM header and the
 * read-back of head data from either partition. */
#ifndef PROG_UTIL_H
#define PROG_UTIL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define EEPROM_SIZE 65536
#define EEPROM_CHUNK_SIZE 16
#define EEPROM_CHUNKS (EEPROM_SIZE / EEPROM_CHUNK_SIZE)
#define EEPROM_HEAD_ID_CHUNK 0
#define EEPROM_MAIN_HEADER_CHUNK 1
#define EEPROM_MAIN_DATA_CHUNK 2
#define EEPROM_MAIN_DATA_MAX 61408
#define EEPROM_TAIL_HEADER_CHUNK 3840
#define EEPROM_TAIL_DATA_CHUNK 3841
#define EEPROM_TAIL_DATA_MAX 4080
#define EEPROM_WRITE_CYCLE_US 5000
#define UFM_HEADER_SIZE 16
#define UFM_UNIT_ID_LEN 10

/* The 16-byte header in front of each partition's data. */
typedef struct {
    uint8_t version;
    uint8_t compr_type;
    uint16_t size;
    char unit_id[UFM_UNIT_ID_LEN];
    int8_t crop;
    uint8_t data_field;
} ufm_header_t;

int eeprom_write(int channel, const uint8_t *data, int chunk_offset, int len);
int eeprom_read(int channel, uint8_t *data, int chunk_offset, int len);
int eeprom_erase(int channel);
int eeprom_get_ufm_header(int channel, ufm_header_t *header);
int extract_ufm_header(const uint8_t *bytes, ufm_header_t *header);
int dump_ufm_header(const uint8_t *bytes);
/* Reads a partition's header and data; saves the data to out_file when not null, and
 * compares with verify_header (16 bytes) and verify_data when those are not null. */
int eeprom_read_head_data(int channel, const char *out_file, const uint8_t *verify_header,
                          const uint8_t *verify_data, int use_tail_partition);

/* eeprom_write with a one-line progress display named `what` on standard error when that
 * is a terminal. */
int eeprom_write_progress(int channel, const uint8_t *data, int chunk_offset, int len,
                          const char *what);

/* The header's EEPROM bytes. */
void ufm_header_to_bytes(const ufm_header_t *header, uint8_t *bytes);

#ifdef __cplusplus
}
#endif

#endif
