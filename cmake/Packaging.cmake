# SPDX-License-Identifier: Apache-2.0
# Debian packages of the install components, built with `cpack -G DEB` in a
# build configured with the prefix /usr (tools/build-packages.sh):
#   kelvra-agent      component agent: the headless agent, its launcher, the
#                     default settings and the systemd user unit; no Qt
#   kelvra-agent-gui  component window: the window module, the autostart
#                     entry and the icon; needs kelvra-agent of its version
#   kelvra-dev        component dev: headers, pkg-config files, the client
#                     library and the example task libraries' sources
#   kelvra-tools      component tools: kelvra-submit, kelvra-monitor and the
#                     monitor's system unit and settings
#   python3-kelvra    component python: the Python package kelvra (in a build
#                     that makes it, KELVRA_PYTHON)
# Dependencies on shared libraries come from dpkg-shlibdeps; the ones that
# no linked library shows are named here. Every package carries its
# copyright file and changelog under /usr/share/doc/<package>/.
set(KELVRA_MAINTAINER "kelvra developers <kelvra-dev@lists.kelvra.org>")

set(kelvra_packages agent kelvra-agent window kelvra-agent-gui dev kelvra-dev tools kelvra-tools)
if(KELVRA_PYTHON_BUILT)
  list(APPEND kelvra_packages python python3-kelvra)
endif()

# The changelog, compressed as Debian wants it (gzip -9n: no name, no time
# stamp). Its date is the build's, or SOURCE_DATE_EPOCH's when set.
string(TIMESTAMP KELVRA_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/tools/install/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/debian/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.gz COMMAND_ERROR_IS_FATAL ANY)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL)
while(kelvra_packages)
  list(POP_FRONT kelvra_packages component package)
  string(TOUPPER ${component} COMPONENT)
  list(APPEND CPACK_COMPONENTS_ALL ${component})
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${COMPONENT}_FILE_NAME DEB-DEFAULT)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/install/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endwhile()

set(CPACK_PACKAGE_NAME kelvra)
set(CPACK_PACKAGE_VENDOR "the kelvra developers")
set(CPACK_PACKAGE_CONTACT "${KELVRA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KELVRA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A package's dependency on another of these names its exact version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Files for /etc are installed there (not under the prefix): DESTDIR keeps
# them in the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(CPACK_COMPONENT_AGENT_DESCRIPTION "kelvra agent: lends this machine's processors to a computation grid
The worker-side agent of the kelvra computation grid, headless: users open
sessions on its lobby port and send tasks, which it runs on per-session
thread pools at idle priority. Includes the launcher kelvra-agent-session
and a systemd user unit.")
set(CPACK_COMPONENT_WINDOW_DESCRIPTION "kelvra agent: status window and notification-area icon
The window module of the kelvra agent (Qt 6), loaded only when a window is
shown, and an autostart entry that starts the agent at desktop login.")
set(CPACK_COMPONENT_WINDOW_DEPENDS agent)
set(CPACK_COMPONENT_DEV_DESCRIPTION "kelvra: headers, client library and examples
Headers for kelvra task libraries (I_Agent.h, I_GenericStream.h), the
client library libkelvra_client.a with kelvra/kelvra_client.h, pkg-config
files (kelvra, kelvra-client) and the example task libraries' sources.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "kelvra: kelvra-submit and kelvra-monitor
kelvra-submit runs a task library's procedure over many inputs on agents
of a grid (or on a private local agent); kelvra-monitor answers the agents'
discovery, takes their status reports and shows them as a web page, JSON
and Prometheus metrics. Includes a systemd unit for the monitor.")

# Linking the static client library needs the libraries kelvra-client.pc
# names in Libs.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libdeflate-dev, zlib1g-dev, libunwind-dev, pkg-config")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION x11)
# kelvra-submit --local starts the kelvra-agent installed beside it.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS kelvra-agent)
if(KELVRA_PYTHON_BUILT)
  math(EXPR next_minor "${Python_VERSION_MINOR} + 1")
  # The module is built for one Python version (its file name says which).
  # local=True starts the kelvra-agent installed beside it; map(progress=True)
  # draws with tqdm.
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION "kelvra: the Python package kelvra
Runs tasks of kelvra task libraries on a grid of agents from Python:
futures, map over any iterable in input order, asyncio, NumPy arrays as
inputs, a private local agent for trying a library. The package is the
kelvra client library with a thin Python layer and type stubs.")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}), python3 (<< ${Python_VERSION_MAJOR}.${next_minor})")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "kelvra-agent, python3-tqdm")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS python3-numpy)
endif()
# Files in /etc are the administrator's to change.
file(WRITE ${PROJECT_BINARY_DIR}/debian/window/conffiles "${KELVRA_SYSCONFDIR}/xdg/autostart/kelvra-agent.desktop\n")
set(CPACK_DEBIAN_WINDOW_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/window/conffiles)
if(KELVRA_MONITOR)
  file(WRITE ${PROJECT_BINARY_DIR}/debian/tools/conffiles "${KELVRA_MONITOR_SETTINGS}\n")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/tools/conffiles)
endif()

include(CPack)
