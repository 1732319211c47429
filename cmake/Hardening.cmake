# The hardened release build: stack protector, fortified libc calls, position-independent
# executables, full RELRO and immediate binding; only the libraries a binary calls are linked.
option(PARLOMATIC_HARDEN "Build hardened binaries (stack protector, _FORTIFY_SOURCE, PIE, full RELRO)" OFF)
if(PARLOMATIC_HARDEN)
    include(CheckPIESupported)
    check_pie_supported()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    add_compile_options(-fstack-protector-strong -fstack-clash-protection -fcf-protection
                        -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2)
    add_link_options(-Wl,-z,relro -Wl,-z,now -Wl,--as-needed)
endif()
