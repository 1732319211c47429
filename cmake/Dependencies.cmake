find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Widgets DBus Concurrent Network Svg Test)
find_package(PkgConfig REQUIRED)
pkg_check_modules(ATSPI REQUIRED IMPORTED_TARGET atspi-2)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0 gobject-2.0)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)
# The paste into native Wayland windows: a Wayland connection of our own, and a keymap for its keyboard
pkg_check_modules(WAYLAND REQUIRED IMPORTED_TARGET wayland-client xkbcommon)
pkg_get_variable(WAYLAND_SCANNER wayland-scanner wayland_scanner)
find_package(X11 REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(CURL REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(Threads REQUIRED)

# Debian ships CLD2 and cpp-httplib without CMake package files.
find_path(CLD2_INCLUDE_DIR cld2/public/compact_lang_det.h REQUIRED)
find_library(CLD2_LIBRARY cld2 REQUIRED)
add_library(cld2::cld2 UNKNOWN IMPORTED)
set_target_properties(cld2::cld2 PROPERTIES IMPORTED_LOCATION "${CLD2_LIBRARY}"
                                            INTERFACE_INCLUDE_DIRECTORIES "${CLD2_INCLUDE_DIR}")

find_path(HTTPLIB_INCLUDE_DIR httplib.h REQUIRED)
find_library(HTTPLIB_LIBRARY cpp-httplib REQUIRED)
add_library(httplib::httplib UNKNOWN IMPORTED)
set_target_properties(httplib::httplib PROPERTIES
    IMPORTED_LOCATION "${HTTPLIB_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${HTTPLIB_INCLUDE_DIR}"
    INTERFACE_COMPILE_DEFINITIONS "CPPHTTPLIB_OPENSSL_SUPPORT"
    INTERFACE_LINK_LIBRARIES "OpenSSL::SSL;OpenSSL::Crypto;Threads::Threads")

if(PARLOMATIC_BUILD_TESTS)
    find_package(GTest REQUIRED)
endif()
if(PARLOMATIC_BUILD_BENCH)
    find_package(benchmark REQUIRED)
endif()
