# Sourced by the Windows scripts: which Windows architecture Wine can run on this
# machine, found out before anything is built.
#
# Wine runs 32-bit Windows programs as 32-bit Linux processes, with the i386 packages
# of wine32. Some kernels run no 32-bit code at all (dmesg: "IA-32 emulation off"),
# and on some days the archive cannot serve wine32 (its i386 libraries lag behind the
# amd64 ones installed, and multi-arch needs equal versions). There only wine64 runs,
# and only 64-bit Windows programs: the lane is win64. A 96-byte static i386 program
# that exits with code 42 tells whether 32-bit code runs; apt, asked without
# installing anything, tells whether wine32 can be had. UVO_IA32=no makes a machine
# that runs both behave as one that runs 64-bit code only, to try that road here;
# UVO_IA32=yes skips the probe, to try the choice that wine32 then decides.

# Sets ia32_runs (yes or no) and ia32_reason.
probe_ia32() {
    if [ "${UVO_IA32:-}" = no ]; then
        ia32_runs=no
        ia32_reason="UVO_IA32=no is set, so this machine is taken for one that runs no 32-bit code"
        return
    fi
    if [ "${UVO_IA32:-}" = yes ]; then
        ia32_runs=yes
        ia32_reason="UVO_IA32=yes is set, so this machine is taken for one that runs 32-bit code"
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

# Sets wine_lane (win32 or win64) and wine_lane_reason: win32, the shipped
# architecture, where both 32-bit code and wine32 can run; win64 elsewhere.
choose_wine_lane() {
    probe_ia32
    if [ "$ia32_runs" = no ]; then
        wine_lane=win64
        wine_lane_reason=$ia32_reason
    elif why=$(scripts/install-deps.sh --can-install wine wine64 wine32:i386); then
        wine_lane=win32
        wine_lane_reason="$ia32_reason, and wine32 can be installed"
    else
        wine_lane=win64
        wine_lane_reason="$ia32_reason, but wine32 cannot be installed: $why"
    fi
}

# The Wine packages that a lane needs.
wine_packages() { # win32|win64
    if [ "$1" = win32 ]; then echo "wine wine64 wine32:i386"; else echo "wine wine64"; fi
}

# The MinGW target triple of a Windows architecture.
mingw_host() { # win32|win64
    case "$1" in
    win32) echo i686-w64-mingw32 ;;
    win64) echo x86_64-w64-mingw32 ;;
    *) return 1 ;;
    esac
}

# Builds the Windows tests for an architecture with MinGW against the cached Qt for
# Windows, into BUILD; cmake's configure output goes to LOG.
build_windows_tests() { # arch, build, log
    quietly "$3" cmake -S . -B "$2" --toolchain "$PWD/cmake/$(mingw_host "$1").cmake" \
        -DCMAKE_BUILD_TYPE=Release -DUVO_BUILD_BENCH=OFF
    cmake --build "$2" --parallel "$(nproc)"
}
