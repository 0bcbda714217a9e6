# Read by cpack before it builds a package.
if(NOT CPACK_TAVRIX_BUILD_TYPE STREQUAL "Release")
  message(FATAL_ERROR "packages are made from a Release build, this one is "
    "'${CPACK_TAVRIX_BUILD_TYPE}': configure with -DCMAKE_BUILD_TYPE=Release (scripts/package does)")
endif()
