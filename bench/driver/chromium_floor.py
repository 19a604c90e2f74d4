#!/usr/bin/env python3
"""Chromium's own floor for the benchmarks' whole-process measurements: the fewest DevTools
commands that launch the browser on a fresh profile, open URL, wait for its load event and close.
   chromium_floor.py [--profile DIR] URL EXECUTABLE SWITCH...
SWITCH...: what our driver launches with (run.sh passes `driver_bench switches`), so the browser
does no more background work than under the driver. Added here: the pipe, the profile, the
start page. The profile is a temporary folder removed before exit (as the driver's scratch
profile is), or DIR, which must not exist yet and is left for the caller to remove (as vendro
leaves its persistent profile).
"""
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile


# How often the floor opens URL before it gives up (an unreachable URL ends on an error page).
MAX_NAVIGATIONS = 3


def main():
    args = sys.argv[1:]
    kept_profile = None
    if args[:1] == ["--profile"] and len(args) > 1:
        kept_profile, args = args[1], args[2:]
    if len(args) < 3:
        sys.exit("用法：chromium_floor.py [--profile DIR] URL EXECUTABLE SWITCH..."
                 "（SWITCH 取自 driver_bench switches）")
    url, executable, switches = args[0], args[1], args[2:]
    if "--remote-debugging-pipe" not in switches:
        switches.append("--remote-debugging-pipe")
    # run.sh bounds this script with timeout(1): still stop the browser and remove the profile.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    if kept_profile:
        try:
            os.mkdir(kept_profile)
        except OSError as e:
            sys.exit(f"无法新建配置目录 {kept_profile}（它必须尚不存在）：{e.strerror}")
        profile = kept_profile
    else:
        profile = tempfile.mkdtemp(prefix="vendro-bench-floor-")
    to_browser_r, to_browser_w = os.pipe()
    from_browser_r, from_browser_w = os.pipe()

    def child_fds():  # the browser reads commands on fd 3 and writes replies on fd 4
        commands = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD, 10)
        replies = fcntl.fcntl(from_browser_w, fcntl.F_DUPFD, 10)
        os.dup2(commands, 3)
        os.dup2(replies, 4)

    browser = subprocess.Popen(
        [executable] + switches + ["--user-data-dir=" + profile, "about:blank"],
        pass_fds=(3, 4), preexec_fn=child_fds,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(to_browser_r)
    os.close(from_browser_w)
    buffer = b""
    next_id = 0

    def send(method, params=None, session=None):
        nonlocal next_id
        next_id += 1
        message = {"id": next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(to_browser_w, json.dumps(message).encode() + b"\0")
        return next_id

    def receive():
        nonlocal buffer
        while b"\0" not in buffer:
            chunk = os.read(from_browser_r, 65536)
            if not chunk:
                raise SystemExit("浏览器关闭了协议管道")
            buffer += chunk
        text, buffer = buffer.split(b"\0", 1)
        return json.loads(text)

    try:
        send("Target.setAutoAttach", {"autoAttach": True, "waitForDebuggerOnStart": False,
                                      "flatten": True})
        session = None
        while session is None:
            message = receive()
            if message.get("method") == "Target.attachedToTarget" and \
                    message["params"]["targetInfo"]["type"] == "page":
                session = message["params"]["sessionId"]
        # Page events flow only once Page.enable has answered (it waits for the first renderer):
        # a navigation sent before then may commit unseen and would be loaded a second time.
        enable = send("Page.enable", session=session)
        while receive().get("id") != enable:
            pass
        send("Page.navigate", {"url": url}, session)
        navigations = 1
        # The first tab's own about:blank may still cancel ours (it stops loading without
        # navigating): navigate again then, a few times at most. Then wait for our load event.
        navigated = False
        while True:
            message = receive()
            method = message.get("method")
            if method == "Page.frameNavigated" and "parentId" not in message["params"]["frame"]:
                navigated = message["params"]["frame"]["url"].startswith(url)
            elif method == "Page.frameStoppedLoading" and not navigated:
                if navigations == MAX_NAVIGATIONS:
                    raise SystemExit(f"打开 {url} {MAX_NAVIGATIONS} 次都没有成功")
                send("Page.navigate", {"url": url}, session)
                navigations += 1
            elif navigated and method == "Page.loadEventFired":
                break
        send("Browser.close")
        browser.wait(timeout=10)
    finally:
        if browser.poll() is None:
            browser.kill()
            browser.wait()
        if not kept_profile:
            shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    main()
