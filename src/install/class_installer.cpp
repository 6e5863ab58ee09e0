// The device class installer that Windows device installation calls for the
// cards' device class. It clears restart and reboot requests before installing
// a card's device, and puts the 32-bit card libraries of the WOW64 system
// directory under their plain names. It shares no state with the rest of the
// library and takes no lock.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/win32.h"
#include "quelt_ox952.h"

namespace {

static_assert(sizeof(SP_DEVINSTALL_PARAMS_A) == 320, "install parameters are 320 bytes on 64-bit Windows");

struct LibraryNames {
    const char* delivered;  // as the driver package copies it
    const char* plain;      // as 32-bit applications load it
};

// Processed in this order.
constexpr LibraryNames kLibraries[] = {
    {"quelt_ox9162_32.dll", "quelt_ox9162.dll"},
    {"quelt_ox952_32.dll", "quelt_ox952.dll"},
    {"quelt_ep4gxa_32.dll", "quelt_ep4gxa.dll"},
};

constexpr std::size_t kPathBufferSize = 256;
// Two bytes are kept back from the directory query: room for the backslash
// that may be appended and the terminator.
constexpr UINT kDirectoryQuerySize = 254;

constexpr DWORD kRestartRequests = DI_NEEDRESTART | DI_NEEDREBOOT;

DWORD InstallDevice(HDEVINFO set, PSP_DEVINFO_DATA data) {
    SP_DEVINSTALL_PARAMS_A params;
    std::memset(&params, 0, sizeof params);
    params.cbSize = sizeof params;
    // Write the parameters back only if they were read: writing an unread
    // record would replace the device's parameters with zeros.
    if (SetupDiGetDeviceInstallParamsA(set, data, &params)) {
        params.Flags &= ~kRestartRequests;
        SetupDiSetDeviceInstallParamsA(set, data, &params);
    }
    if (SetupDiInstallDevice(set, data)) return NO_ERROR;
    const DWORD error = GetLastError();
    // A failure must never read as success, even if nothing set an error.
    return error != NO_ERROR ? error : ERROR_GEN_FAILURE;
}

std::size_t LongestLibraryName() {
    std::size_t longest = 0;
    for (const LibraryNames& names : kLibraries) {
        longest = std::max(longest, std::strlen(names.delivered));
        longest = std::max(longest, std::strlen(names.plain));
    }
    return longest;
}

// Renames each delivered 32-bit library that is present to its plain name,
// replacing an older file of that name. Skips what cannot be done; reports
// nothing.
void InstallWow64Libraries() {
    char source[kPathBufferSize];
    char target[kPathBufferSize];
    const UINT length = GetSystemWow64DirectoryA(source, kDirectoryQuerySize);
    // 2 or less: no WOW64 directory (32-bit Windows) or the query failed.
    // Above the query size - 1: the directory did not fit and nothing was
    // written, so it is treated like a missing one.
    if (length <= 2 || length >= kDirectoryQuerySize) return;
    std::size_t prefix = length;
    source[prefix] = '\0';
    if (source[prefix - 1] != '\\') {
        source[prefix++] = '\\';
        source[prefix] = '\0';
    }
    // A prefix that leaves no room for every name is treated like a missing
    // directory, before any file is touched.
    if (prefix + LongestLibraryName() + 1 > kPathBufferSize) return;
    std::memcpy(target, source, prefix + 1);

    for (const LibraryNames& names : kLibraries) {
        std::strcpy(source + prefix, names.delivered);
        std::strcpy(target + prefix, names.plain);
        HANDLE probe = CreateFileA(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE) continue;
        CloseHandle(probe);
        // Neither result decides anything: a target that cannot be deleted
        // makes the rename fail, and the library keeps its delivered name.
        DeleteFileA(target);
        MoveFileA(source, target);
    }
}

}  // namespace

extern "C" QUELT_API uint32_t QUELT_CALL ClassInstaller(uint32_t installFunction, void* deviceInfoSet,
                                                        void* deviceInfoData) {
    switch (installFunction) {
        case DIF_INSTALLDEVICE:
            return InstallDevice(static_cast<HDEVINFO>(deviceInfoSet),
                                 static_cast<PSP_DEVINFO_DATA>(deviceInfoData));
        case DIF_INSTALLINTERFACES:
            InstallWow64Libraries();
            return ERROR_DI_DO_DEFAULT;
        default:
            return ERROR_DI_DO_DEFAULT;
    }
}
