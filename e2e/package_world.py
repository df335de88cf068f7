#!/usr/bin/env python3
"""The Debian package, installed as a desktop would use it.

As root: builds (or takes) kelvo_<version>_<arch>.deb, checks its file list,
dependencies and lintian, unpacks it into a scratch root, verifies its units
with systemd-analyze, applies its sysusers and tmpfiles entries, then runs
the unpacked programs: kelvo-tun as root on its default socket
/run/kelvo/tunnel.sock (memory adapter), kelvo and kelvoctl as the user
nobody with the group kelvo as a supplementary group (setpriv).

Everything it makes (the group kelvo when it was missing, /run/kelvo, the
scratch root, the processes) is removed at the end, also on failure.
"""
import argparse
import base64
import grp
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GROUP_ID = "group.net.kelvo.app"
SYSTEM_SOCKET = "/run/kelvo/tunnel.sock"
NOBODY = 65534
EXPECTED_FILES = [
    "./usr/bin/kelvo", "./usr/bin/kelvo-tun", "./usr/bin/kelvoctl",
    "./usr/share/kelvo/bundle.json",
    "./lib/systemd/system/kelvo-tun.service",
    "./usr/lib/systemd/user/kelvo.service",
    "./usr/lib/sysusers.d/kelvo.conf",
    "./usr/lib/tmpfiles.d/kelvo.conf",
    "./etc/xdg/autostart/net.kelvo.app.desktop",
    "./usr/share/man/man1/kelvo.1.gz", "./usr/share/man/man1/kelvoctl.1.gz",
    "./usr/share/man/man8/kelvo-tun.8.gz",
    "./usr/share/doc/kelvo/copyright", "./usr/share/doc/kelvo/changelog.gz",
]
# Build, test and fuzz tools have no business among the dependencies.
FORBIDDEN_DEPENDS = re.compile(
    r"^(gcc|g\+\+|clang|cmake|ninja-build|python3|googletest)(-|$)|gtest|gmock|benchmark|-dev$")


class Failure(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Failure(what)
    print(f"  ok: {what}", flush=True)


class World:
    def __init__(self, deb, prefix):
        self.deb = deb
        self.dir = tempfile.mkdtemp(prefix=prefix + "-")
        os.chmod(self.dir, 0o755)
        self.root = os.path.join(self.dir, "root")
        self.bin = os.path.join(self.root, "usr/bin")
        self.app_groups = os.path.join(self.root, "var/lib/kelvo/app-groups")
        self.container = os.path.join(self.app_groups, GROUP_ID)
        self.state = os.path.join(self.root, "var/lib/kelvo")
        self.user_home = os.path.join(self.dir, "home")
        self.procs = {}
        self.made_group = False
        self.made_run = False
        self.gid = None

    # -- processes ---------------------------------------------------------
    def root_env(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
        env["KELVO_APP_GROUP_ROOT"] = self.app_groups
        return env

    def user_env(self):
        return {"PATH": "/usr/bin:/bin", "HOME": self.user_home,
                "XDG_RUNTIME_DIR": os.path.join(self.user_home, "run"),
                "KELVO_APP_GROUP_ROOT": self.app_groups}

    def as_user(self, args, with_group=True):
        groups = [f"--groups={self.gid}"] if with_group else ["--clear-groups"]
        return ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", *groups, "--"] + args

    def run_user(self, *args, with_group=True, expect=0):
        cmd = self.as_user([os.path.join(self.bin, "kelvoctl"), *args], with_group)
        r = subprocess.run(cmd, env=self.user_env(), capture_output=True, text=True, timeout=60)
        if expect is not None and r.returncode != expect:
            raise Failure(f"kelvoctl {' '.join(args)}: exit {r.returncode} (wanted {expect})\n"
                          f"stdout: {r.stdout}\nstderr: {r.stderr}")
        return r

    def call(self, method, args=None, expect=0):
        extra = [json.dumps(args)] if args is not None else []
        r = self.run_user("call", "drimo/wg_ios", method, *extra, expect=expect)
        return json.loads(r.stdout) if r.stdout.strip() else None

    def start_tun(self):
        log = open(os.path.join(self.dir, "kelvo-tun.log"), "a")
        self.procs["tun"] = subprocess.Popen(
            [os.path.join(self.bin, "kelvo-tun"), "--adapter", "memory", "--resume",
             "--state-dir", self.state, "--foreground"],
            env=self.root_env(), stdout=log, stderr=log)
        self.wait(lambda: os.path.exists(SYSTEM_SOCKET) and self.profiles(), "kelvo-tun serving")

    def start_host(self):
        log = open(os.path.join(self.dir, "kelvo.log"), "a")
        self.procs["host"] = subprocess.Popen(
            self.as_user([os.path.join(self.bin, "kelvo"), "--foreground"]),
            env=self.user_env(), stdout=log, stderr=log)
        engine = os.path.join(self.user_home, "run/kelvo/engine.sock")
        self.wait(lambda: os.path.exists(engine), "kelvo serving its engine socket")

    def stop(self, name, sig=signal.SIGTERM):
        p = self.procs.pop(name, None)
        if p and p.poll() is None:
            p.send_signal(sig)
            try:
                p.wait(timeout=15)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    def profiles(self):
        d = os.path.join(self.container, "tunnels")
        return os.path.isdir(d) and any(f.endswith(".json") for f in os.listdir(d))

    def wait(self, cond, what, seconds=20):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if cond():
                return
            time.sleep(0.05)
        raise Failure(f"timed out waiting for: {what}")

    def status(self):
        r = self.run_user("tunnel", "status", expect=None)
        # The state, without the newest handshake's age that may follow it.
        return r.stdout.strip().split(",")[0]

    # -- set-up and tear-down ---------------------------------------------
    def setup(self):
        if os.path.exists(SYSTEM_SOCKET):
            raise Failure(f"{SYSTEM_SOCKET} exists: a kelvo-tun already runs here")
        try:
            grp.getgrnam("kelvo")
        except KeyError:
            self.made_group = True
        self.made_run = not os.path.exists("/run/kelvo")
        os.makedirs(os.path.join(self.user_home, "run"))
        for d in (self.user_home, os.path.join(self.user_home, "run")):
            os.chown(d, NOBODY, NOBODY)
            os.chmod(d, 0o700)

    def destroy(self):
        for name in list(self.procs):
            self.stop(name, signal.SIGKILL)
        if self.made_run:
            shutil.rmtree("/run/kelvo", ignore_errors=True)
        elif os.path.exists(SYSTEM_SOCKET):
            os.unlink(SYSTEM_SOCKET)
        if self.made_group:
            subprocess.run(["groupdel", "kelvo"], check=False, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.dir, ignore_errors=True)

    def reset_container(self):
        shutil.rmtree(self.container, ignore_errors=True)


def conf():
    key = lambda: base64.b64encode(os.urandom(32)).decode()
    return (f"[Interface]\nPrivateKey = {key()}\nAddress = 10.13.0.2/32\n\n"
            f"[Peer]\nPublicKey = {key()}\nAllowedIPs = 10.13.0.0/24\n"
            f"Endpoint = 127.0.0.1:51820\nPersistentKeepalive = 25\n")


def package_checks(w):
    print("package:", w.deb, flush=True)
    listing = subprocess.run(["dpkg-deb", "-c", w.deb], capture_output=True, text=True,
                             check=True).stdout
    files = {line.split()[-1] for line in listing.splitlines()}
    for f in EXPECTED_FILES:
        check(f in files, f"the package holds {f}")
    check(not any("_test" in f or "bench" in f for f in files), "no test or bench programs")
    depends = subprocess.run(["dpkg-deb", "-f", w.deb, "Depends"], capture_output=True,
                             text=True, check=True).stdout.strip()
    print("  Depends:", depends)
    names = [d.strip().split()[0] for d in depends.replace("|", ",").split(",")]
    check("wireguard-go" in names, "depends on wireguard-go")
    check(any(n.startswith("libcurl") for n in names) and any(n.startswith("libsqlite3")
                                                              for n in names),
          "depends on the shared libraries (libcurl, libsqlite3)")
    bad = [n for n in names if FORBIDDEN_DEPENDS.search(n)]
    check(not bad, f"no build, test or fuzz package among the dependencies {bad}")
    lint = subprocess.run(["lintian", "--fail-on", "error", "--tag-display-limit", "0", w.deb],
                          capture_output=True, text=True)
    print("  lintian:", (lint.stdout + lint.stderr).strip().replace("\n", "\n  ") or "clean")
    check(lint.returncode == 0, "lintian reports no errors")

    subprocess.run(["dpkg-deb", "-x", w.deb, w.root], check=True)
    # The units name /usr/bin/...: the unpacked programs are laid over
    # /usr/bin in a mount namespace of their own, so verify finds them
    # without anything being installed.
    xdg = os.path.join(w.dir, "xdg")
    os.makedirs(xdg)
    for unit, user in (("lib/systemd/system/kelvo-tun.service", False),
                       ("usr/lib/systemd/user/kelvo.service", True)):
        verify = f"systemd-analyze verify --man=no {'--user' if user else ''} " \
                 f"{os.path.join(w.root, unit)}"
        script = ("mount --make-rprivate / && mount -t overlay overlay -o "
                  f"lowerdir={w.bin}:/usr/bin /usr/bin && {verify}")
        r = subprocess.run(["unshare", "-m", "sh", "-c", script], capture_output=True,
                           text=True, env=dict(os.environ, XDG_RUNTIME_DIR=xdg))
        check(r.returncode == 0 and not (r.stdout + r.stderr).strip(),
              f"systemd-analyze verify {unit} {(r.stdout + r.stderr).strip()}")
    for prog in ("kelvo", "kelvo-tun", "kelvoctl"):
        r = subprocess.run([os.path.join(w.bin, prog), "--version"], capture_output=True,
                           text=True)
        check(r.returncode == 0 and r.stdout.startswith(prog + " "), f"{prog} --version: "
              + r.stdout.strip())

    # The package's own entries make the group and the container (the
    # tmpfiles lines rewritten into the scratch root).
    sysusers = os.path.join(w.root, "usr/lib/sysusers.d/kelvo.conf")
    subprocess.run(["systemd-sysusers", sysusers], check=True)
    w.gid = grp.getgrnam("kelvo").gr_gid
    tmpfiles = open(os.path.join(w.root, "usr/lib/tmpfiles.d/kelvo.conf")).read()
    scratch_tmpfiles = os.path.join(w.dir, "kelvo-tmpfiles.conf")
    open(scratch_tmpfiles, "w").write(tmpfiles.replace(" /var/lib/", f" {w.root}/var/lib/"))
    subprocess.run(["systemd-tmpfiles", "--create", scratch_tmpfiles], check=True)
    st = os.stat(w.container)
    check(stat.S_IMODE(st.st_mode) == 0o2770 and st.st_gid == w.gid and st.st_uid == 0,
          "tmpfiles made the container 02770 root:kelvo")


def shared_use(w, first):
    """The root tunnel and the user's host and kelvoctl, across two uids."""
    print(f"the container made by {first} first", flush=True)
    w.reset_container()
    if first == "kelvo":
        # The user may make it only where the root lets the group write.
        os.chown(w.app_groups, 0, w.gid)
        os.chmod(w.app_groups, 0o1770)
        w.start_host()
        w.wait(lambda: os.path.isdir(w.container), "kelvo making the container")
        w.start_tun()
    else:
        os.chown(w.app_groups, 0, 0)
        os.chmod(w.app_groups, 0o755)
        w.start_tun()
        w.start_host()
    st = os.stat(w.container)
    check(stat.S_IMODE(st.st_mode) == 0o2770 and st.st_gid == w.gid,
          f"container 02770 group kelvo (owner uid {st.st_uid})")
    sock = os.stat(SYSTEM_SOCKET)
    check(stat.S_IMODE(sock.st_mode) == 0o660 and sock.st_gid == w.gid and sock.st_uid == 0,
          "the control socket is /run/kelvo/tunnel.sock, 0660 root:kelvo")

    cfg = os.path.join(w.user_home, "my.conf")
    with open(cfg, "w") as f:
        f.write(conf())
    os.chown(cfg, NOBODY, NOBODY)
    w.run_user("tunnel", "start", "--config", cfg)
    check(w.status() == "connected (3)", "kelvoctl tunnel status as the user: connected (3)")
    memory = os.path.join(w.state, "tunnel-kelvo0.conf")
    mst = os.stat(memory)
    check(stat.S_IMODE(mst.st_mode) == 0o600 and mst.st_uid == 0,
          "the started tunnel is remembered 0600 root")
    check(w.run_user("tunnel", "stats").stdout.strip() != "", "kelvoctl tunnel stats")
    check(w.run_user("tunnel", "ping").stdout.strip() == "pong", "kelvoctl tunnel ping: pong")
    check(w.run_user("tunnel", "debug").stdout.strip() != "", "kelvoctl tunnel debug")
    check(w.call("pingTunnel") == "pong", "the host's pingTunnel: pong")
    check(isinstance(w.call("getRuntimeStats"), str), "the host's getRuntimeStats")
    check("NO_ACTIVE_TUNNEL" not in w.call("watchdogDebug"), "the host's watchdogDebug")
    check(w.call("appGroupSet", {"key": "wd_enabled", "value": "1"}) is True, "appGroupSet")
    check(w.call("appGroupGet", {"key": "wd_enabled"}) == "1", "appGroupGet")
    w.run_user("settings", "set", "wd_notif_body", first)
    check(w.call("appGroupGet", {"key": "wd_notif_body"}) == first,
          "kelvoctl settings and the host share the store")
    check(w.call("appGroupGet", {"key": "wd_debug"}) not in (None, ""),
          "the root tunnel's debug line reaches the user's host")


def refusals(w):
    print("refusals", flush=True)
    r = w.run_user("tunnel", "status", with_group=False, expect=None)
    check(r.returncode != 0 and
          f"permission denied on {SYSTEM_SOCKET}: add yourself to the group kelvo" in r.stderr,
          f"without the group: refused, exit {r.returncode}: {r.stderr.strip()}")
    r = w.run_user("tunnel", "ping", with_group=False, expect=None)
    check(r.returncode != 0 and "add yourself to the group kelvo" in r.stderr,
          "without the group: ping refused")

    os.chmod(w.container, 0o755)
    r = w.run_user("settings", "get", "wd_enabled", expect=None)
    check(r.returncode != 0 and w.container in r.stderr and "expected mode 2770, group kelvo"
          in r.stderr, f"a container of mode 0755 is reported: {r.stderr.strip()}")
    os.chmod(w.container, 0o2770)

    db = os.path.join(w.container, "defaults.sqlite3")
    for suffix in ("-wal", "-shm"):
        if os.path.exists(db + suffix):
            os.unlink(db + suffix)
    os.rename(db, db + ".old")
    os.mkdir(db)  # in the way of the database file: nothing can be stored
    r = w.run_user("call", "drimo/wg_ios", "appGroupSet",
                   json.dumps({"key": "wd_access_token", "value": "t"}), expect=None)
    reply = json.loads(r.stdout) if r.stdout.strip() else {}
    check(r.returncode != 0 and reply.get("code") == "STORAGE_ERROR" and db in reply.get(
        "message", ""), f"appGroupSet on a store that cannot be written: {reply}")
    os.rmdir(db)
    os.rename(db + ".old", db)


def package_info(w):
    info = json.loads(w.run_user("call", "dev.fluttercommunity.plus/package_info",
                                 "getAll").stdout)
    bundle = json.load(open(os.path.join(w.root, "usr/share/kelvo/bundle.json")))
    check(info.get("version") == bundle["CFBundleShortVersionString"] and
          info.get("appName") == "Kelvo", f"package information from the unpacked bundle.json: "
          f"{info.get('appName')} {info.get('version')}")


def resume(w):
    print("resume", flush=True)
    w.stop("tun", signal.SIGKILL)
    w.start_tun()
    w.wait(lambda: w.status() == "connected (3)", "the remembered tunnel running again")
    check(True, "--resume brings back the last tunnel after SIGKILL")
    w.run_user("tunnel", "stop")
    check(not os.path.exists(os.path.join(w.state, "tunnel-kelvo0.conf")),
          "kelvoctl tunnel stop forgets the tunnel")
    w.stop("tun")
    w.start_tun()
    check(w.status().startswith("disconnected"), "after a stop, --resume starts nothing")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--deb", help="the package (default: build it with make deb)")
    parser.add_argument("--prefix", default="kelvo-package",
                        help="prefix of the scratch directory")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("package world: needs root", file=sys.stderr)
        return 1
    deb = args.deb
    if not deb:
        out = subprocess.run(["bash", os.path.join(ROOT, "packaging/build-deb.sh")],
                             check=True, capture_output=True, text=True).stdout
        deb = out.strip().splitlines()[-1]
    w = World(deb, args.prefix)
    started = time.monotonic()
    try:
        w.setup()
        package_checks(w)
        shared_use(w, "kelvo-tun")
        refusals(w)
        package_info(w)
        resume(w)
        w.stop("host")
        w.stop("tun")
        shared_use(w, "kelvo")
        print(f"package world: all checks passed in {time.monotonic() - started:.0f} s")
        return 0
    except (Failure, subprocess.CalledProcessError) as e:
        print(f"package world: FAILED: {e}", file=sys.stderr)
        for name in ("kelvo-tun.log", "kelvo.log"):
            path = os.path.join(w.dir, name)
            if os.path.exists(path):
                print(f"--- {name}\n" + open(path).read()[-4000:], file=sys.stderr)
        return 1
    finally:
        w.destroy()


if __name__ == "__main__":
    sys.exit(main())
