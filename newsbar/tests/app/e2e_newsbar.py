#!/usr/bin/python3
"""End-to-end test of the newsbar program.

Runs inside a private session bus and X server (dbus-run-session -- xvfb-run -a ...). It starts a
mock notification server (python3-dbusmock's notification_daemon template), a mock tray
(StatusNotifierWatcher) and an HTTP feed on 127.0.0.1, then drives the program through its tray
menu and its notifications and checks what it does on the bus:

  first run            no notification, badge 0
  second default start exits at once; the first keeps running
  2 new items          two Notify calls, the older item first; badge shown; window opened
  7 more items         Notify for each; the 4 oldest closed so that 5 stay listed
  mark all as read     badge back to 0
  notification click   shows the window of an instance started without it (in Japanese)
  --show               shows the window at once; the default-launched instance quits
  no server, no tray   delivery fails quietly, the item still counts as notified, window works
  no feed URL          the sample feed compiled into the program

Screenshots of the tray image and the window are written into the artefacts folder.
"""

import argparse
import http.server
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

import dbus

NOTIFY_SERVICE = "org.freedesktop.Notifications"
NOTIFY_PATH = "/org/freedesktop/Notifications"
WATCHER_SERVICE = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
MOCK_IFACE = "org.freedesktop.DBus.Mock"
NOTIFICATION_TITLE = "VANDiR News"
NOTIFICATION_TITLE_JA = "VANDiR \u30cb\u30e5\u30fc\u30b9"

# Sanitizer builds start slowly; every wait is bounded by this many seconds.
WAIT = float(os.environ.get("NEWSBAR_E2E_WAIT", "60"))


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(what, predicate, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(0.1)


def log(message):
    print("e2e: " + message, flush=True)


# --- the feed ---------------------------------------------------------------------------------

class Feed:
    """An RSS document whose items the test changes; newest item first, as news feeds list."""

    def __init__(self):
        self.items = []
        self.requests = 0
        self.lock = threading.Lock()

    def add(self, count):
        with self.lock:
            start = len(self.items)
            new = []
            for n in range(start, start + count):
                day = 1 + n % 28
                new.append({
                    "title": "Item %02d" % n,
                    "category": ["news", "event", "info", "topic", "update"][n % 5],
                    "date": "%s, %02d Mar 2026 %02d:00:00 +0900" % (
                        ["Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"][(day + 6) % 7], day, n % 24),
                    "link": "https://example.com/news/%d.html" % n,
                })
            self.items = list(reversed(new)) + self.items

    def document(self):
        with self.lock:
            parts = ['<?xml version="1.0" encoding="UTF-8"?>\n<rss version="2.0"><channel>'
                     '<title>Test</title>']
            for item in self.items:
                parts.append("<item><title>%(title)s</title><category>%(category)s</category>"
                             "<pubDate>%(date)s</pubDate><link>%(link)s</link></item>" % item)
            parts.append("</channel></rss>\n")
            return "".join(parts).encode("utf-8")


def serve(feed):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            body = feed.document()
            with feed.lock:
                feed.requests += 1
            self.send_response(200)
            self.send_header("Content-Type", "application/rss+xml; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    return server


# --- mocks on the bus -------------------------------------------------------------------------

class Mock:
    def __init__(self, bus, args, service, path):
        self.process = subprocess.Popen([sys.executable, "-m", "dbusmock", "--session"] + args,
                                        stdout=subprocess.DEVNULL)
        self.bus = bus
        self.service = service
        wait_for("mock " + service, lambda: bus.name_has_owner(service) or self.died())
        check(self.process.poll() is None, "mock %s did not start" % service)
        self.object = bus.get_object(service, path)
        self.mock = dbus.Interface(self.object, MOCK_IFACE)

    def died(self):
        return self.process.poll() is not None

    def calls(self, method):
        return [[unwrap(a) for a in args] for _, args in self.mock.GetMethodCalls(method)]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        wait_for("mock %s gone" % self.service, lambda: not self.bus.name_has_owner(self.service))


def unwrap(value):
    if isinstance(value, (dbus.String, dbus.ObjectPath)):
        return str(value)
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Int16, dbus.Int32, dbus.Int64, dbus.UInt16, dbus.UInt32,
                          dbus.UInt64, dbus.Byte)):
        return int(value)
    if isinstance(value, dbus.Array):
        return [unwrap(v) for v in value]
    if isinstance(value, dbus.Struct):
        return tuple(unwrap(v) for v in value)
    if isinstance(value, dbus.Dictionary):
        return {unwrap(k): unwrap(v) for k, v in value.items()}
    return value


def start_notification_server(bus):
    return Mock(bus, ["--template", "notification_daemon"], NOTIFY_SERVICE, NOTIFY_PATH)


def start_tray(bus):
    tray = Mock(bus, [WATCHER_SERVICE, WATCHER_PATH, WATCHER_SERVICE], WATCHER_SERVICE, WATCHER_PATH)
    tray.mock.AddMethod(WATCHER_SERVICE, "RegisterStatusNotifierItem", "s", "", "")
    tray.mock.AddMethod(WATCHER_SERVICE, "RegisterStatusNotifierHost", "s", "", "")
    tray.mock.AddProperty(WATCHER_SERVICE, "IsStatusNotifierHostRegistered", dbus.Boolean(True))
    tray.mock.AddProperty(WATCHER_SERVICE, "ProtocolVersion", dbus.Int32(0))
    tray.mock.AddProperty(WATCHER_SERVICE, "RegisteredStatusNotifierItems",
                          dbus.Array([], signature="s"))
    return tray


# --- the program ------------------------------------------------------------------------------

class Program:
    def __init__(self, ctx, name, *args, env=None, feed=True):
        self.name = name
        self.log_path = os.path.join(ctx.work, name + ".log")
        self.log_file = open(self.log_path, "w")
        feed_args = ["--feed-url", ctx.feed_url] if feed else []
        self.process = subprocess.Popen([ctx.program] + feed_args + list(args),
                                        env=dict(ctx.env, **(env or {})), stdout=self.log_file,
                                        stderr=subprocess.STDOUT)
        self.pid = self.process.pid
        log("started %s (pid %d) %s" % (name, self.pid, " ".join(args)))

    def running(self):
        return self.process.poll() is None

    def up(self):
        """True while it runs; a program that ended before it should have fails the test."""
        if not self.running():
            raise Failure("%s ended early with %s:\n%s" % (self.name, self.process.returncode,
                                                          self.output()))
        return True

    def wait_exit(self, timeout=WAIT):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("%s did not exit within %.0f s" % (self.name, timeout))
        self.log_file.close()
        return code

    def output(self):
        self.log_file.flush()
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def terminate(self):
        if self.running():
            self.process.send_signal(signal.SIGTERM)
        return self.wait_exit()

    def kill(self):
        if self.running():
            self.process.kill()
            self.process.wait()


class TrayItem:
    """The program's StatusNotifierItem, as registered with the mock watcher."""

    def __init__(self, bus, service):
        self.item = bus.get_object(service, "/StatusNotifierItem")
        self.properties = dbus.Interface(self.item, "org.freedesktop.DBus.Properties")
        menu_path = self.properties.Get("org.kde.StatusNotifierItem", "Menu")
        self.menu = dbus.Interface(bus.get_object(service, menu_path), "com.canonical.dbusmenu")

    def image(self):
        """The largest pixmap as (width, height, rows of (a, r, g, b))."""
        pixmaps = self.properties.Get("org.kde.StatusNotifierItem", "IconPixmap")
        check(len(pixmaps) > 0, "the tray item has no pixmap")
        width, height, data = max(pixmaps, key=lambda p: int(p[0]) * int(p[1]))
        width, height, data = int(width), int(height), bytes(data)
        rows = [[tuple(data[(y * width + x) * 4:(y * width + x) * 4 + 4]) for x in range(width)]
                for y in range(height)]
        return width, height, rows

    def menu_items(self):
        _, layout = self.menu.GetLayout(0, -1, dbus.Array([], signature="s"))
        items = {}

        def walk(node):
            node_id, props, children = node
            label = str(props.get("label", ""))
            if label:
                items[label.replace("_", "")] = (int(node_id), bool(props.get("visible", True)))
            for child in children:
                walk(child)

        walk(layout)
        return items

    def click(self, label):
        items = self.menu_items()
        check(label in items, "menu has no item %r (has %s)" % (label, sorted(items)))
        self.menu.Event(dbus.Int32(items[label][0]), "clicked",
                        dbus.Int32(0, variant_level=1), dbus.UInt32(0))


def content_aspect(image):
    """Width over height of the opaque part of the tray image: grows with a badge."""
    width, height, rows = image
    xs = [x for y in range(height) for x in range(width) if rows[y][x][0] > 64]
    ys = [y for y in range(height) for x in range(width) if rows[y][x][0] > 64]
    check(xs and ys, "the tray image is empty")
    return (max(xs) - min(xs) + 1) / (max(ys) - min(ys) + 1)


def write_png(path, width, height, rgba_rows):
    raw = b"".join(b"\x00" + bytes(v for px in row for v in px) for row in rgba_rows)

    def chunk(kind, payload):
        return (struct.pack(">I", len(payload)) + kind + payload
                + struct.pack(">I", zlib.crc32(kind + payload) & 0xffffffff))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def save_tray_image(ctx, image, name, scale=4):
    """The tray image on a light panel colour, enlarged so that it can be looked at."""
    width, height, rows = image
    panel = (0xd8, 0xd8, 0xd8)
    out = []
    for y in range(height):
        row = []
        for x in range(width):
            a, r, g, b = rows[y][x]
            px = tuple((c * 255 + p * (255 - a)) // 255 for c, p in zip((r, g, b), panel)) + (255,)
            row.extend([px] * scale)
        out.extend([row] * scale)
    path = os.path.join(ctx.artifacts, name)
    write_png(path, width * scale, height * scale, out)
    log("wrote " + path)


def viewable_window():
    """The id of the program's viewable top-level X window, or None."""
    tree = subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True,
                          timeout=WAIT).stdout
    for match in re.finditer(r'^\s+(0x[0-9a-f]+) .*\("newsbar" "newsbar"\)', tree, re.M):
        info = subprocess.run(["xwininfo", "-id", match.group(1)], capture_output=True,
                              text=True, timeout=WAIT).stdout
        if "Map State: IsViewable" in info:
            return match.group(1)
    return None


def screenshot(ctx, window, name):
    path = os.path.join(ctx.artifacts, name)
    env = dict(ctx.env, QT_QPA_PLATFORM="xcb")
    result = subprocess.run([ctx.screenshot, path, window], env=env, capture_output=True,
                            text=True, timeout=WAIT)
    check(result.returncode == 0, "screenshot failed: " + result.stderr)
    log("wrote " + path)


def settings_array_size(ctx, key, config_home=None):
    path = os.path.join(config_home or ctx.env["XDG_CONFIG_HOME"], "newsbar", "newsbar.conf")
    with open(path) as f:
        text = f.read()
    match = re.search(r"^\[%s\]$(.*?)(?=^\[|\Z)" % key, text, re.M | re.S)
    check(match, "no %s in the settings" % key)
    size = re.search(r"^size=(\d+)$", match.group(1), re.M)
    return int(size.group(1)) if size else 0


# --- the scenario -----------------------------------------------------------------------------

class Context:
    pass


def registered_items(tray):
    return [args[0] for args in tray.calls("RegisterStatusNotifierItem")]


def notify_calls(server):
    # Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout)
    return server.calls("Notify")


def run(ctx):
    bus = dbus.SessionBus()
    feed = Feed()
    feed.add(3)
    server = serve(feed)
    ctx.feed_url = "http://127.0.0.1:%d/feed.xml" % server.server_address[1]
    programs = []
    mocks = []
    try:
        notifications = start_notification_server(bus)
        mocks.append(notifications)
        tray = start_tray(bus)
        mocks.append(tray)

        def instance_names():
            prefix = ctx.bundle_id + ".instance_"
            return [str(n) for n in bus.list_names() if str(n).startswith(prefix)]

        # First run: the first list is taken as seen.
        first = Program(ctx, "first")
        programs.append(first)
        wait_for("the first instance on the bus",
                 lambda: first.up() and (ctx.bundle_id + ".instance_%d" % first.pid) in instance_names())
        services = wait_for("the tray item", lambda: first.up() and registered_items(tray))
        item = TrayItem(bus, services[-1])
        wait_for("the first download", lambda: first.up() and feed.requests >= 1)
        time.sleep(2)  # room for a wrong notification to show up
        check(notify_calls(notifications) == [], "the first run notified: %r" % notify_calls(notifications))
        badge0 = item.image()
        aspect0 = content_aspect(badge0)
        save_tray_image(ctx, badge0, "tray-badge-0.png")
        menu = item.menu_items()
        check(not menu.get("Open website", (0, False))[1],
              "the website item is shown although no website is configured")
        check(viewable_window() is None, "a default launch showed the window")

        # A second default launch quits before it sets anything up; the first stays.
        requests = feed.requests
        second = Program(ctx, "second")
        programs.append(second)
        code = second.wait_exit(timeout=WAIT)
        check(code == 0, "the second instance exited with %d" % code)
        check(first.running(), "the first instance quit when the second started")
        check(len(registered_items(tray)) == 1, "the second instance made a tray item")
        check(feed.requests == requests, "the second instance downloaded the feed")
        log("second default launch exited with 0, first still runs")

        # Two new items: notified oldest first, badge shown; "Show news" refreshes and shows.
        feed.add(2)
        new_titles = [feed.items[1]["title"], feed.items[0]["title"]]
        item.click("Show news")
        wait_for("two notifications", lambda: first.up() and len(notify_calls(notifications)) >= 2)
        calls = notify_calls(notifications)
        check(len(calls) == 2, "expected 2 Notify calls, got %d" % len(calls))
        check([c[4] for c in calls] == new_titles,
              "notification order %r, expected %r" % ([c[4] for c in calls], new_titles))
        check(all(c[3] == NOTIFICATION_TITLE for c in calls), "notification title %r" % calls[0][3])
        check(all("default" in c[5] for c in calls), "a notification lacks the default action")
        wait_for("the badge", lambda: content_aspect(item.image()) > aspect0 + 0.3)
        save_tray_image(ctx, item.image(), "tray-badge-2.png")
        window = wait_for("the window", lambda: viewable_window())
        time.sleep(0.5)
        screenshot(ctx, window, "window-unread.png")

        # Seven more: each notified; after every delivery beyond five the oldest is closed.
        feed.add(7)
        item.click("Show news")
        wait_for("nine notifications", lambda: first.up() and len(notify_calls(notifications)) >= 9)
        time.sleep(1)
        calls = notify_calls(notifications)
        check(len(calls) == 9, "expected 9 Notify calls, got %d" % len(calls))
        ids = list(range(1, 10))  # the mock numbers notifications from 1
        closed = [args[0] for args in notifications.calls("CloseNotification")]
        check(closed == ids[:4], "closed %r, expected the four oldest %r" % (closed, ids[:4]))
        check(len(set(ids) - set(closed)) == 5, "not five notifications left listed")
        log("9 notifications, closed %r, 5 listed" % closed)

        # Mark all as read: the badge goes.
        item.click("Mark all as read")
        wait_for("the badge to go", lambda: abs(content_aspect(item.image()) - aspect0) < 0.02)
        save_tray_image(ctx, item.image(), "tray-after-mark-all-read.png")
        screenshot(ctx, window, "window-read.png")

        item.click("Quit")
        code = first.wait_exit()
        check(code == 0, "the first instance exited with %d after Quit" % code)
        log("Quit from the menu ended the first instance")

        # A new item while the program was away; activating its notification shows the window.
        # This instance runs in Japanese: its notification carries the Japanese title.
        feed.add(1)
        third = Program(ctx, "third", env={"LC_ALL": "ja_JP.UTF-8", "LANG": "ja_JP.UTF-8"})
        programs.append(third)
        wait_for("the tenth notification", lambda: third.up() and len(notify_calls(notifications)) >= 10)
        tenth = notify_calls(notifications)[9]
        check(tenth[3] == NOTIFICATION_TITLE_JA and tenth[4] == feed.items[0]["title"],
              "the Japanese notification is %r / %r" % (tenth[3], tenth[4]))
        check(viewable_window() is None, "the window showed before the click")
        notifications.mock.EmitSignal(NOTIFY_SERVICE, "ActionInvoked", "us",
                                      [dbus.UInt32(10), "default"])
        window = wait_for("the window after the click", lambda: third.up() and viewable_window())
        screenshot(ctx, window, "window-from-notification.png")
        log("activating the notification showed the window")

        # newsbar --show shows the window at once; the default-launched third instance quits.
        shown = Program(ctx, "shown", "--show")
        programs.append(shown)
        code = third.wait_exit()
        check(code == 0, "the third instance exited with %d" % code)
        wait_for("the --show window", lambda: shown.up() and viewable_window())
        check(shown.running(), "the --show instance quit")
        code = shown.terminate()
        check(code == 0, "the --show instance exited with %d on SIGTERM" % code)
        log("--show showed the window; the default-launched instance quit")

        # No notification server and no tray: the program says so and goes on.
        notifications.stop()
        tray.stop()
        notified_before = settings_array_size(ctx, "NotifiedItems")
        feed.add(1)
        lone = Program(ctx, "lone", "--show")
        programs.append(lone)
        wait_for("the window without a tray", lambda: lone.up() and viewable_window())
        wait_for("the failed delivery in the log",
                 lambda: lone.up() and "Notification not delivered" in lone.output())
        time.sleep(1)
        output = lone.output()
        check("No system tray" in output, "no log line about the missing tray:\n" + output)
        check(output.count("Notification not delivered") == 1,
              "expected one failed-delivery line:\n" + output)
        check(lone.running(), "the program quit without a tray or notification server")
        check(settings_array_size(ctx, "NotifiedItems") == notified_before + 1,
              "the undelivered item was not marked notified")
        screenshot(ctx, viewable_window(), "window-without-tray.png")
        code = lone.terminate()
        check(code == 0, "the lone instance exited with %d" % code)
        log("without server and tray: one log line each, item marked notified, window shown")

        # A fresh user and no feed URL given: the sample feed compiled into the program.
        fresh_config = os.path.join(ctx.work, "fresh-config")
        sample = Program(ctx, "sample", "--show", feed=False,
                         env={"XDG_CONFIG_HOME": fresh_config})
        programs.append(sample)
        window = wait_for("the sample feed's window", lambda: sample.up() and viewable_window())
        wait_for("the sample feed taken as seen",
                 lambda: sample.up() and os.path.exists(os.path.join(fresh_config, "newsbar", "newsbar.conf"))
                 and settings_array_size(ctx, "ReadItems", fresh_config) == 6)
        time.sleep(0.5)
        screenshot(ctx, window, "window-sample-feed.png")
        check(sample.terminate() == 0, "the sample instance did not end cleanly")
        log("the compiled-in sample feed shows its six items")
    finally:
        for program in programs:
            program.kill()
        for mock in mocks:
            if mock.process.poll() is None:
                mock.process.kill()
                mock.process.wait()
        server.shutdown()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--screenshot", required=True)
    parser.add_argument("--artifacts", required=True)
    parser.add_argument("--bundle-id", required=True)
    args = parser.parse_args()

    for tool in ("xwininfo",):
        if shutil.which(tool) is None:
            print("e2e: %s is missing" % tool)
            return 1
    if not os.environ.get("DISPLAY") or not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        print("e2e: run me under dbus-run-session and xvfb-run")
        return 1

    ctx = Context()
    ctx.program = args.program
    ctx.screenshot = args.screenshot
    ctx.bundle_id = args.bundle_id
    ctx.artifacts = args.artifacts
    os.makedirs(ctx.artifacts, exist_ok=True)
    ctx.work = tempfile.mkdtemp(prefix="newsbar-e2e-")
    home = os.path.join(ctx.work, "home")
    runtime = os.path.join(ctx.work, "runtime")
    os.makedirs(home)
    os.makedirs(runtime, mode=0o700)
    env = dict(os.environ)
    for name in ("QT_QPA_PLATFORMTHEME", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "LANGUAGE",
                 "LC_MESSAGES"):
        env.pop(name, None)
    env.update({
        "HOME": home,
        "XDG_CONFIG_HOME": os.path.join(home, "config"),
        "XDG_CACHE_HOME": os.path.join(home, "cache"),
        "XDG_DATA_HOME": os.path.join(home, "data"),
        "XDG_RUNTIME_DIR": runtime,
        "QT_QPA_PLATFORM": "xcb",
        "LC_ALL": "C.UTF-8",
        "LANG": "C.UTF-8",
    })
    # libxkbcommon-x11 hands strndup atom names that end at the length given rather than at a
    # terminator; that is valid, but a sanitizer's strict string checks read on to a terminator
    # and stop the program inside the X connection set-up. Everything else stays checked.
    # Qt's libraries have no frame pointers, so leak stacks are unwound the slow way: the
    # suppressions for Qt's own caches (lsan.supp) name frames inside them.
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] = env["ASAN_OPTIONS"].replace("strict_string_checks=1",
                                                          "strict_string_checks=0")
        env["ASAN_OPTIONS"] += ":fast_unwind_on_malloc=0"
    ctx.env = env
    ok = False
    try:
        run(ctx)
        ok = True
        print("e2e: all checks passed")
    except Failure as failure:
        print("e2e: FAILED: %s" % failure)
    finally:
        for name in sorted(os.listdir(ctx.work)):
            if name.endswith(".log"):
                with open(os.path.join(ctx.work, name), errors="replace") as f:
                    text = f.read().strip()
                if text:
                    print("---- %s ----\n%s" % (name, text))
        shutil.rmtree(ctx.work, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
