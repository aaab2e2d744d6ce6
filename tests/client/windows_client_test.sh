#!/bin/sh
# The Windows build installed into a temporary prefix: cordane.dll and zr318.dll in bin/, their
# import libraries in lib/, the headers in include/. Checks what cordane.dll exports and needs,
# builds the client program with the cross compiler against the installed headers and import
# libraries only, and runs it beside the DLLs under Wine.
#
#   windows_client_test.sh BUILD-DIR CXX-COMPILER OBJDUMP LAUNCHER
set -eu
build=$1 cxx=$2 objdump=$3 launcher=$4
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/cordane-client.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
    { cat "$work/install.log"; exit 1; }
for file in bin/cordane.dll bin/zr318.dll lib/libcordane.dll.a lib/libzr318.dll.a \
    include/cordane/cordane.h include/cordane/platform.h include/cordane/loader_frame.h \
    include/zr318.h; do
    [ -e "$prefix/$file" ] || { echo "not installed: $file" >&2; exit 1; }
done

dll=$prefix/bin/cordane.dll
"$objdump" -p "$dll" >"$work/dll.txt"
# The export table's names: the lines after "[Ordinal/Name Pointer] Table" up to a blank line.
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$work/dll.txt")
for name in SDK_BeginDownload SDK_UpdateDecompte KvSleep KvNowMs KvSetTimeSource KvMessageBox \
    KvSetMessageBoxHandler KvOutputDebugString KvSetDebugSink _Z13BeginDownloadP14CLoadInterface \
    _Z11UpdateParamPv _Z14UpdateDecomptePc _Z9demarragePv _ZTV14CLoadInterface \
    _ZTV16CDownloadManager _ZN16CDownloadManager13StartDownloadEv _ZN10CWinThreadD1Ev; do
    printf '%s\n' "$exports" | grep -q "[] ]$name\$" ||
        { echo "cordane.dll does not export $name" >&2; exit 1; }
done
# The thread functions are kernel32's there: the engine must not shadow them.
for name in WaitForSingleObject GetExitCodeThread CloseHandle; do
    if printf '%s\n' "$exports" | grep -q "[] ]$name\$"; then
        echo "cordane.dll exports $name, which is the system's" >&2
        exit 1
    fi
done
# Nothing of the compiler's runtime is needed beside it.
for runtime in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    if grep -qi "DLL Name: $runtime" "$work/dll.txt"; then
        echo "cordane.dll needs $runtime" >&2
        exit 1
    fi
done

# The import libraries by path: with -static the compiler's own libraries are linked in, and
# -l would look for static libraries only.
"$cxx" -std=c++17 -static -o "$prefix/bin/client.exe" "$here/client.cpp" -I"$prefix/include" \
    "$prefix/lib/libcordane.dll.a" "$prefix/lib/libzr318.dll.a"
"$launcher" "$prefix/bin/client.exe"
