#!/usr/bin/env python3
"""Runs a Windows test exe under Wine with a pty mapped as a COM port of its
prefix; the Linux side of the pty echoes everything back."""
import os
import pty
import select
import subprocess
import sys
import threading

COM = "COM42"


def main():
    exe = os.path.abspath(sys.argv[1])
    wine_run = sys.argv[2]
    prefix = os.environ.get("WINEPREFIX") or os.path.join(os.path.dirname(exe), "wineprefix")
    env = dict(os.environ, WINEPREFIX=prefix, QV_TEST_COM=COM)
    # Sets the prefix up on first use.
    subprocess.run([wine_run, exe, "--gtest_list_tests"], env=env, stdout=subprocess.DEVNULL, timeout=300,
                   check=True)
    master, slave = pty.openpty()
    link = os.path.join(prefix, "dosdevices", COM.lower())
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.ttyname(slave), link)
    stop = threading.Event()

    def echo():
        while not stop.is_set():
            r, _, _ = select.select([master], [], [], 0.1)
            if r:
                try:
                    data = os.read(master, 4096)
                except OSError:
                    return
                os.write(master, data)

    t = threading.Thread(target=echo, daemon=True)
    t.start()
    try:
        return subprocess.run([wine_run, exe] + sys.argv[3:], env=env, timeout=300).returncode
    finally:
        stop.set()
        t.join()
        os.remove(link)
        os.close(master)
        os.close(slave)


if __name__ == "__main__":
    sys.exit(main())
