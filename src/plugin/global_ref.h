/*
 * The process-wide libmosquitto reference shared by all instances.
 */
#ifndef TAVRIX_PLUGIN_GLOBAL_REF_H
#define TAVRIX_PLUGIN_GLOBAL_REF_H

#include <cstdint>

/* Takes a reference, initialising libmosquitto for the first one; returns
 * the count after the increment. */
uint32_t mq_global_acquire();

/* Drops a reference, cleaning libmosquitto up after the last one. */
void mq_global_release();

#endif
