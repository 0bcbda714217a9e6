# One warning set for every target of ours; CI turns it into errors.
add_library(tavrix_warnings INTERFACE)
target_compile_options(tavrix_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wnon-virtual-dtor
  -Wcast-align -Wnull-dereference -Wdouble-promotion
  $<$<BOOL:${TAVRIX_WERROR}>:-Werror>)
