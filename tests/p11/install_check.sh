#!/bin/sh
# Installs the p11 component under a scratch prefix and checks what p11-kit
# would read. Args: cmake build-dir scratch-prefix libdir datadir
set -eu
cmake=$1 build=$2 prefix=$3 libdir=$4 datadir=$5
rm -rf "$prefix"
"$cmake" --install "$build" --component p11 --prefix "$prefix" >/dev/null
so="$prefix/$libdir/pkcs11/ORVA_P11.so"
file="$prefix/$datadir/p11-kit/modules/orva-zel.module"
test -f "$so"
test -f "$file"
grep -qx "module: $so" "$file"
rm -rf "$prefix"
