#!/usr/bin/env bash
# The plug-in's face towards the agent: its soname, and exactly two
# exported symbols of its own.
set -euo pipefail
plugin=$1

soname=$(readelf -d "$plugin" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
if [ "$soname" != "libtavrix-sink-mqtt.so.0" ]; then
    echo "soname is '$soname'"
    exit 1
fi
exports=$(nm -D --defined-only "$plugin" | awk '{print $3}' | sort | tr '\n' ' ')
if [ "$exports" != "agPluginInit ag_plugin_abi " ]; then
    echo "exports are: $exports"
    exit 1
fi
echo "soname $soname; exports: $exports"
