/* Refers to every export of the list, so that linking it proves an import library resolves each
 * name, and the program's import table shows the name each one is loaded by. Linked without any C
 * runtime (entry point orvex_link_check), and never run. */
#include "orvex.h"

typedef void (*any_function)(void);
#define ORVEX_ADDRESS(result, name, params, args) (any_function) & name,
#define ORVEX_ALIAS_ADDRESS(result, name, target, params, args) (any_function) & name,
static const any_function every_export[] = {ORVEX_EXPORTS(ORVEX_ADDRESS, ORVEX_ALIAS_ADDRESS)};

int orvex_link_check(void) {
    int sum = 0;
    unsigned i;
    for (i = 0; i < sizeof every_export / sizeof every_export[0]; ++i) sum += every_export[i] != 0;
    return sum;
}
