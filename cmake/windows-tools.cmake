# The tools for Windows: quelt.exe, linked against the DLL's import library
# in both flavours, and the Wine checks that hold their commands and output
# to what the Linux tools give (tests/tools/transcripts).
#
# CLI11 and nlohmann-json are header-only: their headers are taken from the
# build machine, linked into a folder of their own so that nothing else of the
# host's include tree (glibc's headers) reaches the cross compiler.
find_path(QUELT_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
find_path(QUELT_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
file(GLOB QUELT_TOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/quelt/*.cpp)
if(NOT (QUELT_CLI11_INCLUDE AND QUELT_JSON_INCLUDE AND QUELT_TOOL_SOURCES))
  return()
endif()
set(QUELT_TOOL_HEADERS ${CMAKE_BINARY_DIR}/tool-headers)
file(MAKE_DIRECTORY ${QUELT_TOOL_HEADERS})
file(CREATE_LINK ${QUELT_CLI11_INCLUDE}/CLI ${QUELT_TOOL_HEADERS}/CLI SYMBOLIC)
file(CREATE_LINK ${QUELT_JSON_INCLUDE}/nlohmann ${QUELT_TOOL_HEADERS}/nlohmann SYMBOLIC)

# Options every Windows tool shares. -Wno-restrict: GCC 12 reports false
# overlaps in inlined std::string concatenation at -O2 (a known compiler fault).
function(quelt_windows_tool target)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_include_directories(${target} SYSTEM PRIVATE ${QUELT_TOOL_HEADERS})
  target_compile_definitions(${target} PRIVATE QUELT_TOOL_VERSION="${PROJECT_VERSION}" WIN32_LEAN_AND_MEAN
    NOMINMAX _WIN32_WINNT=0x0601)
  target_compile_options(${target} PRIVATE ${QUELT_WARNINGS} -Wno-restrict)
  target_link_options(${target} PRIVATE ${QUELT_STATIC_RUNTIME})
endfunction()

add_executable(quelt ${QUELT_TOOL_SOURCES})
quelt_windows_tool(quelt)
target_link_libraries(quelt PRIVATE quelt_ox952)
install(TARGETS quelt RUNTIME DESTINATION bin)

# quelt-sim.exe, the simulated machine's command line, in the simulated
# flavour only: a command line over the control API (sim/capi/c_api.cpp),
# linked with the simulator itself.
if(TARGET quelt_simulator AND EXISTS ${CMAKE_SOURCE_DIR}/tools/quelt-sim.cpp)
  add_executable(quelt-sim ${CMAKE_SOURCE_DIR}/tools/quelt-sim.cpp ${CMAKE_SOURCE_DIR}/sim/capi/c_api.cpp
    ${CMAKE_SOURCE_DIR}/sim/capi/machine_file.cpp)
  quelt_windows_tool(quelt-sim)
  target_include_directories(quelt-sim PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
  target_link_libraries(quelt-sim PRIVATE quelt_simulator)
  install(TARGETS quelt-sim RUNTIME DESTINATION bin)
endif()

# In the simulated flavour quelt.exe names damaged cards and an unusable
# machine root, which the library cannot see, through the control API, as
# quelt does on Linux; the real flavour has no machine to look at.
if(TARGET quelt_simulator)
  target_sources(quelt PRIVATE ${CMAKE_SOURCE_DIR}/sim/capi/c_api.cpp ${CMAKE_SOURCE_DIR}/sim/capi/machine_file.cpp)
  target_include_directories(quelt PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
  target_link_libraries(quelt PRIVATE quelt_simulator)
  target_compile_definitions(quelt PRIVATE QUELT_TOOL_SIM=1)
endif()

if(NOT QUELT_TESTS)
  return()
endif()
# The Windows runner of the tool transcripts: runs each command as a process
# of its own beside the tools, in a console-less Wine process as under CTest.
add_executable(test_wine_tools ${CMAKE_SOURCE_DIR}/tests/tools/transcripts/transcript.cpp)
quelt_windows_tool(test_wine_tools)
add_dependencies(test_wine_tools quelt)
set(QUELT_TOOL_FILES $<TARGET_FILE:quelt>)
if(TARGET quelt-sim)
  list(APPEND QUELT_TOOL_FILES $<TARGET_FILE:quelt-sim>)
endif()
add_test(NAME windows_tool_imports
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/tools/windows/tool_imports.sh ${QUELT_MINGW_OBJDUMP} ${QUELT_TOOL_FILES})

# The real flavour runs the transcripts that need no card (Wine has no card
# driver); the simulated one runs them all, the README's tour among them.
if(TARGET quelt-sim)
  add_dependencies(test_wine_tools quelt-sim)
  file(GLOB QUELT_TRANSCRIPTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/tools/transcripts/*.txt)
else()
  set(QUELT_TRANSCRIPTS ${CMAKE_SOURCE_DIR}/tests/tools/transcripts/no_cards.txt)
endif()
foreach(transcript ${QUELT_TRANSCRIPTS})
  get_filename_component(name ${transcript} NAME_WE)
  add_test(NAME wine_tools_${name}
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh $<TARGET_FILE:test_wine_tools> ${transcript})
  set_tests_properties(wine_tools_${name} PROPERTIES TIMEOUT 300)
endforeach()
