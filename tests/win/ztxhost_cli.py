#!/usr/bin/env python3
"""Drives the console host ztxhost.exe under Wine against files made by the system's xz.

ctest's emulator wraps only programs the build makes, so this script runs
ztxhost through the emulator command it is given after "--":

    ztxhost_cli.py --host PATH/ztxhost.exe --work DIR [--corpus DIR] -- EMULATOR...

Every check compares with what xz itself says about the same file; a failed
check prints what ztxhost printed and the script exits 1.
"""
import argparse
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

failures = []


def check(condition, what, result=None):
    if condition:
        return
    failures.append(what)
    print("FAIL: " + what, file=sys.stderr)
    if result is not None:
        print("  exit status: %s" % result.returncode, file=sys.stderr)
        print("  stdout: %r" % result.stdout[-2000:], file=sys.stderr)
        print("  stderr: %r" % result.stderr[-2000:], file=sys.stderr)


def win(path):
    """The Windows form of an absolute Unix path, as Wine maps it (drive Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Host:
    def __init__(self, emulator, exe):
        self.command = list(emulator) + [exe]

    def run(self, *args, timeout=600, env=None):
        # Output goes to files, not pipes: the first Wine program of a prefix
        # starts Wine's own services, which inherit its handles and would
        # keep a pipe open long after ztxhost has exited.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run(self.command + list(args), stdout=out, stderr=err,
                                  stdin=subprocess.DEVNULL, timeout=timeout,
                                  env=dict(os.environ, **env) if env else None)
            return subprocess.CompletedProcess(proc.args, proc.returncode, read_text(out),
                                               read_text(err))


def read_text(f):
    # Windows text streams end lines with CR LF.
    f.seek(0)
    return f.read().decode("utf-8", errors="replace").replace("\r\n", "\n")


def xz_decompress(path):
    return subprocess.run(["xz", "-dc", path], check=True, capture_output=True).stdout


def sample_text(lines):
    # Deterministic, compressible text with some variety in every line.
    return "".join("entry %d of the sample, value %d, the quick brown fox %s\n"
                   % (i, (i * 7919) % 100003, "jumps" if i % 3 else "rests")
                   for i in range(lines)).encode()


def make_xz(path, data, *xz_args):
    with open(path, "wb") as out:
        subprocess.run(["xz", "-c", "-T1", *xz_args], input=data, stdout=out, check=True)


def local_timestamp(year, month, day, hour, minute, second):
    """Seconds since the epoch of a local time in the zone Wine will use (see wine-run.sh)."""
    saved = os.environ.get("TZ")
    os.environ["TZ"] = os.environ.get("XZ_TEST_TZ") or saved or "UTC0"
    time.tzset()
    stamp = time.mktime((year, month, day, hour, minute, second, 0, 0, -1))
    if saved is None:
        del os.environ["TZ"]
    else:
        os.environ["TZ"] = saved
    time.tzset()
    return stamp


def bytes_reported(stdout):
    match = re.search(r": (?:OK, )?(\d+) bytes", stdout)
    return int(match.group(1)) if match else None


def check_list(host, work, original):
    archive = os.path.join(work, "sample.txt.xz")
    os.utime(archive, (local_timestamp(2018, 3, 5, 12, 34, 56),) * 2)
    r = host.run("list", win(archive))
    check(r.returncode == 0, "list exits 0", r)
    fields = dict(re.findall(r"^(\w+):\s+(.*)$", r.stdout, re.M))
    check(fields.get("entry") == "sample.txt", "list names the entry sample.txt", r)
    check(fields.get("archive") == win(archive), "list shows the archive's full path", r)
    check(fields.get("packed") == "%d bytes" % os.path.getsize(archive), "list shows the packed size", r)
    check(fields.get("unpacked") == "%d bytes" % len(original), "list shows the unpacked size", r)
    check(fields.get("time") == "2018-03-05 12:34:56", "list shows the archive's local time", r)
    ratio = 100.0 * os.path.getsize(archive) / len(original)
    check(fields.get("ratio") == "%.1f%%" % ratio, "list shows packed/unpacked as the ratio", r)


def check_test(host, work, original):
    archive = os.path.join(work, "sample.txt.xz")
    before = sorted(os.listdir(work))
    r = host.run("--progress", "test", win(archive))
    check(r.returncode == 0, "test exits 0", r)
    # The count is the sum of the plug-in's per-step reports, so it shows
    # whether every decoded byte was reported once.
    check(bytes_reported(r.stdout) == len(original), "test reports every decoded byte", r)
    check("header says" not in r.stdout, "test's count agrees with the header", r)
    bars = [line for line in r.stderr.splitlines() if line.startswith("testing [")]
    check(bool(bars) and bars[-1].endswith("100%%  %d of %d bytes" % (len(original), len(original))),
          "the progress bar ends at 100% of the unpacked size", r)
    check(sorted(os.listdir(work)) == before, "test writes no file", r)


def check_extract(host, work, original):
    archive = os.path.join(work, "sample.txt.xz")
    beside = os.path.join(work, "sample.txt")
    r = host.run("extract", win(archive))
    check(r.returncode == 0, "extract without DEST exits 0", r)
    check(os.path.isfile(beside) and open(beside, "rb").read() == original,
          "extract without DEST writes the entry beside the archive, equal to xz -dc", r)
    check(bytes_reported(r.stdout) == len(original), "extract reports every decoded byte", r)

    with open(beside, "wb") as f:
        f.write(b"keep me")
    r = host.run("extract", win(archive))
    check(r.returncode == 1, "extract over an existing file is declined with 1", r)
    check(open(beside, "rb").read() == b"keep me", "a declined extract leaves the existing file alone", r)
    r = host.run("-f", "extract", win(archive))
    check(r.returncode == 0 and open(beside, "rb").read() == original, "extract -f replaces the file", r)

    folder = os.path.join(work, "into")
    os.mkdir(folder)
    r = host.run("extract", win(archive), win(folder))
    target = os.path.join(folder, "sample.txt")
    check(r.returncode == 0 and os.path.isfile(target) and open(target, "rb").read() == original,
          "extract into a folder writes folder/entry-name", r)

    named = os.path.join(work, "other name.bin")
    r = host.run("extract", win(archive), win(named))
    check(r.returncode == 0 and os.path.isfile(named) and open(named, "rb").read() == original,
          "extract to a file name writes that file", r)

    r = host.run("extract", win(archive), win(archive))
    check(r.returncode == 1, "extract onto the archive itself is declined", r)
    check(xz_decompress(archive) == original, "the archive survives an extract onto itself", r)


def check_unicode(host, work, original):
    # Names outside the ANSI code page go through the plug-in's UTF-16 forms.
    archive = os.path.join(work, "na\u00efve \u65e5\u672c.txt.xz")
    shutil.copy(os.path.join(work, "sample.txt.xz"), archive)
    r = host.run("list", win(archive))
    check(r.returncode == 0 and "entry:    na\u00efve \u65e5\u672c.txt\n" in r.stdout,
          "list shows a non-ASCII entry name", r)
    r = host.run("extract", win(archive))
    target = archive[:-3]
    check(r.returncode == 0 and os.path.isfile(target) and open(target, "rb").read() == original,
          "extract of a non-ASCII name writes that name", r)


def check_failures(host, work):
    good = os.path.join(work, "sample.txt.xz")
    data = bytearray(open(good, "rb").read())
    # One byte in the middle of the compressed data: the container stays
    # sound, so the open succeeds and the codec finds the damage.
    data[len(data) // 2] ^= 0x55
    corrupt = os.path.join(work, "corrupt.txt.xz")
    with open(corrupt, "wb") as f:
        f.write(data)
    check(subprocess.run(["xz", "-t", corrupt], capture_output=True).returncode != 0,
          "the corrupted copy is corrupt for xz too")
    r = host.run("extract", win(corrupt))
    check(r.returncode == 12, "extract of a corrupt file exits 12", r)
    check("code 12" in r.stderr and len(r.stderr.strip().splitlines()) == 1,
          "a failure prints one line naming the code", r)
    check(not os.path.exists(corrupt[:-3]), "a failed extract leaves no output file", r)
    r = host.run("test", win(corrupt))
    check(r.returncode == 12, "test of a corrupt file exits 12", r)

    # The threaded encoder stores the sizes in the block header, so a copy
    # cut short still opens and only the codec can tell that data is missing.
    threaded = os.path.join(work, "threaded.xz")
    make_xz(threaded, xz_decompress(good), "-T2")
    truncated = os.path.join(work, "truncated.txt.xz")
    with open(truncated, "wb") as f:
        whole = open(threaded, "rb").read()
        f.write(whole[:len(whole) // 2])
    r = host.run("list", win(truncated))
    check(r.returncode == 0, "a threaded file cut short still opens", r)
    r = host.run("extract", win(truncated))
    check(r.returncode == 12, "extract of a file cut short exits 12", r)
    check(not os.path.exists(truncated[:-3]), "a file cut short leaves no output file", r)

    missing = os.path.join(work, "missing.txt.xz")
    for command in ("list", "test", "extract"):
        r = host.run(command, win(missing))
        check(r.returncode == 15, "%s of a missing file exits 15" % command, r)
        check("code 15" in r.stderr, "%s of a missing file names code 15" % command, r)
    check(not os.path.exists(missing[:-3]), "a missing archive creates no output file")

    r = host.run("frobnicate", win(good))
    check(r.returncode == 2, "an unknown command exits 2", r)


def check_interrupt(host, work):
    """SIGINT reaches a Wine console program as Ctrl-C."""
    # Many copies of one highly compressed stream decode as their
    # concatenation: over a gigabyte of output from a few hundred KB, which
    # takes seconds, so the interrupt is certain to land mid-run.
    one = os.path.join(work, "zeros-one.xz")
    make_xz(one, bytes(64 << 20), "-9")
    archive = os.path.join(work, "zeros.xz")
    with open(archive, "wb") as out:
        chunk = open(one, "rb").read()
        for _ in range(24):
            out.write(chunk)
    target = os.path.join(work, "zeros")
    out_path = os.path.join(work, "interrupt.out")
    err_path = os.path.join(work, "interrupt.err")
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        proc = subprocess.Popen(host.command + ["--progress", "extract", win(archive)],
                                stdout=out, stderr=err, stdin=subprocess.DEVNULL)
    # The first progress line comes from the plug-in's opening report: from
    # then on the run is inside ProcessFileW.
    deadline = time.monotonic() + 120
    interrupted = False
    while proc.poll() is None and time.monotonic() < deadline:
        if b"extracting [" in open(err_path, "rb").read():
            proc.send_signal(signal.SIGINT)
            interrupted = True
            break
        time.sleep(0.02)
    try:
        proc.wait(timeout=120)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    with open(out_path, "rb") as out, open(err_path, "rb") as err:
        result = subprocess.CompletedProcess(proc.args, proc.returncode, read_text(out), read_text(err))
    check(interrupted, "the extraction started and showed progress", result)
    check(proc.returncode == 21, "Ctrl-C ends the extraction with 21", result)
    check("aborted (code 21)" in result.stderr, "Ctrl-C names code 21", result)
    check(not os.path.exists(target), "Ctrl-C leaves no output file", result)
    if os.path.exists(target):
        os.remove(target)


def check_corpus(host, work, corpus):
    # Samples of filters newer than the system's xz (a third column in
    # decoded.tsv), which it cannot decode for a comparison; test_extract
    # and test_corpus take them through the module.
    newer = set()
    with open(os.path.join(corpus, "decoded.tsv")) as f:
        newer = {line.split("\t")[0] for line in f if line.count("\t") >= 2}
    names = sorted(n for n in os.listdir(corpus) if n.startswith("good-") and n.endswith(".xz"))
    check(bool(names), "the corpus folder holds good-*.xz files")
    if newer:
        print("left to test_extract and test_corpus: %s" % ", ".join(sorted(newer)))
    for name in names:
        if name in newer:
            continue
        folder = os.path.join(work, "corpus", name[:-3])
        os.makedirs(folder)
        archive = os.path.join(folder, name)
        shutil.copy(os.path.join(corpus, name), archive)
        expected = xz_decompress(archive)
        r = host.run("extract", win(archive))
        target = archive[:-3]
        check(r.returncode == 0 and os.path.isfile(target) and open(target, "rb").read() == expected,
              "extract %s equals xz -dc" % name, r)
        check(bytes_reported(r.stdout) == len(expected), "extract %s reports every decoded byte" % name, r)


def check_packing(host, work, original):
    """pack, mempack, delete and settings: the output is what the system's xz
    writes at the plug-in's defaults, and a rewrite leaves no backup."""
    src = os.path.join(work, "packme.txt")
    with open(src, "wb") as f:
        f.write(original)
    # A settings file of our own that does not exist: the defaults.
    ini = ["--ini", win(os.path.join(work, "none.ini"))]
    reference = subprocess.run(["xz", "-6e", "-T1", "--check=crc64", "-c", src],
                               capture_output=True, check=True).stdout
    r = host.run(*ini, "pack", win(src))
    check(r.returncode == 0, "pack exits 0", r)
    check(open(src + ".xz", "rb").read() == reference, "pack writes what xz -6e -T1 writes", r)
    r = host.run(*ini, "pack", win(src))
    check(r.returncode == 0 and open(src + ".xz", "rb").read() == reference, "pack rewrites an archive", r)
    check(not os.path.exists(src + ".xz.#00"), "a rewrite leaves no backup", r)
    r = host.run(*ini, "pack", win(os.path.join(work, "absent.txt")))
    check(r.returncode == 1, "pack of a missing file is declined", r)

    mem = os.path.join(work, "mem.xz")
    r = host.run(*ini, "mempack", win(src), win(mem))
    check(r.returncode == 0 and open(mem, "rb").read() == reference, "mempack writes the same stream", r)

    r = host.run("delete", win(mem))
    check(r.returncode == 0 and not os.path.exists(mem), "delete removes the archive", r)
    r = host.run("delete", win(mem))
    check(r.returncode == 19, "delete of a missing archive exits 19", r)

    settings = os.path.join(work, "s.ini")
    with open(settings, "w") as f:
        f.write("[xz]\nCompressionRate=-3\nExtreme=0\n")
    r = host.run("settings", win(settings))
    check(r.returncode == 0 and "file packing:    rate 1\n" in r.stdout
          and "memory packing:  rate 9, one thread\n" in r.stdout, "settings shows both clamping rules", r)
    # The threads are said in words: how many fit is the plug-in's choice at
    # each packing, which test_pack proves by the bytes it writes.
    fitted = ", fitted to the memory budget by the plug-in"
    for stored, words in ((None, "1: one thread"), ("-2", "-2: one thread"),
                          ("0", "0: one thread per processor" + fitted), ("4", "4: 4 threads" + fitted)):
        with open(settings, "w") as f:
            f.write("[xz]\nCompressionRate=9\n" + (f"Threads={stored}\n" if stored else ""))
        r = host.run("settings", win(settings))
        check(r.returncode == 0 and f"stored threads:  {words}\n" in r.stdout,
              f"settings says what Threads={stored} does", r)


def check_word_size(host_exe, emulator, work):
    """A host loads only a module of its own word size: one of the other size
    beside ztxhost (its machine field swapped) is named as such, exit 2."""
    folder = os.path.join(work, "other-word-size")
    os.makedirs(folder)
    shutil.copy(host_exe, folder)
    module = bytearray(open(os.path.join(os.path.dirname(host_exe), "xz.ztx"), "rb").read())
    machine_at = struct.unpack_from("<I", module, 0x3C)[0] + 4
    machines = {0x014C: (32, 0x8664), 0x8664: (64, 0x014C)}
    own_bits, other = machines[struct.unpack_from("<H", module, machine_at)[0]]
    other_bits = 96 - own_bits
    struct.pack_into("<H", module, machine_at, other)
    host = Host(emulator, os.path.join(folder, os.path.basename(host_exe)))
    archive = os.path.join(work, "sample.txt.xz")

    r = host.run("list", win(archive))
    check(r.returncode == 2 and "no such file" in r.stderr, "no xz.ztx beside ztxhost: exit 2, says so", r)
    with open(os.path.join(folder, "xz.ztx"), "wb") as f:
        f.write(module)
    r = host.run("list", win(archive))
    check(r.returncode == 2 and "a %d-bit module, and this ztxhost is %d-bit" % (other_bits, own_bits) in r.stderr,
          "a %d-bit xz.ztx beside the %d-bit ztxhost: exit 2, names both word sizes" % (other_bits, own_bits), r)


def check_ini_code_page(host, work, original):
    """A Greek --ini name works under code page 1253 (el_GR.UTF-8, built here
    with localedef) and is refused with 2 under 1252 (Wine's for C.UTF-8)."""
    src = os.path.join(work, "greek.txt")
    with open(src, "wb") as f:
        f.write(original)
    ini = os.path.join(work, "\u03c1\u03c5\u03b8\u03bc\u03af\u03c3\u03b5\u03b9\u03c2.ini")
    with open(ini, "w") as f:
        f.write("[xz]\nCompressionRate=1\nExtreme=0\n")
    locales = os.path.join(os.path.dirname(work), "locales")
    if not os.path.isdir(os.path.join(locales, "el_GR.UTF-8")):
        os.makedirs(locales, exist_ok=True)
        subprocess.run(["localedef", "-i", "el_GR", "-f", "UTF-8", os.path.join(locales, "el_GR.UTF-8")])
    r = host.run("--ini", win(ini), "pack", win(src), env={"LOCPATH": locales, "LC_ALL": "el_GR.UTF-8"})
    reference = subprocess.run(["xz", "-1", "-T1", "-c", src], capture_output=True, check=True).stdout
    check(r.returncode == 0 and open(src + ".xz", "rb").read() == reference,
          "pack --ini with a Greek name under a Greek code page packs at that file's rate", r)
    if os.path.exists(src + ".xz"):
        os.remove(src + ".xz")
    for args in (("--ini", win(ini), "pack", win(src)), ("settings", win(ini))):
        r = host.run(*args, env={"LC_ALL": "C.UTF-8"})
        check(r.returncode == 2 and "ANSI code page (1252)" in r.stderr and not os.path.exists(src + ".xz"),
              "%s with a Greek settings name under code page 1252 is refused with 2" % args[-2], r)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--corpus", default="")
    parser.add_argument("emulator", nargs="*")
    args = parser.parse_args()

    host = Host(args.emulator, args.host)
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    original = sample_text(60000)
    make_xz(os.path.join(work, "sample.txt.xz"), original, "-6")
    check(xz_decompress(os.path.join(work, "sample.txt.xz")) == original, "xz round-trips the sample")

    check_list(host, work, original)
    check_test(host, work, original)
    check_extract(host, work, original)
    check_unicode(host, work, original)
    check_failures(host, work)
    check_interrupt(host, work)
    check_packing(host, work, original)
    check_word_size(args.host, args.emulator, work)
    check_ini_code_page(host, work, original)
    if args.corpus and os.path.isfile(os.path.join(args.corpus, "expected.tsv")):
        check_corpus(host, work, args.corpus)
    else:
        print("no corpus at %r: only the generated files were used" % args.corpus)

    if failures:
        print("%d check(s) failed" % len(failures), file=sys.stderr)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print("all ztxhost checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
