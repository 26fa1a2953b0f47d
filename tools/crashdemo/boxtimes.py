#!/usr/bin/env python3
"""Times crashdemo's boxes as a user sees them, under an X display of its own:
from pressing "Go wrong" (alt+g) to the box standing, and from answering the
box ("close application": shift+Tab, space) to the program's end. Five runs
per case, medians printed.

    python3 tools/crashdemo/boxtimes.py build/bin/crashdemo [case...]

The cases default to segv, blocked-loader and many. Needs Xvfb and xdotool."""
import os, subprocess, sys, time, tempfile, statistics, signal

def xdo(env, *args):
    return subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True).stdout.split()

def start_x():
    r, w = os.pipe()
    p = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                         pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    num = b""
    while not num.endswith(b"\n"):
        c = os.read(r, 1)
        if not c: break
        num += c
    os.close(r)
    return p, ":" + num.decode().strip()

def wait_window(env, title, limit=30, old=()):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        ids = [i for i in xdo(env, "search", "--onlyvisible", "--name", "^" + title + "$") if i not in old]
        if ids: return ids[0], time.monotonic()
        time.sleep(0.005)
    return None, None

def one(demo, case, env):
    bug = tempfile.mktemp(suffix=".txt")
    e = dict(env, CRASHDEMO_BUGREPORT=bug, QT_QPA_PLATFORM="xcb")
    p = subprocess.Popen([demo, case], env=e, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    win, _ = wait_window(e, "crashdemo: " + case)
    if not win: p.kill(); p.wait(); print("  no window", file=sys.stderr); return None
    time.sleep(0.5)
    xdo(e, "windowfocus", "--sync", win)
    time.sleep(0.3)
    stale = xdo(e, "search", "--onlyvisible", "--name", "^crashdemo$")
    if stale: print("  stale box windows before the press:", stale, file=sys.stderr)
    t0 = time.monotonic()
    xdo(e, "key", "alt+g")
    box, tbox = wait_window(e, "crashdemo", old=stale)
    if not box: p.kill(); p.wait(); print("  no box", file=sys.stderr); return None
    time.sleep(0.3)
    xdo(e, "windowfocus", "--sync", box)
    time.sleep(0.2)
    t1 = time.monotonic()
    xdo(e, "key", "shift+Tab", "space")
    try:
        code = p.wait(30)
    except subprocess.TimeoutExpired:
        p.kill(); p.wait(); print("  no exit", file=sys.stderr); return None
    t2 = time.monotonic()
    # Whatever showed the box goes too (a helper).
    gone_by = time.monotonic() + 10
    while xdo(e, "search", "--onlyvisible", "--name", "^crashdemo$") and time.monotonic() < gone_by: time.sleep(0.05)
    if time.monotonic() >= gone_by: print("  a box stayed after the program ended", file=sys.stderr)
    if os.path.exists(bug): os.unlink(bug)
    return (tbox - t0) * 1000, (t2 - t1) * 1000, code

def main():
    demo = sys.argv[1]
    cases = sys.argv[2:] or ["segv", "blocked-loader", "many"]
    x, disp = start_x()
    env = dict(os.environ, DISPLAY=disp)
    try:
        for case in cases:
            runs = []
            tries = 0
            while len([r for r in runs if r]) < 5 and tries < 10:
                tries += 1
                runs.append(one(demo, case, env))
            ok = [r for r in runs if r]
            print(f"{case:15s} failure->box median {statistics.median(r[0] for r in ok):7.0f} ms"
                  f"  answer->exit median {statistics.median(r[1] for r in ok):7.0f} ms"
                  f"  runs {[(round(a), round(b), c) for a, b, c in ok]} failed {len(runs)-len(ok)}", flush=True)
    finally:
        x.terminate(); x.wait()

main()
