# The names of the plug-in's configuration keys, in their order, read from
# the one table that defines them (src/config/config_keys.def), for what
# the build makes from them: the man page's list, the fuzzer's dictionary.
function(tavrix_config_key_names out)
  set(table ${PROJECT_SOURCE_DIR}/src/config/config_keys.def)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
  file(STRINGS ${table} rows REGEX "^CONFIG_KEY\\(")
  set(names)
  # A row's help may hold a semicolon, which splits it into two list
  # items here: only the items that start a row name a key.
  foreach(row IN LISTS rows)
    if(row MATCHES "^CONFIG_KEY\\(([a-z_]+),")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()
