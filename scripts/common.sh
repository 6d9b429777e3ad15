# Sourced by scripts/test, scripts/run, scripts/bench and scripts/package:
# the build root and the Wine set-up they share. Moves into the source tree
# and sets $root to it.
#
#   CHANNEL_BUILD_ROOT   build root (each script has its own default)

cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

# Sets $build_root to $CHANNEL_BUILD_ROOT, or to $1 when that is unset,
# as an absolute path.
channel_build_root() {
    build_root=${CHANNEL_BUILD_ROOT:-$1}
    case $build_root in /*) ;; *) build_root=$root/$build_root ;; esac
}

# The Wine loader for the programs of one architecture.
wine_loader() {
    case $1 in
        i686) echo /usr/lib/wine/wine ;;
        x86_64) echo /usr/lib/wine/wine64 ;;
        *) echo "unknown architecture '$1' (i686 or x86_64)" >&2; return 1 ;;
    esac
}

# A private prefix, no debugging output, and no debugger: a crashing program
# ends at once instead of waiting in winedbg until a time-out.
wine_environment() {
    export WINEPREFIX=$1
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
}

# Starts the prefix's server (it may be up from a run that was cut short) and
# boots the prefix as a 64-bit one, which runs the programs of both
# architectures. The helpers it leaves running are detached from this
# script's output, so that a pipe reading it (CTest, $(...)) sees its end.
wine_boot() {
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1 || true
    /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
}

wine_stop() {
    wineserver -k </dev/null >/dev/null 2>&1 || true
}

# Whether this machine runs 32-bit Windows programs: a tiny one must start in
# the booted prefix and return its exit code. When it cannot, $i686_problem
# says why. $1 is a folder for the tiny program.
can_run_i686() {
    local folder=$1 loader
    loader=$(wine_loader i686)
    i686_problem=
    if [ ! -x "$loader" ]; then
        i686_problem="no 32-bit Wine loader at $loader; scripts/setup installs wine32:i386"
        return 1
    fi
    mkdir -p "$folder"
    local exe=$folder/exit-42.exe
    if [ ! -f "$exe" ]; then
        printf 'int main(void) { return 42; }\n' |
            i686-w64-mingw32-gcc -x c -o "$exe" - || {
            i686_problem="the 32-bit compiler could not build a test program"
            return 1
        }
    fi
    local rc=0 errors
    # Started by bash, which reports a binary the kernel refuses as such
    # (where timeout alone would hand it to sh as a script).
    errors=$(timeout 120 bash -c '"$0" "$1"' "$loader" "$exe" </dev/null 2>&1 >/dev/null) || rc=$?
    [ $rc = 42 ] && return 0
    errors=$(printf '%s\n' "$errors" | grep -v '^$' | tail -n1)
    i686_problem="a 32-bit program under $loader ended with exit code $rc${errors:+: $errors}"
    return 1
}
