# The C client library (libnetprobe/): a shared and a static library, both
# named netprobe-client, built from its own source and the framework's
# codec and the protocol's catalogue compiled in (position-independent, so
# the service's own parts stay as they are). Only the np_ functions of the
# C header are exported.
set(NETPROBE_C_SOURCES
    ${CMAKE_SOURCE_DIR}/libnetprobe/client.cpp
    ${CMAKE_SOURCE_DIR}/nv/WireCodec.cpp
    ${CMAKE_SOURCE_DIR}/nv/message.cpp
    ${CMAKE_SOURCE_DIR}/protocol/Fields.cpp
    ${CMAKE_SOURCE_DIR}/protocol/BusPath.cpp)

foreach(kind SHARED STATIC)
  string(TOLOWER ${kind} lower)
  set(target netprobe_c_${lower})
  add_library(${target} ${kind} ${NETPROBE_C_SOURCES})
  target_include_directories(${target}
    PUBLIC $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/libnetprobe/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE $<TARGET_PROPERTY:nv,INTERFACE_INCLUDE_DIRECTORIES>
            $<TARGET_PROPERTY:netprobe_protocol,INTERFACE_INCLUDE_DIRECTORIES>)
  target_link_libraries(${target} PRIVATE $<BUILD_INTERFACE:netprobe_warnings>)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME netprobe-client POSITION_INDEPENDENT_CODE ON
                        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endforeach()
set_target_properties(netprobe_c_shared PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                      EXPORT_NAME client)
set_target_properties(netprobe_c_static PROPERTIES EXPORT_NAME client_static)
# A C program linking the static library needs the C++ runtime.
target_link_libraries(netprobe_c_static INTERFACE stdc++)

install(TARGETS netprobe_c_shared netprobe_c_static EXPORT netprobeTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/libnetprobe/include/netprobe/client.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/netprobe)

# find_package(netprobe) gives netprobe::client (shared) and
# netprobe::client_static.
include(CMakePackageConfigHelpers)
install(EXPORT netprobeTargets NAMESPACE netprobe:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/netprobe)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/netprobeConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/netprobeConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/netprobe)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/netprobeConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/netprobeConfig.cmake ${CMAKE_BINARY_DIR}/netprobeConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/netprobe)

# pkg-config --cflags --libs netprobe-client (add --static for the archive).
configure_file(${CMAKE_SOURCE_DIR}/cmake/netprobe-client.pc.in ${CMAKE_BINARY_DIR}/netprobe-client.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/netprobe-client.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
