#!/usr/bin/env python3
"""Signing test of the release: make_dist.sh with a throwaway CA and code-signing
certificate made by openssl, once with key and certificate files and once with a
PKCS#12 file whose password is read from a file. The signed programs must pass
osslsigncode verify against the CA, carry their description and URL, give back
the unsigned bytes when the signature is removed, match SHA256SUMS, and run under
Wine: setup on the demonstration medium starts the bootstrap installer, and
Install -verctrl ends with -1110. A missing key or a wrong password must fail
make_dist and leave no program in the release folder.

Usage: tools/check_signing.py build/i686 build/x86_64
(The Wine part runs the x86_64 programs, signed likewise, on hosts that cannot
run 32-bit code.) Everything is made under build/signing-test.
"""

import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import demo  # noqa: E402
import harness  # noqa: E402

PROGRAMS = {"setup.exe": "Halvik Torvanex installation start-up", "Install.exe": "Halvik Torvanex Install launcher"}
URL = "https://example.com/halvik-torvanex"
PROBE_ANSWER = "0xFFFFFBAA"  # -1110 as a 32-bit exit status

failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)
    return ok


def run(args, env=None, cwd=None):
    r = subprocess.run(args, env=env, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                       check=False)
    return r.returncode, r.stdout + r.stderr


def must(args):
    code, out = run(args)
    if code != 0:
        raise SystemExit("check_signing: %s failed:\n%s" % (" ".join(args), out))


def make_certificates(work):
    """A CA, and a code-signing certificate it issued: PEM files and a PKCS#12 file."""
    f = lambda name: os.path.join(work, name)  # noqa: E731
    must(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Throwaway test CA",
          "-addext", "basicConstraints=critical,CA:true", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
          "-keyout", f("ca.key"), "-out", f("ca.pem")])
    must(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Throwaway test signer",
          "-keyout", f("sign.key"), "-out", f("sign.csr")])
    with open(f("sign.ext"), "w") as ext:
        ext.write("basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
    must(["openssl", "x509", "-req", "-days", "2", "-in", f("sign.csr"), "-CA", f("ca.pem"), "-CAkey", f("ca.key"),
          "-set_serial", "1", "-extfile", f("sign.ext"), "-out", f("sign.pem")])
    with open(f("pass"), "w") as p:
        p.write("not on any command line\n")
    must(["openssl", "pkcs12", "-export", "-in", f("sign.pem"), "-inkey", f("sign.key"),
          "-passout", "file:" + f("pass"), "-out", f("sign.p12")])
    with open(f("wrong-pass"), "w") as p:
        p.write("wrong\n")


def make_dist(build, dist, **sign):
    env = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
    env.update(sign)
    return run(["bash", os.path.join(ROOT, "tools", "make_dist.sh"), build, dist], env)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def check_signed(name, signed, unsigned, ca, work):
    """The checks of one signed program against its unsigned build (scratch files in work)."""
    os.makedirs(work, exist_ok=True)
    code, out = run(["osslsigncode", "verify", "-CAfile", ca, "-in", signed])
    check(code == 0, "%s: osslsigncode verify -CAfile accepts the signature%s" % (name, "" if code == 0 else ":\n" + out))
    blob = read(signed)[len(read(unsigned)):]
    description = PROGRAMS[name]
    check(description.encode() in blob or description.encode("utf-16-be") in blob,
          "%s: the signature names the program (%s)" % (name, description))
    removed = os.path.join(work, name + ".removed")
    code, out = run(["osslsigncode", "remove-signature", "-in", signed, "-out", removed])
    check(code == 0 and read(removed) == read(unsigned),
          "%s: without the signature, the unsigned bytes%s" % (name, "" if code == 0 else ":\n" + out))
    # The check can fail: one byte changed in a signed program breaks its signature.
    tampered = bytearray(read(signed))
    tampered[0x200] ^= 1
    with open(os.path.join(work, name + ".tampered"), "wb") as f:
        f.write(tampered)
    code, _ = run(["osslsigncode", "verify", "-CAfile", ca, "-in", os.path.join(work, name + ".tampered")])
    check(code != 0, "%s: verify refuses a changed byte" % name)


def check_refused(build, dist, why, **sign):
    code, out = make_dist(build, dist, **sign)
    left = [n for n in PROGRAMS if os.path.exists(os.path.join(dist, n))]
    check(code != 0 and "make_dist: " in out and not left,
          "make_dist refuses %s and leaves no program behind (exit %d, left %s): %s"
          % (why, code, left, out.strip().splitlines()[-1] if out.strip() else ""))


def run_under_wine(build, signed, work):
    """setup on the demonstration medium and Install -verctrl, both signed."""
    d = demo.Demo(build, root=os.path.join(work, "demo-" + os.path.basename(os.path.abspath(build))),
                  programs={"setup": signed["setup.exe"], "install": signed["Install.exe"]})
    d.prefix.ensure()
    d.lay_out()
    run = d.run_setup()
    check(run.status.get("exit") == "0x00000000" and len(d.m.records("_instkvi.com")) == 1,
          "signed setup.exe (%s) starts the bootstrap installer on the demonstration medium" % d.programs["arch"])
    kit = d.m.w("medium", "kit")
    probe = d.m.run(kit + "\\Install.exe -verctrl", cwd=kit)
    exit_ = probe.status.get("exit")
    check(exit_ == PROBE_ANSWER, "signed Install.exe (%s) -verctrl ends with -1110 (%s)%s" % (
        d.programs["arch"], exit_, "" if exit_ == PROBE_ANSWER else "\n" + probe.result.trace[-2000:]))


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: check_signing.py <i686 build> <x86_64 build>")
    i686, x86_64 = (os.path.abspath(a) for a in sys.argv[1:])
    work = os.path.join(ROOT, "build", "signing-test")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    make_certificates(work)
    f = lambda name: os.path.join(work, name)  # noqa: E731

    # Key and certificate files, with a URL; then a PKCS#12 file and its password file.
    for label, sign in (("pem", dict(SIGN_CERT=f("sign.pem"), SIGN_KEY=f("sign.key"), SIGN_URL=URL)),
                        ("pfx", dict(SIGN_PFX=f("sign.p12"), SIGN_PASS_FILE=f("pass"), SIGN_URL=URL))):
        dist = f("dist-" + label)
        code, out = make_dist(i686, dist, **sign)
        if not check(code == 0, "make_dist signs with %s files" % label):
            print(out)
            continue
        check(run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=dist)[0] == 0,
              "%s: SHA256SUMS matches the signed programs" % label)
        for name in PROGRAMS:
            check(URL.encode() in read(os.path.join(dist, name)), "%s, %s: the signature holds the URL" % (label, name))
            check_signed(name, os.path.join(dist, name), os.path.join(i686, name), f("ca.pem"), dist + "-check")

    check_refused(i686, f("dist-refused"), "a missing key", SIGN_CERT=f("sign.pem"), SIGN_KEY=f("missing.key"))
    check_refused(i686, f("dist-refused"), "a wrong password", SIGN_PFX=f("sign.p12"), SIGN_PASS_FILE=f("wrong-pass"))

    # Under Wine: the shipped 32-bit programs, or where the host cannot run
    # 32-bit code, the x86_64 build signed the same way.
    if harness.host_runs_32bit():
        build, signed = i686, {n: f("dist-pem/" + n) for n in PROGRAMS}
    else:
        build, signed = x86_64, {}
        for name, description in PROGRAMS.items():
            signed[name] = f("x86_64-" + name)
            must(["osslsigncode", "sign", "-h", "sha256", "-n", description, "-certs", f("sign.pem"),
                  "-key", f("sign.key"), "-in", os.path.join(x86_64, name), "-out", signed[name]])
    run_under_wine(build, signed, work)

    print("check_signing: %s" % ("%d check(s) failed" % len(failures) if failures else "all checks passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
