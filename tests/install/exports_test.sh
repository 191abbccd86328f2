#!/usr/bin/env bash
# Every dynamic symbol libtq_core defines is a tq_ C function; the SONAME is versioned.
set -euo pipefail
lib=$1
syms=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwVvDdBbRr]$/ {print $3}' | sed 's/@.*//' | sort -u)
[ -n "$syms" ] || { echo "no exported symbols at all"; exit 1; }
bad=$(echo "$syms" | grep -v '^tq_' || true)
if [ -n "$bad" ]; then echo "symbols exported beyond the C API:"; echo "$bad" | head -n 20; exit 1; fi
for s in tq_last_error tq_bundle_resolve_handle tq_bundle_resolve_member; do
  echo "$syms" | grep -qx "$s" || { echo "missing export $s"; exit 1; }
done
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p')
case "$soname" in libtq_core.so.[0-9]*) ;; *) echo "unversioned SONAME '$soname'"; exit 1 ;; esac
echo "exports ok: $(echo "$syms" | wc -l) tq_ symbols, SONAME $soname"
