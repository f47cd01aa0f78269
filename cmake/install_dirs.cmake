# Where `cmake --install` (and the Debian package) puts things, every
# destination relative to the install prefix so that a staging prefix or
# DESTDIR works:
#   bin/nyx-nftl                              the command-line tool
#   <nbdkit's plugin dir>/nbdkit-nyx-plugin.so  so that `nbdkit nyx ...` finds it
#   share/doc/nyx-nftl/                       README.md and FORMAT.md
# nbdkit's plugin dir comes from its nbdkit.pc (plugindir), re-rooted under
# our prefix when it lies under nbdkit's own (/usr/lib/<arch>/nbdkit/plugins
# becomes lib/<arch>/nbdkit/plugins); otherwise LIBDIR/nbdkit/plugins. A
# cross build for a Debian target takes the target's nbdkit directory,
# lib/<triplet>/nbdkit/plugins (the host's nbdkit.pc describes the host).
include(GNUInstallDirs)

set(nyx_default_plugindir "${CMAKE_INSTALL_LIBDIR}/nbdkit/plugins")
find_package(PkgConfig QUIET)
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
  set(nyx_default_plugindir "lib/${CMAKE_LIBRARY_ARCHITECTURE}/nbdkit/plugins")
elseif(PkgConfig_FOUND)
  pkg_get_variable(nbdkit_plugindir nbdkit plugindir)
  pkg_get_variable(nbdkit_prefix nbdkit prefix)
  if(nbdkit_plugindir AND nbdkit_prefix)
    string(FIND "${nbdkit_plugindir}/" "${nbdkit_prefix}/" at)
    if(at EQUAL 0)
      file(RELATIVE_PATH nyx_default_plugindir "${nbdkit_prefix}" "${nbdkit_plugindir}")
    endif()
  endif()
endif()
set(NYX_INSTALL_PLUGINDIR "${nyx_default_plugindir}" CACHE STRING
    "Where the nbdkit plugin is installed, relative to the install prefix")
if(IS_ABSOLUTE "${NYX_INSTALL_PLUGINDIR}")
  message(FATAL_ERROR "NYX_INSTALL_PLUGINDIR must be relative to the install prefix")
endif()

# The plugin dir as the installed tool sees it from its own directory
# ("../lib/x86_64-linux-gnu/nbdkit/plugins"), the same under any prefix.
file(RELATIVE_PATH NYX_PLUGIN_FROM_BINDIR "/prefix/${CMAKE_INSTALL_BINDIR}"
     "/prefix/${NYX_INSTALL_PLUGINDIR}")
set(NYX_INSTALL_DOCDIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/nyx-nftl")

# The version (project(... VERSION)) and the plugin's place, for the tool and
# the plugin: #include "nyx_build_info.h" with target nyx_build_info linked.
configure_file(${CMAKE_CURRENT_LIST_DIR}/nyx_build_info.h.in
               ${PROJECT_BINARY_DIR}/generated/nyx_build_info.h @ONLY)
add_library(nyx_build_info INTERFACE)
target_include_directories(nyx_build_info INTERFACE ${PROJECT_BINARY_DIR}/generated)
