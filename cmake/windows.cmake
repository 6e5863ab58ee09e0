# The Windows build (cross-built with cmake/mingw-w64.cmake): quelt_ox952.dll
# and its import library, the Wine test program, and the checks that run them.
#
# -DQUELT_SIMULATED=ON builds the simulated flavour instead: the same DLL
# (exports, version, icon) whose device calls are served by the simulated
# card driver, the simulator as a static library for Windows programs
# (quelt_simulator), and the Wine checks against a simulated machine.
option(QUELT_SIMULATED "Build the simulated flavour of the DLL (devices served by the simulated card driver)" OFF)
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

# --- The simulator, for the simulated flavour only ---
if(QUELT_SIMULATED)
  file(GLOB QUELT_SIMULATOR_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
  list(FILTER QUELT_SIMULATOR_SOURCES EXCLUDE REGEX "/sim/os_posix\\.cpp$")
  # The card-memory window registry is the POSIX layer's; it calls nothing
  # of the system.
  add_library(quelt_simulator STATIC ${QUELT_SIMULATOR_SOURCES}
    ${CMAKE_SOURCE_DIR}/src/platform/posix/mmio_windows.cpp)
  target_include_directories(quelt_simulator PUBLIC ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src
    ${CMAKE_SOURCE_DIR})
  target_compile_definitions(quelt_simulator PUBLIC QUELT_SIMULATED=1 WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
  target_compile_options(quelt_simulator PRIVATE ${QUELT_WARNINGS})
  # Its fork handler has no use on Windows, which has no fork.
  set_source_files_properties(${CMAKE_SOURCE_DIR}/src/platform/posix/mmio_windows.cpp
    TARGET_DIRECTORY quelt_simulator PROPERTIES COMPILE_OPTIONS -Wno-unused-function)
  # The stand-ins the DLL's device calls are redirected to (platform/win32.h).
  set(QUELT_SIMULATED_SOURCES ${CMAKE_SOURCE_DIR}/src/platform/simulated/kernel32.cpp
    ${CMAKE_SOURCE_DIR}/src/platform/posix/setupapi.cpp)
endif()

# --- The DLL ---
add_library(quelt_ox952 SHARED ${QUELT_CORE_SOURCES} ${CMAKE_SOURCE_DIR}/src/entry.cpp ${QUELT_DEF}
  ${QUELT_GENERATED}/quelt_ox952.rc ${QUELT_SIMULATED_SOURCES})
add_dependencies(quelt_ox952 quelt_icon)
target_include_directories(quelt_ox952 PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(quelt_ox952 PRIVATE QUELT_BUILDING_LIBRARY WIN32_LEAN_AND_MEAN
  _WIN32_WINNT=0x0601 PSAPI_VERSION=1)
target_compile_options(quelt_ox952 PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${QUELT_WARNINGS}>)
target_link_options(quelt_ox952 PRIVATE ${QUELT_STATIC_RUNTIME})
target_link_libraries(quelt_ox952 PRIVATE setupapi psapi user32)
if(QUELT_SIMULATED)
  target_link_libraries(quelt_ox952 PRIVATE quelt_simulator)
endif()
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

# The simulated DLL also holds the simulator and the parts of the C++ runtime
# it uses (streams, file system): it may be larger.
if(QUELT_SIMULATED)
  set(QUELT_DLL_MAX_BYTES 2097152)
else()
  set(QUELT_DLL_MAX_BYTES 358400)
endif()
if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  add_test(NAME dll_debug_split
    COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/check-debug-split.sh $<TARGET_FILE:quelt_ox952> ${QUELT_DLL_MAX_BYTES})
  set_tests_properties(dll_debug_split PROPERTIES ENVIRONMENT "OBJDUMP=${QUELT_OBJDUMP};OBJCOPY=${QUELT_OBJCOPY}")
endif()

# The real DLL holds no simulator; the simulated one has the real one's
# exports, version and icons (the real one from QUELT_REAL_DLL, built in
# another tree: scripts/test.sh passes build-win's).
set(QUELT_REAL_DLL "" CACHE FILEPATH "The real quelt_ox952.dll, to compare the simulated one with")
if(NOT QUELT_SIMULATED)
  add_test(NAME dll_holds_no_simulator
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/compare-flavours.py $<TARGET_FILE:quelt_ox952>)
elseif(QUELT_REAL_DLL)
  add_test(NAME dll_flavours_compared
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/compare-flavours.py ${QUELT_REAL_DLL}
      $<TARGET_FILE:quelt_ox952>)
else()
  message(STATUS "QUELT_REAL_DLL not set: the simulated DLL is not compared with the real one")
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
if(QUELT_SIMULATED)
  # The simulated DLL finds cards where the real one finds none: it runs its
  # own checks, against a simulated machine (tests/wine/sim/).
  file(GLOB QUELT_WINESIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/wine/sim/*.cpp)
  add_executable(test_winsim ${CMAKE_SOURCE_DIR}/tests/wine/harness.cpp ${QUELT_WINESIM_SOURCES})
  add_dependencies(test_winsim quelt_ox952)
  if(TARGET quelt-sim)
    add_dependencies(test_winsim quelt-sim)  # the checks raise interrupts with it too
  endif()
  target_include_directories(test_winsim PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/tests/wine)
  target_compile_options(test_winsim PRIVATE ${QUELT_WARNINGS} -Wno-restrict)
  target_link_options(test_winsim PRIVATE ${QUELT_STATIC_RUNTIME})
  # The control API of the simulated machine, to make machines and raise
  # interrupts; the library itself is loaded by name.
  target_link_libraries(test_winsim PRIVATE quelt_simulator setupapi version psapi user32)
  add_test(NAME wine_simulated
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh $<TARGET_FILE:test_winsim>)
  set_tests_properties(wine_simulated PROPERTIES TIMEOUT 600)

  # The simulator's own tests that need no fork, built for Windows against
  # the same driver code and run under Wine: what they hold on Linux holds
  # on the Windows primitives too.
  if(EXISTS /usr/src/googletest/CMakeLists.txt)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    add_executable(test_sim_windows ${CMAKE_SOURCE_DIR}/tests/sim/attach_test.cpp
      ${CMAKE_SOURCE_DIR}/tests/sim/wait_test.cpp ${CMAKE_SOURCE_DIR}/tests/sim/listing_test.cpp
      ${CMAKE_SOURCE_DIR}/tests/sim/windows_test.cpp ${CMAKE_SOURCE_DIR}/tests/support/recording_model.cpp
      ${CMAKE_SOURCE_DIR}/tests/sim/win32_helpers.cpp
      ${CMAKE_SOURCE_DIR}/tests/support/temp_machine.cpp ${QUELT_SIMULATED_SOURCES})
    target_include_directories(test_sim_windows PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/tests/sim)
    target_compile_options(test_sim_windows PRIVATE ${QUELT_WARNINGS} -Wno-restrict)
    target_link_options(test_sim_windows PRIVATE ${QUELT_STATIC_RUNTIME})
    target_link_libraries(test_sim_windows PRIVATE quelt_simulator gtest_main)
    add_test(NAME wine_sim_shared_tests
      COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh $<TARGET_FILE:test_sim_windows>)
    set_tests_properties(wine_sim_shared_tests PROPERTIES TIMEOUT 600)
  endif()
  set(QUELT_WINE_SOURCES "")
endif()
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
