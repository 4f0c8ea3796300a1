#!/usr/bin/python3
"""The real application on a StatusNotifierItem host, driven over D-Bus as a desktop's panel does.

  sni-run.py <ThwackoApp> <XWindowTool> <work folder>

A private session bus (dbus-daemon) with a small StatusNotifierWatcher that reports a registered
host is started before the application, which then exports its tray item over D-Bus instead of
embedding it (XEmbed). Under Xvfb the test checks that the item registers as "Bonkly" with its
tooltip; that its icon pixmaps, at every size it sends, stand out from a light and a dark panel;
that the menu read through com.canonical.dbusmenu follows the menu's three states, its status
row disabled; that clicking "Start listening", "Pause", "Resume", "Stop listening" through the
menu's Event does what the menu does; that Activate (a left click) brings the closed window back;
that "Quit Bonkly" ends the application with status 0; and that the settings and cache folders
are still the ones named ThwackoApp. Every wait polls with a generous deadline.
"""
import os
import plistlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
DBUSMENU = "com.canonical.dbusmenu"
PANELS = {"light": (0xF2, 0xF2, 0xF2), "dark": (0x1E, 0x1E, 0x1E)}
SIZES = (16, 22, 32, 48)

STOPPED = [("Stopped", False), ("Start listening", True), "-", ("Open Bonkly window", True), ("Quit Bonkly", True)]
LISTENING = [("Listening \u2014 slap away", False), ("Stop listening", True), ("Pause", True), "-",
             ("Open Bonkly window", True), ("Quit Bonkly", True)]
PAUSED = [("Paused", False), ("Stop listening", True), ("Resume", True), "-", ("Open Bonkly window", True),
          ("Quit Bonkly", True)]


STARTED = time.monotonic()


def log(text):
    print(f"sni-run: {time.monotonic() - STARTED:6.1f} s: {text}", flush=True)


class Failure(Exception):
    pass


def wait_for(what, condition, deadline=60):
    """Polls `condition` until it returns something true, for at most `deadline` seconds."""
    until = time.monotonic() + deadline
    while True:
        try:
            result = condition()
        except Exception as error:  # the bus or X may not answer yet
            result = None
            last = error
        else:
            last = None
        if result:
            return result
        if time.monotonic() > until:
            raise Failure("timed out waiting for " + what + (f" (last error: {last})" if last else ""))
        time.sleep(0.2)


# The watcher: a separate process with its own main loop, owning the watcher's name on the bus.
def run_watcher():
    import dbus
    import dbus.mainloop.glib
    import dbus.service
    from gi.repository import GLib

    introspection = f"""<node>
 <interface name="{WATCHER}">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
 </interface>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="out"/></method>
  <method name="GetAll"><arg type="s" direction="in"/><arg type="a{{sv}}" direction="out"/></method>
 </interface>
 <interface name="org.freedesktop.DBus.Introspectable">
  <method name="Introspect"><arg type="s" direction="out"/></method>
 </interface>
</node>"""

    class Watcher(dbus.service.Object):
        def __init__(self, bus):
            super().__init__(bus, "/StatusNotifierWatcher")
            self.items = []

        @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
        def RegisterStatusNotifierItem(self, service, sender=None):
            name = sender + service if service.startswith("/") else service
            if name not in self.items:
                self.items.append(name)
            self.StatusNotifierItemRegistered(name)

        @dbus.service.method(WATCHER, in_signature="s")
        def RegisterStatusNotifierHost(self, service):
            pass

        @dbus.service.signal(WATCHER, signature="s")
        def StatusNotifierItemRegistered(self, service):
            pass

        @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
        def Get(self, interface, name):
            return self.GetAll(interface)[name]

        @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
        def GetAll(self, interface):
            return {"RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
                    "IsStatusNotifierHostRegistered": dbus.Boolean(True), "ProtocolVersion": dbus.Int32(0)}

        # The properties too: a client learns them from here before it reads them.
        @dbus.service.method(dbus.INTROSPECTABLE_IFACE, out_signature="s", path_keyword="object_path",
                             connection_keyword="connection")
        def Introspect(self, object_path, connection):
            return introspection

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    # Both stay referenced for as long as the loop runs.
    watcher = Watcher(bus)  # noqa: F841
    name = dbus.service.BusName(WATCHER, bus, do_not_queue=True)  # noqa: F841
    print("ready", flush=True)
    GLib.MainLoop().run()


def luminance(rgb):
    def channel(value):
        c = value / 255.0
        return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4
    r, g, b = rgb
    return 0.2126 * channel(r) + 0.7152 * channel(g) + 0.0722 * channel(b)


def composite(width, height, argb, panel):
    """The pixmap (ARGB32, network byte order) over the panel: rows of RGB and the opaque mask."""
    pixels, opaque = [], []
    for i in range(width * height):
        a, r, g, b = argb[4 * i:4 * i + 4]
        pixels.append(tuple(round((c * a + p * (255 - a)) / 255) for c, p in zip((r, g, b), panel)))
        opaque.append(a >= 128)
    return pixels, opaque


def contrast_p90(width, height, argb, panel):
    pixels, opaque = composite(width, height, argb, panel)
    back = luminance(panel)
    ratios = sorted((max(luminance(p), back) + 0.05) / (min(luminance(p), back) + 0.05)
                    for p, o in zip(pixels, opaque) if o)
    if not ratios:
        return 0.0, 0.0
    reaching = sum(1 for r in ratios if r >= 3.0) / len(ratios)
    return ratios[min(len(ratios) - 1, len(ratios) * 9 // 10)], reaching


def write_png(path, width, height, rows):
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                  chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def picture(path, pixmaps, panel, zoom=4):
    """The pixmaps side by side on the panel, magnified for a close look."""
    gap = 4
    width = sum(w for w, _, _ in pixmaps) + gap * (len(pixmaps) + 1)
    height = max(h for _, h, _ in pixmaps) + 2 * gap
    canvas = [[panel] * width for _ in range(height)]
    x = gap
    for w, h, argb in pixmaps:
        pixels, _ = composite(w, h, argb, panel)
        for y in range(h):
            canvas[gap + y][x:x + w] = pixels[y * w:(y + 1) * w]
        x += w + gap
    rows = [[p for p in row for _ in range(zoom)] for row in canvas for _ in range(zoom)]
    write_png(path, width * zoom, height * zoom, rows)


class Run:
    def __init__(self, app, tool, work):
        self.app, self.tool, self.work = app, tool, work
        self.processes = []
        self.app_process = None
        self.runtime = None

    def start(self, args, **keywords):
        process = subprocess.Popen(args, **keywords)
        self.processes.append(process)
        return process

    def cleanup(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        if self.runtime:
            shutil.rmtree(self.runtime, ignore_errors=True)

    def start_x(self):
        # The first free display number whose server comes up and answers (another test may
        # take a number at the same moment; its lock file then makes our server give up).
        for n in range(90, 190):
            if os.path.exists(f"/tmp/.X{n}-lock"):
                continue
            server = self.start(["Xvfb", f":{n}", "-screen", "0", "1280x900x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.work, "xvfb.log"), "w"))
            while server.poll() is None:
                if subprocess.run(["xdpyinfo", "-display", f":{n}"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode == 0:
                    return f":{n}"
                time.sleep(0.2)
        raise Failure("no X server could be started")

    def start_bus(self):
        config = os.path.join(self.work, "bus.conf")
        with open(config, "w") as out:
            out.write(f"""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir={self.runtime}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
""")
        daemon = self.start(["dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"],
                            stdout=subprocess.PIPE, text=True)
        address = daemon.stdout.readline().strip()
        if not address:
            raise Failure("the session bus did not start")
        return address

    def windows(self):
        """The application's visible windows as (id, width, height, title)."""
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "Bonkly"], capture_output=True,
                               text=True).stdout.split()
        result = []
        for window in found:
            info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
            width = re.search(r"Width: (\d+)", info)
            height = re.search(r"Height: (\d+)", info)
            title = re.search(r'^xwininfo: Window id: \S+ "(.*)"$', info, re.M)
            if width and height:
                result.append((window, int(width.group(1)), int(height.group(1)), title.group(1) if title else ""))
        return result

    def main_window(self):
        for window in self.windows():
            if window[3] == "Bonkly" and window[1] >= 400:
                return window
        return None

    def run(self):
        shutil.rmtree(self.work, ignore_errors=True)
        config, cache = os.path.join(self.work, "config"), os.path.join(self.work, "cache")
        os.makedirs(os.path.join(config, "ThwackoApp"))
        os.makedirs(cache)
        # A user who went through the onboarding before: the settings where they have always been.
        settings = os.path.join(config, "ThwackoApp", "ThwackoApp.plist")
        with open(settings, "wb") as out:
            plistlib.dump({"Bonkly.hasCompletedOnboarding": True}, out, fmt=plistlib.FMT_BINARY)
        # Short, so the bus's socket path fits; private, as a session's runtime folder is.
        self.runtime = tempfile.mkdtemp(prefix="sni-run-")
        os.chmod(self.runtime, 0o700)

        display = self.start_x()
        log(f"display {display}")
        address = self.start_bus()
        env = {key: value for key, value in os.environ.items()
               if key not in ("XDG_CURRENT_DESKTOP", "QT_QPA_PLATFORMTHEME", "DESKTOP_SESSION")}
        env.update(DISPLAY=display, DBUS_SESSION_BUS_ADDRESS=address, XDG_RUNTIME_DIR=self.runtime)
        watcher = self.start([sys.executable, os.path.abspath(__file__), "--watcher"], env=env,
                             stdout=subprocess.PIPE, text=True)
        if watcher.stdout.readline().strip() != "ready":
            raise Failure("the watcher did not start")
        log("session bus and watcher up")

        os.environ.update(env)  # for the X tools below
        import dbus
        bus = dbus.bus.BusConnection(address)

        # No ALSOFT_CONF: the application writes its own sound output settings to its cache folder.
        app_env = {key: value for key, value in env.items() if key != "ALSOFT_CONF"}
        # In a sanitizer build: libxkbcommon-x11 trips the strict string check (not our code), and a
        # leak's stack is taken the slow way, through Qt's libraries, so that the suppression of
        # Qt D-Bus's own leak can match it by name.
        app_env.update(XDG_CONFIG_HOME=config, XDG_CACHE_HOME=cache, QT_QPA_PLATFORM="xcb", ALSOFT_DRIVERS="null",
                       ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":strict_string_checks=0"
                       ":fast_unwind_on_malloc=0")
        self.app_log = os.path.join(self.work, "app.log")
        self.app_process = self.start([self.app, "--sensor", "replay"], env=app_env, stdout=open(self.app_log, "w"),
                                      stderr=subprocess.STDOUT)
        log(f"application {self.app_process.pid}")

        watcher_object = bus.get_object(WATCHER, "/StatusNotifierWatcher")
        items = wait_for("the item to register with the watcher", lambda: watcher_object.Get(
            WATCHER, "RegisteredStatusNotifierItems", dbus_interface=dbus.PROPERTIES_IFACE))
        service = str(items[0])
        item = bus.get_object(service, "/StatusNotifierItem")
        props = item.GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE)
        log(f"item {service}: id {str(props['Id'])!r}, title {str(props['Title'])!r}")
        if props["Id"] != "Bonkly" or props["Title"] != "Bonkly":
            raise Failure(f"the item is {props['Id']!r} titled {props['Title']!r}, not Bonkly")
        tooltip = str(props["ToolTip"][2])
        if not re.fullmatch("Bonkly \u2014 \\d+ slaps", tooltip):
            raise Failure(f"the tooltip reads {tooltip!r}")
        log(f"tooltip {tooltip!r}")

        self.check_icon(props["IconPixmap"])

        menu = bus.get_object(service, str(props["Menu"]))
        self.check_window_identity()

        def layout():
            menu.AboutToShow(0, dbus_interface=DBUSMENU)
            _, root = menu.GetLayout(0, -1, dbus.Array([], signature="s"), dbus_interface=DBUSMENU)
            rows = []
            for child in root[2]:
                identifier, properties = int(child[0]), child[1]
                if properties.get("visible", True) is False:
                    continue
                if properties.get("type") == "separator":
                    rows.append(("-", identifier, True))
                    continue
                has_icon = "icon-data" in properties or "icon-name" in properties
                rows.append((str(properties.get("label", "")), identifier, bool(properties.get("enabled", True)),
                             has_icon))
            return rows

        def shape(rows):
            return ["-" if row[0] == "-" else (row[0], row[2]) for row in rows]

        def click(label, reply=True):
            rows = layout()
            ids = [row[1] for row in rows if row[0] == label]
            if not ids:
                raise Failure(f"no item {label!r} in the menu {shape(rows)}")
            menu.Event(ids[0], "clicked", dbus.String("", variant_level=1), dbus.UInt32(0), dbus_interface=DBUSMENU,
                       signature="isvu", ignore_reply=not reply)

        def shows(state):
            rows = wait_for(f"the menu to show {state}", lambda: (lambda r: r if shape(r) == state else None)(layout()),
                            deadline=30)
            for row in rows:
                if row[0] != "-" and not row[3]:
                    raise Failure(f"the item {row[0]!r} has no icon")
            return rows

        # The settings were read from where they have always been: past the onboarding, the
        # main window. It may start listening on its own; stop first so the walk starts stopped.
        window = wait_for("the main window", self.main_window)
        if window[1] < 720:
            raise Failure(f"the window is {window[1]}x{window[2]}: the onboarding, so the settings were not read")
        if shape(layout()) != STOPPED:
            click("Stop listening")
        shows(STOPPED)
        log("stopped: " + repr(shape(layout())))
        click("Stopped")  # the disabled status row: choosing it does nothing
        time.sleep(0.5)
        shows(STOPPED)
        click("Start listening")
        shows(LISTENING)
        log("listening after Start listening: " + repr(shape(layout())))
        click("Pause")
        shows(PAUSED)
        log("paused after Pause")
        click("Resume")
        shows(LISTENING)
        log("listening after Resume")
        click("Stop listening")
        shows(STOPPED)
        log("stopped after Stop listening")

        # Activate, a left click on the item, opens the closed window and drops no menu down.
        self.close_main_window()
        if self.app_process.poll() is not None:
            raise Failure("closing the window ended the application")
        item.Activate(dbus.Int32(10), dbus.Int32(10), dbus_interface=ITEM)
        back = wait_for("the window to come back after Activate", self.main_window, deadline=30)
        menus = [w for w in self.windows() if w[0] != back[0]]
        if menus:
            raise Failure(f"Activate showed more than the window: {menus}")
        log(f"Activate opened the window ({back[1]}x{back[2]})")

        click("Quit Bonkly", reply=False)
        self.finish()
        self.check_folders(config, cache)

    def close_main_window(self):
        """Closes the window as its close button would; a close that does not take is sent again."""
        for _ in range(5):
            window = self.main_window()
            if window is None:
                return
            subprocess.run([self.tool, "close", window[0]], check=True)
            try:
                wait_for("the window to close", lambda: self.main_window() is None, deadline=10)
                return
            except Failure:
                pass
        raise Failure("the window did not close")

    def check_icon(self, pixmaps):
        sizes = sorted((int(w), int(h)) for w, h, _ in pixmaps)
        for side in SIZES:
            if (side, side) not in sizes:
                raise Failure(f"no {side} px pixmap among {sizes}")
        shown = sorted(((int(w), int(h), bytes(data)) for w, h, data in pixmaps), key=lambda p: p[0])
        for w, h, argb in shown:
            for panel_name, panel in PANELS.items():
                p90, reaching = contrast_p90(w, h, argb, panel)
                log(f"icon {w} px on the {panel_name} panel: 90th percentile contrast {p90:.2f} : 1, "
                    f"{reaching:.0%} of the opaque pixels reach 3 : 1")
                if p90 < 3.0:
                    raise Failure(f"the {w} px icon stands out from the {panel_name} panel by only {p90:.2f} : 1")
        for panel_name, panel in PANELS.items():
            picture(os.path.join(self.work, f"icon-{panel_name}.png"), shown, panel)

    def check_window_identity(self):
        window = wait_for("the main window", self.main_window)
        # What an X11 dock matches to the desktop entry's StartupWMClass.
        properties = subprocess.run(["xprop", "-id", window[0], "WM_CLASS"], capture_output=True, text=True).stdout
        if not re.search(r'^WM_CLASS\(STRING\) = "[^"]*", "Bonkly"$', properties, re.M):
            raise Failure("the window's class is not Bonkly: " + properties)
        log("window class Bonkly")

    def finish(self):
        wait_for("the application to end", lambda: self.app_process.poll() is not None)
        status = self.app_process.returncode
        with open(self.app_log) as log_file:
            output = log_file.read()
        # LeakSanitizer's own tracer can crash while it stops the exiting process's threads on a
        # loaded machine; then no leak check ran, and the application did nothing wrong.
        if status != 0 and "Tracer caught signal" in output and "LeakSanitizer has encountered a fatal error" in output:
            log(f"the leak checker's tracer crashed at exit (status {status}); no leak check this run")
            status = 0
        if status != 0:
            raise Failure(f"the application exited with status {status}")
        log("Quit Bonkly: exited with status 0")

    def check_folders(self, config, cache):
        if not os.path.isfile(os.path.join(config, "ThwackoApp", "ThwackoApp.plist")):
            raise Failure("the settings file is gone from the ThwackoApp folder")
        if not os.path.isfile(os.path.join(cache, "ThwackoApp", "openal.conf")):
            raise Failure("the sound output's settings are not in the ThwackoApp cache folder")
        strays = [os.path.join(root, name) for base in (config, cache) for root, dirs, files in os.walk(base)
                  for name in dirs + files if "bonkly" in name.lower()]
        if strays:
            raise Failure(f"files named after Bonkly: {strays}")
        log("settings and cache folders unchanged (ThwackoApp)")


def main():
    if sys.argv[1:] == ["--watcher"]:
        run_watcher()
        return 0
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    run = Run(*sys.argv[1:])
    try:
        run.run()
        return 0
    except Failure as failure:
        print(f"sni-run: FAILED: {failure}", file=sys.stderr)
        if run.app_process is not None:
            print("sni-run: the application's windows: " + repr(run.windows()), file=sys.stderr)
            try:
                with open(run.app_log) as log_file:
                    sys.stderr.write("".join("  app: " + line for line in log_file))
            except OSError:
                pass
        return 1
    finally:
        run.cleanup()


if __name__ == "__main__":
    sys.exit(main())
