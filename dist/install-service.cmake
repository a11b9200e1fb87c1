# Runs at install time: the systemd unit and the init script, with the path
# of netprobed under the prefix in force then. The unit goes to
# PREFIX/lib/systemd/system; the init script to SYSCONFDIR/init.d, which by
# GNUInstallDirs' rule is /etc, not /usr/etc, for the prefixes / and /usr.
# DESTDIR applies to both (file(INSTALL) adds it).
function(netprobe_absolute dir out)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

netprobe_absolute("${NETPROBE_SBINDIR}" sbindir)
set(NETPROBED "${sbindir}/netprobed")
# cmake_install.cmake has already dropped a trailing slash: "/" is "".
if(CMAKE_INSTALL_PREFIX MATCHES "^(/usr)?$" AND NETPROBE_SYSCONFDIR STREQUAL "etc")
  set(sysconfdir /etc)
else()
  netprobe_absolute("${NETPROBE_SYSCONFDIR}" sysconfdir)
endif()

configure_file("${NETPROBE_DIST_SOURCE}/netprobed.service.in" "${NETPROBE_DIST_BINARY}/netprobed.service" @ONLY)
configure_file("${NETPROBE_DIST_SOURCE}/netprobed.init" "${NETPROBE_DIST_BINARY}/netprobed" @ONLY)
file(INSTALL "${NETPROBE_DIST_BINARY}/netprobed.service" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
file(INSTALL "${NETPROBE_DIST_BINARY}/netprobed" DESTINATION "${sysconfdir}/init.d"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
