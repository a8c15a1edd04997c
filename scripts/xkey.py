#!/usr/bin/env python3
"""Presses and releases one key on an X display through the XTEST extension, as a user at
the keyboard would (used by screenshot.sh to move the window to its next page).

    xkey.py DISPLAY KEYSYM        for example  xkey.py :99 Right
"""
import ctypes
import sys
import time


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    xtst = ctypes.cdll.LoadLibrary("libXtst.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XStringToKeysym.restype = ctypes.c_ulong
    x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
    x11.XKeysymToKeycode.restype = ctypes.c_ubyte
    x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                       ctypes.c_ulong]

    display = x11.XOpenDisplay(sys.argv[1].encode())
    if not display:
        raise SystemExit("cannot open display " + sys.argv[1])
    keysym = x11.XStringToKeysym(sys.argv[2].encode())
    keycode = x11.XKeysymToKeycode(display, keysym) if keysym else 0
    if not keycode:
        raise SystemExit("no key " + sys.argv[2])
    xtst.XTestFakeKeyEvent(display, keycode, 1, 0)
    x11.XFlush(display)
    time.sleep(0.05)
    xtst.XTestFakeKeyEvent(display, keycode, 0, 0)
    x11.XFlush(display)
    x11.XCloseDisplay(display)


if __name__ == "__main__":
    main()
