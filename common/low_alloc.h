/* Memory whose address fits the 32-bit words of the camera's driver records. On the camera
 * every address does; a 64-bit host must place such records below 4 GiB, or the driver would
 * read a cut pointer. */
#ifndef ZENT_LOW_ALLOC_H
#define ZENT_LOW_ALLOC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Zero-filled memory of `size` bytes whose every byte lies below 4 GiB; NULL when none can be
 * had (or size is 0). Release with zent_low_free and the same size. */
void *zent_low_alloc(size_t size);
void zent_low_free(void *p, size_t size);

/* The address as the driver's 32-bit word holds it. */
static inline uint32_t zent_addr_word(const void *p)
{
    return (uint32_t)(uintptr_t)p;
}

#ifdef __cplusplus
}
#endif

#endif
