# SPDX-License-Identifier: GPL-2.0-or-later
# The source folders are floors: each is one static library that sees only its
# own headers and those of the floors it is allowed to use, so an include of a
# floor above (or of a sibling not named) fails to build.
#
# kestrel_floor(<folder> [USES <floor>...] [LINKS <library>...] [SOURCES <file>...])
# USES names the floors directly below that it uses; everything those may use
# is allowed too. The folder's headers are reached as "<folder>/<name>.h"
# through a view directory of links to the allowed folders. A folder may be a
# room of a larger one ("receive/pop3"): a floor of its own, so that rooms
# side by side cannot reach each other; its library is kestrel_receive_pop3.
function(kestrel_floor folder)
  cmake_parse_arguments(FLOOR "" "" "USES;LINKS;SOURCES" ${ARGN})
  string(REPLACE "/" "_" library ${folder})
  set(allowed ${folder})
  foreach(used ${FLOOR_USES})
    string(REPLACE "/" "_" used_library ${used})
    get_property(below GLOBAL PROPERTY KESTREL_FLOOR_${used_library})
    list(APPEND allowed ${used} ${below})
  endforeach()
  list(REMOVE_DUPLICATES allowed)
  set_property(GLOBAL PROPERTY KESTREL_FLOOR_${library} ${allowed})

  set(view ${PROJECT_BINARY_DIR}/floors/${library})
  file(REMOVE_RECURSE ${view})
  file(MAKE_DIRECTORY ${view})
  foreach(name ${allowed})
    get_filename_component(parent ${view}/${name} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${name} ${view}/${name} SYMBOLIC)
  endforeach()

  if(NOT FLOOR_SOURCES)
    file(GLOB FLOOR_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${folder}/*.cpp)
  endif()
  add_library(kestrel_${library} STATIC ${FLOOR_SOURCES})
  target_include_directories(kestrel_${library} PRIVATE ${view})
  foreach(used ${FLOOR_USES})
    string(REPLACE "/" "_" used_library ${used})
    target_link_libraries(kestrel_${library} PUBLIC kestrel_${used_library})
  endforeach()
  if(FLOOR_LINKS)
    target_link_libraries(kestrel_${library} PUBLIC ${FLOOR_LINKS})
  endif()
endfunction()

# The view of a floor for a target that is not one (a program above it).
function(kestrel_use_floor target folder)
  string(REPLACE "/" "_" library ${folder})
  target_include_directories(${target} PRIVATE ${PROJECT_BINARY_DIR}/floors/${library})
  target_link_libraries(${target} PRIVATE kestrel_${library})
endfunction()
