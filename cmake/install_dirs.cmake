# Where `cmake --install` puts things (GNUInstallDirs, so a distribution's build sets them as it
# sets them for any other project). The plug-in is no library for the linker: it goes to a
# folder of its own, which mpx23-host finds relative to its own location.
include(GNUInstallDirs)
set(MPX23_INSTALL_PLUGINDIR "${CMAKE_INSTALL_LIBDIR}/mpx23" CACHE STRING
    "folder of mpx23.so, relative to the prefix or absolute")
if(IS_ABSOLUTE "${MPX23_INSTALL_PLUGINDIR}")
  set(MPX23_INSTALL_FULL_PLUGINDIR "${MPX23_INSTALL_PLUGINDIR}")
else()
  set(MPX23_INSTALL_FULL_PLUGINDIR "${CMAKE_INSTALL_PREFIX}/${MPX23_INSTALL_PLUGINDIR}")
endif()
# systemd reads units from /usr/local/lib/systemd/system as well as /lib/systemd/system, so the
# unit follows the prefix; a distribution whose units live elsewhere names the folder.
set(MPX23_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "folder of mpx23-host.service, relative to the prefix or absolute")
