#!/usr/bin/env python3
"""The layering check on a small tree: it names every violation above the
seams, by file and line, and nothing in backends, entry points or tools."""
import pathlib
import subprocess
import sys
import tempfile

check = sys.argv[1]
files = {
    "app/Bad.cpp": '#include <cstdio>\n#include <windows.h>\n#include <sys/ioctl.h>\n'
                   '#include <QWidget>\n#include "platform/linux/Uevent.h"\n'
                   '// windows.h and _WIN32 in a comment are fine\n'
                   '#if defined(__linux__) && 1\n#endif\n',
    "serial/Deep/Bad.h": '#include <signal.h>\n#include <Termios.h>\n#ifndef _WIN32\n#endif\n',
    "platform/Seam.cpp": '#include "platform/Seam.h"\n#ifdef __APPLE__\n#endif\n',
    "platform/sim/Fine.cpp": '#ifdef _WIN32\n#endif\n',
    "platform/linux/Fine.cpp": '#include <unistd.h>\n',
    "framework/qt/Fine.cpp": '#include <QApplication>\n',
    "app/linux/main.cpp": '#include <QApplication>\n',
    "app/win32/main.cpp": '#include <windows.h>\n#ifdef _WIN32\n#endif\n',
    "tools/cli/Fine.cpp": '#ifdef _WIN32\n#endif\n',
}
expected = [
    "app/Bad.cpp:2: includes windows.h (operating-system header)",
    "app/Bad.cpp:3: includes sys/ioctl.h (operating-system header)",
    "app/Bad.cpp:4: includes QWidget (Qt header)",
    "app/Bad.cpp:5: includes platform/linux/Uevent.h (a backend's header)",
    "app/Bad.cpp:7: platform conditional on __linux__",
    "serial/Deep/Bad.h:2: includes Termios.h (operating-system header)",
    "serial/Deep/Bad.h:3: platform conditional on _WIN32",
    "platform/Seam.cpp:2: platform conditional on __APPLE__",
]


def run(root):
    r = subprocess.run([sys.executable, check, str(root)], capture_output=True, text=True)
    return r.returncode, sorted(r.stdout.splitlines())


with tempfile.TemporaryDirectory() as tmp:
    root = pathlib.Path(tmp)
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    for d in ("patch", "protocol", "discovery", "emulator"):
        (root / d).mkdir(exist_ok=True)
    code, lines = run(root)
    ok = code == 1 and lines == sorted(expected)
    for bad in ("app/Bad.cpp", "serial/Deep/Bad.h", "platform/Seam.cpp"):
        (root / bad).unlink()
    clean_code, clean_lines = run(root)
    ok = ok and clean_code == 0 and clean_lines == []
    if not ok:
        print("with violations:", code, *lines, sep="\n  ")
        print("clean:", clean_code, *clean_lines, sep="\n  ")
sys.exit(0 if ok else 1)
