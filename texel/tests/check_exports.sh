#!/bin/sh
# Fails unless the library defines exactly the two public dynamic symbols.
nm=$1 lib=$2
actual=$("$nm" -D --defined-only "$lib" | awk 'NF >= 3 { print $3 }' | sort)
expected=$(printf '%s\n' Java_Quillmere_ImageProcessing_CooccurenceMatrix_nativeTexelMatrix NvOptimusEnablementCuda | sort)
if [ "$actual" != "$expected" ]; then
  echo "unexpected dynamic symbols in $lib:"; echo "$actual"
  exit 1
fi
# The flag must be a data word holding 1.
"$nm" -D --defined-only "$lib" | grep -q ' [DdBbRr] NvOptimusEnablementCuda$' || { echo "NvOptimusEnablementCuda is not data"; exit 1; }
echo "exports ok"
