# What the Windows package holds: the DLL, its import library, the .def file
# with the export names and the header; `cpack` (or the `package` target)
# makes a zip of them.
install(TARGETS quelt_ox952
  RUNTIME DESTINATION bin
  ARCHIVE DESTINATION lib)

# The card tool for Windows. CLI11 and nlohmann-json are header-only: their
# headers are taken from the build machine, linked into a folder of their own
# so that nothing else of the host's include tree reaches the cross compiler.
find_path(QUELT_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
find_path(QUELT_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
file(GLOB QUELT_TOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/quelt/*.cpp)
if(QUELT_CLI11_INCLUDE AND QUELT_JSON_INCLUDE AND QUELT_TOOL_SOURCES)
  set(QUELT_TOOL_HEADERS ${CMAKE_BINARY_DIR}/tool-headers)
  file(MAKE_DIRECTORY ${QUELT_TOOL_HEADERS})
  file(CREATE_LINK ${QUELT_CLI11_INCLUDE}/CLI ${QUELT_TOOL_HEADERS}/CLI SYMBOLIC)
  file(CREATE_LINK ${QUELT_JSON_INCLUDE}/nlohmann ${QUELT_TOOL_HEADERS}/nlohmann SYMBOLIC)
  add_executable(quelt ${QUELT_TOOL_SOURCES})
  target_include_directories(quelt PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_include_directories(quelt SYSTEM PRIVATE ${QUELT_TOOL_HEADERS})
  target_compile_definitions(quelt PRIVATE QUELT_TOOL_VERSION="${PROJECT_VERSION}" WIN32_LEAN_AND_MEAN NOMINMAX)
  # -Wno-restrict: GCC 12 reports false overlaps in inlined std::string
  # concatenation at -O2 (a known compiler fault).
  target_compile_options(quelt PRIVATE ${QUELT_WARNINGS} -Wno-restrict)
  target_link_options(quelt PRIVATE ${QUELT_STATIC_RUNTIME})
  target_link_libraries(quelt PRIVATE quelt_ox952)
  install(TARGETS quelt RUNTIME DESTINATION bin)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/src/quelt_ox952.def DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/include/quelt_ox952.h DESTINATION include)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION share/doc/quelt_ox952 FILES_MATCHING PATTERN "*.md" PATTERN man EXCLUDE)

set(CPACK_PACKAGE_NAME quelt_ox952)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "User-mode access to OX952, OX9162 and EP4GXA PCI cards")
include(CPack)

if(QUELT_TESTS)
  add_test(NAME windows_install
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/tools/windows/install.sh ${CMAKE_BINARY_DIR} ${CMAKE_C_COMPILER})
endif()
