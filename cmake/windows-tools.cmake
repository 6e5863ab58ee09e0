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

if(NOT QUELT_TESTS)
  return()
endif()
# The Windows runner of the tool transcripts: runs each command as a process
# of its own beside the tools, in a console-less Wine process as under CTest.
add_executable(test_wine_tools ${CMAKE_SOURCE_DIR}/tests/tools/transcripts/transcript.cpp)
quelt_windows_tool(test_wine_tools)
add_dependencies(test_wine_tools quelt)
add_test(NAME wine_tools_no_cards
  COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh $<TARGET_FILE:test_wine_tools>
    ${CMAKE_SOURCE_DIR}/tests/tools/transcripts/no_cards.txt)
set_tests_properties(wine_tools_no_cards PROPERTIES TIMEOUT 300)
