# Warning set for every target of the project; dovetrail_warnings is linked privately.
add_library(dovetrail_warnings INTERFACE)
target_compile_options(dovetrail_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
    -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough)
if(DOVETRAIL_WERROR)
    target_compile_options(dovetrail_warnings INTERFACE -Werror)
endif()

# dovetrail_module(NAME SOURCES ... [DEPS ...] [PUBLIC_INCLUDE dir]) declares a static module library.
function(dovetrail_module name)
    cmake_parse_arguments(M "" "INCLUDE" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
    add_library(${name} STATIC ${M_SOURCES})
    if(NOT M_INCLUDE)
        set(M_INCLUDE ${CMAKE_CURRENT_SOURCE_DIR})
    endif()
    target_include_directories(${name} PUBLIC ${M_INCLUDE})
    target_link_libraries(${name} PUBLIC ${M_DEPS} PRIVATE dovetrail_warnings ${M_PRIVATE_DEPS})
endfunction()
