# Sourced by the scripts that run the Windows build under Wine. `wine_setup BUILDDIR` gives the build its
# own 64-bit Wine prefix, made once (the first start of Wine takes a while) and reused afterwards, and
# leaves no graphical session: a program that opens a window here finds no display.
wine_setup() {
    export WINEPREFIX="$1/wine-prefix"
    export WINEARCH=win64
    export WINEDEBUG=-all
    # No offer to install Wine's .NET and HTML engines.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    if ! command -v wine >/dev/null 2>&1; then
        echo "wine is missing; run: scripts/install-deps windows" >&2
        return 1
    fi
    # Wine processes of an earlier run may still be up, tied to that run's display (or to none); new
    # programs would join them, so they are left to end first.
    timeout 60 wineserver --wait 2>/dev/null || true
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "Preparing the Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        wineboot --init >/dev/null 2>&1 || true
        wineserver --wait
        # Wine processes of an earlier run may still be up, tied to that run's display (or to none); new
    # programs would join them, so they are left to end first.
    timeout 60 wineserver --wait 2>/dev/null || true
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
            echo "wineboot did not prepare $WINEPREFIX" >&2
            return 1
        fi
    fi
}
