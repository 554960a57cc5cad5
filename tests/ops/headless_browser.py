"""Debian's Chromium, headless, driven through WebDriver by Debian's chromedriver.

    with HeadlessBrowser(budget=90) as browser:
        browser.viewport(1366, 768)
        browser.driver.get(url)
        png = browser.screenshot()

Nothing is fetched: both binaries come from Debian's packages (CHROMIUM_BIN,
CHROMEDRIVER_BIN override their paths) and Selenium is given the driver's path,
so it never looks for one. Leaving the block kills by PID whatever is left of
chromedriver and the browser processes it started, after quitting the session
when the block ended normally; the time budget (SIGALRM) and SIGTERM end the
block with BrowserError.
"""
import os
import shutil
import signal
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.remote.remote_connection import RemoteConnection

CHROMIUM_BIN = os.environ.get("CHROMIUM_BIN", "/usr/lib/chromium/chromium")
CHROMEDRIVER_BIN = os.environ.get("CHROMEDRIVER_BIN", "/usr/bin/chromedriver")

# Headless as root in a closed network: no sandbox (it refuses root), no GPU,
# and none of the background connections (updates, sync, QUIC probes) that
# the network would refuse.
FLAGS = (
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-dev-shm-usage",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-extensions",
    "--hide-scrollbars",
    "--lang=en-US",
)


class BrowserError(Exception):
    """The browser could not be used, or the budget ran out."""


def _on_signal(signum, _frame):
    # Raised wherever the caller is, so that leaving the block cleans up.
    raise BrowserError(f"stopped by signal {signum} (time budget exceeded?)")


def _stat_fields(pid):
    """The fields of /proc/PID/stat after the command name, or None."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read().decode("ascii", "replace")
    except OSError:
        return None
    return stat[stat.rfind(")") + 2 :].split()


def _start_time(pid):
    fields = _stat_fields(pid)
    return None if fields is None else fields[19]


def _descendants(root):
    """{pid: start time} of every process below root."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            fields = _stat_fields(entry)
            if fields is not None:
                children.setdefault(int(fields[1]), []).append(int(entry))
    found, todo = {}, [root]
    while todo:
        for pid in children.get(todo.pop(), []):
            start = _start_time(pid)
            if start is not None:
                found[pid] = start
                todo.append(pid)
    return found


class HeadlessBrowser:
    def __init__(self, budget, log=os.devnull):
        self._budget = budget
        self._log = log
        self._profile = None
        self._service = None
        self._processes = {}
        self.driver = None

    def __enter__(self):
        signal.signal(signal.SIGTERM, _on_signal)
        signal.signal(signal.SIGALRM, _on_signal)
        signal.alarm(self._budget)
        try:
            # Every WebDriver request, quit included, gives up inside the budget.
            RemoteConnection.set_timeout(30)
            for path in (CHROMEDRIVER_BIN, CHROMIUM_BIN):
                if not os.access(path, os.X_OK):
                    raise BrowserError(f"{path} is not an executable")
            self._profile = tempfile.mkdtemp(prefix="tarvo-chromium.")
            options = webdriver.ChromeOptions()
            options.binary_location = CHROMIUM_BIN
            for flag in FLAGS + (f"--user-data-dir={self._profile}",):
                options.add_argument(flag)
            self._service = Service(executable_path=CHROMEDRIVER_BIN, log_path=self._log)
            self.driver = webdriver.Chrome(service=self._service, options=options)
            self._record()
            self.driver.set_page_load_timeout(30)
        except BaseException:
            self._stop(quit_session=False)
            raise
        return self

    def __exit__(self, exc_type, _exc, _tb):
        # After a failure the session may be stuck in a command (a page that
        # never loads keeps quit waiting for the page-load time-out): then
        # the processes are only killed.
        self._stop(quit_session=exc_type is None)
        return False

    def viewport(self, width, height):
        """Makes the page's visible area exactly width x height CSS pixels
        (a headless window's size counts browser furniture that is not drawn)."""
        self.driver.execute_cdp_cmd(
            "Emulation.setDeviceMetricsOverride",
            {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False},
        )

    def screenshot(self):
        """The visible area as PNG bytes."""
        return self.driver.get_screenshot_as_png()

    def _record(self):
        process = getattr(self._service, "process", None)
        if process is not None:
            self._processes.setdefault(process.pid, _start_time(process.pid))
            self._processes.update(_descendants(process.pid))

    def _stop(self, quit_session):
        signal.alarm(0)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        # Also what the browser started after the first look, or all of it
        # when the session never came up.
        self._record()
        if self.driver is not None and quit_session:
            try:
                self.driver.quit()
            except Exception:
                pass
        self.driver = None
        # A PID taken by another process since (another start time) is left
        # alone.
        for pid, start in self._processes.items():
            if start is not None and _start_time(pid) == start:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        self._processes = {}
        if self._profile is not None:
            shutil.rmtree(self._profile, ignore_errors=True)
            self._profile = None
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
