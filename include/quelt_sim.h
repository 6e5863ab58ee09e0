/*
 * quelt_sim: control of the simulated machine that stands in for the card
 * driver on Linux (libquelt_sim.so). Tests and tools make machines, add and
 * remove cards, raise interrupts, read and set status blocks and EEPROM words,
 * and load or export machine files, in-process.
 *
 * Machines: a machine is a directory of card files (its root) that every
 * process using that root shares. Every function takes the root first: null
 * or "" means the root the library itself uses, QUELT_SIM_ROOT when set, else
 * the per-user default under /dev/shm. Device numbers are 1, 2, 3 ... in
 * listing order, as the library lists the cards.
 *
 * Results: every function returns QUELT_SIM_OK or one failure code below. A
 * failure's text is kept per thread: quelt_sim_last_error() gives the text of
 * the calling thread's last failed call.
 *
 * Threads: every function may be called from any thread and from any number
 * of processes on the same machine. None blocks for long: each holds the
 * machine's lock only for its own change.
 */
#ifndef QUELT_SIM_H
#define QUELT_SIM_H

#include <stddef.h>
#include <stdint.h>

#if defined(QUELT_SIM_BUILDING)
#define QUELT_SIM_API __attribute__((visibility("default")))
#else
#define QUELT_SIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes; the values are fixed. */
#define QUELT_SIM_OK 0
#define QUELT_SIM_BAD_ARGUMENT 1 /* a null pointer or a value out of range */
#define QUELT_SIM_NO_MACHINE 2   /* the root holds no machine */
#define QUELT_SIM_NO_DEVICE 3    /* no device of that number on the machine */
#define QUELT_SIM_EXISTS 4       /* a machine already exists at the root */
#define QUELT_SIM_BAD_FILE 5     /* a machine file that cannot be read or made */
#define QUELT_SIM_FAILED 6       /* the machine refused the change or a system call failed */

/* The text of the calling thread's last failed call ("" when none failed).
 * Valid until this thread's next call of this API. */
QUELT_SIM_API const char* quelt_sim_last_error(void);

/* The name of a result code ("QUELT_SIM_NO_DEVICE"), "unknown" for any
 * other value. */
QUELT_SIM_API const char* quelt_sim_code_name(int code);

/* ------------------------------------------------------------------------- */
/* Machines                                                                   */
/* ------------------------------------------------------------------------- */

#define QUELT_SIM_EMPTY 1u   /* a machine without cards */
#define QUELT_SIM_REPLACE 2u /* replace a machine that exists */

/* Makes a machine at root (the directory is made when missing): the default
 * machine (an OX952 two-function card, an OX9162 card, an EP4GXA card) or an
 * empty one. QUELT_SIM_EXISTS when one exists and QUELT_SIM_REPLACE is not
 * given. */
QUELT_SIM_API int quelt_sim_create(const char* root, unsigned flags);

/* Makes a machine in a new directory under /dev/shm and writes its root, with
 * its terminating zero, to root_out (root_size bytes; 64 are enough). */
QUELT_SIM_API int quelt_sim_create_temp(unsigned flags, char* root_out, size_t root_size);

/* Removes the machine and its root directory. root must be given: the
 * default machine is never removed by accident. */
QUELT_SIM_API int quelt_sim_delete(const char* root);

/* *exists: 1 when the root holds a machine, else 0. */
QUELT_SIM_API int quelt_sim_exists(const char* root, int* exists);

/* The root a call with this root argument works on, with its terminating
 * zero, in out (size bytes; 4096 are enough). */
QUELT_SIM_API int quelt_sim_root(const char* root, char* out, size_t size);

/* Makes sure root holds a machine, as the library does at its first use: the
 * per-user default root gets the default machine the first time; any other
 * root without a machine (or a default machine deleted since it was made)
 * gives QUELT_SIM_NO_MACHINE, naming the root and how to make one. */
QUELT_SIM_API int quelt_sim_use_machine(const char* root);

/* The driver version the machine reports to the library (110 when made). */
QUELT_SIM_API int quelt_sim_get_driver_version(const char* root, uint32_t* version);
QUELT_SIM_API int quelt_sim_set_driver_version(const char* root, uint32_t version);

/* ------------------------------------------------------------------------- */
/* Cards                                                                      */
/* ------------------------------------------------------------------------- */

#define QUELT_SIM_MAX_REGIONS 16
#define QUELT_SIM_MAX_DESCRIPTION 300

/* A card as the driver describes it, with everything `quelt-sim add` sets. */
typedef struct quelt_sim_card {
    char description[QUELT_SIM_MAX_DESCRIPTION + 1]; /* zero-terminated */
    uint32_t vendor_id;
    uint32_t device_id;
    uint32_t bus;
    uint32_t slot;        /* 0: unknown */
    uint32_t pci_address; /* upper 16 bits: device number on the bus */
    uint32_t irq_line;    /* 0..255, 0: the card has no interrupt */
    uint32_t region_count;
    uint64_t region_size[QUELT_SIM_MAX_REGIONS];    /* 1 byte to 1 GiB each */
    uint8_t region_unmapped[QUELT_SIM_MAX_REGIONS]; /* non-zero: attach reports address 0 */
    int32_t status_block;  /* non-zero: the driver gives applications a status block */
    int32_t eeprom_region; /* region holding a 93C46 control byte, -1: none */
    int32_t has_card_id;   /* non-zero: card_id is written to region 0 at byte 16368 */
    uint32_t card_id;
    int32_t has_serial; /* non-zero: serial is written to region 0 at byte 16372 */
    uint32_t serial;
} quelt_sim_card;

/* The defaults of a family ("ox952", "ox9162", "ep4gxa"); function 1 gives
 * the OX952 card's second function (0 for every other card). */
QUELT_SIM_API int quelt_sim_default_card(const char* family, int function, quelt_sim_card* card);

/* Adds a card at the next device number, stored in *device (may be null). */
QUELT_SIM_API int quelt_sim_add_card(const char* root, const quelt_sim_card* card, int* device);
/* Removes a device; the later devices move up by one. */
QUELT_SIM_API int quelt_sim_remove_card(const char* root, int device);
QUELT_SIM_API int quelt_sim_card_count(const char* root, int* count);
QUELT_SIM_API int quelt_sim_get_card(const char* root, int device, quelt_sim_card* card);

/* Whether device N's card file can be used. problem receives "" when it can,
 * else what is wrong with it; file (may be null when file_size is 0)
 * receives the card file's path. Both are zero-terminated; a buffer too small
 * gives QUELT_SIM_BAD_ARGUMENT. 512 bytes hold any problem, 4096 any path. A
 * damaged machine index gives QUELT_SIM_FAILED with a text naming the root. */
QUELT_SIM_API int quelt_sim_card_problem(const char* root, int device, char* problem, size_t problem_size,
                                         char* file, size_t file_size);

/* Rebuilds device N from a card file that was cut short: a new file with the
 * same card, holding what the old one still held (processes that map the old
 * file keep it). QUELT_SIM_FAILED for a sound card and for one whose header
 * is damaged (remove that one). */
QUELT_SIM_API int quelt_sim_repair_card(const char* root, int device);

/* ------------------------------------------------------------------------- */
/* Interrupts, status block                                                   */
/* ------------------------------------------------------------------------- */

/* Raises count interrupts on the device and wakes its waiters, in every
 * process. */
QUELT_SIM_API int quelt_sim_raise_irq(const char* root, int device, uint32_t count);

/* One 32-bit field of the device's 1024-byte status block by byte offset (a
 * multiple of 4 below 1024): 4 interrupt counter, 8 acknowledge counter, 12
 * attach count, 16 diagnostic count, 20 slot count, 24 + 4 i connection slot i. */
QUELT_SIM_API int quelt_sim_read_status(const char* root, int device, uint32_t offset, uint32_t* value);
QUELT_SIM_API int quelt_sim_write_status(const char* root, int device, uint32_t offset, uint32_t value);

/* Interrupt waits pending on the device from all processes, and handles
 * attached to it from all living processes. */
QUELT_SIM_API int quelt_sim_pending_waits(const char* root, int device, uint32_t* waits);
QUELT_SIM_API int quelt_sim_attached_handles(const char* root, int device, int32_t* handles);

/* The device's region memory mapped into this process, as the card itself
 * sees it (the test's side of the registers): *address and *size (size may
 * be null). The mapping stays until quelt_sim_delete removes the machine. */
QUELT_SIM_API int quelt_sim_map_region(const char* root, int device, int region, void** address,
                                       uint64_t* size);

/* ------------------------------------------------------------------------- */
/* EEPROM (93C46: 64 words of 16 bits)                                        */
/* ------------------------------------------------------------------------- */

QUELT_SIM_API int quelt_sim_read_eeprom(const char* root, int device, uint16_t words[64]);
QUELT_SIM_API int quelt_sim_write_eeprom_word(const char* root, int device, int word, uint16_t value);

/* How the part answers: a working part, one that never finishes programming,
 * or no part (data line pulled high or low). */
#define QUELT_SIM_EEPROM_NORMAL 0
#define QUELT_SIM_EEPROM_NEVER_READY 1
#define QUELT_SIM_EEPROM_ABSENT_HIGH 2
#define QUELT_SIM_EEPROM_ABSENT_LOW 3
QUELT_SIM_API int quelt_sim_set_eeprom_mode(const char* root, int device, int mode);
/* How long a write or erase keeps the part busy (2 ms when made). */
QUELT_SIM_API int quelt_sim_set_eeprom_program_time(const char* root, int device, uint32_t milliseconds);

/* ------------------------------------------------------------------------- */
/* Machine files (JSON; the format is described in docs/python.md)            */
/* ------------------------------------------------------------------------- */

/* Makes the machine a file (or a text) describes at root. Nothing is made
 * unless the whole file is sound; QUELT_SIM_BAD_FILE names the field, for
 * example "cards[1].regions[0].size: must not be 0". QUELT_SIM_EXISTS when a
 * machine exists and QUELT_SIM_REPLACE is not given. */
QUELT_SIM_API int quelt_sim_load_file(const char* root, const char* path, unsigned flags);
QUELT_SIM_API int quelt_sim_load_text(const char* root, const char* text, unsigned flags);

/* Writes the machine as a machine file: to path, or into text (size bytes,
 * zero-terminated). *needed (may be null) receives the bytes the text needs
 * with its zero; a text too small gives QUELT_SIM_BAD_ARGUMENT and is left
 * empty. */
QUELT_SIM_API int quelt_sim_export_file(const char* root, const char* path);
QUELT_SIM_API int quelt_sim_export_text(const char* root, char* text, size_t size, size_t* needed);

/* ------------------------------------------------------------------------- */
/* Driver faults and test controls                                            */
/* ------------------------------------------------------------------------- */
/*
 * These act on this process's simulated driver only (other processes keep
 * their own faults and wait mode): the driver of the libquelt_ox952.so loaded
 * in the process, or, in a program that links the library's simulated driver
 * itself, that driver. Load the library before arming: a fault armed while no
 * libquelt_ox952.so is loaded, and what an unloaded instance held, do not
 * reach an instance loaded later.
 */
#define QUELT_SIM_FAULT_CLASS_DEVS 0      /* SetupDiGetClassDevsA fails */
#define QUELT_SIM_FAULT_ENUM_STEP 1       /* SetupDiEnumDeviceInfo fails */
#define QUELT_SIM_FAULT_DESCRIPTION 2     /* the description cannot be read */
#define QUELT_SIM_FAULT_NO_INTERFACE 3    /* SetupDiEnumDeviceInterfaces fails */
#define QUELT_SIM_FAULT_NO_DEVICE_PATH 4  /* SetupDiGetDeviceInterfaceDetailA fails */
#define QUELT_SIM_FAULT_CREATE_FILE 5     /* CreateFileA fails */
#define QUELT_SIM_FAULT_ATTACH 6          /* the attach request fails */
#define QUELT_SIM_FAULT_ATTACH_SHORT 7    /* attach replies short (error_code: length, 0: 300) */
#define QUELT_SIM_FAULT_WAIT 8            /* an interrupt wait fails */
#define QUELT_SIM_FAULT_WAIT_DISCARDED 9  /* a wait completes at once with byte count 99 */
#define QUELT_SIM_FAULT_DRIVER_VERSION 10 /* the version request gives no byte count */
#define QUELT_SIM_FAULT_DMA_ALLOC 11      /* DMA allocation fails */
#define QUELT_SIM_FAULT_DMA_SHORT 12      /* DMA allocation replies with 16 bytes */
#define QUELT_SIM_FAULT_DMA_ZERO_KEY 13   /* DMA allocation replies with key 0 */
#define QUELT_SIM_FAULT_DMA_RELEASE 14    /* DMA release fails */
#define QUELT_SIM_FAULT_INSTALL_PARAMS 15 /* SetupDiGetDeviceInstallParamsA fails */
#define QUELT_SIM_FAULT_INSTALL_DEVICE 16 /* SetupDiInstallDevice fails */

/* Arms a fault for the next `times` occurrences on device (0: any device).
 * error_code: the failing call's last-error value, 0 for a fitting one. */
QUELT_SIM_API int quelt_sim_arm_fault(int fault, int device, int times, uint32_t error_code);
QUELT_SIM_API int quelt_sim_clear_faults(void);
/* Non-zero: waits complete at once as if their time had passed. */
QUELT_SIM_API int quelt_sim_set_immediate_waits(int on);

#ifdef __cplusplus
}
#endif

#endif /* QUELT_SIM_H */
