"""The project's systemd units as systemd reads them, for tests that run
what a unit would run: the unit files, staged by `cmake --install` with the
prefix /usr, their specifiers, EnvironmentFile= and ExecStart= expansion."""

import os
import re
import shlex
import subprocess
import tempfile

BIN = os.path.abspath(os.environ.get("CV_BIN", os.path.join(os.path.dirname(__file__),
                                                            "../../../build/x64/bin")))
BUILD_DIR = os.path.dirname(BIN)


def stage_install(root):
    """Installs the build into root as the package would lay it out."""
    env = dict(os.environ, DESTDIR=root)
    r = subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", "/usr"],
                       env=env, capture_output=True, text=True, timeout=300)
    if r.returncode != 0:
        raise AssertionError("cmake --install failed:\n" + r.stdout + r.stderr)
    return root


def read_unit(path):
    """{section: [(key, value), ...]} of a unit file: comments, blank lines
    and continued lines as systemd treats them."""
    sections, current, pending = {}, None, ""
    with open(path) as f:
        for raw in f:
            line = raw.rstrip("\n")
            if not pending and line.lstrip().startswith(("#", ";")):
                continue
            if line.endswith("\\"):
                pending += line[:-1] + " "
                continue
            line, pending = (pending + line).strip(), ""
            if not line:
                continue
            if line.startswith("["):
                current = sections.setdefault(line.strip("[]"), [])
            else:
                key, _, value = line.partition("=")
                current.append((key.strip(), value.strip()))
    return sections


def unit_values(unit, section, key):
    return [v for k, v in unit.get(section, []) if k == key]


def specifiers(text, unit_name):
    """Expands the specifiers that the project's units use."""
    rest = unit_name.partition("@")[2]
    instance = rest.rsplit(".", 1)[0] if rest else ""
    table = {"i": instance, "I": instance.replace("-", "/"), "n": unit_name, "%": "%"}

    def one(m):
        if m.group(1) not in table:
            raise AssertionError("specifier %%%s not handled by the test" % m.group(1))
        return table[m.group(1)]
    return re.sub(r"%(.)", one, text)


def read_environment_file(path):
    """The assignments of an EnvironmentFile=: KEY=VALUE lines, values in
    single or double quotes or bare (then trimmed), # and ; comments."""
    env = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith(("#", ";")):
                continue
            key, sep, value = line.partition("=")
            if not sep:
                continue
            value = value.strip()
            if len(value) >= 2 and value[0] == value[-1] and value[0] in "'\"":
                quote, value = value[0], value[1:-1]
                if quote == '"':
                    value = re.sub(r'\\(["\\$`])', r"\1", value)
            env[key.strip()] = value
    return env


def exec_start(unit, unit_name, env):
    """The argument vector of ExecStart= for this unit name: a word that is
    $VAR alone becomes the variable's words, ${VAR} is put in place as it is,
    $$ is a dollar."""
    values = unit_values(unit, "Service", "ExecStart")
    if len(values) != 1:
        raise AssertionError("expected one ExecStart=, got %r" % values)
    words = shlex.split(specifiers(values[0].lstrip("-@:+!"), unit_name))
    argv = []
    for w in words:
        m = re.fullmatch(r"\$([A-Za-z_][A-Za-z0-9_]*)", w)
        if m:
            argv += env.get(m.group(1), "").split()
            continue
        w = re.sub(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}", lambda m: env.get(m.group(1), ""), w)
        argv.append(w.replace("$$", "$"))
    return argv


def build_tree_argv(argv):
    """argv with its program, installed in /usr/bin, taken from the build."""
    if os.path.dirname(argv[0]) != "/usr/bin":
        raise AssertionError("ExecStart program not in /usr/bin: " + argv[0])
    return [os.path.join(BIN, os.path.basename(argv[0]))] + argv[1:]


CAP_NAMES = {"CAP_NET_RAW": "net_raw", "CAP_NET_ADMIN": "net_admin"}


def sandbox_prefix(unit, uid):
    """A setpriv command line that gives a process what the unit gives it:
    a user of its own for DynamicUser=, the ambient capabilities, the
    bounding set and no_new_privs."""
    dynamic = unit_values(unit, "Service", "DynamicUser") == ["yes"]
    if not dynamic:
        raise AssertionError("the test expects DynamicUser=yes")
    bounding = " ".join(unit_values(unit, "Service", "CapabilityBoundingSet")).split()
    ambient = " ".join(unit_values(unit, "Service", "AmbientCapabilities")).split()
    caps = ",".join(["-all"] + ["+" + CAP_NAMES[c] for c in ambient])
    bset = ",".join(["-all"] + ["+" + CAP_NAMES[c] for c in bounding])
    argv = ["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups",
            "--inh-caps=" + caps, "--ambient-caps=" + caps, "--bounding-set=" + bset]
    if unit_values(unit, "Service", "NoNewPrivileges") == ["yes"]:
        argv.append("--no-new-privs")
    return argv


def staged_units():
    """A staged install in a temporary directory (removed with the object)."""
    tmp = tempfile.TemporaryDirectory(prefix="cv-units-")
    stage_install(tmp.name)
    return tmp
