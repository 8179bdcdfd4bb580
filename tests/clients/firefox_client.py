"""Firefox, headless, opens an https page that asks for a client certificate.

Usage: firefox_client.py FIREFOX PROFILE URL TOKEN   (the PIN on stdin)

PROFILE is a Firefox profile folder for the script alone (it writes the
profile's user.js), whose NSS database already has the module and trusts
the server. The script sets the profile to choose the client certificate
by itself, starts Firefox with Marionette (its remote protocol), puts an
answer to the browser's PIN prompt in place of the dialog
that headless Firefox cannot show, opens URL and prints how often the PIN
was asked, then the page's text. Exit 0 when the page loaded, 1 on a
browser error (printed), 2 on bad use.
"""

import json
import os
import socket
import subprocess
import sys
import time

MARK = "// written by firefox_client.py\n"

PREFS = {
    # Client authentication without the chooser dialog.
    "security.default_personal_cert": "Select Automatically",
    "marionette.port": 0,  # any free port; Firefox writes it to MarionetteActivePort
    # A quiet browser: no first-run pages, updates or outside connections.
    "browser.shell.checkDefaultBrowser": False,
    "browser.startup.homepage_override.mstone": "ignore",
    "browser.aboutwelcome.enabled": False,
    "datareporting.policy.dataSubmissionEnabled": False,
    "toolkit.telemetry.reportingpolicy.firstRun": False,
    "app.update.disabledForTesting": True,
    "network.connectivity-service.enabled": False,
    "network.captive-portal-service.enabled": False,
    "extensions.update.enabled": False,
    "browser.safebrowsing.update.enabled": False,
    "services.settings.server": "http://127.0.0.1:9/",
    "remote.prefs.recommended": True,
}

# Answers the browser's PIN prompt: a prompt service of our own takes the
# prompter's contract. Each question is counted in a pref.
ANSWER_PIN = """
const [pin] = arguments;
const asked = (text) => {
  Services.prefs.setIntPref("zorbix.pin.asked", Services.prefs.getIntPref("zorbix.pin.asked", 0) + 1);
  Services.prefs.setStringPref("zorbix.pin.text", String(text));
};
const prompt = {
  QueryInterface: ChromeUtils.generateQI(["nsIPrompt"]),
  promptPassword(title, text, password, checkMsg, check) { asked(text); password.value = pin; return true; },
};
const service = {
  QueryInterface: ChromeUtils.generateQI(["nsIPromptFactory", "nsIPromptService"]),
  getPrompt(win, iid) { return prompt.QueryInterface(iid); },
  promptPassword(parent, title, text, password, checkMsg, check) { asked(text); password.value = pin; return true; },
};
Components.manager.QueryInterface(Ci.nsIComponentRegistrar).registerFactory(
    Components.ID("{5f0c7a52-2d1e-4b8e-9a3c-7e61b0d4c2f9}"), "PIN answer", "@mozilla.org/prompter;1",
    { createInstance(iid) { return service.QueryInterface(iid); } });
return "ready";
"""

ASKED = 'return [Services.prefs.getIntPref("zorbix.pin.asked", 0), Services.prefs.getStringPref("zorbix.pin.text", "")];'



class Marionette:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=120)
        self.buf = b""
        self.id = 0
        self._read()  # the server's greeting

    def _read(self):
        while b":" not in self.buf:
            self._fill()
        head, _, self.buf = self.buf.partition(b":")
        size = int(head)
        while len(self.buf) < size:
            self._fill()
        body, self.buf = self.buf[:size], self.buf[size:]
        return json.loads(body)

    def _fill(self):
        data = self.sock.recv(65536)
        if not data:
            raise ConnectionError("Marionette closed the connection")
        self.buf += data

    def call(self, command, params=None):
        self.id += 1
        body = json.dumps([0, self.id, command, params or {}]).encode()
        self.sock.sendall(str(len(body)).encode() + b":" + body)
        while True:
            kind, msgid, error, result = self._read()
            if kind == 1 and msgid == self.id:
                if error:
                    raise RuntimeError("%s: %s" % (command, error.get("message") or error.get("error")))
                return result


def wait_port(profile, proc, seconds=60):
    path = os.path.join(profile, "MarionetteActivePort")
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("Firefox ended with status %d before Marionette started" % proc.returncode)
        try:
            with open(path) as f:
                text = f.read().strip()
            if text:
                return int(text)
        except (OSError, ValueError):
            pass
        time.sleep(0.1)
    raise RuntimeError("Marionette did not start within %d s" % seconds)


def main():
    if len(sys.argv) != 5:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    firefox, profile, url, token = sys.argv[1:]
    pin = sys.stdin.readline().rstrip("\n")
    try:
        os.remove(os.path.join(profile, "MarionetteActivePort"))
    except FileNotFoundError:
        pass
    # The prefs go to the profile's user.js: one of a user's own profiles
    # keeps its file, and the script stops.
    user_js = os.path.join(profile, "user.js")
    if os.path.exists(user_js):
        with open(user_js) as f:
            if f.readline() != MARK:
                print("firefox_client.py: %s is not ours; use a profile of its own" % user_js, file=sys.stderr)
                return 2
    with open(user_js, "w") as f:
        f.write(MARK)
        for name, value in PREFS.items():
            f.write("user_pref(%s, %s);\n" % (json.dumps(name), json.dumps(value)))

    env = dict(os.environ, MOZ_HEADLESS="1")
    # Firefox stays in this process group: whoever stops this script
    # stops the browser too.
    proc = subprocess.Popen([firefox, "--headless", "--marionette", "--remote-allow-system-access", "--no-remote",
                             "--profile", profile], stdin=subprocess.DEVNULL, stdout=sys.stderr, stderr=sys.stderr, env=env)
    try:
        m = Marionette(wait_port(profile, proc))
        m.call("WebDriver:NewSession", {})
        m.call("Marionette:SetContext", {"value": "chrome"})
        m.call("WebDriver:ExecuteScript", {"script": ANSWER_PIN, "args": [pin]})
        pin = None
        m.call("Marionette:SetContext", {"value": "content"})
        try:
            m.call("WebDriver:Navigate", {"url": url})
            text = m.call("WebDriver:ExecuteScript", {"script": "return document.body.innerText;"})["value"]
            failure = None
        except RuntimeError as e:
            text, failure = "", e
        m.call("Marionette:SetContext", {"value": "chrome"})
        asked = m.call("WebDriver:ExecuteScript", {"script": ASKED})["value"]
        print("PIN asked: %d (%s)" % tuple(asked))
        try:
            m.call("Marionette:Quit")
        except (ConnectionError, RuntimeError):
            pass
        if failure:
            print("firefox: %s" % failure)
            return 1
        print(text)
        return 0
    except (RuntimeError, ConnectionError, OSError) as e:
        print("firefox: %s" % e)
        proc.kill()
        return 1
    finally:
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


if __name__ == "__main__":
    sys.exit(main())
