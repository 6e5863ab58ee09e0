/* The public header as a C program sees it: it must compile as strict C11
 * (-pedantic -Werror), its inline text function must work in C, and a C
 * program must link against the library and call through it. */
#include <stdio.h>
#include <string.h>

#include "quelt_ox952.h"

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "header_c_test: failed: %s\n", what);
        ++failures;
    }
}

/* Every export keeps its C type: assigning to a pointer of the declared type
 * would not compile if the header changed a signature behind C's back. */
static uint32_t(QUELT_CALL* const interfaceVersion)(void) = OX952_InterfaceVersion;
static uint32_t(QUELT_CALL* const classInstaller)(uint32_t, void*, void*) = ClassInstaller;

int main(void) {
    static const struct {
        uint32_t code;
        const char* text;
    } texts[] = {
        {QUELT_OK, "success"},
        {QUELT_NO_CARD, "no such card at this position"},
        {QUELT_TIMEOUT, "interrupt wait timed out"},
        {QUELT_OLD_DRIVER, "card driver older than version 109"},
        {0x1u, "unknown result code"},
        {QUELT_NO_CARD | QUELT_TIMEOUT, "unknown result code"},
    };
    size_t i;
    for (i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
        const char* got = quelt_result_text(texts[i].code);
        check(got != NULL && strcmp(got, texts[i].text) == 0, texts[i].text);
    }

    check(interfaceVersion() == QUELT_INTERFACE_VERSION, "OX952_InterfaceVersion() == 318");
    check(OX9162_InterfaceVersion() == 318u, "OX9162_InterfaceVersion() == 318");
    check(EP4GXA_InterfaceVersion() == 318u, "EP4GXA_InterfaceVersion() == 318");
    /* An install function the installer leaves to Windows: no call is made. */
    check(classInstaller(1u, NULL, NULL) == 0xE000020Eu, "ClassInstaller(1) == ERROR_DI_DO_DEFAULT");

    if (failures == 0) printf("header_c_test: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
