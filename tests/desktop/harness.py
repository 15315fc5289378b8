"""What the end-to-end tests of the window modes share: an installation laid out around the built executable
in a private folder, the program started with files for its streams, the stand-in companion. Run by each test
as `TEST.py EXECUTABLE SOURCE_DIR [CASE...]` with Debian's /usr/bin/python3 inside a session script.
"""

import json
import os
import pathlib
import select
import subprocess
import sys
import tempfile
import unittest
import urllib.request

# The desktop drivers, which the benchmarks and the screenshots use too.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "desktop"))
WORK = tempfile.TemporaryDirectory(prefix="tessaly-e2e-")
INSTALL = os.path.join(WORK.name, "install")
PROGRAM = os.path.join(INSTALL, "TessalySetup", "tessaly-setup")
SNIPPET = ('{\n  "mcpServers": {\n    "tessaly": {\n      "command": '
           f'"{os.path.join(INSTALL, "tessaly-mcp")}"\n    }}\n  }}\n}}')  # what the status item copies
INTENT = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ_-01234"
REQUEST = json.dumps({"intentId": INTENT, "code": "042917", "label": "<b>Codes match</b>   Q&A", "port": 51234,
                      "fingerprint": "0123456789abcdef"}).encode() + b"\n"


def main(*default_cases):
    """Lays the installation out and runs the named cases of the calling test, or default_cases, or all."""
    executable, source_dir = sys.argv[1:3]
    subprocess.run(["bash", os.path.join(source_dir, "scripts", "lay-out-installation.sh"), INSTALL, executable],
                   check=True, stdout=subprocess.DEVNULL)
    unittest.main(argv=sys.argv[:1] + (sys.argv[3:] or list(default_cases)), verbosity=2)


def environment(**changes):
    """This session's environment for a window mode read through the accessibility bus; None unsets."""
    env = {**os.environ, "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1", "QT_QPA_PLATFORM": "xcb", **changes}
    return {name: value for name, value in env.items() if value is not None}


def written(process):
    return tuple(os.pread(stream.fileno(), 1 << 20, 0) for stream in process.outputs)


def finish(process, timeout=20):
    """Waits for the program to end; answers its status and what it wrote to its two streams."""
    if process.stdin:
        process.stdin.close()
    return (process.wait(timeout=timeout), *written(process))


def stop(process):
    """Ends a process that a case left running. One that failed on its own may have said why only here."""
    if process.poll() is None:
        process.kill()
    elif process.returncode and written(process)[1]:
        print(f"\n{process.args[0]} ended with {process.returncode}:\n{written(process)[1].decode(errors='replace')}",
              file=sys.stderr)
    process.wait()
    for stream in filter(None, (process.stdin, *process.outputs)):
        stream.close()


def processes(match):
    """The live processes whose argument list satisfies match (a zombie's is empty)."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                if match(cmdline.read().split(b"\0")[:-1]):
                    found.append(int(entry))
        except OSError:
            continue
    return found


def read_file(path):  # files appear whole, by a rename
    return pathlib.Path(path).read_bytes() if os.path.exists(path) else None


def write_file(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    pathlib.Path(path).write_text(text)
    os.chmod(path, mode)
    return path


def clipboard():
    return subprocess.run(["xclip", "-o", "-selection", "clipboard"], capture_output=True, timeout=10).stdout


class Case(unittest.TestCase):
    def start(self, *arguments, program=PROGRAM, env=None, stdin=subprocess.PIPE):
        """Files for its output: a child it starts shares them and may outlive it, and a long report must not
        hold it up at its exit."""
        outputs = tempfile.TemporaryFile(dir=WORK.name), tempfile.TemporaryFile(dir=WORK.name)
        process = subprocess.Popen([program, *arguments], stdin=stdin, stdout=outputs[0], stderr=outputs[1],
                                   env=env or environment())
        process.outputs = outputs
        self.addCleanup(stop, process)
        return process

    def companion(self, session, *options):
        companion = Companion(session, *options)
        self.addCleanup(companion.stop)
        return companion


class Companion:
    """The stand-in companion, which writes the session file the program reads."""

    def __init__(self, session, *options):
        self.errors = tempfile.TemporaryFile(dir=WORK.name)
        self.process = subprocess.Popen([os.path.join(INSTALL, "tessaly-mcp"), "--session", session, *options],
                                        stdout=subprocess.PIPE, stderr=self.errors, text=True)
        ready = self.process.stdout.readline() if select.select([self.process.stdout], [], [], 20)[0] else ""
        if not ready.startswith("ready port="):
            self.stop()
            raise AssertionError(f"the stand-in companion did not start: {ready!r} "
                                 f"{os.pread(self.errors.fileno(), 4096, 0)}")
        self.port = int(ready.split()[1].split("=")[1])
        with open(session) as file:
            self.url = json.load(file)["pairUrl"]

    def post(self, route):
        request = urllib.request.Request(f"http://127.0.0.1:{self.port}{route}", method="POST",
                                         data=json.dumps({"token": self.url.split("#token=")[1]}).encode(),
                                         headers={"content-type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as answer:
            assert answer.status == 200, answer.status

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        self.process.stdout.close()
        self.errors.close()

