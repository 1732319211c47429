# The two Debian packages (scripts/package runs CPack on the release build):
#   parlomatic                  the application (component "app": every install rule without a component)
#   parlomatic-local-services   the local text and identity services as user services ("services")
include(GNUInstallDirs)
set(pm_packaging "${PROJECT_SOURCE_DIR}/packaging")
set(pm_generated "${CMAKE_BINARY_DIR}/packaging")

# Manual pages and changelogs are shipped compressed, without a time stamp in the gzip header.
file(MAKE_DIRECTORY "${pm_generated}")
function(pm_gzip source target)
    add_custom_command(OUTPUT "${target}" COMMAND gzip -9nc "${source}" > "${target}" DEPENDS "${source}" VERBATIM)
    set_property(GLOBAL APPEND PROPERTY pm_gzipped "${target}")
endfunction()
foreach(page parlomatic parlomatic-setup-local-services)
    pm_gzip("${pm_packaging}/man/${page}.1" "${pm_generated}/${page}.1.gz")
endforeach()
# The inspector's page: its source is named for what the program reads.
pm_gzip("${pm_packaging}/man/parlomatic-selection-tool.1" "${pm_generated}/parlomatic-inspect.1.gz")
pm_gzip("${pm_packaging}/debian/changelog" "${pm_generated}/changelog.Debian.gz")
get_property(pm_gzipped GLOBAL PROPERTY pm_gzipped)
add_custom_target(pm_packaging_files ALL DEPENDS ${pm_gzipped})

foreach(component app services)
    if(component STREQUAL app)
        set(package parlomatic)
    else()
        set(package parlomatic-local-services)
    endif()
    install(FILES "${pm_packaging}/debian/copyright" "${pm_generated}/changelog.Debian.gz"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${package}" COMPONENT ${component})
    install(FILES "${pm_packaging}/lintian/${package}" DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides"
            COMPONENT ${component} OPTIONAL)
endforeach()

install(FILES "${pm_generated}/parlomatic.1.gz" "${pm_generated}/parlomatic-inspect.1.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT app)
install(FILES "${pm_packaging}/metainfo/app.parlomatic.Parlomatic.metainfo.xml"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo" COMPONENT app)

install(TARGETS parlomatic-text-service RUNTIME DESTINATION "${CMAKE_INSTALL_LIBEXECDIR}/parlomatic" COMPONENT services)
install(PROGRAMS "${pm_packaging}/local-services/parlomatic-local-service" "${PROJECT_SOURCE_DIR}/scripts/dev-tls"
        DESTINATION "${CMAKE_INSTALL_LIBEXECDIR}/parlomatic" COMPONENT services)
# The shell helpers the launcher sources, where it looks for them (<prefix>/lib/parlomatic/scripts).
install(FILES "${PROJECT_SOURCE_DIR}/scripts/lib/conf.sh" "${PROJECT_SOURCE_DIR}/scripts/lib/wait.sh"
        DESTINATION lib/parlomatic/scripts COMPONENT services)
install(PROGRAMS "${pm_packaging}/local-services/parlomatic-setup-local-services"
        DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT services)
install(FILES "${pm_generated}/parlomatic-setup-local-services.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
        COMPONENT services)
install(FILES "${pm_packaging}/systemd/parlomatic-identity.service" "${pm_packaging}/systemd/parlomatic-text.service"
        DESTINATION lib/systemd/user COMPONENT services)
# The identity service with its Node packages as installed from the lockfile, without development
# packages: scripts/package puts them in <build>/identity-service first.
install(FILES "${PROJECT_SOURCE_DIR}/services/identity/server.mjs" "${PROJECT_SOURCE_DIR}/services/identity/store.mjs"
              "${PROJECT_SOURCE_DIR}/services/identity/pgstore.mjs"
              "${PROJECT_SOURCE_DIR}/services/identity/account.mjs" "${PROJECT_SOURCE_DIR}/services/identity/package.json"
              "${PROJECT_SOURCE_DIR}/services/identity/package-lock.json"
        DESTINATION lib/parlomatic/identity-service COMPONENT services)
install(DIRECTORY "${CMAKE_BINARY_DIR}/identity-service/node_modules" DESTINATION lib/parlomatic/identity-service
        COMPONENT services OPTIONAL)
# The text service's English grammar worker (Harper) with its Node packages, staged the same way.
install(FILES "${PROJECT_SOURCE_DIR}/services/text/grammar/worker.mjs" "${PROJECT_SOURCE_DIR}/services/text/grammar/package.json"
              "${PROJECT_SOURCE_DIR}/services/text/grammar/package-lock.json"
        DESTINATION lib/parlomatic/grammar-worker COMPONENT services)
install(DIRECTORY "${CMAKE_BINARY_DIR}/grammar-worker/node_modules" DESTINATION lib/parlomatic/grammar-worker
        COMPONENT services OPTIONAL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME parlomatic)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR Parlomatic)
set(CPACK_PACKAGE_CONTACT "Parlomatic developers <dev@parlomatic.app>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL app services)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://parlomatic.app/)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_APP_PACKAGE_NAME parlomatic)
set(CPACK_DEBIAN_SERVICES_PACKAGE_NAME parlomatic-local-services)
set(CPACK_DEBIAN_SERVICES_PACKAGE_SECTION net)
# Qt's X11 platform plugin and the SVG icon plugin are loaded at run time, so shlibdeps cannot see them.
set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6, at-spi2-core")
set(CPACK_DEBIAN_APP_PACKAGE_RECOMMENDS "xdg-utils, gnome-keyring | keepassxc")
set(CPACK_DEBIAN_APP_PACKAGE_SUGGESTS "parlomatic-local-services")
set(CPACK_DEBIAN_SERVICES_PACKAGE_DEPENDS
    "apertium, apertium-eng-spa, apertium-es-pt, hunspell-en-us, hunspell-es, hunspell-pt-br, openssl, libnss3-tools, curl")
set(CPACK_DEBIAN_SERVICES_PACKAGE_ENHANCES parlomatic)
set(CPACK_COMPONENT_APP_DESCRIPTION
    "writing assistant: translate, replace and improve selected text
Parlomatic lives in the desktop's tray and watches, through the desktop
accessibility interface (AT-SPI), what you select in the application in
front. Over a selection it shows a small strip: Translate opens a panel with
the translation, Replace writes the translation over the selection, Improve
corrects the selection in place. It speaks English (US), Portuguese (Brazil)
and Spanish (Mexico); you sign in once in your browser.

By default it uses the text and identity services of the package
parlomatic-local-services on this machine.")
set(CPACK_COMPONENT_SERVICES_DESCRIPTION
    "Parlomatic's local text and identity services
The services Parlomatic's default configuration points at, on this machine's
loopback interface over TLS: the text service (translation with Apertium,
improvement with Hunspell dictionaries and, for English grammar, Harper) and
the identity service (an OpenID provider with a local account), as systemd
user units started at log-in. Each user runs parlomatic-setup-local-services
once.

The identity service and the grammar worker need Node 20.12 or newer.
Node 20.12 or newer is not in Debian 12's own archive (its nodejs package is
Node 18): install it from the Node.js project.")
include(CPack)
