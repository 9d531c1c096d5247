#!/usr/bin/python3
"""End-to-end test of the newsbar program, run under dbus-run-session -- xvfb-run.

With a mock notification server (python3-dbusmock's notification_daemon template), a mock tray
(StatusNotifierWatcher) and an HTTP feed on 127.0.0.1, it drives the program through its tray
menu and notifications and checks what it does on the bus. Screenshots of the tray image and the
window go into the artefacts folder.
"""

import argparse
import http.server
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

import dbus

NOTIFY = "org.freedesktop.Notifications"
WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
WAIT = float(os.environ.get("NEWSBAR_E2E_WAIT", "60"))  # sanitizer builds start slowly


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(what, predicate):
    deadline = time.monotonic() + WAIT
    while not (value := predicate()):
        check(time.monotonic() < deadline, "timed out waiting for " + what)
        time.sleep(0.1)
    return value


class Feed(http.server.ThreadingHTTPServer):
    """An RSS feed whose items the test adds to; newest first, as feeds list."""

    def __init__(self):
        self.items, self.requests = [], 0
        feed = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                feed.requests += 1
                body = ('<?xml version="1.0" encoding="UTF-8"?><rss version="2.0"><channel>'
                        + "".join(feed.items) + "</channel></rss>").encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/rss+xml; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()
        self.url = "http://127.0.0.1:%d/feed.xml" % self.server_address[1]

    def add(self, count):
        """Adds count items; returns their titles, oldest first."""
        titles = []
        for n in range(len(self.items), len(self.items) + count):
            titles.append("Item %02d" % n)
            self.items.insert(0, "<item><title>%s</title><category>%s</category>"
                              "<link>https://example.com/%d</link><pubDate>Sun, 01 Mar 2026 "
                              "%02d:00:00 +0900</pubDate></item>"
                              % (titles[-1], ["news", "event", "info", "topic", "update"][n % 5], n, n))
        return titles


class Mock:
    def __init__(self, bus, args, service, path):
        self.bus, self.service = bus, service
        self.process = subprocess.Popen([sys.executable, "-m", "dbusmock", "--session"] + args,
                                        stdout=subprocess.DEVNULL)
        wait_for("mock " + service,
                 lambda: bus.name_has_owner(service) or self.process.poll() is not None)
        check(self.process.poll() is None, "mock %s did not start" % service)
        self.mock = dbus.Interface(bus.get_object(service, path), "org.freedesktop.DBus.Mock")

    def calls(self, method):
        return [args for _, args in self.mock.GetMethodCalls(method)]

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        wait_for(self.service + " gone", lambda: not self.bus.name_has_owner(self.service))


class Program:
    def __init__(self, ctx, name, *args, env=None, feed=True):
        self.name, self.log = name, os.path.join(ctx.work, name + ".log")
        feed_args = ["--feed-url", ctx.feed.url] if feed else []
        with open(self.log, "w") as out:
            self.process = subprocess.Popen([ctx.program] + feed_args + list(args), stdout=out,
                                            stderr=subprocess.STDOUT, env=dict(ctx.env, **(env or {})))
        ctx.programs.append(self)

    def up(self):
        """True while it runs; a program that ended before it should have fails the test."""
        check(self.process.poll() is None, "%s ended with %s" % (self.name, self.process.returncode))
        return True

    def output(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def exit_code(self, terminate=False):
        if terminate:
            self.process.terminate()
        try:
            return self.process.wait(WAIT)
        except subprocess.TimeoutExpired:
            raise Failure("%s did not exit" % self.name)


class TrayItem:
    """The program's StatusNotifierItem and its menu."""

    def __init__(self, bus, service):
        self.properties = dbus.Interface(bus.get_object(service, "/StatusNotifierItem"),
                                         "org.freedesktop.DBus.Properties")
        self.menu = dbus.Interface(bus.get_object(service, self.properties.Get(ITEM, "Menu")),
                                   "com.canonical.dbusmenu")

    def image(self):
        """The largest pixmap as (width, height, ARGB bytes)."""
        pixmaps = self.properties.Get(ITEM, "IconPixmap")
        w, h, data = max(pixmaps, key=lambda p: int(p[0]) * int(p[1]))
        return int(w), int(h), bytes(data)

    def aspect(self):
        """Width over height of the opaque part of the image: grows with a badge."""
        w, h, data = self.image()
        opaque = [(i % w, i // w) for i in range(w * h) if data[4 * i] > 64]
        check(opaque, "the tray image is empty")
        xs, ys = zip(*opaque)
        return (max(xs) - min(xs) + 1) / (max(ys) - min(ys) + 1)

    def click(self, label):
        found = []

        def walk(node):
            if str(node[1].get("label", "")).replace("_", "") == label:
                found.append(node[0])
            for child in node[2]:
                walk(child)

        walk(self.menu.GetLayout(0, -1, dbus.Array([], signature="s"))[1])
        check(found, "the menu has no item " + label)
        self.menu.Event(found[0], "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0))

    def save(self, ctx, name, scale=4):
        """A PNG of the image on a light panel colour, enlarged so that it can be looked at."""
        w, h, data = self.image()
        pixels = [bytes((c * 255 + 0xd8 * (255 - data[i])) // 255 for c in data[i + 1:i + 4]) * scale
                  for i in range(0, 4 * w * h, 4)]
        rows = [b"\0" + b"".join(pixels[y * w:(y + 1) * w]) for y in range(h) for _ in range(scale)]

        def chunk(kind, data):
            return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

        with open(os.path.join(ctx.artifacts, name), "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n"
                    + chunk(b"IHDR", struct.pack(">IIBBBBB", w * scale, h * scale, 8, 2, 0, 0, 0))
                    + chunk(b"IDAT", zlib.compress(b"".join(rows))) + chunk(b"IEND", b""))


def viewable_window():
    """The id of the program's viewable top-level X window, or None."""
    def xwininfo(*args):
        return subprocess.run(["xwininfo", *args], capture_output=True, text=True, timeout=WAIT).stdout

    tree = xwininfo("-root", "-children")
    for window in re.findall(r'^\s+(0x[0-9a-f]+) .*\("newsbar" "newsbar"\)', tree, re.M):
        if "Map State: IsViewable" in xwininfo("-id", window):
            return window
    return None


def screenshot(ctx, window, name):
    result = subprocess.run([ctx.screenshot, os.path.join(ctx.artifacts, name), window],
                            env=ctx.env, capture_output=True, text=True, timeout=WAIT)
    check(result.returncode == 0, "screenshot failed: " + result.stderr)


def settings_array_size(ctx, key):
    with open(os.path.join(ctx.env["XDG_CONFIG_HOME"], "newsbar", "newsbar.conf")) as f:
        group = re.search(r"^\[%s\]$(.*?)(?=^\[|\Z)" % key, f.read(), re.M | re.S)
    check(group, "no %s in the settings" % key)
    size = re.search(r"^size=(\d+)$", group.group(1), re.M)
    return int(size.group(1)) if size else 0


def run(ctx, bus):
    notifications, tray = ctx.mocks
    for method in ("RegisterStatusNotifierItem", "RegisterStatusNotifierHost"):
        tray.mock.AddMethod(WATCHER, method, "s", "", "")
    tray.mock.AddProperty(WATCHER, "IsStatusNotifierHostRegistered", dbus.Boolean(True))
    tray.mock.AddProperty(WATCHER, "ProtocolVersion", dbus.Int32(0))
    tray.mock.AddProperty(WATCHER, "RegisteredStatusNotifierItems", dbus.Array([], signature="s"))

    def notify_calls():  # (app_name, replaces_id, icon, summary, body, actions, hints, timeout)
        return notifications.calls("Notify")

    def registered_items():
        return [args[0] for args in tray.calls("RegisterStatusNotifierItem")]

    # First run: the first list is taken as seen.
    ctx.feed.add(3)
    first = Program(ctx, "first")
    instance = "%s.instance_%d" % (ctx.bundle_id, first.process.pid)
    wait_for("the first instance on the bus", lambda: first.up() and bus.name_has_owner(instance))
    item = TrayItem(bus, wait_for("the tray item", lambda: first.up() and registered_items())[-1])
    wait_for("the first download", lambda: first.up() and ctx.feed.requests >= 1)
    time.sleep(2)  # room for a wrong notification to show up
    check(notify_calls() == [], "the first run notified: %r" % notify_calls())
    aspect0 = item.aspect()
    item.save(ctx, "tray-badge-0.png")
    check(viewable_window() is None, "a default launch showed the window")

    # A second default launch quits before it sets anything up; the first stays.
    requests = ctx.feed.requests
    check(Program(ctx, "second").exit_code() == 0, "the second instance failed")
    check(first.up() and len(registered_items()) == 1, "the second instance made a tray item")
    check(ctx.feed.requests == requests, "the second instance downloaded the feed")

    # Two new items, notified older first with the default action; "Show news" refreshes and
    # shows the window.
    titles = ctx.feed.add(2)
    item.click("Show news")
    wait_for("two notifications", lambda: first.up() and len(notify_calls()) >= 2)
    calls = notify_calls()
    check([c[4] for c in calls] == titles, "notified %r, expected %r" % ([c[4] for c in calls], titles))
    check(all(c[3] == "VANDiR News" and "default" in c[5] for c in calls), "notified %r" % calls)
    wait_for("the badge", lambda: item.aspect() > aspect0 + 0.3)
    item.save(ctx, "tray-badge-2.png")
    window = wait_for("the window", viewable_window)
    time.sleep(0.5)
    screenshot(ctx, window, "window-unread.png")

    # Seven more: only the newest five, which stay listed, are posted (the two older are marked
    # notified silently); after every delivery beyond five listed the oldest is closed (the mock
    # numbers notifications from 1).
    titles = ctx.feed.add(7)
    item.click("Show news")
    wait_for("seven notifications", lambda: first.up() and len(notify_calls()) >= 7)
    time.sleep(1)
    closed = [args[0] for args in notifications.calls("CloseNotification")]
    posted = [c[4] for c in notify_calls()[2:]]
    check(len(notify_calls()) == 7 and closed == [1, 2] and posted == titles[2:],
          "%d notified (%r), closed %r; expected 7, %r and [1, 2]"
          % (len(notify_calls()), posted, closed, titles[2:]))

    item.click("Mark all as read")
    wait_for("the badge to go", lambda: abs(item.aspect() - aspect0) < 0.02)
    item.save(ctx, "tray-after-mark-all-read.png")
    screenshot(ctx, window, "window-read.png")
    item.click("Quit")
    check(first.exit_code() == 0, "Quit did not end the first instance cleanly")

    # An item new since, notified in Japanese; activating the notification shows the window.
    title = ctx.feed.add(1)
    third = Program(ctx, "third", env={"LC_ALL": "ja_JP.UTF-8", "LANG": "ja_JP.UTF-8"})
    wait_for("the eighth notification", lambda: third.up() and len(notify_calls()) >= 8)
    eighth = list(notify_calls()[7][3:5])
    check(eighth == ["VANDiR \u30cb\u30e5\u30fc\u30b9"] + title, "the eighth notification is %r" % eighth)
    check(viewable_window() is None, "the window showed before the click")
    notifications.mock.EmitSignal(NOTIFY, "ActionInvoked", "us", [dbus.UInt32(8), "default"])
    window = wait_for("the window after the click", lambda: third.up() and viewable_window())
    screenshot(ctx, window, "window-from-notification.png")

    # newsbar --show shows the window at once; the default-launched third instance quits.
    shown = Program(ctx, "shown", "--show")
    check(third.exit_code() == 0, "the third instance failed")
    wait_for("the --show window", lambda: shown.up() and viewable_window())
    check(shown.exit_code(terminate=True) == 0, "the --show instance failed on SIGTERM")

    # No notification server, no tray and no feed URL: the sample feed compiled into the
    # program, its six records new here; the five that would stay listed are delivered, each
    # failing with one log line, and all six count as notified.
    for mock in ctx.mocks:
        mock.stop()
    notified = settings_array_size(ctx, "NotifiedItems")
    lone = Program(ctx, "lone", "--show", feed=False)
    window = wait_for("the window without a tray", lambda: lone.up() and viewable_window())
    wait_for("five failed deliveries",
             lambda: lone.up() and lone.output().count("Notification not delivered") >= 5)
    time.sleep(1)
    output = lone.output()
    check(lone.up() and output.count("No system tray") == 1
          and output.count("Notification not delivered") == 5,
          "expected one line about the tray and five about deliveries:\n" + output)
    check(settings_array_size(ctx, "NotifiedItems") == notified + 6, "undelivered, not notified")
    screenshot(ctx, window, "window-sample-feed.png")
    check(lone.exit_code(terminate=True) == 0, "the lone instance failed on SIGTERM")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--program", "--screenshot", "--artifacts", "--bundle-id"):
        parser.add_argument(option, required=True)
    ctx = parser.parse_args()
    if not (shutil.which("xwininfo") and "DISPLAY" in os.environ
            and "DBUS_SESSION_BUS_ADDRESS" in os.environ):
        print("e2e: needs xwininfo, and to run under dbus-run-session and xvfb-run")
        return 1
    os.makedirs(ctx.artifacts, exist_ok=True)
    ctx.work = tempfile.mkdtemp(prefix="newsbar-e2e-")
    home, runtime = os.path.join(ctx.work, "home"), os.path.join(ctx.work, "runtime")
    os.makedirs(runtime, mode=0o700)
    env = {k: v for k, v in os.environ.items() if k not in (
        "QT_QPA_PLATFORMTHEME", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "LANGUAGE", "LC_MESSAGES")}
    env.update(HOME=home, XDG_CONFIG_HOME=home + "/config", XDG_CACHE_HOME=home + "/cache",
               XDG_DATA_HOME=home + "/data", XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="xcb",
               LC_ALL="C.UTF-8", LANG="C.UTF-8")
    # libxkbcommon-x11 hands strndup atom names that end at the given length, not at a
    # terminator: valid, but strict string checks read on and stop the program in the X set-up.
    # Qt has no frame pointers, so leak stacks need the slow unwinder for lsan.supp to match.
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] = env["ASAN_OPTIONS"].replace(
            "strict_string_checks=1", "strict_string_checks=0") + ":fast_unwind_on_malloc=0"
    ctx.env, ctx.programs, ctx.mocks, ctx.feed = env, [], [], Feed()
    bus = dbus.SessionBus()
    ok = False
    try:
        ctx.mocks.append(Mock(bus, ["--template", "notification_daemon"], NOTIFY,
                              "/org/freedesktop/Notifications"))
        ctx.mocks.append(Mock(bus, [WATCHER, "/StatusNotifierWatcher", WATCHER], WATCHER,
                              "/StatusNotifierWatcher"))
        run(ctx, bus)
        ok = True
        print("e2e: all checks passed; screenshots in " + ctx.artifacts)
    except Failure as failure:
        print("e2e: FAILED: %s" % failure)
    finally:
        for process in [p.process for p in ctx.programs] + [m.process for m in ctx.mocks]:
            if process.poll() is None:
                process.kill()
                process.wait()
        ctx.feed.shutdown()
        for program in ctx.programs:
            print("---- %s ----\n%s" % (program.name, program.output().strip()))
        shutil.rmtree(ctx.work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
