"""The end-to-end suites' fixtures: the programs of one build (--programs <build>/tests/e2e/programs.txt), its
Wine prefix, made once per build directory, and a clean machine for each test."""

import collections
import os

import pytest

pytest.register_assert_rewrite("cases")
import harness  # noqa: E402

PROGRAMS = ("setup", "install", "java", "javaw", "install_standin", "bootstrap", "example_bootstrap", "kvitest",
            "showbox", "plant")
BUILD = pytest.StashKey()
MACHINES = collections.Counter()  # machines made so far, by the first letter of their names


def pytest_addoption(parser):
    parser.addoption("--programs", help="programs.txt of a build (<build>/tests/e2e/programs.txt)")


def pytest_sessionstart(session):
    """A build this host cannot run under Wine (32-bit programs on a host without 32-bit code) ends the run
    with 77 and one line that says why: ctest lists it as skipped."""
    if session.config.option.collectonly:
        return  # a list of the tests needs no build
    listing = session.config.getoption("programs")
    if not listing:
        raise pytest.UsageError("--programs <build>/tests/e2e/programs.txt is required")
    programs = harness.read_programs(listing)
    missing = [programs.get(name, name) for name in PROGRAMS + ("arch", "work") if not programs.get(name)
               or (name in PROGRAMS and not os.path.isfile(programs[name]))]
    if missing:
        raise pytest.UsageError("missing in %s: %s" % (listing, ", ".join(missing)))
    reason = harness.cannot_run_reason(programs["arch"])
    if reason:
        pytest.exit("e2e %s: skipped: %s" % (programs["arch"], reason), harness.SKIP_STATUS)
    session.config.stash[BUILD] = programs


@pytest.fixture(scope="session")
def programs(request):
    """{name: path} of the build's programs and stand-ins, with its "arch" and "work" folder."""
    return request.config.stash[BUILD]


@pytest.fixture(scope="session")
def prefix(programs):
    """The build's Wine prefix (on Windows the machine itself), made on first use, then kept."""
    prefix = harness.Prefix(os.path.join(programs["work"], "wineprefix"), programs["kvitest"])
    prefix.ensure()
    return prefix


@pytest.fixture
def machine(request, prefix, programs):
    """A clean machine in C:\\e2e\\<letter><n> (the letter of the test's class, n counting): no usual location,
    installation record, uninstall entry or Start-menu folder; its current directory C:\\e2e\\<letter><n>\\start."""
    letter = getattr(request.cls, "letter", "x")
    MACHINES[letter] += 1
    name = "%s%02d" % (letter, MACHINES[letter])
    m = harness.Machine(prefix, programs, prefix.drive_c("e2e", name), "c:\\e2e\\" + name).clean()
    os.makedirs(m.dir("start"))
    m.start = m.w("start")
    yield m
    harness.remove(prefix.drive_c("HalvikTorvanex"))  # a test may leave a file there
