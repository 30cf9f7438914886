/* Marks the names a shared library or program exports; everything else stays hidden. */
#ifndef ZENT_EXPORT_H
#define ZENT_EXPORT_H

#define ZENT_EXPORT __attribute__((visibility("default")))

#endif
