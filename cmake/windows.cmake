# The Windows build (cross-built with cmake/mingw-w64.cmake): quelt_ox952.dll
# and its import library, the Wine test program, and the checks that run them.
include(${CMAKE_CURRENT_LIST_DIR}/def-exports.cmake)
enable_language(RC)

set(QUELT_DEF ${CMAKE_SOURCE_DIR}/src/quelt_ox952.def)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# Everything the DLL needs from the compiler's runtime goes inside it, so it
# imports nothing but system DLLs.
set(QUELT_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

# --- Resources: version 3.18 build 25317, icon group 1 (generated, nine images) ---
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(QUELT_GENERATED ${CMAKE_BINARY_DIR}/generated)
set(QUELT_ICON ${QUELT_GENERATED}/quelt_ox952.ico)
add_custom_command(OUTPUT ${QUELT_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QUELT_GENERATED}
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/make_icon.py ${QUELT_ICON}
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/make_icon.py
  COMMENT "Drawing the card icon")
add_custom_target(quelt_icon DEPENDS ${QUELT_ICON})
set(QUELT_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
set(QUELT_VERSION_TEXT "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
configure_file(${CMAKE_SOURCE_DIR}/src/quelt_ox952.rc.in ${QUELT_GENERATED}/quelt_ox952.rc @ONLY)
set_source_files_properties(${QUELT_GENERATED}/quelt_ox952.rc PROPERTIES OBJECT_DEPENDS ${QUELT_ICON})

# --- The DLL ---
add_library(quelt_ox952 SHARED ${QUELT_CORE_SOURCES} ${CMAKE_SOURCE_DIR}/src/entry.cpp ${QUELT_DEF}
  ${QUELT_GENERATED}/quelt_ox952.rc)
add_dependencies(quelt_ox952 quelt_icon)
target_include_directories(quelt_ox952 PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(quelt_ox952 PRIVATE QUELT_BUILDING_LIBRARY WIN32_LEAN_AND_MEAN
  _WIN32_WINNT=0x0601 PSAPI_VERSION=1)
target_compile_options(quelt_ox952 PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${QUELT_WARNINGS}>)
target_link_options(quelt_ox952 PRIVATE ${QUELT_STATIC_RUNTIME})
target_link_libraries(quelt_ox952 PRIVATE setupapi psapi user32)
set_target_properties(quelt_ox952 PROPERTIES
  PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib" LINK_DEPENDS ${QUELT_DEF})

# Outside Debug builds the DLL ships without debug information or symbols
# (about a third of its size, most of it from the static runtime); they go to
# quelt_ox952.dll.debug beside it, which the DLL names in a .gnu_debuglink
# section, so gdb and other debuggers load them from there.
find_program(QUELT_OBJCOPY NAMES ${QUELT_MINGW_PREFIX}-objcopy objcopy REQUIRED)
if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  add_custom_command(TARGET quelt_ox952 POST_BUILD
    COMMAND ${QUELT_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:quelt_ox952> $<TARGET_FILE_NAME:quelt_ox952>.debug
    COMMAND ${QUELT_OBJCOPY} --strip-all $<TARGET_FILE_NAME:quelt_ox952>
    # Run beside the debug file: the link records its name and checksum.
    COMMAND ${QUELT_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE_NAME:quelt_ox952>.debug $<TARGET_FILE_NAME:quelt_ox952>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:quelt_ox952>
    BYPRODUCTS ${CMAKE_BINARY_DIR}/quelt_ox952.dll.debug
    COMMENT "Moving the DLL's debug information to quelt_ox952.dll.debug")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/windows-install.cmake)

if(NOT QUELT_TESTS)
  return()
endif()
enable_testing()

find_program(QUELT_OBJDUMP NAMES x86_64-w64-mingw32-objdump objdump)
add_test(NAME dll_exports
  COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/check-exports.sh dll $<TARGET_FILE:quelt_ox952> ${QUELT_DEF})
set_tests_properties(dll_exports PROPERTIES ENVIRONMENT "OBJDUMP=${QUELT_OBJDUMP}")

if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  add_test(NAME dll_debug_split
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/check-debug-split.sh $<TARGET_FILE:quelt_ox952> 358400)
  set_tests_properties(dll_debug_split PROPERTIES ENVIRONMENT "OBJDUMP=${QUELT_OBJDUMP};OBJCOPY=${QUELT_OBJCOPY}")
endif()

# The public header compiles as C here too and links against the import library.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/header_c_test.c)
  add_executable(header_c_test ${CMAKE_SOURCE_DIR}/tests/header_c_test.c)
  target_include_directories(header_c_test PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_compile_options(header_c_test PRIVATE -Wall -Wextra -Werror -pedantic)
  target_link_libraries(header_c_test PRIVATE quelt_ox952)
  target_link_options(header_c_test PRIVATE ${QUELT_STATIC_RUNTIME})
endif()

# The Windows test program: loads the DLL by name and checks its exports,
# resources and behaviour over Wine's real system DLLs. Each area adds its own
# tests/wine/checks_<area>.cpp.
file(GLOB QUELT_WINE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/wine/*.cpp)
if(QUELT_WINE_SOURCES)
  quelt_def_exports(${QUELT_DEF} QUELT_DEF_NAMES)
  list(TRANSFORM QUELT_DEF_NAMES REPLACE "^(.+)$" "\"\\1\"")
  list(JOIN QUELT_DEF_NAMES ", " QUELT_DEF_EXPORTS)
  file(CONFIGURE OUTPUT ${QUELT_GENERATED}/wine_exports.h
    CONTENT "// Generated from src/quelt_ox952.def.\n#define QUELT_DEF_EXPORTS @QUELT_DEF_EXPORTS@\n" @ONLY)
  add_executable(test_wine ${QUELT_WINE_SOURCES})
  add_dependencies(test_wine quelt_ox952)
  target_include_directories(test_wine PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/tests/wine
    ${QUELT_GENERATED})
  target_compile_definitions(test_wine PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
  # -Wno-restrict: GCC 12 reports false overlaps in inlined std::string
  # concatenation at -O2 (a known compiler fault).
  target_compile_options(test_wine PRIVATE ${QUELT_WARNINGS} -Wno-restrict)
  target_link_options(test_wine PRIVATE ${QUELT_STATIC_RUNTIME})
  target_link_libraries(test_wine PRIVATE setupapi version psapi user32)
  add_test(NAME wine_harness
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh $<TARGET_FILE:test_wine>)
  set_tests_properties(wine_harness PROPERTIES TIMEOUT 600)
endif()
