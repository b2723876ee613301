#!/usr/bin/env bash
# Exits 0 when this machine runs 32-bit x86 Linux programs, 1 when it does not.
# It does not guess from packages or the kernel's configuration: it runs a
# 96-byte static i386 program whose only work is exit(42), and looks for that 42.
set -u
probe=$(mktemp "${TMPDIR:-/tmp}/lumaro-probe32.XXXXXX") || exit 1
trap 'rm -f "$probe"' EXIT
# ELF header, one loadable segment, then: mov ebx,42; mov eax,1 (exit); int 0x80.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000\273\052\000\000\000\270\001\000\000\000\315\200' >"$probe"
chmod +x "$probe"
"$probe" 2>/dev/null
[ $? -eq 42 ]
