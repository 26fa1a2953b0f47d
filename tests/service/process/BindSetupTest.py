#!/usr/bin/python3
# The README's BIND set-up, run as written: its shell blocks and its
# named.conf.local block are taken from README.md itself (so the text and
# this test cannot drift), with /etc/pinmark, /etc/bind and /var/lib/bind
# moved into a temporary folder and the example server 192.0.2.53 replaced
# by named on a free loopback port. Then: the key folder and file are for
# root alone, named-checkconf and named-checkzone pass, the key works by
# hand, the update policy grants A and AAAA below the zone and nothing at
# the zone's own name nor of another type, and pinmark-service publishes a
# node's check-in with the very key file made.
#
#   BindSetupTest.py README.md PINMARK_SERVICE
import os
import re
import socket
import stat
import subprocess
import sys
import tempfile
import time
import urllib.request

README, SERVICE = sys.argv[1], sys.argv[2]
DIGEST = "5ebe2294ecd0e0f08eab7690d2a6ee69"  # MD5 of "secret"
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what, flush=True)


def blocks():
    """The fenced blocks of the README's DNS section, in order."""
    text = open(README).read()
    start = text.index("### Publishing nodes in DNS")
    section = text[start:text.index("\n### ", start + 1)]
    return re.findall(r"^```\n(.*?)^```$", section, re.S | re.M)


def block_with(text):
    found = [b for b in blocks() if text in b]
    if len(found) != 1:
        sys.exit(f"the DNS section has {len(found)} blocks with {text!r}, not one")
    return found[0]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


root = tempfile.mkdtemp(prefix="bind-setup-")
port = free_port()
os.makedirs(f"{root}/etc/bind")
os.makedirs(f"{root}/var/lib/bind")
os.makedirs(f"{root}/var/cache/bind")


def here(text):
    """Paths into the temporary folder, the example server to named's port."""
    for path in ("/etc/pinmark", "/etc/bind", "/var/lib/bind"):
        text = text.replace(path, root + path)
    text = text.replace("server 192.0.2.53", f"server 127.0.0.1 {port}")
    text = text.replace("@192.0.2.53", f"@127.0.0.1 -p {port}")
    if os.geteuid() != 0:  # only root may hand a file to the group bind
        group = subprocess.run(["id", "-gn"], capture_output=True, text=True).stdout.strip()
        text = text.replace("-g bind", f"-g {group}").replace("chown bind:bind", f"chown :{group}")
    return text


def run(script, what):
    """A README block in bash, stopping at the first failing command; systemctl is left to this test."""
    script = "\n".join(line for line in here(script).splitlines() if not line.startswith("systemctl "))
    r = subprocess.run(["bash", "-euo", "pipefail", "-c", script], capture_output=True, text=True, timeout=60)
    check(r.returncode == 0, f"{what} ends with {r.returncode}: {r.stderr}")
    return r.stdout


def kdig(*args):
    r = subprocess.run(["kdig", "@127.0.0.1", "-p", str(port), "+short", "+timeout=2", "+retry=1", *args],
                       capture_output=True, text=True, timeout=30)
    return r.stdout.split()


def nsupdate(lines):
    script = f"server 127.0.0.1 {port}\nzone dyn.example.org.\n{lines}\nsend\n"
    r = subprocess.run(["nsupdate", "-k", f"{root}/etc/pinmark/dns.key"], input=script, capture_output=True,
                       text=True, timeout=30)
    return r.returncode == 0, r.stderr


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return False


named = service = None
try:
    run(block_with("tsig-keygen"), "making the key")
    check(stat.S_IMODE(os.stat(f"{root}/etc/pinmark").st_mode) == 0o700, "/etc/pinmark is for root alone")
    check(stat.S_IMODE(os.stat(f"{root}/etc/pinmark/dns.key").st_mode) == 0o600, "the key is for root alone")
    run(block_with("install -m 640 -g bind"), "BIND's copy of the key")
    check(stat.S_IMODE(os.stat(f"{root}/etc/bind/pinmark-update.key").st_mode) == 0o640, "BIND's copy is 0640")

    # What Debian's named.conf holds around named.conf.local, on a port of this test's own.
    open(f"{root}/etc/bind/named.conf.local", "w").write(here(block_with("update-policy")))
    open(f"{root}/etc/bind/named.conf", "w").write(f"""options {{
    directory "{root}/var/cache/bind";
    listen-on port {port} {{ 127.0.0.1; }};
    listen-on-v6 {{ none; }};
    pid-file "{root}/named.pid";
    session-keyfile "{root}/session.key";
    managed-keys-directory "{root}/var/cache/bind";
    recursion no;
    dnssec-validation no;
}};
controls {{ }};
include "{root}/etc/bind/named.conf.local";
""")
    run(block_with("named-checkconf"), "writing and checking the zone")

    named = subprocess.Popen(["named", "-g", "-c", f"{root}/etc/bind/named.conf"], stdout=subprocess.DEVNULL,
                             stderr=open(f"{root}/named.log", "w"))
    if not wait_for(lambda: named.poll() is None and kdig("dyn.example.org.", "SOA"), 30):
        sys.exit("named did not serve the zone: " + open(f"{root}/named.log").read())

    out = run(block_with("nsupdate -k"), "trying the key by hand")
    check(out.split() == ["192.0.2.1"], f"kdig answers 192.0.2.1 after the update by hand, not {out!r}")
    cases = [
        ("update add two.levels.dyn.example.org. 60 AAAA 2001:db8::1", True, "AAAA below the zone"),
        ("update add dyn.example.org. 60 A 192.0.2.2", False, "A at the zone's own name"),
        ("update add txt.setup.dyn.example.org. 60 TXT \"x\"", False, "TXT below the zone"),
        ("update add outside.example.org. 60 A 192.0.2.3", False, "A outside the zone"),
    ]
    for line, granted, what in cases:
        ok, err = nsupdate(line)
        check(ok == granted, f"{what}: {'granted' if granted else 'refused'} by the policy, not {err!r}")
    check(kdig("dyn.example.org.", "A") == [], "the zone's own name holds no A record")

    # The service with the very key file the README made.
    log = open(f"{root}/service.log", "w+")
    service = subprocess.Popen([SERVICE, "--port", "0", "--account", "alice:" + DIGEST, "--dns-zone", "dyn.example.org",
                                "--dns-server", f"127.0.0.1:{port}", "--dns-key", f"{root}/etc/pinmark/dns.key"],
                               stdout=log, stderr=subprocess.STDOUT)
    listening = lambda: re.search(r"listening on 127\.0\.0\.1:(\d+)", open(f"{root}/service.log").read())
    if not wait_for(listening, 30):
        sys.exit("pinmark-service did not start: " + open(f"{root}/service.log").read())
    url = f"http://127.0.0.1:{listening().group(1)}/includes/r_update.php?userid=alice&enc={DIGEST}&node=laptop"
    answer = urllib.request.urlopen(urllib.request.Request(url, data=b"", method="POST"), timeout=30).read()
    check(answer == b"127.0.0.1", f"the check-in answers the caller's address, not {answer!r}")
    check(wait_for(lambda: kdig("laptop.alice.dyn.example.org.", "A") == ["127.0.0.1"], 60),
          "the node is published in BIND: " + open(f"{root}/service.log").read())
finally:
    for process in (service, named):
        if process is not None:
            process.terminate()
            process.wait(timeout=30)

if failures:
    sys.exit(f"{len(failures)} checks failed (files in {root})")
subprocess.run(["rm", "-rf", root])
print("the README's BIND set-up works as written")
