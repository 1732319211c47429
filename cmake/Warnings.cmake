add_library(pm_warnings INTERFACE)
target_compile_options(pm_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wcast-align
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Woverloaded-virtual>
    $<$<BOOL:${PARLOMATIC_WERROR}>:-Werror>)
