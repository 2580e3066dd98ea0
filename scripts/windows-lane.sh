# Sourced by the Windows scripts: which Windows architecture Wine can run on this
# machine, found out in a moment, before anything is installed or built.
#
# Wine runs 32-bit Windows programs as 32-bit Linux processes. Some kernels run no
# 32-bit code at all (dmesg: "IA-32 emulation off"); there only wine64 runs, and only
# 64-bit Windows programs. A 96-byte static i386 program that exits with code 42 tells
# which kind this is. UVO_IA32=no makes a machine that runs both behave as one that
# runs 64-bit code only, to try that road here.

# Sets ia32_runs (yes or no) and ia32_reason.
probe_ia32() {
    if [ "${UVO_IA32:-}" = no ]; then
        ia32_runs=no
        ia32_reason="UVO_IA32=no is set, so this machine is taken for one that runs no 32-bit code"
        return
    fi
    probe=$(mktemp /tmp/uvo-i386-probe-XXXXXX)
    # ELF header, one loadable segment, then: mov eax, 1; mov ebx, 42; int 0x80.
    printf '\177\105\114\106\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0\270\1\0\0\0\273\52\0\0\0\315\200' >"$probe"
    chmod +x "$probe"
    status=0
    probe_output=$("$probe" 2>&1) || status=$?
    rm -f "$probe"
    if [ "$status" -eq 42 ]; then
        ia32_runs=yes
        ia32_reason="a static i386 program runs here"
    else
        ia32_runs=no
        ia32_reason="a static i386 program does not run here (exit code $status${probe_output:+: $probe_output}): this kernel runs no 32-bit code"
    fi
}

# The architecture the Wine check runs by default: win32, the shipped one, where it can.
default_wine_arch() {
    if [ "$ia32_runs" = yes ]; then echo win32; else echo win64; fi
}

# The MinGW target triple of a Windows architecture.
mingw_host() { # win32|win64
    case "$1" in
    win32) echo i686-w64-mingw32 ;;
    win64) echo x86_64-w64-mingw32 ;;
    *) return 1 ;;
    esac
}
