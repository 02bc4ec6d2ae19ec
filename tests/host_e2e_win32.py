#!/usr/bin/env python3
"""End-to-end tests of the Windows build of the dovetrail program, run under Wine.

The environment names the program (DOVETRAIL_EXE, dovetrail.exe), the DLL (DOVETRAIL_PLUGIN),
the build tree's example (DOVETRAIL_EXAMPLES), the golden files (DOVETRAIL_GOLDEN), the program
that runs Windows programs (DOVETRAIL_WINE; empty on Windows itself) and the Linux build's program
(DOVETRAIL_LINUX_EXE), whose channels the Windows program's must equal byte for byte.

The web service is a native loopback server: Wine's programs share the machine's network, so the
DLL reaches it over WinINet.
"""

import http.server
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest


def _path(name):
    value = os.environ.get(name, "")
    return os.path.abspath(value) if value else ""


EXE = _path("DOVETRAIL_EXE")
PLUGIN = _path("DOVETRAIL_PLUGIN")
EXAMPLES = _path("DOVETRAIL_EXAMPLES")
GOLDEN = _path("DOVETRAIL_GOLDEN")
LINUX_EXE = _path("DOVETRAIL_LINUX_EXE")
WINE = os.environ.get("DOVETRAIL_WINE", "")

EX_USAGE, EX_NOINPUT, EX_UNAVAILABLE = 64, 66, 69
CHANNELS = ("lounge", "boards", "articles")


def run(*args, cwd=None, exe=None):
    """Runs the Windows program; returns (exit code, stdout bytes, stderr text)."""
    command = ([WINE] if WINE and exe is None else []) + [exe or EXE] + list(args)
    done = subprocess.run(command, cwd=cwd, capture_output=True, timeout=120)
    return done.returncode, done.stdout, done.stderr.decode("latin-1")


# The dates a converted feed carries: when it was made, so they differ between two runs.
_DATES = re.compile(rb"[A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT"
                    rb"|\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")


def dates_aside(text):
    return _DATES.sub(b"DATE", text)


def golden(name):
    with open(os.path.join(GOLDEN, name), "rb") as f:
        return f.read()


def copy_example(target):
    shutil.copytree(EXAMPLES, target, ignore=shutil.ignore_patterns("CMakeFiles", "*.cmake",
                                                                     "Dovetrail.log"))
    return os.path.join(target, "dovetrail.ini")


def expected_main_page(examples_dir):
    with open(os.path.join(examples_dir, "Dovetrail-MainPage.template"), "rb") as f:
        page = f.read()
    for name, value in zip(("LOUNGE", "MESSAGE-BOARDS", "ARTICLES"),
                           ("5 minutes", "15 minutes", "60 minutes")):
        page = page.replace(b"{%MIN-" + name.encode() + b"-UPDATE-INTERVAL%}", value.encode())
    return page


class AnswerService:
    """Serves a directory of answer files over HTTP on 127.0.0.1 and counts the requests."""

    def __init__(self, directory):
        self.lock = threading.Lock()
        self.paths = []
        service = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                with service.lock:
                    service.paths.append(self.path)
                name = os.path.join(directory, self.path.lstrip("/"))
                if os.path.isfile(name):
                    with open(name, "rb") as f:
                        status, body = 200, f.read()
                else:
                    status, body = 404, b"Not found: " + self.path.encode()
                self.send_response(status)
                self.send_header("Content-Type", "text/xml; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]

    def requested(self):
        with self.lock:
            return list(self.paths)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="dovetrail-e2e-win32-")
        self.addCleanup(shutil.rmtree, self.tmp, True)


class BundledExample(TempDirTest):
    """Every command on the bundled example, whose web service is a directory of files."""

    def test_every_command_with_the_default_configuration_and_plugin(self):
        cases = [
            (["channels"], golden("channels.txt")),
            (["channel", "lounge"], golden("lounge.rss")),
            (["channel", "boards"], golden("boards.rss")),
            (["channel", "articles"], golden("articles.rss")),
            (["intervals"], golden("intervals.txt")),
            (["intervals", "--json"], golden("intervals.json")),
            (["main-page"], expected_main_page(EXAMPLES)),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                code, out, err = run(*args, cwd=self.tmp)
                self.assertEqual((code, err), (0, ""))
                # Standard output is binary: the plug-in's "\n" stays "\n".
                self.assertEqual(out, expected)

    def test_output_files_and_relative_paths(self):
        copy_example(os.path.join(self.tmp, "example"))
        code, out, err = run("--config", "example/dovetrail.ini", "--plugin", PLUGIN, "channel",
                             *CHANNELS, "-o", "feeds", cwd=self.tmp)
        self.assertEqual((code, out, err), (0, b"", ""))
        for name in CHANNELS:
            with open(os.path.join(self.tmp, "feeds", name + ".rss"), "rb") as f:
                self.assertEqual(f.read(), golden(name + ".rss"))
        # The plug-in's log is a text file: Windows line ends.
        with open(os.path.join(self.tmp, "example", "Dovetrail.log"), "rb") as f:
            log = f.read()
        self.assertTrue(log, "the example's debug file switches logging on")
        self.assertEqual(log.count(b"\n"), log.count(b"\r\n"))

    def test_failures_and_exit_codes(self):
        ini = copy_example(os.path.join(self.tmp, "example"))
        with open(os.path.join(self.tmp, "example", "service", "lounge.xml"), "w") as f:
            f.write("<notclosed>")
        os.remove(os.path.join(self.tmp, "example", "Dovetrail-MainPage.template"))
        for args, code, message in [
            (["--config", ini, "channel", "lounge"], 1, "channel lounge: XML parse failed ("),
            (["--config", ini, "channel", "nope"], 5, "Unknown channel: nope"),
            (["--config", ini, "main-page"], 3,
             "Can't open the Dovetrail main page template file."),
            (["--config", "missing.ini", "intervals"], EX_NOINPUT, "missing.ini: No such file"),
            (["--plugin", "no-such-plugin.dll", "intervals"], EX_UNAVAILABLE,
             "Can't load the plug-in: no-such-plugin.dll"),
            (["--plugin", ini, "intervals"], EX_UNAVAILABLE, "Can't load the plug-in: "),
            (["serve"], EX_USAGE, "serve is not available in the Windows build"),
            ([], EX_USAGE, "a command is needed"),
        ]:
            with self.subTest(args=args):
                got, out, err = run(*args, cwd=self.tmp)
                self.assertEqual(got, code, err)
                self.assertEqual(out, b"")
                self.assertIn(message, err)


class OverWinINet(TempDirTest):
    """The example's answers from a loopback web service: the DLL downloads them with WinINet."""

    def setUp(self):
        super().setUp()
        self.service = AnswerService(os.path.join(EXAMPLES, "service"))
        self.addCleanup(self.service.close)
        with open(os.path.join(EXAMPLES, "dovetrail.ini"), "r", encoding="latin-1") as f:
            text = f.read()
        self.assertIn("HostName=service\n", text)
        os.mkdir(os.path.join(self.tmp, "web"))
        self.ini = os.path.join(self.tmp, "web", "dovetrail.ini")
        with open(self.ini, "w", encoding="latin-1") as f:
            f.write(text.replace("HostName=service\n", "HostName=%s\n" % self.service.url))
        shutil.copy(os.path.join(EXAMPLES, "Dovetrail-MainPage.template"),
                    os.path.join(self.tmp, "web"))

    def test_channels_equal_the_golden_files_and_the_linux_plugins_byte_for_byte(self):
        code, windows, err = run("--config", self.ini, "--plugin", PLUGIN, "channel", *CHANNELS)
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(windows, b"".join(golden(c + ".rss") for c in CHANNELS))
        requested = self.service.requested()
        for path in ("/lounge-interval.xml", "/boards-interval.xml", "/articles-interval.xml",
                     "/lounge.xml", "/boards.xml", "/articles.xml"):
            self.assertIn(path, requested)

        if not LINUX_EXE or not os.path.isfile(LINUX_EXE):
            self.fail("DOVETRAIL_LINUX_EXE does not name the Linux build's program: %r"
                      % LINUX_EXE)
        code, linux, err = run("--config", self.ini, "channel", *CHANNELS, exe=LINUX_EXE)
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(windows, linux)

    def test_intervals_and_main_page(self):
        code, out, err = run("--config", self.ini, "--plugin", PLUGIN, "intervals", "--json")
        self.assertEqual((code, err, out), (0, "", golden("intervals.json")))
        code, out, err = run("--config", self.ini, "--plugin", PLUGIN, "main-page")
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(out, expected_main_page(EXAMPLES))

    def test_feed_formats_and_opml_equal_the_linux_programs_dates_aside(self):
        if not LINUX_EXE or not os.path.isfile(LINUX_EXE):
            self.fail("DOVETRAIL_LINUX_EXE does not name the Linux build's program: %r"
                      % LINUX_EXE)
        # Values in Windows-1252 and with markup: converted by the same rules on both systems.
        with open(self.ini, "ab") as f:
            f.write(b"\n[cafe]\nChannelUrl=lounge.xml\nUpdateIntervalKind=lounge\n"
                    b"ChannelName=Caf\xe9 \x93Lounge\x94 & <friends>\n")
        channels = CHANNELS + ("cafe",)
        for fmt, ext in (("rss", "rss"), ("atom", "atom"), ("json", "json")):
            with self.subTest(format=fmt):
                outputs = {}
                for system, exe in (("windows", None), ("linux", LINUX_EXE)):
                    folder = os.path.join(self.tmp, system + "-" + fmt)
                    args = ["--config", self.ini, "channel", *channels, "--format", fmt, "-o",
                            folder, "--public-url", "http://feeds.example:8080"]
                    if exe is None:
                        args = ["--plugin", PLUGIN] + args
                    code, out, err = run(*args, exe=exe)
                    self.assertEqual((code, out, err), (0, b"", ""), system)
                    outputs[system] = []
                    for name in channels:
                        with open(os.path.join(folder, name + "." + ext), "rb") as f:
                            outputs[system].append(f.read())
                self.assertIn(b"http://feeds.example:8080/channels/lounge." + ext.encode(),
                              outputs["windows"][0])
                self.assertIn("Café “Lounge”".encode(), outputs["windows"][3])
                self.assertEqual([dates_aside(t) for t in outputs["windows"]],
                                 [dates_aside(t) for t in outputs["linux"]])
        code, windows, err = run("--config", self.ini, "opml")
        self.assertEqual((code, err), (0, ""))
        code, linux, err = run("--config", self.ini, "opml", exe=LINUX_EXE)
        self.assertEqual((code, err), (0, ""))
        self.assertIn("Café “Lounge” &amp; &lt;friends&gt;".encode(), windows)
        self.assertEqual(dates_aside(windows), dates_aside(linux))

    def test_an_error_status_and_an_unreachable_service_fail_with_their_hints(self):
        with open(self.ini, "a", encoding="latin-1") as f:
            f.write("\n[gone]\nChannelUrl=no-such-answer.xml\n")
        code, out, err = run("--config", self.ini, "--plugin", PLUGIN, "channel", "gone")
        self.assertEqual((code, out), (1, b""))
        self.assertIn("channel gone: Bad HTTP response: 404 Not Found: %s/no-such-answer.xml"
                      % self.service.url, err)

        port = self.service.url.rsplit(":", 1)[1]
        self.service.close()
        code, out, err = run("--config", self.ini, "--plugin", PLUGIN, "intervals")
        self.assertEqual((code, out), (1, b""))
        self.assertIn("Can't send the HTTP request: %s/lounge-interval.xml" % self.service.url,
                      err)
        # The reason comes from the Winsock probe.
        self.assertIn("dovetrail: hint: can't connect to 127.0.0.1 port %s: " % port, err)


def main():
    for name, value in (("DOVETRAIL_EXE", EXE), ("DOVETRAIL_PLUGIN", PLUGIN),
                        ("DOVETRAIL_EXAMPLES", EXAMPLES), ("DOVETRAIL_GOLDEN", GOLDEN)):
        if not value or not os.path.exists(value):
            print("host_e2e_win32: %s does not name an existing file: %r (build it first)"
                  % (name, value), file=sys.stderr)
            return 1
    suite = unittest.TestSuite()
    for case in (BundledExample, OverWinINet):
        suite.addTests(unittest.defaultTestLoader.loadTestsFromTestCase(case))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
