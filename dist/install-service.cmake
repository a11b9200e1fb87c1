# Runs at install time: the systemd unit and the init script, with the path
# of netprobed under the prefix in force then. The unit goes to
# PREFIX/lib/systemd/system; the init script to SYSCONFDIR/init.d, which by
# GNUInstallDirs' rule is /etc, not /usr/etc, for the prefixes / and /usr
# (and /etc/opt/X for /opt/X).
# DESTDIR applies to both (file(INSTALL) adds it).

# cpack without DESTDIR (a TGZ) installs with a staging folder as the
# prefix: the files then name the configured prefix, and the staging folder
# stands for the root.
string(REGEX REPLACE "/$" "" configured "${NETPROBE_CONFIGURED_PREFIX}")
string(LENGTH "${configured}" configuredLength)
string(LENGTH "${CMAKE_INSTALL_PREFIX}" prefixLength)
math(EXPR stageLength "${prefixLength} - ${configuredLength}")
set(stage "")
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(CMAKE_INSTALL_PREFIX MATCHES "/_CPack_Packages/" AND stageLength GREATER 0)
  string(SUBSTRING "${CMAKE_INSTALL_PREFIX}" ${stageLength} -1 tail)
  if(tail STREQUAL configured)
    string(SUBSTRING "${CMAKE_INSTALL_PREFIX}" 0 ${stageLength} stage)
    set(prefix "${configured}")
  endif()
endif()

function(netprobe_absolute dir out)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

netprobe_absolute("${NETPROBE_SBINDIR}" sbindir)
set(NETPROBED "${sbindir}/netprobed")
# cmake_install.cmake has already dropped a trailing slash: "/" is "".
if(prefix MATCHES "^(/usr)?$" AND NETPROBE_SYSCONFDIR STREQUAL "etc")
  set(sysconfdir /etc)
elseif(prefix MATCHES "^/opt/" AND NETPROBE_SYSCONFDIR STREQUAL "etc")
  set(sysconfdir "/etc${prefix}")
else()
  netprobe_absolute("${NETPROBE_SYSCONFDIR}" sysconfdir)
endif()

configure_file("${NETPROBE_DIST_SOURCE}/netprobed.service.in" "${NETPROBE_DIST_BINARY}/netprobed.service" @ONLY)
configure_file("${NETPROBE_DIST_SOURCE}/netprobed.init" "${NETPROBE_DIST_BINARY}/netprobed" @ONLY)
file(INSTALL "${NETPROBE_DIST_BINARY}/netprobed.service" DESTINATION "${stage}${prefix}/lib/systemd/system")
file(INSTALL "${NETPROBE_DIST_BINARY}/netprobed" DESTINATION "${stage}${sysconfdir}/init.d"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
