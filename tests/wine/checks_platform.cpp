// The DLL as Windows loads it: every .def name resolves, the compiler's
// runtime is inside it, and the interface version answers.
#include <string>

#include "harness.h"
#include "wine_exports.h"  // generated from src/quelt_ox952.def

WINE_CHECK(EveryDefNameResolves) {
    const char* const names[] = {QUELT_DEF_EXPORTS};
    int resolved = 0;
    for (const char* name : names) {
        if (wine::Resolve(name, __FILE__, __LINE__) != nullptr) ++resolved;
    }
    EXPECT_EQ(resolved, static_cast<int>(sizeof names / sizeof names[0]));
    // And nothing is exported that the .def does not list.
    EXPECT_TRUE(GetProcAddress(wine::Library(), "RegistryLoad") == nullptr);
    EXPECT_TRUE(GetProcAddress(wine::Library(), "DllMain") == nullptr);
}

WINE_CHECK(NoCompilerRuntimeDllIsLoaded) {
    for (const char* dll : {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"}) {
        if (GetModuleHandleA(dll) != nullptr) wine::Fail(__FILE__, __LINE__, std::string(dll) + " is loaded");
    }
    EXPECT_TRUE(wine::LibraryPath().find("quelt_ox952.dll") != std::string::npos);
}

WINE_CHECK(InterfaceVersionIs318) {
    QUELT_REQUIRE_EXPORT(ox952, OX952_InterfaceVersion);
    QUELT_REQUIRE_EXPORT(ox9162, OX9162_InterfaceVersion);
    QUELT_REQUIRE_EXPORT(ep4gxa, EP4GXA_InterfaceVersion);
    EXPECT_EQ(ox952(), 318u);
    EXPECT_EQ(ox9162(), 318u);
    EXPECT_EQ(ep4gxa(), 318u);
}
