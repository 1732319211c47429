add_library(pm_warnings INTERFACE)
target_compile_options(pm_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual -Wformat=2 -Wcast-align
    $<$<BOOL:${PARLOMATIC_WERROR}>:-Werror>)
