#!/bin/sh
# Fails when code that every x86-64 processor must run holds an AVX
# instruction: a ymm, zmm or mask register, or a VEX/EVEX-encoded (v-prefixed)
# SSE or AVX mnemonic. Only the dispatched kernels may.
#
#   baseline_instructions.sh objects BUILD_DIR KERNEL_DIR_REGEX
#     every object file of the build's targets except those whose target
#     directory (CMakeFiles/<target>.dir) matches KERNEL_DIR_REGEX
#   baseline_instructions.sh only BUILD_DIR TARGET_DIR_REGEX
#     the object files of the matching targets only (to see the check fail)
#   baseline_instructions.sh binary FILE KERNEL_NAMESPACE_REGEX
#     every function of a linked program outside the kernel namespaces, so
#     that no inline function compiled with a kernel's flags was linked in
#     for everyone else
set -e
mode=$1
target=$2
pattern=$3

# Prints "<function>: <instruction>" for each AVX instruction of the
# disassembly on standard input.
avx() {
  awk '
    /^[0-9a-f]+ <.*>:$/ { name = $0; sub(/^[0-9a-f]+ </, "", name); sub(/>:$/, "", name); next }
    /^ +[0-9a-f]+:\t/ {
      split($0, field, "\t")
      insn = field[2]
      mnemonic = insn
      sub(/ .*/, "", mnemonic)
      vmx = mnemonic ~ /^(vmcall|vmlaunch|vmresume|vmxoff|vmxon|vmread|vmwrite|vmptrld|vmptrst|vmclear|vmfunc|verr|verw)$/
      if ((mnemonic ~ /^v/ && !vmx) || insn ~ /%[yz]mm[0-9]/ || insn ~ /%k[0-7]([^0-9]|$)/) {
        print name ": " insn
      }
    }'
}

found=0
case $mode in
  objects|only)
    for file in $(find "$target" -path '*/CMakeFiles/*.dir/*' -name '*.o' | sort); do
      dir=$(echo "$file" | sed 's|.*/CMakeFiles/\([^/]*\.dir\)/.*|\1|')
      case $file in *CMakeScratch*|*CMakeTmp*) continue ;; esac
      if [ "$mode" = objects ] && echo "$dir" | grep -Eq "$pattern"; then continue; fi
      if [ "$mode" = only ] && ! echo "$dir" | grep -Eq "$pattern"; then continue; fi
      hits=$(objdump -d -C --no-show-raw-insn "$file" | avx | head -n 3)
      if [ -n "$hits" ]; then
        echo "$file:"
        echo "$hits" | sed 's/^/  /'
        found=$((found + 1))
      fi
    done
    ;;
  binary)
    hits=$(objdump -d -C --no-show-raw-insn "$target" | avx | grep -Ev "^[^:]*($pattern)" | head -n 20)
    if [ -n "$hits" ]; then
      echo "$target:"
      echo "$hits" | sed 's/^/  /'
      found=1
    fi
    ;;
  *)
    echo "usage: $0 objects|only|binary ..." >&2
    exit 2
    ;;
esac
if [ "$found" -gt 0 ]; then
  echo "AVX instructions outside the dispatched kernels"
  exit 1
fi
echo "no AVX instruction outside the dispatched kernels"
