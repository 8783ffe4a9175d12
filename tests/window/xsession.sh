#!/bin/sh
# Runs a command on a fresh Xvfb screen (24-bit TrueColor, 1024 x 768, so
# screenshots hold the pixels as drawn, without a colour map).
#
# A bare Xvfb has no window manager, so the atoms a window manager would
# create (WM_PROTOCOLS, _NET_WM_WINDOW_TYPE, ...) do not exist; JUCE looks
# them up without creating them and then sends requests naming atom 0, which
# X refuses fatally. Interning them first gives JUCE the screen a desktop
# would; -noreset keeps them when that first client disconnects.
#
# --asan RUNTIME (first argument, for AddressSanitizer builds): JUCE loads the
# X libraries itself and unloads them at shut-down, leaving what they still
# hold to LeakSanitizer as leaks without a name. Preloading them (after the
# sanitizer runtime, which must come first) keeps them loaded, so only real
# leaks are reported.
if [ "$1" = "--asan" ]; then
    preload="$2"
    shift 2
    for lib in libX11.so.6 libXext.so.6 libXinerama.so.1 libXrandr.so.2 libXcursor.so.1 libXrender.so.1; do
        path=$(ldconfig -p | awk -v l="$lib" '$1 == l && /x86-64/ { print $NF; exit }')
        [ -n "$path" ] && preload="$preload:$path"
    done
    set -- env LD_PRELOAD="$preload" "$@"
fi

exec xvfb-run -a -s "-screen 0 1024x768x24 -cc 4 -nolisten tcp -noreset" sh -c '
python3 - <<PY || exit 1
import ctypes
x11 = ctypes.CDLL("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
display = x11.XOpenDisplay(None)
if not display:
    raise SystemExit("no display")
for name in ("WM_PROTOCOLS", "WM_TAKE_FOCUS", "WM_DELETE_WINDOW", "_NET_WM_PING", "WM_CHANGE_STATE",
             "WM_STATE", "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_COMBO",
             "_NET_WM_STATE", "_NET_WM_STATE_HIDDEN"):
    x11.XInternAtom(ctypes.c_void_p(display), name.encode(), 0)
x11.XCloseDisplay(ctypes.c_void_p(display))
PY
exec "$@"' xsession "$@"
