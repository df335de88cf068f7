#!/usr/bin/env python3
"""Tunnel start-up and idle cost, kelvo-tun next to plain wireguard-go and
next to `wg-quick up`.

In the namespace world of world.py (root only; client -> router -> server,
a full tunnel without PersistentKeepalive), measured side by side:
  1. time from "startTunnel" to the first handshake, against wireguard-go
     configured by `wg setconf` (plus addresses and a host route) for the
     same configuration;
  2. the same against `wg-quick up` on the same file (policy routing, its
     firewall marks; wireguard-go as its userspace implementation), both
     children of this script, rounds interleaved;
  3. RSS and CPU time of kelvo-tun and of its wireguard-go over an idle
     minute (the watchdog enabled and ticking), the RSS sampled in rounds
     through that minute.
Prints RATIO lines for scripts/run-bench.sh: every ratio is taken per round
(both sides measured in the same round) and printed as the median over the
rounds with its spread (min-max), as bench/ratio_reporter.h does.
"""
import os
import shutil
import signal
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import world as w  # noqa: E402

ROUNDS = 5
IDLE_SECONDS = 60


def ratio_line(name, ratios, note=""):
    """The RATIO line of per-round ratios: median, spread, rounds."""
    line = (f"RATIO {name}={statistics.median(ratios):.2f} "
            f"spread={min(ratios):.2f}-{max(ratios):.2f} rounds={len(ratios)}")
    return line + (f" {note}" if note else "")


def handshake_seen(world, ns, ifname):
    r = world.run("wg", "show", ifname, "latest-handshakes", ns=ns, check=False)
    return r.returncode == 0 and any(int(l.split()[1]) > 0 for l in r.stdout.splitlines()
                                     if len(l.split()) == 2)


def wait_handshake(world, ns, ifname, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if handshake_seen(world, ns, ifname):
            return True
        time.sleep(0.002)
    raise w.Failure(f"no handshake on {ifname}")


def plain_wireguard_go(world, conf_path, ifname):
    start = time.monotonic()
    p = world.spawn("wireguard-go", "-f", ifname, ns=world.client_ns)
    deadline = time.monotonic() + 10
    while not os.path.exists(f"/var/run/wireguard/{ifname}.sock"):
        if time.monotonic() > deadline:
            raise w.Failure("wireguard-go did not come up")
        time.sleep(0.002)
    world.run("wg", "setconf", ifname, conf_path, ns=world.client_ns)
    world.run("ip", "-n", world.client_ns, "addr", "add", w.CLIENT_TUN + "/32", "dev", ifname)
    world.run("ip", "-n", world.client_ns, "link", "set", ifname, "up")
    world.run("ip", "-n", world.client_ns, "route", "add", w.SERVER_TUN + "/32", "dev", ifname)
    world.ping()  # traffic starts the handshake, as keepalive does for kelvo-tun
    wait_handshake(world, world.client_ns, ifname)
    elapsed = time.monotonic() - start
    p.terminate()
    p.wait()
    return elapsed


def wg_quick_start(world, conf_path):
    """`wg-quick up` to the first handshake; the interface is the file's name."""
    ifname = os.path.basename(conf_path)[:-len(".conf")]
    env = dict(world.env, WG_QUICK_USERSPACE_IMPLEMENTATION="wireguard-go")
    log = open(os.path.join(world.dir, "wg-quick.log"), "a")

    def wg_quick(action):
        # Not a pipe: the wireguard-go it daemonizes keeps its output open.
        cmd = [w.IP, "netns", "exec", world.client_ns, "wg-quick", action, conf_path]
        if subprocess.run(cmd, stdout=log, stderr=log, env=env, timeout=30).returncode != 0:
            raise w.Failure(f"wg-quick {action} failed (see wg-quick.log)")

    start = time.monotonic()
    wg_quick("up")
    world.ping()
    wait_handshake(world, world.client_ns, ifname)
    elapsed = time.monotonic() - start
    wg_quick("down")
    return elapsed


def kelvo_tun_start(world, conf_file):
    start = time.monotonic()
    world.ctl("tunnel", "start", "--config", conf_file)
    world.ping()
    wait_handshake(world, world.client_ns, world.client_if)
    elapsed = time.monotonic() - start
    world.ctl("tunnel", "stop")
    return elapsed


def proc_usage(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return ticks / os.sysconf("SC_CLK_TCK"), rss


def wireguard_go_children(pid):
    out = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    stat = f.read()
                name = stat[stat.index("(") + 1:stat.rindex(")")]
                if int(stat.rsplit(")", 1)[1].split()[1]) == pid and name == "wireguard-go":
                    out.append(int(entry))
            except (OSError, ValueError):
                pass
    return out


def main():
    if os.geteuid() != 0:
        print("bench_tunnel: skipped (needs root)")
        return 0
    world = w.World(sys.argv[1] if len(sys.argv) > 1 else os.path.join(w.ROOT, "build/default"),
                    verbose=False)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))  # still clean up
    try:
        world.create()
        world.start_server(51820)
        world.start_service()
        conf = world.client_conf(51820)  # full tunnel, no keepalive: traffic starts it
        conf_file = os.path.join(world.dir, "client.conf")
        with open(conf_file, "w") as f:
            f.write(conf)
        quick_file = os.path.join(world.dir, f"k12q{os.getpid() % 10000}.conf")
        with open(quick_file, "w") as f:  # the same text; wg-quick names the interface after it
            f.write(conf)
        setconf = os.path.join(world.dir, "setconf.conf")
        with open(setconf, "w") as f:  # wg setconf knows no Address line
            f.write("\n".join(l for l in conf.splitlines() if not l.startswith("Address")) + "\n")
        world.write_service_state(conf, [], {})
        world.start_client()
        tun_pid = world.procs[-1].pid  # ip netns exec runs kelvo-tun in its place
        world.ctl("settings", "set", "wd_enabled", "1")

        kelvo, plain, quick = [], [], []
        for i in range(ROUNDS):  # interleaved, so all see the same machine
            kelvo.append(kelvo_tun_start(world, conf_file))
            plain.append(plain_wireguard_go(world, setconf, f"kwp{os.getpid() % 10000}{i}"))
            if shutil.which("wg-quick"):
                quick.append(wg_quick_start(world, quick_file))
        k, p = statistics.median(kelvo), statistics.median(plain)
        print(f"start to first handshake: kelvo-tun {k * 1000:.1f} ms, "
              f"wireguard-go + wg setconf {p * 1000:.1f} ms (medians of {ROUNDS})")
        print(ratio_line("tunnel_start_vs_wg_setconf", [a / b for a, b in zip(kelvo, plain)]))
        if quick:
            q = statistics.median(quick)
            print(f"full tunnel start to first handshake: kelvo-tun {k * 1000:.1f} ms, "
                  f"wg-quick up {q * 1000:.1f} ms (medians of {ROUNDS}, same file)")
            print(ratio_line("full_tunnel_start_vs_wg_quick", [a / b for a, b in zip(kelvo, quick)],
                             "(target 1.5 or less)"))

        world.ctl("tunnel", "start", "--config", conf_file)
        # wireguard-go is kelvo-tun's child.
        wg_pids = wireguard_go_children(tun_pid)
        tun_pids = [tun_pid] + wg_pids
        before = {pid: proc_usage(pid) for pid in tun_pids}
        rss_ratios = []
        for _ in range(ROUNDS):  # both processes sampled together, through the minute
            time.sleep(IDLE_SECONDS / ROUNDS)
            sample = {pid: proc_usage(pid) for pid in tun_pids}
            wg_rss = sum(sample[pid][1] for pid in wg_pids)
            if wg_rss:
                rss_ratios.append(sample[tun_pid][1] / wg_rss)
        after = sample
        cpu = {pid: after[pid][0] - before[pid][0] for pid in tun_pids}
        own_cpu, own_rss = cpu[tun_pid], after[tun_pid][1]
        wg_cpu = sum(cpu[pid] for pid in wg_pids)
        wg_rss = sum(after[pid][1] for pid in wg_pids)
        print(f"idle minute: kelvo-tun {own_cpu:.2f} s CPU, RSS {own_rss} KiB; "
              f"its wireguard-go {wg_cpu:.2f} s CPU, RSS {wg_rss} KiB")
        if rss_ratios:
            print(ratio_line("kelvo_tun_rss_vs_wireguard_go", rss_ratios))
        return 0
    except w.Failure as e:
        print(f"bench_tunnel: FAILED: {e}", file=sys.stderr)
        return 1
    finally:
        world.destroy()


if __name__ == "__main__":
    sys.exit(main())
