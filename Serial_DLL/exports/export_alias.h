// Shared export entries: a second name for the same function, so both names have one address.
// On ELF this is a symbol alias (it must sit in the target's source file); on Windows the
// module-definition file maps the name to its target and no code is needed.
#pragma once

#if defined(_WIN32)
#define ORVEX_ALIAS(ret, name, params, target)
#else
#define ORVEX_ALIAS(ret, name, params, target) \
    ret name params __attribute__((alias(#target), visibility("default")))
#endif
