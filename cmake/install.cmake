# Install rules and the Debian package.
#
#   PREFIX/libexec/tarnwick/tarnwick     the executable
#   PREFIX/libexec/tarnwick/config    -> SYSCONFDIR/tarnwick (its default check directory)
#   PREFIX/bin/tarnwick               -> ../libexec/tarnwick/tarnwick
#   SYSCONFDIR/tarnwick/README           the operator's check directory
#   PREFIX/bin/tarnwick-stub-controller  the stand-in controller
#   PREFIX/bin/tarnwick_exporter         the Prometheus exporter
#   PREFIX/lib/systemd/system/tarnwick_exporter.service
#   PREFIX/share/doc/tarnwick/examples/  example checks, the exporter's
#                                        example configuration, the
#                                        Prometheus alerting rules
#   PREFIX/share/doc/tarnwick/changelog.gz
#   PREFIX/share/man/man1/ (compressed), PREFIX/share/bash-completion/completions/
#   UNITDIR/tarnwick@.service, tarnwick@.timer  the systemd units
#   PREFIX/include/tarnwick/, PREFIX/lib/libtarnwick_core.a,
#   PREFIX/lib/cmake/tarnwick/           the core library as tarnwick::core
#
# SYSCONFDIR follows GNUInstallDirs, decided when installing, so that
# `cmake --install build --prefix P` gives P/etc and the package (prefix /usr)
# gives /etc. UNITDIR likewise: P/lib/systemd/system, and /lib/systemd/system
# for the prefixes / and /usr, where Debian's packages put system units. The
# units name the executable and the check directory of the install.
#
# The executable finds "config" beside its real path (config_dir.h), so the
# link in bin/ and the link to the check directory are both needed.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARNWICK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarnwick)
set(TARNWICK_INSTALL_PKGDIR ${CMAKE_INSTALL_LIBEXECDIR}/tarnwick)

# The headers a program needs to use the core library, each in the folder of
# its part, installed as PREFIX/include/tarnwick/FOLDER/NAME.h. The others
# (base/text.h, checkfile/check_file.h, check/form.h, app/command_line.h, ...)
# are internal; no public header may include one of them.
set(TARNWICK_PUBLIC_HEADERS
  base/value.h base/literal.h base/output.h base/clock.h base/error.h
  base/cancellation.h json/json.h filter/filter.h report/notation.h wire/transport.h
  wire/transport_options.h wire/tls_trust.h wire/curl_transport.h
  app/config_dir.h app/operations.h)

# ---------------------------------------------------------------------------
# The man pages and the changelog, compressed as Debian's policy asks (and
# man reads them): gzip -9n, with no name or time stamp inside, so that two
# builds of one tree give the same files.

find_program(TARNWICK_GZIP gzip REQUIRED)
mark_as_advanced(TARNWICK_GZIP)

set(TARNWICK_MAINTAINER "tarnwick maintainers <tarnwick-maintainers@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

# The changelog in Debian's format, one entry for this version. The date is
# that of configuring, or SOURCE_DATE_EPOCH when it is set.
string(TIMESTAMP TARNWICK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in
               ${PROJECT_BINARY_DIR}/doc-staging/changelog @ONLY)

set(TARNWICK_COMPRESSED_DOCS)
# tarnwick.1 and tarnwick_exporter.1 are made by the build
# (cmake/docs.cmake); gzip reads each from standard input so that the page
# stays beside its compressed copy.
foreach(source ${TARNWICK_MAN_PAGE} ${TARNWICK_EXPORTER_MAN_PAGE}
               ${PROJECT_SOURCE_DIR}/docs/tarnwick-stub-controller.1
               ${PROJECT_BINARY_DIR}/doc-staging/changelog)
  get_filename_component(name ${source} NAME)
  set(compressed ${PROJECT_BINARY_DIR}/doc/${name}.gz)
  add_custom_command(
    OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
    COMMAND sh -c "${TARNWICK_GZIP} -9n < \"$1\" > \"$2\"" sh ${source}
            ${compressed}
    DEPENDS ${source}
    VERBATIM)
  list(APPEND TARNWICK_COMPRESSED_DOCS ${compressed})
endforeach()
add_custom_target(tarnwick_compressed_docs ALL
                  DEPENDS ${TARNWICK_COMPRESSED_DOCS})

# ---------------------------------------------------------------------------
# The command and its files.

install(TARGETS tarnwick RUNTIME DESTINATION ${TARNWICK_INSTALL_PKGDIR})
install(TARGETS tarnwick_exporter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/etc/tarnwick_exporter.yml
              ${PROJECT_SOURCE_DIR}/etc/prometheus/tarnwick.rules.yml
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/stub_controller.py
        DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME tarnwick-stub-controller)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/src/tarnwick/config/
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${PROJECT_BINARY_DIR}/doc/tarnwick.1.gz
              ${PROJECT_BINARY_DIR}/doc/tarnwick_exporter.1.gz
              ${PROJECT_BINARY_DIR}/doc/tarnwick-stub-controller.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${TARNWICK_COMPLETION}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME tarnwick)

# GNUInstallDirs' rule for SYSCONFDIR, for any prefix: /etc for / and /usr,
# /etc/opt/X for /opt/X, PREFIX/etc otherwise; an absolute SYSCONFDIR stands
# alone. Used both now (for the package's conffiles) and at install time.
set(TARNWICK_SYSCONFDIR_RULE [=[
function(tarnwick_full_sysconfdir prefix sysconfdir out)
  string(REGEX REPLACE "(.)/+$" "\\1" prefix "${prefix}")
  if(IS_ABSOLUTE "${sysconfdir}")
    set(dir "${sysconfdir}")
  elseif(prefix STREQUAL "/" OR prefix STREQUAL "/usr")
    set(dir "/${sysconfdir}")
  elseif(prefix MATCHES "^/opt/" AND NOT prefix MATCHES "^/opt/homebrew/")
    string(SUBSTRING "${prefix}" 5 -1 below_opt)
    set(dir "/${sysconfdir}/opt/${below_opt}")
  else()
    set(dir "${prefix}/${sysconfdir}")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()
]=])
cmake_language(EVAL CODE "${TARNWICK_SYSCONFDIR_RULE}")

# Install-time part: the check directory with its README, and the two links.
install(CODE "${TARNWICK_SYSCONFDIR_RULE}
set(TARNWICK_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
set(TARNWICK_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
set(TARNWICK_PKGDIR \"${TARNWICK_INSTALL_PKGDIR}\")
set(TARNWICK_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
set(TARNWICK_README \"${PROJECT_SOURCE_DIR}/etc/README\")
set(TARNWICK_UNITS \"${PROJECT_SOURCE_DIR}/etc/systemd\")
set(TARNWICK_UNIT \"${PROJECT_SOURCE_DIR}/etc/tarnwick_exporter.service.in\")
set(TARNWICK_STAGING \"${PROJECT_BINARY_DIR}/install-staging\")")
install(CODE [=[
# `--prefix DIR` arrives as given; a relative one is taken from the working
# directory, as file(INSTALL) takes it.
get_filename_component(tarnwick_prefix "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)

function(tarnwick_full_dir dir out)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${tarnwick_prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# A symbolic link at `link` (a full path, DESTDIR not included) to `target`:
# relative when both lie under the prefix, so a prefix can be moved; absolute
# otherwise (/usr/libexec/tarnwick/config -> /etc/tarnwick).
function(tarnwick_install_link link target)
  get_filename_component(link_dir "${link}" DIRECTORY)
  string(REGEX REPLACE "/+$" "" prefix "${tarnwick_prefix}")
  string(FIND "${target}" "${prefix}/" target_at)
  string(FIND "${link}" "${prefix}/" link_at)
  if(target_at EQUAL 0 AND link_at EQUAL 0)
    file(RELATIVE_PATH target "${link_dir}" "${target}")
  endif()
  set(path "$ENV{DESTDIR}${link}")
  message(STATUS "Installing: ${path} -> ${target}")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${link_dir}")
  if(IS_SYMLINK "${path}")
    file(REMOVE "${path}")
  endif()
  file(CREATE_LINK "${target}" "${path}" SYMBOLIC RESULT failure)
  if(failure)
    message(FATAL_ERROR "cannot make the link ${path}: ${failure}")
  endif()
  set(CMAKE_INSTALL_MANIFEST_FILES ${CMAKE_INSTALL_MANIFEST_FILES} "${path}"
      PARENT_SCOPE)
endfunction()

tarnwick_full_sysconfdir("${tarnwick_prefix}" "${TARNWICK_SYSCONFDIR}"
                         sysconfdir)
tarnwick_full_dir("${TARNWICK_BINDIR}" bindir)
tarnwick_full_dir("${TARNWICK_PKGDIR}" pkgdir)
tarnwick_full_dir("${TARNWICK_DOCDIR}" docdir)

# The README names where this install put the examples. It is staged under a
# name of its own per destination, so two installs at once do not collide.
set(TARNWICK_CHECK_DIR "${sysconfdir}/tarnwick")
set(TARNWICK_EXAMPLES_DIR "${docdir}/examples")
string(MD5 staging_key "${TARNWICK_CHECK_DIR} ${TARNWICK_EXAMPLES_DIR}")
set(readme "${TARNWICK_STAGING}/${staging_key}/README")
configure_file("${TARNWICK_README}" "${readme}" @ONLY)
# file(INSTALL) puts DESTDIR in front by itself.
file(INSTALL DESTINATION "${TARNWICK_CHECK_DIR}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${readme}")

tarnwick_install_link("${pkgdir}/config" "${TARNWICK_CHECK_DIR}")

# The exporter's systemd unit names where this install put the exporter and
# where it looks for its configuration and passwords.
set(TARNWICK_EXPORTER_BIN "${bindir}/tarnwick_exporter")
set(TARNWICK_EXPORTER_CONFIG
    "${sysconfdir}/tarnwick_exporter/tarnwick_exporter.yml")
set(TARNWICK_EXPORTER_PASSWORDS "${sysconfdir}/tarnwick_exporter/passwords")
set(TARNWICK_EXPORTER_DOC "${docdir}/examples/tarnwick_exporter.yml")
set(unit "${TARNWICK_STAGING}/${staging_key}/tarnwick_exporter.service")
configure_file("${TARNWICK_UNIT}" "${unit}" @ONLY)
file(INSTALL DESTINATION "${tarnwick_prefix}/lib/systemd/system" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${unit}")
tarnwick_install_link("${bindir}/tarnwick" "${pkgdir}/tarnwick")

# The systemd units, staged like the README.
string(REGEX REPLACE "(.)/+$" "\\1" unit_prefix "${tarnwick_prefix}")
if(unit_prefix STREQUAL "/" OR unit_prefix STREQUAL "/usr")
  set(unitdir "/lib/systemd/system")
else()
  set(unitdir "${unit_prefix}/lib/systemd/system")
endif()
set(TARNWICK_EXECUTABLE "${bindir}/tarnwick")
configure_file("${TARNWICK_UNITS}/tarnwick@.service.in"
               "${TARNWICK_STAGING}/${staging_key}/tarnwick@.service" @ONLY)
file(INSTALL DESTINATION "${unitdir}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${TARNWICK_STAGING}/${staging_key}/tarnwick@.service"
           "${TARNWICK_UNITS}/tarnwick@.timer")
]=])

# ---------------------------------------------------------------------------
# The core library as the CMake package "tarnwick": find_package(tarnwick)
# and target_link_libraries(app PRIVATE tarnwick::core).

set_target_properties(tarnwick_core PROPERTIES EXPORT_NAME core)
target_include_directories(tarnwick_core PUBLIC
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# The public headers use C++20 (std::span).
target_compile_features(tarnwick_core PUBLIC cxx_std_20)
# An instrumented library links only into an instrumented program.
if(TARNWICK_SANITIZE)
  target_link_options(tarnwick_core INTERFACE
    $<INSTALL_INTERFACE:-fsanitize=address,undefined>)
endif()

install(TARGETS tarnwick_core EXPORT tarnwickTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
foreach(header ${TARNWICK_PUBLIC_HEADERS})
  get_filename_component(header_dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/src/tarnwick/${header}
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarnwick/${header_dir})
endforeach()
install(EXPORT tarnwickTargets NAMESPACE tarnwick::
        DESTINATION ${TARNWICK_INSTALL_CMAKEDIR})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/tarnwickConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tarnwickConfig.cmake
  INSTALL_DESTINATION ${TARNWICK_INSTALL_CMAKEDIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/tarnwickConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarnwickConfig.cmake
              ${PROJECT_BINARY_DIR}/tarnwickConfigVersion.cmake
        DESTINATION ${TARNWICK_INSTALL_CMAKEDIR})

# ---------------------------------------------------------------------------
# The Debian package: `cd build && cpack -G DEB` gives
# tarnwick_VERSION_ARCH.deb, installed under /usr with the check directory
# /etc/tarnwick.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TARNWICK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "check runner for the Orvantis Controller API")
# CPack puts the summary in front as the first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "tarnwick logs in to an Orvantis Controller, runs every .cfg check file of a
check directory (/etc/tarnwick by default) and prints one report block per
check. A check names a controller action and its form fields, may filter the
JSON reply, and may fan out over the result of another check.
.
tarnwick_exporter is a Prometheus multi-target exporter: each scrape of
/probe runs a check directory against the controller it names, with the
credentials of the exporter's configuration, and answers in the Prometheus
text format. Its systemd unit is installed but not enabled.
.
The package also holds tarnwick-stub-controller, a stand-in controller for
writing checks offline, and the core library (tarnwick::core) with its
headers and CMake package.")
# Install with DESTDIR so that the absolute /etc paths land in the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# python3 and openssl for tarnwick-stub-controller (openssl makes its
# certificate); the shared libraries of the executable come from
# dpkg-shlibdeps where it is installed.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, openssl")
find_program(TARNWICK_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(TARNWICK_DPKG_SHLIBDEPS)
if(TARNWICK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6, libcurl4, libssl3, libutf8proc2, libre2-9, libmicrohttpd12, libyaml-cpp0.7, libstdc++6, libgcc-s1, ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
endif()
# Building against the static library needs the headers of its dependencies.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
    "cmake, pkg-config, libcurl4-openssl-dev | libcurl-dev, libssl-dev, libutf8proc-dev, libre2-dev")

# The README in the check directory is a conffile: an upgrade keeps an
# operator's edits and `apt-get remove` leaves it with the operator's checks.
tarnwick_full_sysconfdir("${CPACK_PACKAGING_INSTALL_PREFIX}"
                         "${CMAKE_INSTALL_SYSCONFDIR}" TARNWICK_DEB_SYSCONFDIR)
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles
     "${TARNWICK_DEB_SYSCONFDIR}/tarnwick/README\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# `make package_source`: the tree without build directories and git.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/__pycache__/")

include(CPack)
