# What the Windows package holds: the DLL, its import library, the .def file
# with the export names and the header; `cpack` (or the `package` target)
# makes a zip of them.
install(TARGETS quelt_ox952
  RUNTIME DESTINATION bin
  ARCHIVE DESTINATION lib)

# The tools, quelt.exe (and quelt-sim.exe in the simulated flavour).
include(${CMAKE_CURRENT_LIST_DIR}/windows-tools.cmake)
install(FILES ${CMAKE_SOURCE_DIR}/src/quelt_ox952.def DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/include/quelt_ox952.h DESTINATION include)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION share/doc/quelt_ox952 FILES_MATCHING PATTERN "*.md" PATTERN man EXCLUDE)

# The simulated flavour's package is named apart: it must never be taken
# for the real one.
if(QUELT_SIMULATED)
  set(CPACK_PACKAGE_NAME quelt_ox952-simulated)
else()
  set(CPACK_PACKAGE_NAME quelt_ox952)
endif()
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "User-mode access to OX952, OX9162 and EP4GXA PCI cards")
include(CPack)

# The package test expects the real DLL on a machine without cards.
if(QUELT_TESTS AND NOT QUELT_SIMULATED)
  add_test(NAME windows_install
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/tools/windows/install.sh ${CMAKE_BINARY_DIR} ${CMAKE_C_COMPILER})
endif()
