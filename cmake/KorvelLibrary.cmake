# korvel_layer(<target> [DEPENDS <targets...>])
# One static library per source folder: every .c/.cpp file in the folder is part of it, and the
# folder is its public include directory, so a new file needs no edit here.
function(korvel_layer target)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${ARG_DEPENDS} Threads::Threads PRIVATE korvel_warnings)
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${ARG_DEPENDS})
  endif()
endfunction()
