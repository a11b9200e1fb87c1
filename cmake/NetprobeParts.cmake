# How the parts of the house are kept apart in the build.
#
# Every part's headers are included by the part's folder, "nv/Timer.h", and
# are visible only to the part itself and to the targets that link it: each
# part gets an include folder of its own in the build tree that holds just a
# link to its source folder. So a file that includes a header of a part its
# target does not link fails to compile, and the links of the targets follow
# the arrows that docs/architecture.md allows (scripts/check-architecture.py
# checks the includes against that page as well).

# Warnings on the project's own targets only; NETPROBE_WERROR makes them
# errors (on in CI and in every preset). Third-party code is left alone.
add_library(netprobe_warnings INTERFACE)
target_compile_options(netprobe_warnings INTERFACE -Wall -Wextra $<$<BOOL:${NETPROBE_WERROR}>:-Werror>)

# netprobe_part_headers(<target> <folder>): <folder>'s headers, included as
# "<folder>/X.h", for <target> and whoever links it.
function(netprobe_part_headers target folder)
  set(root ${CMAKE_BINARY_DIR}/parts/${target})
  get_filename_component(parent ${root}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()

# netprobe_part(<target> <folder> LINKS <parts>...): a static library of
# every .cpp in <folder>, its headers exposed as above.
function(netprobe_part target folder)
  cmake_parse_arguments(PART "" "" "LINKS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  add_library(${target} STATIC ${sources})
  netprobe_part_headers(${target} ${folder})
  target_link_libraries(${target} PUBLIC ${PART_LINKS} PRIVATE netprobe_warnings)
endfunction()
