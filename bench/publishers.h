/*
 * The three publishers. The plug-in and the raw libmosquitto publisher
 * are child-process roles of the benchmark program; mosquitto_pub is
 * driven from the parent.
 */
#ifndef TAVRIX_BENCH_PUBLISHERS_H
#define TAVRIX_BENCH_PUBLISHERS_H

#include "publisher_args.h"

/* Child roles: return the process's exit status. */
int run_plugin_publisher(const PublisherArgs &args);
int run_raw_publisher(const PublisherArgs &args);

#endif
