// The one door from the library to the operating system.
//
// On Windows this is the system headers. Elsewhere it declares the POSIX
// implementation in src/platform/posix/, which reproduces the Windows calls the
// library makes under their own names, with the same record sizes, constant
// values and last-error behaviour. Device calls (the SetupAPI device listing,
// CreateFileA on a device path, DeviceIoControl) are served there by the
// simulated card driver in sim/.
//
// The simulated flavour of the Windows DLL (QUELT_SIMULATED) sends the same
// device calls to the simulated card driver too: below, their names are
// redirected to the stand-ins of src/platform/simulated/ and
// src/platform/posix/setupapi.cpp, and every other call goes to the system.
// The real DLL is built without it and holds no simulator.
//
// No other file under src/ tests _WIN32.
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// windows.h first: psapi.h and setupapi.h use its types.
// clang-format off
#include <windows.h>
#include <psapi.h>
#include <setupapi.h>
// clang-format on

#define QUELT_WINDOWS 1

#if defined(QUELT_SIMULATED) && QUELT_SIMULATED
// Device models may sit behind card memory (src/platform/mmio.h).
#define QUELT_MMIO_MODELS 1

// kernel32: a device path opens a simulated device; the handle's requests and
// its close go to the simulated driver. Other paths and handles: the system.
HANDLE QueltSim_CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                            LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                            DWORD flagsAndAttributes, HANDLE templateFile);
BOOL QueltSim_CloseHandle(HANDLE handle);
BOOL QueltSim_DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                              LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                              LPOVERLAPPED overlapped);
#define CreateFileA QueltSim_CreateFileA
#define CloseHandle QueltSim_CloseHandle
#define DeviceIoControl QueltSim_DeviceIoControl

// setupapi: the listing and install parameters of the simulated machine.
HDEVINFO QueltSim_SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL QueltSim_SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, PSP_DEVINFO_DATA data);
BOOL QueltSim_SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                                PDWORD propertyRegDataType, PBYTE buffer, DWORD bufferSize,
                                                PDWORD requiredSize);
BOOL QueltSim_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA data, const GUID* interfaceClassGuid,
                                          DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData);
BOOL QueltSim_SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                               PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                               PDWORD requiredSize, PSP_DEVINFO_DATA data);
BOOL QueltSim_SetupDiDestroyDeviceInfoList(HDEVINFO set);
BOOL QueltSim_SetupDiGetDeviceInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA data,
                                             PSP_DEVINSTALL_PARAMS_A params);
BOOL QueltSim_SetupDiSetDeviceInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA data,
                                             PSP_DEVINSTALL_PARAMS_A params);
BOOL QueltSim_SetupDiInstallDevice(HDEVINFO set, PSP_DEVINFO_DATA data);
#define SetupDiGetClassDevsA QueltSim_SetupDiGetClassDevsA
#define SetupDiEnumDeviceInfo QueltSim_SetupDiEnumDeviceInfo
#define SetupDiGetDeviceRegistryPropertyA QueltSim_SetupDiGetDeviceRegistryPropertyA
#define SetupDiEnumDeviceInterfaces QueltSim_SetupDiEnumDeviceInterfaces
#define SetupDiGetDeviceInterfaceDetailA QueltSim_SetupDiGetDeviceInterfaceDetailA
#define SetupDiDestroyDeviceInfoList QueltSim_SetupDiDestroyDeviceInfoList
#define SetupDiGetDeviceInstallParamsA QueltSim_SetupDiGetDeviceInstallParamsA
#define SetupDiSetDeviceInstallParamsA QueltSim_SetupDiSetDeviceInstallParamsA
#define SetupDiInstallDevice QueltSim_SetupDiInstallDevice
#else
#define QUELT_MMIO_MODELS 0
#endif

#else  // POSIX

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#define QUELT_WINDOWS 0
#define QUELT_MMIO_MODELS 1

// --- Basic types, sized as on 64-bit Windows (LLP64: long is 32 bits there) ---
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using BOOL = std::int32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using CHAR = char;
using LONG_PTR = std::int64_t;
using ULONG_PTR = std::uint64_t;
using DWORD_PTR = std::uint64_t;
using UINT_PTR = std::uint64_t;
using PVOID = void*;
using LPVOID = void*;
using HANDLE = void*;
using HWND = void*;
using HDEVINFO = void*;
using LPCSTR = const char*;
using LPSTR = char*;
using PDWORD = DWORD*;
using LPDWORD = DWORD*;
using PBYTE = BYTE*;
using DI_FUNCTION = UINT;

#define WINAPI
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

// --- Error codes (winerror.h values) ---
#define NO_ERROR 0u
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_INVALID_USER_BUFFER 1784u
#define ERROR_DI_DO_DEFAULT 0xE000020Eu
#define ERROR_NO_SUCH_DEVINST 0xE000020Bu
#define ERROR_INVALID_FLAGS 1004u
// Further codes the POSIX file and device calls leave behind, as Windows does.
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_NOT_SAME_DEVICE 17u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_DISK_FULL 112u
#define ERROR_CALL_NOT_IMPLEMENTED 120u
#define ERROR_INVALID_NAME 123u
#define ERROR_DIR_NOT_EMPTY 145u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_NOACCESS 998u

// --- CreateFileA ---
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define DELETE 0x00010000u
#define GENERIC_ALL 0x10000000u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

// --- Device I/O control codes ---
#define FILE_DEVICE_UNKNOWN 0x00000022u
#define METHOD_BUFFERED 0u
#define FILE_ANY_ACCESS 0u
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

// --- Library entry reasons ---
#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u
#define DLL_THREAD_ATTACH 2u
#define DLL_THREAD_DETACH 3u

// --- MessageBoxA ---
#define MB_OK 0x00000000u
#define MB_ICONERROR 0x00000010u
#define IDOK 1
#define INFINITE 0xFFFFFFFFu

// --- SetupAPI ---
#define DIGCF_DEFAULT 0x00000001u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_PROFILE 0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u
#define SPDRP_DEVICEDESC 0x00000000u
#define DIF_INSTALLDEVICE 0x00000002u
#define DIF_INSTALLINTERFACES 0x00000020u
#define DI_NEEDRESTART 0x00000080u
#define DI_NEEDREBOOT 0x00000100u

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;
static_assert(sizeof(SP_DEVINFO_DATA) == 32);

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
using PSP_DEVICE_INTERFACE_DATA = SP_DEVICE_INTERFACE_DATA*;
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};
using PSP_DEVICE_INTERFACE_DETAIL_DATA_A = SP_DEVICE_INTERFACE_DETAIL_DATA_A*;
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);

using PSP_FILE_CALLBACK_A = UINT (*)(PVOID Context, UINT Notification, UINT_PTR Param1, UINT_PTR Param2);
using HSPFILEQ = PVOID;

struct SP_DEVINSTALL_PARAMS_A {
    DWORD cbSize;
    DWORD Flags;
    DWORD FlagsEx;
    HWND hwndParent;
    PSP_FILE_CALLBACK_A InstallMsgHandler;
    PVOID InstallMsgHandlerContext;
    HSPFILEQ FileQueue;
    ULONG_PTR ClassInstallReserved;
    DWORD Reserved;
    CHAR DriverPath[MAX_PATH];
};
using PSP_DEVINSTALL_PARAMS_A = SP_DEVINSTALL_PARAMS_A*;
static_assert(sizeof(SP_DEVINSTALL_PARAMS_A) == 320);

// --- Critical sections: recursive, as on Windows ---
struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

// Every function below reproduces the Windows call of the same name, including
// the last-error value it leaves behind (SetLastError) on failure. Each
// definition in src/platform/posix/ states the Windows behaviour it keeps.

// kernel32: handles and files
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL DeleteFileA(LPCSTR fileName);
BOOL MoveFileA(LPCSTR existingFileName, LPCSTR newFileName);
UINT GetSystemWow64DirectoryA(LPSTR buffer, UINT size);

// kernel32: threads, errors, time
DWORD GetLastError();
void SetLastError(DWORD error);
DWORD GetCurrentProcessId();
void Sleep(DWORD milliseconds);
void InitializeCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
LONG InterlockedIncrement(LONG volatile* addend);
LONG InterlockedDecrement(LONG volatile* addend);

// psapi
BOOL EnumProcesses(DWORD* processIds, DWORD cb, DWORD* bytesReturned);

// user32
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// setupapi
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, PSP_DEVINFO_DATA data);
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                       PDWORD propertyRegDataType, PBYTE buffer, DWORD bufferSize,
                                       PDWORD requiredSize);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA data, const GUID* interfaceClassGuid,
                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA data);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);
BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_A params);
BOOL SetupDiSetDeviceInstallParamsA(HDEVINFO set, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_A params);
BOOL SetupDiInstallDevice(HDEVINFO set, PSP_DEVINFO_DATA data);

#endif  // POSIX
