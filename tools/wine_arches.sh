#!/bin/sh
# Prints the builds whose programs this host can run under Wine: "i686 x86_64"
# when it runs 32-bit x86 code, "x86_64" when it does not. The answer comes
# from starting Wine's own 32-bit loader and reading the version it prints,
# never from kernel names or versions: some hosts have a kernel built with
# 32-bit support and still cannot execute a 32-bit program. (Only the printed
# version counts: a file the kernel refuses to execute may be run by the shell
# as a script instead, and end with 0.) KVI_WINE64_ONLY=1 answers "x86_64" on
# any host, to try that road where 32-bit code does run.
#
# The Makefile asks once per command and hands the answer to the tests as
# KVI_WINE_ARCHES; tests/e2e/harness.py asks itself when that is not set.
# KVI_WINE32_LOADER names another loader to start (for the probe's own tests).
loader=${KVI_WINE32_LOADER:-/usr/lib/wine/wine}
if [ "${KVI_WINE64_ONLY:-0}" = 1 ]; then
    echo x86_64
    exit 0
fi
if version=$("$loader" --version 2>/dev/null); then
    case $version in
        wine-*) echo "i686 x86_64"; exit 0 ;;
    esac
fi
echo x86_64
