// orvex.h declares every name of the one export list with the list's signature: a name or a type
// that drifts between the two stops the build here. (The export table itself is made from the
// list, and library_exports checks that it holds exactly the names orvex.h declares.)
#include <type_traits>

#include "orvex.h"

#define ORVEX_CHECK_EXPORT(result, name, params, args)                                \
    static_assert(std::is_same<decltype(&::name), result(ORVEX_CALL*) params>::value, \
                  #name " is declared differently in orvex.h and orvex_exports.h");
#define ORVEX_CHECK_ALIAS(result, name, target, params, args) \
    ORVEX_CHECK_EXPORT(result, name, params, args)            \
    ORVEX_CHECK_EXPORT(result, target, params, args)

ORVEX_EXPORTS(ORVEX_CHECK_EXPORT, ORVEX_CHECK_ALIAS)
