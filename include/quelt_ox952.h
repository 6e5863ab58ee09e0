/*
 * quelt_ox952: user-mode access to OX952, OX9162 and EP4GXA PCI cards.
 *
 * One flat C interface. Family functions (OX952_, OX9162_, EP4GXA_) address a
 * family's cards by position 0..31 and return a result code (QUELT_OK or one
 * single-bit failure value, see QUELT_RESULT_CODES below). Device-level
 * functions (Ox...) work on one attached device handle at a time.
 *
 * Threads: every function may be called from any thread. Functions that block
 * say so. A card must not be closed while another thread still uses its mapped
 * addresses; interrupt waits are the exception and are ended by the close.
 */
#ifndef QUELT_OX952_H
#define QUELT_OX952_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define QUELT_CALL __stdcall
#if defined(QUELT_BUILDING_LIBRARY)
#define QUELT_API __declspec(dllexport)
#else
#define QUELT_API __declspec(dllimport)
#endif
#else
#define QUELT_CALL
#if defined(QUELT_BUILDING_LIBRARY)
#define QUELT_API __attribute__((visibility("default")))
#else
#define QUELT_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------- */
/* Result codes of the family functions.                                      */
/* ------------------------------------------------------------------------- */

/* The values are fixed; every failure is exactly one of these bits. */
#define QUELT_OK 0x0u                /* success */
#define QUELT_NO_CARD 0x2u           /* position 32 or more, or no card of the family there */
#define QUELT_REFUSED 0x4u           /* connection refused by the card's other connections */
#define QUELT_OPEN_FAILED 0x8u       /* opening the card's device failed */
#define QUELT_NO_IRQ_LINE 0x20u      /* interrupts requested but the card has no interrupt */
#define QUELT_NOT_OPEN 0x40u         /* card not open in this process, or the operation failed */
#define QUELT_NO_REGION 0x80u        /* the requested memory region is not available */
#define QUELT_IRQ_NOT_ENABLED 0x100u /* the card was opened without interrupts */
#define QUELT_WAIT_ENDED 0x200u      /* the wait was discarded or the card was closed */
#define QUELT_NULL_POINTER 0x400u    /* a pointer argument is null, or a needed record is missing */
#define QUELT_WAIT_FAILED 0x800u     /* the driver's interrupt wait request failed */
#define QUELT_TIMEOUT 0x1000u        /* the interrupt wait timed out */
#define QUELT_NO_BAR3 0x2000u        /* OX9162_BAR3_BaseAdr: region not available */
#define QUELT_NO_BAR11 0x4000u       /* OX952_BAR11_BaseAdr: region not available */
#define QUELT_NO_BAR13 0x8000u       /* OX952_BAR13_BaseAdr: region not available */
#define QUELT_NO_FUNCTION1 0x20000u  /* OX952: second function missing or ambiguous */
#define QUELT_ALREADY_OPEN 0x40000u  /* the card is already open in this process */
#define QUELT_BAD_OFFSET 0x40000000u /* register offset outside region 0 or misaligned */
#define QUELT_OLD_DRIVER 0x80000000u /* the card driver is older than version 109 */

/* Every code with its text. The switch below rejects a code listed twice, and
 * the mask check below rejects a code left out. */
#define QUELT_RESULT_CODES(X)                                               \
    X(QUELT_OK, "success")                                                  \
    X(QUELT_NO_CARD, "no such card at this position")                       \
    X(QUELT_REFUSED, "connection refused by the card's other connections")  \
    X(QUELT_OPEN_FAILED, "opening the card's device failed")                \
    X(QUELT_NO_IRQ_LINE, "interrupts requested but the card has none")      \
    X(QUELT_NOT_OPEN, "card not open in this process, or operation failed") \
    X(QUELT_NO_REGION, "memory region not available")                       \
    X(QUELT_IRQ_NOT_ENABLED, "card was opened without interrupts")          \
    X(QUELT_WAIT_ENDED, "interrupt wait discarded or card closed")          \
    X(QUELT_NULL_POINTER, "null pointer argument or missing record")        \
    X(QUELT_WAIT_FAILED, "the driver's interrupt wait request failed")      \
    X(QUELT_TIMEOUT, "interrupt wait timed out")                            \
    X(QUELT_NO_BAR3, "OX9162 BAR3 region not available")                    \
    X(QUELT_NO_BAR11, "OX952 function 1 first region not available")        \
    X(QUELT_NO_BAR13, "OX952 function 1 second region not available")       \
    X(QUELT_NO_FUNCTION1, "OX952 second function missing or ambiguous")     \
    X(QUELT_ALREADY_OPEN, "card already open in this process")              \
    X(QUELT_BAD_OFFSET, "register offset outside region 0 or misaligned")   \
    X(QUELT_OLD_DRIVER, "card driver older than version 109")

#define QUELT_ALL_CODES_                                                                                   \
    (QUELT_NO_CARD | QUELT_REFUSED | QUELT_OPEN_FAILED | QUELT_NO_IRQ_LINE | QUELT_NOT_OPEN |              \
     QUELT_NO_REGION | QUELT_IRQ_NOT_ENABLED | QUELT_WAIT_ENDED | QUELT_NULL_POINTER | QUELT_WAIT_FAILED | \
     QUELT_TIMEOUT | QUELT_NO_BAR3 | QUELT_NO_BAR11 | QUELT_NO_BAR13 | QUELT_NO_FUNCTION1 |                \
     QUELT_ALREADY_OPEN | QUELT_BAD_OFFSET | QUELT_OLD_DRIVER)
#define QUELT_CODE_BIT_(name, text) | (name)
#if (0u QUELT_RESULT_CODES(QUELT_CODE_BIT_)) != QUELT_ALL_CODES_
#error "QUELT_RESULT_CODES must list every result code"
#endif
#undef QUELT_CODE_BIT_

/* A short English text for a result code; "unknown result code" for any
 * value that is not one of the codes above. Never null, never a shared
 * buffer. */
static inline const char* quelt_result_text(uint32_t code) {
#define QUELT_TEXT_CASE_(name, text) \
    case name:                       \
        return text;
    switch (code) {
        QUELT_RESULT_CODES(QUELT_TEXT_CASE_)
        default:
            return "unknown result code";
    }
#undef QUELT_TEXT_CASE_
}

/* The interface version every *_InterfaceVersion function reports. */
#define QUELT_INTERFACE_VERSION 318u

/* ------------------------------------------------------------------------- */
/* Device-level records.                                                      */
/* ------------------------------------------------------------------------- */

/* An attached device. Opaque: pass it back to the Ox functions. */
typedef struct DeviceHandle DeviceHandle;

/* One mapped memory region: its address in this process and its length. */
typedef struct OxRegion {
    void* address;
    uint64_t length;
} OxRegion;

/* What the card driver delivers when a device is attached (336 bytes).
 * Valid until the handle is closed. */
typedef struct DeviceResources {
    int32_t regionCount;   /*   0: valid entries in regions[]            */
    uint32_t reserved0;    /*   4                                        */
    OxRegion regions[16];  /*   8                                        */
    uint8_t reserved1[8];  /* 264                                        */
    uint32_t bus;          /* 272: PCI bus number                        */
    uint32_t slot;         /* 276: slot number, 0 when unknown           */
    uint32_t vendorId;     /* 280                                        */
    uint32_t deviceId;     /* 284                                        */
    uint32_t pciAddress;   /* 288: upper 16 bits: device number on bus   */
    uint8_t irqLine;       /* 292: 0 when the card has no interrupt      */
    uint8_t reserved2[11]; /* 293                                        */
    void* statusBlock;     /* 304: the card's shared status block, or 0  */
    uint64_t dmaKey;       /* 312: non-zero while a DMA buffer is held   */
    uint64_t dmaSize;      /* 320: DMA buffer size in bytes              */
    uint64_t dmaBase;      /* 328: DMA buffer base                       */
} DeviceResources;

#if defined(__cplusplus)
#define QUELT_STATIC_ASSERT_(cond, msg) static_assert(cond, msg)
#else
#define QUELT_STATIC_ASSERT_(cond, msg) _Static_assert(cond, msg)
#endif
QUELT_STATIC_ASSERT_(sizeof(void*) == 8, "quelt_ox952 is a 64-bit library");
QUELT_STATIC_ASSERT_(sizeof(DeviceResources) == 336, "DeviceResources is 336 bytes");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, regions) == 8, "regions at 8");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, bus) == 272, "bus at 272");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, slot) == 276, "slot at 276");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, vendorId) == 280, "vendorId at 280");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, deviceId) == 284, "deviceId at 284");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, pciAddress) == 288, "pciAddress at 288");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, irqLine) == 292, "irqLine at 292");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, statusBlock) == 304, "statusBlock at 304");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, dmaKey) == 312, "dmaKey at 312");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, dmaSize) == 320, "dmaSize at 320");
QUELT_STATIC_ASSERT_(offsetof(DeviceResources, dmaBase) == 328, "dmaBase at 328");

/* ------------------------------------------------------------------------- */
/* Device-level functions.                                                    */
/* ------------------------------------------------------------------------- */

/* Attaches the index-th (1-based) present card whose description contains
 * name (null or "" matches every card) and admits a connection of the given
 * kind (0 normal, 1 multi, 2 diagnostic; other values are admitted and
 * recorded nowhere). Returns the handle, or null when no such card exists, the
 * device cannot be opened or attached, or the connection is refused. */
QUELT_API DeviceHandle* QUELT_CALL OxOpenDevice(const char* name, int32_t index, int32_t kind);

/* Detaches and releases the handle. Null is accepted. Does not release the
 * connection bookkeeping of the card's status block. If OxWaitForIrq calls of
 * this process still use the handle, returns once they have left it. */
QUELT_API void QUELT_CALL OxCloseDevice(DeviceHandle* handle);

/* The device's description (at most 255 characters), or null for null. Valid
 * until the handle is closed. */
QUELT_API const char* QUELT_CALL OxGetBoardName(DeviceHandle* handle);

/* The device's resources, or null for null. Valid until the handle is closed. */
QUELT_API DeviceResources* QUELT_CALL OxGetDeviceResources(DeviceHandle* handle);

/* Kept for compatibility: does nothing and returns -100. */
QUELT_API int32_t QUELT_CALL OxInOut(uintptr_t a, int32_t b, uintptr_t c, int32_t d);

/* Results of OxWaitForIrq. */
#define OX_WAIT_IRQ 0            /* an interrupt came during the wait */
#define OX_WAIT_REQUEST_FAILED 1 /* the driver's wait request failed */
#define OX_WAIT_ALREADY_CAME 2   /* an interrupt had come before the call: no wait */
#define OX_WAIT_TIMED_OUT 3      /* the time-out passed without an interrupt */
#define OX_WAIT_ENDED 4          /* *slot emptied, its handle being closed, or the wait discarded */
#define OX_WAIT_REFUSED 5        /* null slot, no status block, waitFlag 0, or no open handle */

/* Waits for the next interrupt of the card whose handle is held in *slot.
 * Blocks for up to timeoutMs (0: no limit), asking the driver in slices of at
 * most 5000 ms and reading *slot again after every slice, so another thread
 * ends the wait by setting *slot to null before it closes the handle. A
 * negative time-out makes one request of that many milliseconds, at most
 * 5000, and then returns OX_WAIT_TIMED_OUT. Returns one of the OX_WAIT_
 * results. */
QUELT_API int32_t QUELT_CALL OxWaitForIrq(DeviceHandle** slot, int32_t timeoutMs, uint8_t waitFlag);

/* Ends every interrupt wait pending on the handle's card, in any process. */
QUELT_API void QUELT_CALL OxDiscardWaitForIrq(DeviceHandle* handle);

/* The card's interrupt counter; 0 for null or a handle without status block. */
QUELT_API uint32_t QUELT_CALL OxGetIrqCounter(DeviceHandle* handle);

/* The driver's count of interrupt waits on the card (all handles); 0 for null.
 * Queues behind a wait pending on the same handle. */
QUELT_API uint32_t QUELT_CALL OxGetIrqWaits(DeviceHandle* handle);

/* Asks the driver for its version (cached once 100 or more). Returns it, 99
 * when the request gave no answer, 100 when no card could be opened. May show
 * the incompatible-driver message once per process. */
QUELT_API uint32_t QUELT_CALL OxDriverVersion(void);

/* Results of OxAllocateDMAmem and OxReleaseDMAmem. */
#define OX_DMA_OK 0
#define OX_DMA_NULL_HANDLE (-1)
#define OX_DMA_WRONG_STATE (-2)    /* allocate: a buffer is already held; release: none is held */
#define OX_DMA_REQUEST_FAILED (-3) /* the driver refused; on release the buffer stays held */
#define OX_DMA_SHORT_REPLY (-4)    /* allocate: the driver's reply was too short */

/* Allocates a DMA buffer for the handle; its fields appear in the handle's
 * DeviceResources. Returns OX_DMA_OK, OX_DMA_NULL_HANDLE, OX_DMA_WRONG_STATE,
 * OX_DMA_REQUEST_FAILED or OX_DMA_SHORT_REPLY. Blocks for one driver request. */
QUELT_API int32_t QUELT_CALL OxAllocateDMAmem(DeviceHandle* handle, uint32_t size);

/* Releases the handle's DMA buffer. Returns OX_DMA_OK, OX_DMA_NULL_HANDLE,
 * OX_DMA_WRONG_STATE or OX_DMA_REQUEST_FAILED (the buffer stays held). Blocks
 * for one driver request. */
QUELT_API int32_t QUELT_CALL OxReleaseDMAmem(DeviceHandle* handle);

/* ------------------------------------------------------------------------- */
/* Family functions. Per family, in the same order.                           */
/* ------------------------------------------------------------------------- */

/* Versions and enumeration. DriverVersion stores the driver version and
 * returns QUELT_OLD_DRIVER below 109. CardsInSystem counts the family's cards.
 * The identity queries need no open card. */
#define QUELT_FAMILY_ENUMERATION_(P)                                                   \
    QUELT_API uint32_t QUELT_CALL P##_DriverVersion(uint32_t* version);                \
    QUELT_API uint32_t QUELT_CALL P##_InterfaceVersion(void);                          \
    QUELT_API uint32_t QUELT_CALL P##_CardsInSystem(uint32_t* count);                  \
    QUELT_API uint32_t QUELT_CALL P##_Card_DID(uint32_t position, uint32_t* deviceId); \
    QUELT_API uint32_t QUELT_CALL P##_Card_BUS(uint32_t position, uint32_t* bus);      \
    QUELT_API uint32_t QUELT_CALL P##_Card_SLOT(uint32_t position, uint32_t* slot);

/* Opening and closing. irq non-zero asks for the card's interrupt. Open admits
 * a normal connection (refused while any other non-diagnostic connection
 * exists), OpenMulti a multi connection (refused while another running process
 * holds the card normally), OpenDiagnostic always. Close ends waits of this
 * process on the card first. */
#define QUELT_FAMILY_OPEN_CLOSE_(P)                                                       \
    QUELT_API uint32_t QUELT_CALL P##_Open(uint32_t position, uint32_t irq);              \
    QUELT_API uint32_t QUELT_CALL P##_OpenMulti(uint32_t position, uint32_t irq);         \
    QUELT_API uint32_t QUELT_CALL P##_OpenDiagnostic(uint32_t position, uint32_t irq);    \
    QUELT_API uint32_t QUELT_CALL P##_Close(uint32_t position);                           \
    QUELT_API uint32_t QUELT_CALL P##_Card_OpenCount(uint32_t position, uint32_t* count); \
    QUELT_API uint32_t QUELT_CALL P##_ClearConnections(uint32_t position);

/* Interrupts. IRQ_Wait blocks until the card's next interrupt, the time-out
 * set with IRQ_SetTimeout (0: none), or Close; *count (may be null) receives
 * the interrupts since Open. IRQ_Count returns that count (0 when not open). */
#define QUELT_FAMILY_IRQ_(P)                                                        \
    QUELT_API uint32_t QUELT_CALL P##_IRQ_Wait(uint32_t position, uint32_t* count); \
    QUELT_API uint32_t QUELT_CALL P##_IRQ_Count(uint32_t position);                 \
    QUELT_API uint32_t QUELT_CALL P##_IRQ_SetTimeout(uint32_t position, int32_t timeoutMs);

/* Shared area of the card's status block, the same memory in every process. */
#define QUELT_FAMILY_SHARED_(P) \
    QUELT_API uint32_t QUELT_CALL P##_SHARED_BaseAdr(uint32_t position, void** address, uint32_t* length);

QUELT_FAMILY_ENUMERATION_(OX952)
QUELT_FAMILY_OPEN_CLOSE_(OX952)
QUELT_FAMILY_IRQ_(OX952)
QUELT_FAMILY_SHARED_(OX952)
/* Interrupts of function 0 since Open. */
QUELT_API uint32_t QUELT_CALL OX952_IRQ_CountF0(uint32_t position);
/* Regions: function 0 region 0; function 1 regions 0 and 1. */
QUELT_API uint32_t QUELT_CALL OX952_BAR05_BaseAdr(uint32_t position, void** address, uint32_t* length);
QUELT_API uint32_t QUELT_CALL OX952_BAR11_BaseAdr(uint32_t position, void** address, uint32_t* length);
QUELT_API uint32_t QUELT_CALL OX952_BAR13_BaseAdr(uint32_t position, void** address, uint32_t* length);
/* One byte at base + offset; base comes from a BaseAdr function. No checks. */
QUELT_API void QUELT_CALL OX952_MemWrite(void* base, uint32_t offset, uint8_t value);
QUELT_API uint8_t QUELT_CALL OX952_MemRead(void* base, uint32_t offset);
/* Serial EEPROM: one 16-bit word of the card's 64-word EEPROM; the address is
 * taken modulo 64. RD checks value first (QUELT_NULL_POINTER), then passes on
 * any code of OX952_BAR13_BaseAdr (QUELT_NO_CARD, QUELT_NOT_OPEN,
 * QUELT_NO_BAR13). QUELT_NOT_OPEN also when the region has no address or the
 * EEPROM never became ready. A read does not block; a write or erase blocks
 * for 1 to 51 ms. Calls on one card are serialised within the process (a
 * call waits for another thread's call to finish); processes sharing a card
 * must not use its EEPROM at the same time. */
QUELT_API uint32_t QUELT_CALL OX952_EEPROM_RD(uint32_t position, uint32_t address, uint16_t* value);
QUELT_API uint32_t QUELT_CALL OX952_EEPROM_WR(uint32_t position, uint32_t address, uint16_t value);
QUELT_API uint32_t QUELT_CALL OX952_EEPROM_Erase(uint32_t position, uint32_t address);

QUELT_FAMILY_ENUMERATION_(OX9162)
QUELT_FAMILY_OPEN_CLOSE_(OX9162)
QUELT_FAMILY_IRQ_(OX9162)
QUELT_FAMILY_SHARED_(OX9162)
/* The driver's count of interrupt waits on the card; 0 when not open. */
QUELT_API uint32_t QUELT_CALL OX9162_GetIrqWaits(uint32_t position);
QUELT_API uint32_t QUELT_CALL OX9162_BAR3_BaseAdr(uint32_t position, void** address, uint32_t* length);
QUELT_API uint32_t QUELT_CALL OX9162_BAR4_BaseAdr(uint32_t position, void** address, uint32_t* length);
QUELT_API void QUELT_CALL OX9162_MemWrite(void* base, uint32_t offset, uint8_t value);
QUELT_API uint8_t QUELT_CALL OX9162_MemRead(void* base, uint32_t offset);
/* As the OX952 EEPROM functions, on the card's first region. RD checks value
 * first, then the position: QUELT_NO_CARD, or QUELT_NOT_OPEN for a card that
 * is not open in this process. */
QUELT_API uint32_t QUELT_CALL OX9162_EEPROM_RD(uint32_t position, uint32_t address, uint16_t* value);
QUELT_API uint32_t QUELT_CALL OX9162_EEPROM_WR(uint32_t position, uint32_t address, uint16_t value);
QUELT_API uint32_t QUELT_CALL OX9162_EEPROM_Erase(uint32_t position, uint32_t address);

QUELT_FAMILY_ENUMERATION_(EP4GXA)
QUELT_FAMILY_OPEN_CLOSE_(EP4GXA)
QUELT_FAMILY_IRQ_(EP4GXA)
QUELT_FAMILY_SHARED_(EP4GXA)
QUELT_API uint32_t QUELT_CALL EP4GXA_GetIrqWaits(uint32_t position);
/* The card's identity words, read from region 0 when the cards were scanned. */
QUELT_API uint32_t QUELT_CALL EP4GXA_Card_ID(uint32_t position, uint32_t* id);
QUELT_API uint32_t QUELT_CALL EP4GXA_Card_SerNr(uint32_t position, uint32_t* serialNumber);
QUELT_API uint32_t QUELT_CALL EP4GXA_BAR0_BaseAdr(uint32_t position, void** address, uint32_t* length);
QUELT_API uint32_t QUELT_CALL EP4GXA_BAR1_BaseAdr(uint32_t position, void** address, uint32_t* length);
QUELT_API uint32_t QUELT_CALL EP4GXA_BAR2_BaseAdr(uint32_t position, void** address, uint32_t* length);
/* Registers of region 0: one access of the stated width. 8- and 32-bit
 * offsets must be multiples of 4, 64-bit ones of 8, and the access must lie
 * inside the region (QUELT_BAD_OFFSET otherwise). */
QUELT_API uint32_t QUELT_CALL EP4GXA_ReadReg8(uint32_t position, uint32_t offset, uint8_t* value);
QUELT_API uint32_t QUELT_CALL EP4GXA_WriteReg8(uint32_t position, uint32_t offset, uint8_t value);
QUELT_API uint32_t QUELT_CALL EP4GXA_ReadReg32(uint32_t position, uint32_t offset, uint32_t* value);
QUELT_API uint32_t QUELT_CALL EP4GXA_WriteReg32(uint32_t position, uint32_t offset, uint32_t value);
QUELT_API uint32_t QUELT_CALL EP4GXA_ReadReg2x32(uint32_t position, uint32_t offset, uint32_t* low,
                                                 uint32_t* high);
QUELT_API uint32_t QUELT_CALL EP4GXA_WriteReg2x32(uint32_t position, uint32_t offset, uint32_t low,
                                                  uint32_t high);
QUELT_API uint32_t QUELT_CALL EP4GXA_ReadReg64(uint32_t position, uint32_t offset, uint64_t* value);
QUELT_API uint32_t QUELT_CALL EP4GXA_WriteReg64(uint32_t position, uint32_t offset, uint64_t value);

/* ------------------------------------------------------------------------- */
/* Device class installer, called by Windows device installation.             */
/* ------------------------------------------------------------------------- */
QUELT_API uint32_t QUELT_CALL ClassInstaller(uint32_t installFunction, void* deviceInfoSet,
                                             void* deviceInfoData);

#ifdef __cplusplus
}
#endif

#endif /* QUELT_OX952_H */
