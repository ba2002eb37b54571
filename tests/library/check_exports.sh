#!/usr/bin/env bash
# The library's dynamic symbol table holds exactly the public names, no more and no fewer.
set -eu
library=$1
header=$2
expected=$(grep -o 'ORVEX_CALL [A-Za-z_]*(' "$header" | sed 's/ORVEX_CALL //; s/(//' | sort)
actual=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
if [ "$expected" != "$actual" ]; then
    echo "export table differs from orvex.h:"
    diff <(echo "$expected") <(echo "$actual") 2>/dev/null || { echo "expected:"; echo "$expected"; echo "actual:"; echo "$actual"; }
    exit 1
fi
echo "exports: $(echo "$actual" | wc -l) names, as declared in orvex.h"
