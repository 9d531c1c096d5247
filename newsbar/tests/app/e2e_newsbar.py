#!/usr/bin/python3
"""End-to-end test of the newsbar program, run under dbus-run-session -- xvfb-run.

With a mock notification server (python3-dbusmock's notification_daemon template, listing the
"actions" capability), a mock tray (StatusNotifierWatcher), an HTTP feed on 127.0.0.1 and a
stand-in browser, it drives the program through its tray menu and notifications and checks what
it does on the bus: the command line without a display, the hand-over of later launches to the
running instance (--show twice: one process, one window), the window at launch without a tray,
the status line after a refused download and the notifications' "Open" button, a restart in
another time zone, an offline start with the last feed kept, the icon colours an XEmbed tray
publishes (a stand-in tray, then trayer) and a tray (trayer) that starts after the program.
Screenshots of the tray image (22, 24 and 48 px on a light and a dark panel), of the late tray
and of the window go into the artefacts folder.
"""

import argparse
import http.server
import os
import re
import shutil
import socket
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
PORTAL = "org.freedesktop.portal.Desktop"
SETTINGS = "org.freedesktop.portal.Settings"
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


def share(argb, rgb):
    """The share of the opaque pixels of an ARGB image that have the colour rgb."""
    opaque = [argb[i + 1:i + 4] for i in range(0, len(argb), 4) if argb[i] == 255]
    return sum(near(colour, rgb) for colour in opaque) / max(1, len(opaque))


def ppm_pixels(path):
    """The (r, g, b) pixels of a binary PPM."""
    with open(path, "rb") as f:
        data = f.read()
    header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    check(header, "%s is not a PPM" % path)
    body = data[header.end():]
    return [tuple(body[i:i + 3]) for i in range(0, len(body) - 2, 3)]


def near(colour, rgb):
    return all(abs(a - b) <= 2 for a, b in zip(colour, rgb))


class FakeTray:
    """A stand-in XEmbed tray that owns the tray selection and publishes icon colours."""

    def __init__(self, ctx, rgb):
        self.process = subprocess.Popen([ctx.fake_tray, "claim", rgb], env=ctx.env, text=True,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        check(self.process.stdout.readline().strip() == "ready", "the stand-in tray did not start")

    def publish(self, rgb):
        self.process.stdin.write(rgb + "\n")
        self.process.stdin.flush()
        check(self.process.stdout.readline().strip() == "set", "the stand-in tray did not set " + rgb)

    def quit(self):
        self.process.stdin.close()
        check(self.process.wait(WAIT) == 0, "the stand-in tray failed")


def tones(argb):
    """{True} when every opaque pixel of an ARGB image is light, {False} when every one is dark."""
    return {sum(argb[i + 1:i + 4]) > 3 * 128 for i in range(0, len(argb), 4) if argb[i] > 192}


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

    def wait(self, what, predicate):
        """Waits for predicate() while the program runs."""
        return wait_for(what, lambda: self.up() and predicate())

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

    def hands_over(self):
        """Ends at once, having asked the running instance to show its window."""
        check(self.exit_code() == 0 and "this one quits" in self.output(), "%s did not hand over:\n%s"
              % (self.name, self.output()))


class TrayItem:
    """The program's StatusNotifierItem and its menu."""

    def __init__(self, bus, service):
        self.properties = dbus.Interface(bus.get_object(service, "/StatusNotifierItem"),
                                         "org.freedesktop.DBus.Properties")
        self.menu = dbus.Interface(bus.get_object(service, self.properties.Get(ITEM, "Menu")),
                                   "com.canonical.dbusmenu")

    def pixmaps(self):
        """{side: ARGB bytes} of the square images the item offers."""
        pixmaps = {}
        for w, h, data in self.properties.Get(ITEM, "IconPixmap"):
            check(int(w) == int(h), "a tray image of %dx%d is not square" % (w, h))
            pixmaps.setdefault(int(w), bytes(data))
        return pixmaps

    def image(self, side=24):
        return self.pixmaps()[side]

    def tooltip(self):
        return str(self.properties.Get(ITEM, "ToolTip")[2])

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

    def save(self, ctx, stem):
        """PNGs of the 22, 24 and 48 px images on a light (#f0f0f0) and a dark (#2b2b2b) panel,
        enlarged to be looked at."""
        for side, scale in ((22, 8), (24, 8), (48, 4)):
            for panel, name in ((0xf0, "light"), (0x2b, "dark")):
                data = self.image(side)
                pixels = [bytes((c * data[i] + panel * (255 - data[i])) // 255 for c in data[i + 1:i + 4]) * scale
                          for i in range(0, 4 * side * side, 4)]
                raw = b"".join((b"\0" + b"".join(pixels[y * side:(y + 1) * side])) * scale for y in range(side))
                chunks = ((b"IHDR", struct.pack(">IIBBBBB", side * scale, side * scale, 8, 2, 0, 0, 0)),
                          (b"IDAT", zlib.compress(raw)), (b"IEND", b""))
                with open(os.path.join(ctx.artifacts, "%s-%dpx-%s.png" % (stem, side, name)), "wb") as f:
                    f.write(b"\x89PNG\r\n\x1a\n" + b"".join(struct.pack(">I", len(d)) + k + d
                                                           + struct.pack(">I", zlib.crc32(k + d)) for k, d in chunks))


def viewable_windows():
    """The ids of the program's viewable top-level X windows."""
    def xwininfo(*args):
        return subprocess.run(["xwininfo", *args], capture_output=True, text=True, timeout=WAIT).stdout

    tree = xwininfo("-root", "-children")
    return [window for window in re.findall(r'^\s+(0x[0-9a-f]+) .*\("newsbar" "newsbar"\)', tree, re.M)
            if "Map State: IsViewable" in xwininfo("-id", window)]


def viewable_window():
    """The id of the program's viewable top-level X window, or None."""
    return next(iter(viewable_windows()), None)


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


def docked_in_tray():
    """True when one of the program's windows is embedded in trayer's panel."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True, timeout=WAIT).stdout
    panel = re.search(r'^( +)0x[0-9a-f]+ "panel": \("panel" "trayer"\).*\n((?:\1 +.*\n)*)', tree, re.M)
    return bool(panel and '("newsbar" "newsbar")' in panel.group(2))


def command_line(ctx):
    """Help, version, option errors and the parse mode need neither a display nor a session bus."""
    env = {k: v for k, v in ctx.env.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM")}
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "e2e_command_line.tsv")) as table:
        rows = [line.rstrip("\n").split("\t") for line in table if not line.startswith("#")]
    check(rows, "no rows in e2e_command_line.tsv")
    feeds = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "feeds")
    for status, text, *arguments in rows:
        arguments = [os.path.join(feeds, a[len("@feeds/"):]) if a.startswith("@feeds/") else a
                     for a in arguments]
        result = subprocess.run([ctx.program] + arguments, env=env, capture_output=True, text=True,
                                timeout=WAIT)
        check(result.returncode == int(status) and text in result.stdout + result.stderr,
              "newsbar %s: status %d, output %r" % (" ".join(arguments), result.returncode,
                                                   result.stdout + result.stderr))
    # The manual page names the version the program reports.
    version = subprocess.run([ctx.program, "--version"], env=env, capture_output=True, text=True,
                             timeout=WAIT).stdout.split("\n")[0]
    with open(ctx.manpage) as page:
        heading = page.readline()
    check(re.match(r"newsbar \d+\.\d+\.\d+$", version) and '"%s"' % version in heading,
          "the manual page says %r, the program %r" % (heading, version))


def run(ctx, bus):
    command_line(ctx)
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
    first.wait("the first instance on the bus", lambda: bus.name_has_owner(instance))
    item = TrayItem(bus, first.wait("the tray item", registered_items)[-1])
    first.wait("the first download", lambda: ctx.feed.requests >= 1)
    time.sleep(2)  # room for a wrong notification to show up
    check(notify_calls() == [], "the first run notified: %r" % notify_calls())
    sides = sorted(item.pixmaps())
    check(all(side in sides for side in (16, 22, 24, 32, 48)), "tray image sides %r" % sides)
    check(item.properties.Get(ITEM, "IconName") == "", "the tray image is not the drawn one")
    plain = item.image()
    check(item.tooltip() == "VANDiR News: 0 unread", "tooltip %r" % item.tooltip())
    item.save(ctx, "tray-unread-0")
    check(viewable_window() is None, "a default launch showed the window")

    # A second default launch asks the first to show its window and ends before it sets
    # anything up; the first downloads the feed again, as "Show news" does.
    requests = ctx.feed.requests
    Program(ctx, "second").hands_over()
    window = first.wait("the window of the first instance", viewable_window)
    first.wait("the download after the second launch", lambda: ctx.feed.requests > requests)
    time.sleep(0.5)
    check(len(registered_items()) == 1, "the second instance made a tray item")
    check(ctx.feed.requests == requests + 1, "%d downloads after the second launch" % (ctx.feed.requests - requests))
    icon = subprocess.run(["xprop", "-id", window, "_NET_WM_ICON"], capture_output=True, text=True, timeout=WAIT).stdout
    check("Icon (16 x 16)" in icon and "Icon (48 x 48)" in icon, "the window has no icon: %r" % icon[:200])

    # Two new items, notified older first with the default action, an "Open" button and the
    # desktop entry; "Show news" refreshes.
    titles = ctx.feed.add(2)
    item.click("Show news")
    first.wait("two notifications", lambda: len(notify_calls()) >= 2)
    calls = notify_calls()
    check([c[4] for c in calls] == titles, "notified %r, expected %r" % ([c[4] for c in calls], titles))
    check(all(c[3] == "VANDiR News" and list(c[5][0::2]) == ["default", "open"]
              and c[6].get("desktop-entry") == "newsbar" for c in calls), "notified %r" % calls)
    wait_for("the badge", lambda: item.image() != plain)
    wait_for("the tooltip", lambda: item.tooltip() == "VANDiR News: 2 unread")
    item.save(ctx, "tray-unread-2")
    time.sleep(0.5)
    screenshot(ctx, window, "window-unread.png")

    # Seven more: only the newest five, which stay listed, are posted (the two older are marked
    # notified silently); after every delivery beyond five listed the oldest is closed (the mock
    # numbers notifications from 1).
    titles = ctx.feed.add(7)
    item.click("Show news")
    first.wait("seven notifications", lambda: len(notify_calls()) >= 7)
    time.sleep(1)
    closed = [args[0] for args in notifications.calls("CloseNotification")]
    posted = [c[4] for c in notify_calls()[2:]]
    check(len(notify_calls()) == 7 and closed == [1, 2] and posted == titles[2:],
          "%d notified (%r), closed %r; expected 7, %r and [1, 2]"
          % (len(notify_calls()), posted, closed, titles[2:]))
    wait_for("the tooltip", lambda: item.tooltip() == "VANDiR News: 9 unread")
    item.save(ctx, "tray-unread-9")

    # "Open" on the newest notification (the seventh) opens its link in the browser and marks
    # its item read.
    read = settings_array_size(ctx, "ReadItems")
    notifications.mock.EmitSignal(NOTIFY, "ActionInvoked", "us", [dbus.UInt32(7), "open"])
    wait_for("the browser", lambda: os.path.exists(ctx.opened))
    with open(ctx.opened) as f:
        check(f.read().split() == ["https://example.com/11"], "the browser was given another link")
    wait_for("the item read", lambda: item.tooltip() == "VANDiR News: 8 unread")
    check(settings_array_size(ctx, "ReadItems") == read + 1, "Open did not mark the item read")

    # A link that no browser takes: the opener fails, an alert says so, the item stays unread.
    open(ctx.no_browser, "w").close()
    notifications.mock.EmitSignal(NOTIFY, "ActionInvoked", "us", [dbus.UInt32(6), "open"])
    first.wait("the alert", lambda: len(viewable_windows()) == 2)
    check("Could not open https://example.com/10" in first.output(), "the opener's failure is not logged")
    time.sleep(0.5)
    check(settings_array_size(ctx, "ReadItems") == read + 1 and item.tooltip() == "VANDiR News: 8 unread",
          "an item no browser opened was marked read")
    os.remove(ctx.no_browser)

    item.click("Mark all as read")
    wait_for("the badge to go", lambda: item.image() == plain)
    item.save(ctx, "tray-after-mark-all-read")

    # The desktop publishes its colour scheme through the settings portal: dark gives a light
    # mark without an edge, light a dark one.
    portal = Mock(bus, [PORTAL, "/org/freedesktop/portal/desktop", SETTINGS], PORTAL,
                  "/org/freedesktop/portal/desktop")
    portal.mock.AddMethod(SETTINGS, "Read", "ss", "v", "ret = dbus.UInt32(0, variant_level=1)")
    for scheme, name in ((1, "dark"), (2, "light")):
        portal.mock.EmitSignal(SETTINGS, "SettingChanged", "ssv",
                               ["org.freedesktop.appearance", "color-scheme", dbus.UInt32(scheme, variant_level=1)])
        wait_for("the %s scheme's image" % name, lambda: tones(item.image()) == {name == "dark"})
        item.save(ctx, "tray-%s-scheme" % name)
    portal.stop()

    # An XEmbed tray that publishes icon colours (_NET_SYSTEM_TRAY_COLORS) comes after the
    # program: its foreground goes before the light scheme, follows its changes, and when the
    # tray goes the scheme's dark mark comes back.
    fake = FakeTray(ctx, "e07020")
    try:
        for rgb in ("e07020", "30c0ff", "ffffff"):
            if rgb != "e07020":
                fake.publish(rgb)
            want = tuple(bytes.fromhex(rgb))
            wait_for("the image in #" + rgb, lambda: share(item.image(), want) > 0.3)
            check(share(item.image(48), want) > 0.3, "the 48 px mark is not in #" + rgb)
            item.save(ctx, "tray-colours-" + rgb)
        check("The tray asks for icons in #ffffff" in first.output(), "the tray's colours are not logged")
    finally:
        fake.quit()
    wait_for("the scheme's image after the tray", lambda: tones(item.image()) == {False})
    screenshot(ctx, window, "window-read.png")
    item.click("Quit")
    check(first.exit_code() == 0, "Quit did not end the first instance cleanly")

    # A journey: restarted in another time zone, every item keeps its read and notified state.
    items, calls, requests = len(registered_items()), len(notify_calls()), ctx.feed.requests
    travelled = Program(ctx, "travelled", env={"TZ": "America/New_York"})
    item = TrayItem(bus, travelled.wait("the tray item", lambda: registered_items()[items:])[-1])
    travelled.wait("the download", lambda: ctx.feed.requests > requests)
    time.sleep(2)  # room for a wrong notification to show up
    check(len(notify_calls()) == calls, "the new time zone notified: %r" % notify_calls()[calls:])
    check(item.tooltip() == "VANDiR News: 0 unread", "after the journey: tooltip %r" % item.tooltip())
    item.click("Quit")
    check(travelled.exit_code() == 0, "Quit did not end the travelled instance cleanly")

    # An item new since, notified in Japanese; activating the notification shows the window.
    title = ctx.feed.add(1)
    third = Program(ctx, "third", env={"LC_ALL": "ja_JP.UTF-8", "LANG": "ja_JP.UTF-8"})
    third.wait("the eighth notification", lambda: len(notify_calls()) >= 8)
    eighth = list(notify_calls()[7][3:5])
    check(eighth == ["VANDiR \u30cb\u30e5\u30fc\u30b9"] + title, "the eighth notification is %r" % eighth)
    check(viewable_window() is None, "the window showed before the click")
    notifications.mock.EmitSignal(NOTIFY, "ActionInvoked", "us", [dbus.UInt32(8), "default"])
    window = third.wait("the window after the click", viewable_window)
    screenshot(ctx, window, "window-from-notification.png")

    # newsbar --show, twice, as the launcher's "Show news" runs it: each asks the running
    # instance, which keeps running; one process, one window.
    for n in (1, 2):
        Program(ctx, "shown-%d" % n, "--show").hands_over()
    check(third.up() and len(viewable_windows()) == 1, "windows: %r" % viewable_windows())
    check(len([name for name in bus.list_names() if name.startswith(ctx.bundle_id + ".instance_")]) == 1,
          "more than one instance on the bus")
    check(third.exit_code(terminate=True) == 0, "the third instance failed on SIGTERM")

    # No notification server, no tray and no feed URL: a default launch shows the window at
    # once, with the sample feed compiled into the program, its six records new here; the five
    # that would stay listed are delivered, each failing with one log line, and all six count
    # as notified.
    for mock in ctx.mocks:
        mock.stop()
    notified = settings_array_size(ctx, "NotifiedItems")
    lone = Program(ctx, "lone", feed=False)
    window = lone.wait("the window without a tray", viewable_window)
    lone.wait("five failed deliveries", lambda: lone.output().count("Notification not delivered") >= 5)
    time.sleep(1)
    output = lone.output()
    check(lone.up() and output.count("No system tray") == 1
          and output.count("Notification not delivered") == 5,
          "expected one line about the tray and five about deliveries:\n" + output)
    check(settings_array_size(ctx, "NotifiedItems") == notified + 6, "undelivered, not notified")
    screenshot(ctx, window, "window-sample-feed.png")
    # A new launch hands over to it rather than quietly quitting.
    Program(ctx, "again", feed=False).hands_over()
    check(lone.up() and len(viewable_windows()) == 1, "windows: %r" % viewable_windows())
    check(lone.exit_code(terminate=True) == 0, "the lone instance failed on SIGTERM")

    # A feed that refuses the connection: the window, shown for want of a tray, says why it
    # is empty and the status line says what failed.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]  # closed again, so connections are refused
    refused = Program(ctx, "refused", "--feed-url", "http://127.0.0.1:%d/feed.xml" % port, feed=False,
                      env={"XDG_CACHE_HOME": os.path.join(ctx.work, "empty-cache")})
    window = refused.wait("the window", viewable_window)
    refused.wait("the status line", lambda: "Status: Could not update:" in refused.output())
    check("Connection refused" in refused.output(), "the status line does not say why:\n" + refused.output())
    time.sleep(0.5)
    screenshot(ctx, window, "window-refused.png")
    check(refused.exit_code(terminate=True) == 0, "the refused instance failed on SIGTERM")

    # Offline with the last feed kept from before: its news is shown, and the status line says
    # from when.
    offline = Program(ctx, "offline", "--feed-url", "http://127.0.0.1:%d/feed.xml" % port, feed=False)
    window = offline.wait("the window", viewable_window)
    offline.wait("the status line", lambda: "Status: Could not update:" in offline.output())
    check(re.search(r"Status: Could not update: .*News of the last update \(", offline.output())
          and "Showing the stored feed" in offline.output(),
          "offline, the last feed is not shown:\n" + offline.output())
    time.sleep(0.5)
    screenshot(ctx, window, "window-offline.png")
    check(offline.exit_code(terminate=True) == 0, "the offline instance failed on SIGTERM")

    # The tray starts after the program, as at many a login: the item docks when it comes.
    if not shutil.which("trayer"):
        print("e2e: trayer not installed; the late tray is not tried")
        return
    late = Program(ctx, "late")
    late.wait("the window without a tray", viewable_window)
    check(not docked_in_tray(), "docked before any tray ran")
    tray_process = subprocess.Popen(["trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel",
                                     "--width", "100", "--height", "22", "--tint", "0x2b2b2b",
                                     "--transparent", "true", "--alpha", "0"],
                                    env=ctx.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        late.wait("the item docked in the late tray", docked_in_tray)
        time.sleep(0.5)
        tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True, timeout=WAIT).stdout
        panel = re.search(r'(0x[0-9a-f]+) "panel": \("panel" "trayer"\)', tree).group(1)
        screenshot(ctx, panel, "tray-late-dark-panel.png")
        # The colours trayer's window is given: the docked icon is redrawn in each.
        for rgb in ("ff9020", "40c0ff"):
            result = subprocess.run([ctx.fake_tray, "set", rgb], env=ctx.env, capture_output=True,
                                    text=True, timeout=WAIT)
            check(result.returncode == 0, "could not set the tray's colours: " + result.stderr)
            want, shot = tuple(bytes.fromhex(rgb)), os.path.join(ctx.work, "panel.ppm")

            def drawn_in_colour():
                screenshot(ctx, panel, shot)
                return sum(near(p, want) for p in ppm_pixels(shot)) >= 20

            late.wait("the docked icon in #" + rgb, drawn_in_colour)
            screenshot(ctx, panel, "tray-colours-%s-dark-panel.png" % rgb)
    finally:
        tray_process.terminate()
        tray_process.wait(WAIT)
    check(late.exit_code(terminate=True) == 0, "the late instance failed on SIGTERM")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--program", "--screenshot", "--fake-tray", "--artifacts", "--bundle-id", "--manpage"):
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
               LC_ALL="C.UTF-8", LANG="C.UTF-8", TZ="Asia/Tokyo")
    # libxkbcommon-x11 hands strndup atom names that end at the given length, not at a
    # terminator: valid, but strict string checks read on and stop the program in the X set-up.
    # Qt has no frame pointers, so leak stacks need the slow unwinder for lsan.supp to match.
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] = env["ASAN_OPTIONS"].replace(
            "strict_string_checks=1", "strict_string_checks=0") + ":fast_unwind_on_malloc=0"
    # The browser: a stand-in that notes the links it is given.
    ctx.opened = os.path.join(ctx.work, "opened.txt")
    bin_dir = os.path.join(ctx.work, "bin")
    os.makedirs(bin_dir)
    ctx.no_browser = os.path.join(ctx.work, "no-browser")
    with open(os.path.join(bin_dir, "xdg-open"), "w") as f:
        f.write('#!/bin/sh\n[ -e "%s" ] && { echo "no method available for opening $1" >&2; exit 3; }\n'
                'echo "$@" > "%s.part" && mv "%s.part" "%s"\n' % ((ctx.no_browser,) + (ctx.opened,) * 3))
    os.chmod(os.path.join(bin_dir, "xdg-open"), 0o755)
    env["PATH"] = bin_dir + os.pathsep + env.get("PATH", "/usr/bin:/bin")
    ctx.env, ctx.programs, ctx.mocks, ctx.feed = env, [], [], Feed()
    bus = dbus.SessionBus()
    ok = False
    try:
        ctx.mocks.append(Mock(bus, ["--template", "notification_daemon", "--parameters",
                                    '{"capabilities": "body body-markup actions"}'], NOTIFY,
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
