/* The control API of the simulated machine, used from plain C the way a
 * user's own test would: a machine made and shaped through quelt_sim.h is the
 * machine the library sees. Built twice: against the shared libraries, and
 * (QUELT_SIM_TEST_FAULTS) with the library's simulated driver linked into the
 * program. Armed faults and the wait mode reach the library in both. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quelt_ox952.h"
#include "quelt_sim.h"

static int failures = 0;

#define CHECK(cond)                                                                                  \
    do {                                                                                             \
        if (!(cond)) {                                                                               \
            fprintf(stderr, "%s:%d: check failed: %s (last error: %s)\n", __FILE__, __LINE__, #cond, \
                    quelt_sim_last_error());                                                         \
            ++failures;                                                                              \
        }                                                                                            \
    } while (0)

#define CHECK_CODE(call, code) CHECK((call) == (code))

static int starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

static void* fail_in_thread(void* root) {
    int rc = quelt_sim_raise_irq((const char*)root, 99, 1);
    return (void*)(rc == QUELT_SIM_NO_DEVICE && strstr(quelt_sim_last_error(), "no device 99") ? root : NULL);
}

static void test_cards_seen_by_library(const char* root) {
    quelt_sim_card card;
    int device = 0;
    CHECK_CODE(quelt_sim_default_card("ep4gxa", 0, &card), QUELT_SIM_OK);
    card.has_card_id = 1;
    card.card_id = 0x00C0FFEE;
    card.serial = 4242;
    card.irq_line = 7;
    CHECK_CODE(quelt_sim_add_card(root, &card, &device), QUELT_SIM_OK);
    CHECK(device == 1);
    CHECK_CODE(quelt_sim_set_driver_version(root, 123), QUELT_SIM_OK);
    /* The library lists the cards once, at its first use: the whole machine is made before. */
    CHECK_CODE(quelt_sim_default_card("ox9162", 0, &card), QUELT_SIM_OK);
    CHECK_CODE(quelt_sim_add_card(root, &card, &device), QUELT_SIM_OK);
    CHECK(device == 2);

    uint32_t count = 0, id = 0, serial = 0, version = 0;
    CHECK(EP4GXA_CardsInSystem(&count) == QUELT_OK && count == 1);
    CHECK(EP4GXA_Card_ID(0, &id) == QUELT_OK && id == 0x00C0FFEE);
    CHECK(EP4GXA_Card_SerNr(0, &serial) == QUELT_OK && serial == 4242);
    CHECK(EP4GXA_DriverVersion(&version) == QUELT_OK && version == 123);

    /* Interrupts raised here are counted by the library's open card. */
    CHECK(EP4GXA_Open(0, 1) == QUELT_OK);
    CHECK_CODE(quelt_sim_raise_irq(root, 1, 3), QUELT_SIM_OK);
    CHECK(EP4GXA_IRQ_Count(0) == 3);
    uint32_t word = 0;
    CHECK_CODE(quelt_sim_read_status(root, 1, 4, &word), QUELT_SIM_OK);
    CHECK(word == 3);
    int32_t handles = 0;
    CHECK_CODE(quelt_sim_attached_handles(root, 1, &handles), QUELT_SIM_OK);
    CHECK(handles == 1);
    /* A register written by the library reads back, and a status word set here is what the library reads. */
    CHECK(EP4GXA_WriteReg32(0, 0x40, 0xA5A5F00D) == QUELT_OK);
    CHECK(EP4GXA_ReadReg32(0, 0x40, &word) == QUELT_OK && word == 0xA5A5F00D);
    CHECK_CODE(quelt_sim_write_status(root, 1, 4, 10), QUELT_SIM_OK);
    CHECK(EP4GXA_IRQ_Count(0) == 10); /* the count since Open, which found 0 */
    CHECK(EP4GXA_Close(0) == QUELT_OK);

    quelt_sim_card back;
    CHECK_CODE(quelt_sim_get_card(root, 1, &back), QUELT_SIM_OK);
    CHECK(back.card_id == 0x00C0FFEE && back.irq_line == 7 && back.region_count == 3 && back.serial == 4242 &&
          strcmp(back.description, "EP4GXA PCIe Card") == 0);
}

static void test_eeprom_both_ways(const char* root) {
    const int device = 2;
    uint16_t words[64];
    uint16_t value = 0;
    CHECK_CODE(quelt_sim_write_eeprom_word(root, device, 5, 0xBEEF), QUELT_SIM_OK);
    CHECK(OX9162_Open(0, 0) == QUELT_OK);
    CHECK(OX9162_EEPROM_RD(0, 5, &value) == QUELT_OK && value == 0xBEEF);
    CHECK(OX9162_EEPROM_WR(0, 6, 0x1234) == QUELT_OK);
    CHECK(OX9162_Close(0) == QUELT_OK);
    CHECK_CODE(quelt_sim_read_eeprom(root, device, words), QUELT_SIM_OK);
    CHECK(words[5] == 0xBEEF && words[6] == 0x1234 && words[7] == 0xFFFF);
    CHECK_CODE(quelt_sim_write_eeprom_word(root, device, 64, 0), QUELT_SIM_BAD_ARGUMENT);
    CHECK(strstr(quelt_sim_last_error(), "64") != NULL);
}

static void test_bad_arguments(const char* root) {
    quelt_sim_card card;
    uint32_t value = 0;
    int count = 0;
    CHECK_CODE(quelt_sim_default_card("ox953", 0, &card), QUELT_SIM_BAD_ARGUMENT);
    CHECK(strstr(quelt_sim_last_error(), "ox953") != NULL);
    CHECK_CODE(quelt_sim_default_card("ox9162", 1, &card), QUELT_SIM_BAD_ARGUMENT);
    CHECK_CODE(quelt_sim_raise_irq(root, 0, 1), QUELT_SIM_NO_DEVICE);
    CHECK_CODE(quelt_sim_raise_irq(root, 3, 1), QUELT_SIM_NO_DEVICE);
    CHECK(strcmp(quelt_sim_last_error(), "no device 3 (the machine has 2 devices)") == 0);
    CHECK(strcmp(quelt_sim_code_name(QUELT_SIM_NO_DEVICE), "QUELT_SIM_NO_DEVICE") == 0);
    CHECK(strcmp(quelt_sim_code_name(77), "unknown") == 0);
    CHECK_CODE(quelt_sim_read_status(root, 1, 2, &value), QUELT_SIM_BAD_ARGUMENT);
    CHECK_CODE(quelt_sim_read_status(root, 1, 1024, &value), QUELT_SIM_BAD_ARGUMENT);
    CHECK_CODE(quelt_sim_read_status(root, 1, 4, NULL), QUELT_SIM_BAD_ARGUMENT);
    CHECK_CODE(quelt_sim_card_count("/dev/shm/quelt-sim-test-no-such-root", &count), QUELT_SIM_NO_MACHINE);
    CHECK(access("/dev/shm/quelt-sim-test-no-such-root", F_OK) != 0); /* asking made nothing */
    CHECK_CODE(quelt_sim_create(root, 0), QUELT_SIM_EXISTS);
    CHECK_CODE(quelt_sim_create(root, 8), QUELT_SIM_BAD_ARGUMENT);

    /* A description that fills the record without its zero is refused, not cut. */
    CHECK_CODE(quelt_sim_default_card("ox9162", 0, &card), QUELT_SIM_OK);
    memset(card.description, 'x', sizeof card.description);
    CHECK_CODE(quelt_sim_add_card(root, &card, NULL), QUELT_SIM_BAD_ARGUMENT);
    CHECK_CODE(quelt_sim_default_card("ox9162", 0, &card), QUELT_SIM_OK);
    card.region_count = 17;
    CHECK_CODE(quelt_sim_add_card(root, &card, NULL), QUELT_SIM_BAD_ARGUMENT);
    card.region_count = 1;
    card.region_size[0] = 0;
    CHECK_CODE(quelt_sim_add_card(root, &card, NULL), QUELT_SIM_FAILED);
    CHECK(quelt_sim_card_count(root, &count) == QUELT_SIM_OK && count == 2);

    /* Error text is per thread: another thread's failure leaves this one's alone. */
    CHECK_CODE(quelt_sim_raise_irq(root, 5, 1), QUELT_SIM_NO_DEVICE);
    pthread_t thread;
    void* result = NULL;
    CHECK(pthread_create(&thread, NULL, fail_in_thread, (void*)root) == 0);
    CHECK(pthread_join(thread, &result) == 0 && result == root);
    CHECK(strstr(quelt_sim_last_error(), "no device 5") != NULL);
    CHECK_CODE(quelt_sim_card_count(root, &count), QUELT_SIM_OK);
    CHECK(strcmp(quelt_sim_last_error(), "") == 0);
}

static void test_machine_files(const char* root) {
    char copy[64];
    char small[16];
    size_t needed = 0;
    int count = 0;
    CHECK_CODE(quelt_sim_create_temp(QUELT_SIM_EMPTY, copy, sizeof copy), QUELT_SIM_OK);

    /* Export and load: the copy has the same cards, words and version. */
    CHECK_CODE(quelt_sim_export_text(root, small, sizeof small, &needed), QUELT_SIM_BAD_ARGUMENT);
    CHECK(needed > sizeof small && small[0] == '\0');
    char* text = malloc(needed);
    CHECK(text != NULL);
    CHECK_CODE(quelt_sim_export_text(root, text, needed, NULL), QUELT_SIM_OK);
    CHECK_CODE(quelt_sim_load_text(copy, text, 0), QUELT_SIM_EXISTS);
    CHECK_CODE(quelt_sim_load_text(copy, text, QUELT_SIM_REPLACE), QUELT_SIM_OK);
    free(text);
    CHECK(quelt_sim_card_count(copy, &count) == QUELT_SIM_OK && count == 2);
    for (int d = 1; d <= 2; ++d) {
        quelt_sim_card a, b;
        uint16_t wa[64], wb[64];
        CHECK_CODE(quelt_sim_get_card(root, d, &a), QUELT_SIM_OK);
        CHECK_CODE(quelt_sim_get_card(copy, d, &b), QUELT_SIM_OK);
        CHECK(memcmp(&a, &b, sizeof a) == 0);
        CHECK_CODE(quelt_sim_read_eeprom(root, d, wa), QUELT_SIM_OK);
        CHECK_CODE(quelt_sim_read_eeprom(copy, d, wb), QUELT_SIM_OK);
        CHECK(d == 1 || memcmp(wa, wb, sizeof wa) == 0); /* the EP4GXA card has no EEPROM to carry */
    }
    uint32_t version = 0;
    CHECK(quelt_sim_get_driver_version(copy, &version) == QUELT_SIM_OK && version == 123);

    /* The same through a file. */
    char path[128];
    snprintf(path, sizeof path, "%s-rig.json", copy);
    CHECK_CODE(quelt_sim_export_file(copy, path), QUELT_SIM_OK);
    CHECK_CODE(quelt_sim_load_file(copy, path, QUELT_SIM_REPLACE), QUELT_SIM_OK);
    CHECK(quelt_sim_card_count(copy, &count) == QUELT_SIM_OK && count == 2);
    unlink(path);

    /* A bad file names its field and leaves the machine as it was. */
    CHECK_CODE(quelt_sim_load_text(
                   copy,
                   "{\"format\": \"quelt-sim-machine\", \"version\": 1, \"cards\": ["
                   "{\"family\": \"ox9162\"}, {\"family\": \"ep4gxa\", \"regions\": [{\"size\": 0}]}]}",
                   QUELT_SIM_REPLACE),
               QUELT_SIM_BAD_FILE);
    CHECK(starts_with(quelt_sim_last_error(), "cards[1].regions[0].size: "));
    CHECK(quelt_sim_card_count(copy, &count) == QUELT_SIM_OK && count == 2);
    CHECK_CODE(quelt_sim_load_file(copy, "/nonexistent/rig.json", QUELT_SIM_REPLACE), QUELT_SIM_BAD_FILE);

    CHECK_CODE(quelt_sim_delete(copy), QUELT_SIM_OK);
    CHECK(access(copy, F_OK) != 0);
}

static void test_delete_is_careful(void) {
    char dir[] = "/dev/shm/quelt-sim-test-plain-XXXXXX";
    CHECK(mkdtemp(dir) != NULL);
    CHECK_CODE(quelt_sim_delete(NULL), QUELT_SIM_BAD_ARGUMENT);
    CHECK_CODE(quelt_sim_delete(""), QUELT_SIM_BAD_ARGUMENT);
    CHECK_CODE(quelt_sim_delete(dir), QUELT_SIM_NO_MACHINE);
    CHECK(access(dir, F_OK) == 0); /* a directory without a machine is never removed */
    rmdir(dir);
}

/* The root a call works on, a machine made on first use only where the
 * library would make it, and a damaged card file named, repaired and known
 * sound again. */
static void test_roots_and_damaged_cards(const char* root) {
    char got[4096], problem[512], file[4096];
    char dir[] = "/dev/shm/quelt-sim-test-none-XXXXXX";
    CHECK_CODE(quelt_sim_root(root, got, sizeof got), QUELT_SIM_OK);
    CHECK(strcmp(got, root) == 0);
    CHECK_CODE(quelt_sim_root(NULL, got, sizeof got), QUELT_SIM_OK); /* QUELT_SIM_ROOT, set by main */
    CHECK(strcmp(got, root) == 0);
    CHECK_CODE(quelt_sim_root(root, got, 4), QUELT_SIM_BAD_ARGUMENT);
    CHECK_CODE(quelt_sim_use_machine(root), QUELT_SIM_OK);
    CHECK(mkdtemp(dir) != NULL);
    CHECK_CODE(quelt_sim_use_machine(dir), QUELT_SIM_NO_MACHINE);
    CHECK(strstr(quelt_sim_last_error(), dir) != NULL &&
          strstr(quelt_sim_last_error(), "quelt-sim init") != NULL);
    rmdir(dir);

    CHECK_CODE(quelt_sim_card_problem(root, 2, problem, sizeof problem, file, sizeof file), QUELT_SIM_OK);
    CHECK(problem[0] == '\0' && strstr(file, root) == file);
    CHECK_CODE(quelt_sim_repair_card(root, 2), QUELT_SIM_FAILED); /* nothing to repair */
    CHECK(strstr(quelt_sim_last_error(), "not damaged") != NULL);
    /* Cut past its header, inside its regions: named, then rebuilt. */
    CHECK(truncate(file, 20000) == 0);
    CHECK_CODE(quelt_sim_card_problem(root, 2, problem, sizeof problem, NULL, 0), QUELT_SIM_OK);
    CHECK(problem[0] != '\0');
    CHECK_CODE(quelt_sim_card_problem(root, 2, problem, 4, NULL, 0), QUELT_SIM_BAD_ARGUMENT);
    CHECK_CODE(quelt_sim_card_problem(root, 9, problem, sizeof problem, NULL, 0), QUELT_SIM_NO_DEVICE);
    CHECK_CODE(quelt_sim_repair_card(root, 2), QUELT_SIM_OK);
    CHECK_CODE(quelt_sim_card_problem(root, 2, problem, sizeof problem, NULL, 0), QUELT_SIM_OK);
    CHECK(problem[0] == '\0');
}

static void test_faults_reach_library(const char* root) {
    CHECK_CODE(quelt_sim_arm_fault(QUELT_SIM_FAULT_CREATE_FILE, 1, 1, 0), QUELT_SIM_OK);
    CHECK(EP4GXA_Open(0, 0) == QUELT_OPEN_FAILED);
    CHECK(EP4GXA_Open(0, 0) == QUELT_OK); /* armed for one occurrence */
    CHECK(EP4GXA_Close(0) == QUELT_OK);
    CHECK_CODE(quelt_sim_arm_fault(QUELT_SIM_FAULT_CREATE_FILE, 1, 5, 0), QUELT_SIM_OK);
    CHECK_CODE(quelt_sim_clear_faults(), QUELT_SIM_OK);
    CHECK(EP4GXA_Open(0, 0) == QUELT_OK);
    /* A fault of the open card's own requests: the next interrupt wait fails. */
    CHECK(EP4GXA_Close(0) == QUELT_OK);
    /* Every interrupt raised so far taken note of, so that no wait ends on one. */
    CHECK_CODE(quelt_sim_write_status(root, 1, 4, 0), QUELT_SIM_OK);
    CHECK_CODE(quelt_sim_write_status(root, 1, 8, 0), QUELT_SIM_OK);
    CHECK(EP4GXA_Open(0, 1) == QUELT_OK);
    CHECK_CODE(quelt_sim_arm_fault(QUELT_SIM_FAULT_WAIT, 1, 1, 0), QUELT_SIM_OK);
    CHECK(EP4GXA_IRQ_SetTimeout(0, 50) == QUELT_OK);
    CHECK(EP4GXA_IRQ_Wait(0, NULL) == QUELT_WAIT_FAILED);
    /* The wait mode too: a wait of a minute ends at once as timed out. */
    CHECK_CODE(quelt_sim_set_immediate_waits(1), QUELT_SIM_OK);
    CHECK(EP4GXA_IRQ_SetTimeout(0, 60000) == QUELT_OK);
    CHECK(EP4GXA_IRQ_Wait(0, NULL) == QUELT_TIMEOUT);
    CHECK_CODE(quelt_sim_set_immediate_waits(0), QUELT_SIM_OK);
    CHECK(EP4GXA_Close(0) == QUELT_OK);
}

int main(void) {
    char root[64];
    CHECK_CODE(quelt_sim_create_temp(QUELT_SIM_EMPTY, root, 8), QUELT_SIM_BAD_ARGUMENT);
    if (quelt_sim_create_temp(QUELT_SIM_EMPTY, root, sizeof root) != QUELT_SIM_OK) {
        fprintf(stderr, "cannot make a machine: %s\n", quelt_sim_last_error());
        return 1;
    }
    /* The library finds the machine through QUELT_SIM_ROOT, read when it lists the cards. */
    setenv("QUELT_SIM_ROOT", root, 1);
    test_cards_seen_by_library(root);
    test_eeprom_both_ways(root);
    test_bad_arguments(root);
    test_machine_files(root);
    test_delete_is_careful();
    test_faults_reach_library(root);
    test_roots_and_damaged_cards(root);
    CHECK_CODE(quelt_sim_arm_fault(17, 0, 1, 0), QUELT_SIM_BAD_ARGUMENT);
    CHECK_CODE(quelt_sim_arm_fault(QUELT_SIM_FAULT_WAIT, 0, 0, 0), QUELT_SIM_BAD_ARGUMENT);
    CHECK_CODE(quelt_sim_delete(root), QUELT_SIM_OK);
    if (failures) fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
