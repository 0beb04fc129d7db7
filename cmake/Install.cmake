# Installation and the Debian packages.
#
# Two components, one package each:
#   utils  corvane-utils  cvfmonUdp, CTFlash, their man pages, the Wireshark
#                         dissector, the cvfmonUdp@ unit, an example port file
#   tools  corvane-tools  cvfcollect, the cvsim simulator with its preload
#                         libraries, their man pages, the cvfcollect unit
#                         and, where the collector has NATS support, the
#                         cvfcollect-consumer@ unit with its example settings
#
# `cmake --install build/x64` installs both under CMAKE_INSTALL_PREFIX;
# `make package` (cpack) builds the two .deb files for the prefix /usr.
#
# The paths that systemd and Wireshark look in are not below the prefix when
# that is /usr (/lib/systemd/system, /etc), so they are worked out when the
# install runs, from the prefix it is run with; the units name the programs
# by their installed path.

include(GNUInstallDirs)

set(CV_PKG_DIR ${PROJECT_SOURCE_DIR}/packaging)

# The package version is the one at the top of the Debian changelog.
file(STRINGS ${CV_PKG_DIR}/debian/changelog cv_changelog_head LIMIT_COUNT 1)
if(NOT cv_changelog_head MATCHES "^[a-z0-9.+-]+ \\(([0-9][A-Za-z0-9.+~]*)-([A-Za-z0-9.+~]+)\\)")
  message(FATAL_ERROR "packaging/debian/changelog: no version in its first line")
endif()
set(CV_UPSTREAM_VERSION ${CMAKE_MATCH_1})
set(CV_DEBIAN_REVISION ${CMAKE_MATCH_2})

# Gzipped man pages and changelog, as Debian ships them (-n: no name or time
# stamp, so the same source gives the same bytes).
set(cv_gz_dir ${CMAKE_BINARY_DIR}/install-gz)
set(cv_gz_files)
file(MAKE_DIRECTORY ${cv_gz_dir})
function(cv_gzip src out)
  add_custom_command(OUTPUT ${out}
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" gzip ${src} ${out}
    DEPENDS ${src} VERBATIM)
  set(cv_gz_files ${cv_gz_files} ${out} PARENT_SCOPE)
endfunction()
foreach(page cvfmonUdp CTFlash cvfcollect cvsim cvsim-tolvi)
  cv_gzip(${PROJECT_SOURCE_DIR}/docs/${page}.1 ${cv_gz_dir}/${page}.1.gz)
endforeach()
cv_gzip(${CV_PKG_DIR}/debian/changelog ${cv_gz_dir}/changelog.Debian.gz)
add_custom_target(cv_install_gz ALL DEPENDS ${cv_gz_files})

# --- corvane-utils -----------------------------------------------------------
set(cv_utils_doc ${CMAKE_INSTALL_DATADIR}/doc/corvane-utils)
install(TARGETS cvfmonUdp CTFlash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT utils)
install(FILES ${cv_gz_dir}/cvfmonUdp.1.gz ${cv_gz_dir}/CTFlash.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT utils)
install(FILES ${CV_PKG_DIR}/debian/copyright ${cv_gz_dir}/changelog.Debian.gz
  DESTINATION ${cv_utils_doc} COMPONENT utils)
install(FILES ${CV_PKG_DIR}/examples/sync0.conf
  DESTINATION ${cv_utils_doc}/examples COMPONENT utils)

# --- corvane-tools -----------------------------------------------------------
# cvsim finds its preload library as <its directory>/$LIB/libcvsim.so, so it
# lives in a directory of its own with the libraries below it, in the layout
# of the build's bin/; /usr/bin/cvsim is a link to it. CTFlash is looked for
# beside cvsim too (cvsim tolvi demo).
set(cv_tools_doc ${CMAKE_INSTALL_DATADIR}/doc/corvane-tools)
set(cv_sim_dir lib/cvsim)
install(TARGETS cvfcollect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(TARGETS cvsim RUNTIME DESTINATION ${cv_sim_dir} COMPONENT tools)
foreach(preload cvsim_preload64 cvsim_preload32)
  if(TARGET ${preload})
    get_target_property(out ${preload} LIBRARY_OUTPUT_DIRECTORY)
    file(RELATIVE_PATH sub ${CMAKE_BINARY_DIR}/bin ${out})
    install(TARGETS ${preload} LIBRARY DESTINATION ${cv_sim_dir}/${sub} COMPONENT tools)
  endif()
endforeach()
install(FILES ${cv_gz_dir}/cvfcollect.1.gz ${cv_gz_dir}/cvsim.1.gz ${cv_gz_dir}/cvsim-tolvi.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
install(FILES ${CV_PKG_DIR}/debian/copyright ${cv_gz_dir}/changelog.Debian.gz
  DESTINATION ${cv_tools_doc} COMPONENT tools)
install(FILES ${CV_PKG_DIR}/examples/cvfcollect-alerts.yml
  DESTINATION ${cv_tools_doc}/examples COMPONENT tools)
# The stream reader's unit and settings come with the collector that can
# read a stream (not in the 32-bit build, which has no NATS client).
if(CV_HAVE_NATS)
  install(FILES ${CV_PKG_DIR}/examples/cvfcollect-consumer.conf
    DESTINATION ${cv_tools_doc}/examples COMPONENT tools)
endif()

# --- Paths decided at install time -------------------------------------------
# The units, the dissector and cvsim's links go where the prefix given to
# the install says (cmake/install_system.cmake.in), one script per component.
set(cv_arch ${CMAKE_LIBRARY_ARCHITECTURE})
if(NOT cv_arch)
  set(cv_arch x86_64-linux-gnu)
endif()
foreach(cv_part utils tools)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/install_system.cmake.in
    ${CMAKE_BINARY_DIR}/install-${cv_part}.cmake @ONLY)
  install(SCRIPT ${CMAKE_BINARY_DIR}/install-${cv_part}.cmake COMPONENT ${cv_part})
endforeach()

# --- CPack: two .deb files ---------------------------------------------------

# The Debian packages that own files (dpkg -S), in out: the names, once each
# and sorted; empty when dpkg does not know a file or is not there.
function(cv_owning_packages out)
  set(names)
  foreach(file ${ARGN})
    execute_process(COMMAND dpkg-query -S ${file} RESULT_VARIABLE rc
      OUTPUT_VARIABLE owners ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    # "libjs-dygraphs: /usr/share/...", "libc6:amd64: ..." or "a, b: path"
    # for a path that several packages ship; a diverted path (more lines)
    # counts as unknown.
    if(NOT rc EQUAL 0 OR NOT owners MATCHES "^([^:]+(:[a-z0-9]+)?): ${file}$")
      set(${out} "" PARENT_SCOPE)
      return()
    endif()
    string(REGEX REPLACE ":[a-z0-9]+$" "" owner_list "${CMAKE_MATCH_1}")
    string(REPLACE ", " ";" owner_list "${owner_list}")
    list(APPEND names ${owner_list})
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION ${CV_UPSTREAM_VERSION})
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_CONTACT "Seed e9b36a1e maintainers <maintainers@users.noreply.c-seed-e9b36a1e.example>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# The install runs with DESTDIR and the real prefix, so the paths outside
# /usr (/lib/systemd/system) land in the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL utils tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CV_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SOURCE corvane)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_UTILS_PACKAGE_NAME corvane-utils)
set(CPACK_DEBIAN_UTILS_PACKAGE_SUGGESTS "corvane-tools, tshark | wireshark")
set(CPACK_DEBIAN_UTILS_DESCRIPTION "line monitor and flash utility for Corvane sync adapters
Utilities for the Corvane family of synchronous serial (WAN) adapters,
whose ports appear as network interfaces (sync0, ...).

cvfmonUdp switches a port into monitor mode and forwards every frame the
port sends or receives, with a small header, to a collector over UDP or
TCP. The template unit cvfmonUdp@.service runs one monitor per port.

CTFlash lists, erases and programs the flash blocks of the Tolvi USB
adapter.

Also included: a Wireshark dissector for the forwarded records.")
set(CPACK_DEBIAN_UTILS_PACKAGE_CONTROL_EXTRA
  ${CV_PKG_DIR}/debian/corvane-utils/postinst
  ${CV_PKG_DIR}/debian/corvane-utils/prerm
  ${CV_PKG_DIR}/debian/corvane-utils/postrm)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME corvane-tools)
# The collector is of use on its own, on a host that only collects; the
# simulator runs the programs of corvane-utils (cvsim tolvi demo names that
# package when it is missing).
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS corvane-utils)
# The libraries the programs link (libmicrohttpd with the collector's
# --http, libnats with --nats and --from-nats) come from dpkg-shlibdeps. The live page's charting library is
# read by the collector at start from CV_DYGRAPHS_DIR: the package that
# ships those files on this machine is recommended. Recommended, not
# depended on: without it the collector, its metrics and the page's table
# all work and only the charts are missing (the collector says so at
# start), and apt installs recommended packages by default.
set(cv_recommends)
if(CV_HAVE_HTTP)
  cv_owning_packages(cv_chart_packages
    ${CV_DYGRAPHS_DIR}/dygraph.min.js ${CV_DYGRAPHS_DIR}/dygraph.min.css)
  if(cv_chart_packages)
    list(APPEND cv_recommends ${cv_chart_packages})
  else()
    message(WARNING "no Debian package owns the live page's charting library in "
      "${CV_DYGRAPHS_DIR}: corvane-tools will not recommend one (install libjs-dygraphs)")
  endif()
endif()
# The NATS server is recommended, not depended on: the collector publishes
# to and reads from a cluster that usually runs on other hosts, and without
# --nats or --from-nats it needs none.
if(CV_HAVE_NATS)
  list(APPEND cv_recommends nats-server)
endif()
string(REPLACE ";" ", " CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "${cv_recommends}")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "collector and driver simulator for the Corvane line monitor
Companions of the corvane-utils programs.

cvfcollect receives the records that cvfmonUdp forwards, over UDP and TCP,
and writes them as pcapng captures, prints them or counts them. With
--http it serves its metrics to Prometheus and a live page of line health
(charts by libjs-dygraphs). The unit cvfcollect.service keeps rotating
captures under /var/lib/cvfcollect and serves the metrics and the page on
127.0.0.1:9110. With --nats it publishes every record to a NATS JetStream
stream, and with --from-nats it reads such a stream; the template unit
cvfcollect-consumer@.service runs one such reader per instance, writing
rotating captures under /var/lib/cvfcollect-consumer.

cvsim simulates the sync port and Tolvi USB drivers with a preload
library, so that the monitor and the flash utility can be tried and
tested without the adapters.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
  ${CV_PKG_DIR}/debian/corvane-tools/postinst
  ${CV_PKG_DIR}/debian/corvane-tools/prerm
  ${CV_PKG_DIR}/debian/corvane-tools/postrm)

include(CPack)
cpack_add_component(utils DISPLAY_NAME "corvane-utils")
cpack_add_component(tools DISPLAY_NAME "corvane-tools")
