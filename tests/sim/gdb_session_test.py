#!/usr/bin/python3
"""GDB itself (gdb-multiarch, in batch mode) on the chip image on snt-sim's
Cortex-M0 core, as a firmware developer uses it.

The same sweep runs twice on the chip image: once alone, once under GDB
(--gdb on a free port, --gdb-wait). GDB attaches at the reset vector,
watches the receiver's hand-over word change as each of the two command
lines arrives, breaks at the ADC handler's first instruction once the sweep
has started, reads nstep, Q1 and the stacked registers, steps, finds the
identification text in flash, reads the virtual time (which stands still
while the core is halted) and continues to the end of the run. The debugged
run must give the same bytes on the serial line and the same virtual time
as the run alone. Then a GDB that goes away leaves the board running, and
the next one attaches and kills the run.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

PATIENCE = 300  # seconds for a whole run on a loaded machine
COMMANDS = b"f 1000000\rr 10000 30\r"

GDB_SCRIPT = r"""
set pagination off
set confirm off
target remote 127.0.0.1:{port}
echo @@reset\n
info symbol $pc
watch *(volatile unsigned int *)&rx_byte_f
continue
echo @@first_line\n
printf "word %u\n", *(volatile unsigned int *)&rx_byte_f
continue
continue
echo @@second_line\n
printf "word %u\n", *(volatile unsigned int *)&rx_byte_f
delete
break *ADC1_IRQHandler
continue
echo @@adc\n
info symbol $pc
printf "nstep %d\n", *(volatile int *)&nstep
printf "Q1 %f\n", *(volatile float *)&Q1
printf "lr 0x%08x\n", $lr
printf "sp 0x%08x msp 0x%08x\n", $sp, $msp
printf "frame 0x%08x 0x%08x\n", *(unsigned int *)($sp + 24), *(unsigned int *)($sp + 28)
echo @@cycles\n
monitor cycles
monitor cycles
stepi
stepi
stepi
printf "pc after steps 0x%08x\n", $pc
monitor cycles
echo @@stats\n
monitor stats
echo @@ident\n
find /b 0x08000000, 0x08003bff, '1', '.', '3', ';', 'V', 'O', 'R', 'N'
x/s $_
echo @@end\n
delete
continue
"""


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def stats_of(text):
    return dict(line.split(" ", 1) for line in text.splitlines() if re.match(r"^[a-z][\w.]* \S+$", line))


def run_alone(sim, image, work):
    with open(os.path.join(work, "in"), "wb") as f:
        f.write(COMMANDS)
    with open(os.path.join(work, "in"), "rb") as stdin:
        r = subprocess.run([sim, "--image", image, "--stats"], stdin=stdin, capture_output=True, timeout=PATIENCE)
    check(r.returncode == 0, "snt-sim alone exited %d: %s" % (r.returncode, r.stderr.decode()))
    return r.stdout, stats_of(r.stderr.decode())


def wait_for_port(err_path, sim):
    deadline = time.monotonic() + PATIENCE
    while time.monotonic() < deadline:
        with open(err_path) as f:
            m = re.search(r"waiting for GDB at 127\.0\.0\.1:(\d+)", f.read())
        if m:
            return int(m.group(1))
        check(sim.poll() is None, "snt-sim --gdb ended before it listened")
        time.sleep(0.05)
    raise Failure("snt-sim --gdb did not listen")


def section(out, name):
    m = re.search(r"@@%s\n(.*?)(?=@@|\Z)" % name, out, re.S)
    check(m is not None, "GDB's output has no %s part:\n%s" % (name, out))
    return m.group(1)


def cycles_in(text):
    return [int(c) for c in re.findall(r"^cycles (\d+)", text, re.M)]


def check_session(out):
    check("Reset_Handler" in section(out, "reset"), "GDB did not find the core at the reset vector")
    for line in ("first_line", "second_line"):
        check("word 1" in section(out, line), "the hand-over word did not change for the %s" % line)
    adc = section(out, "adc")
    check("ADC1_IRQHandler" in adc, "no stop at the ADC handler:\n" + adc)
    nstep = int(re.search(r"nstep (-?\d+)", adc).group(1))
    check(0 <= nstep < 100000, "nstep %d" % nstep)
    check(re.search(r"Q1 -?\d", adc) is not None, "Q1 unreadable:\n" + adc)
    # Entered from thread mode on the main stack: EXC_RETURN 0xFFFFFFF9; the
    # frame's return address is in flash, its xPSR has the Thumb bit.
    check("lr 0xfffffff9" in adc, "EXC_RETURN:\n" + adc)
    sp, msp = re.search(r"sp (0x\w+) msp (0x\w+)", adc).groups()
    check(sp == msp, "sp is not the active stack pointer (msp)")
    pc, psr = (int(v, 16) for v in re.search(r"frame (0x\w+) (0x\w+)", adc).groups())
    check(0x08000000 <= pc < 0x08004000 and psr & 0x01000000, "stacked frame pc %#x xpsr %#x" % (pc, psr))
    c = cycles_in(section(out, "cycles"))
    check(len(c) == 3 and c[0] == c[1] and c[0] < c[2] < c[0] + 40,
          "virtual time while halted and over three steps: %s" % c)
    check(cycles_in(section(out, "stats")) == c[2:], "monitor stats gives another time than monitor cycles")
    check("1.3;VORN" in section(out, "ident"), "the identification text is not in flash")
    check("exited normally" in section(out, "end"), "the run did not end under GDB:\n" + section(out, "end"))


def run_debugged(sim, image, elf, gdb, work):
    err_path = os.path.join(work, "err")
    with open(os.path.join(work, "in"), "rb") as stdin, open(os.path.join(work, "out"), "wb") as out, \
            open(err_path, "w") as err:
        proc = subprocess.Popen([sim, "--image", image, "--stats", "--gdb", "0", "--gdb-wait"], stdin=stdin,
                                stdout=out, stderr=err)
    try:
        port = wait_for_port(err_path, proc)
        script = os.path.join(work, "session.gdb")
        with open(script, "w") as f:
            f.write(GDB_SCRIPT.format(port=port))
        # One stream, so that monitor replies stay in their place.
        r = subprocess.run([gdb, "-nx", "-q", "-batch", "-x", script, elf], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=PATIENCE)
        session = r.stdout.decode(errors="replace")
        check(proc.wait(timeout=PATIENCE) == 0, "snt-sim --gdb exited %d" % proc.returncode)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    with open(os.path.join(work, "out"), "rb") as f, open(err_path) as e:
        return session, f.read(), stats_of(e.read())


def check_reattach_and_kill(sim, image, gdb, work):
    """A GDB that goes away leaves the board running; the next one attaches
    (halting the core where it is) and kills the run, which ends it."""
    err_path = os.path.join(work, "err2")
    with open(err_path, "w") as err:
        # Input that never ends: only the debugger can end this run.
        proc = subprocess.Popen([sim, "--image", image, "--gdb", "0", "--gdb-wait"], stdin=subprocess.PIPE,
                                stdout=subprocess.DEVNULL, stderr=err)
    try:
        port = wait_for_port(err_path, proc)
        first = ["-ex", "target remote 127.0.0.1:%d" % port, "-ex", "info symbol $pc"]
        second = first + ["-ex", "monitor cycles", "-ex", "kill"]
        outs = []
        for commands in (first, second):
            r = subprocess.run([gdb, "-nx", "-q", "-batch"] + commands + [image], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, timeout=PATIENCE)
            outs.append(r.stdout.decode(errors="replace"))
        check("Reset_Handler" in outs[0], "the first GDB did not find the core at reset:\n" + outs[0])
        c = cycles_in(outs[1])
        check(len(c) == 1 and c[0] > 0, "the second GDB found no time passed:\n" + outs[1])
        check(proc.wait(timeout=PATIENCE) == 0, "snt-sim did not end when GDB killed the run")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdin.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sim", required=True)
    ap.add_argument("--image", required=True)
    ap.add_argument("--gdb", required=True)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as work:
        reference, reference_stats = run_alone(args.sim, args.image, work)
        session, replies, stats = run_debugged(args.sim, args.image, args.image, args.gdb, work)
        try:
            check_session(session)
            check(replies == reference, "the replies differ under GDB:\n%r\n%r" % (replies, reference))
            check(stats.get("cycles") == reference_stats.get("cycles"),
                  "virtual time differs under GDB: %s against %s" % (stats.get("cycles"), reference_stats.get("cycles")))
        except Failure:
            print(session)
            raise
        check_reattach_and_kill(args.sim, args.image, args.gdb, work)
    print("gdb session: ok (%d bytes of replies, %s cycles)" % (len(replies), stats["cycles"]))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (Failure, subprocess.TimeoutExpired) as e:
        print("FAILED: %s" % e)
        sys.exit(1)
