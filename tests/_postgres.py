"""A throwaway PostgreSQL cluster for the tests: made by initdb in a
temporary folder, listening only on a Unix socket there, stopped and removed
at the end. The server runs as the invoking user, or as the "postgres" user
when that is root (initdb refuses root; CI runs as root)."""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import subprocess
import tempfile
import uuid


def bindir():
    """The folder of initdb and pg_ctl: Debian's newest, else the PATH's; None without."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    if found:
        return os.path.dirname(found[-1])
    initdb = shutil.which("initdb")
    return os.path.dirname(initdb) if initdb else None


class Cluster:
    """One server; url(db) names a database of it, new_database() makes one."""

    def __init__(self):
        self.bin = bindir()
        if self.bin is None:
            raise FileNotFoundError("no PostgreSQL server (initdb) on this machine: "
                                    "scripts/prereqs.sh installs it")
        self.user = None
        if os.geteuid() == 0:
            self.user = pwd.getpwnam("postgres")
        self.folder = tempfile.mkdtemp(prefix="quorvex-pg-")
        if self.user is not None:
            os.chown(self.folder, self.user.pw_uid, self.user.pw_gid)
        self.data = os.path.join(self.folder, "data")
        self._pg("initdb", "-D", self.data, "-A", "trust", "-U", "quorvex", "-E", "UTF8",
                 "--no-sync")
        self.start()

    def _pg(self, tool, *args, timeout=60):
        return subprocess.run([os.path.join(self.bin, tool), *args], check=True,
                              timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              user=self.user.pw_uid if self.user else None,
                              group=self.user.pw_gid if self.user else None,
                              extra_groups=[] if self.user else None, cwd=self.folder,
                              env=_server_env())

    def start(self):
        # fsync off: a test cluster dies with its test session anyway.
        self._pg("pg_ctl", "-D", self.data, "-w", "-t", "60", "-l",
                 os.path.join(self.folder, "log"), "-o",
                 f"-k {self.folder} -c listen_addresses='' -F -c max_connections=60", "start")

    def stop(self, mode="fast"):
        self._pg("pg_ctl", "-D", self.data, "-w", "-t", "60", "-m", mode, "stop")

    def url(self, db="postgres"):
        return f"postgresql://quorvex@/{db}?host={self.folder}"

    def new_database(self):
        import psycopg

        name = "t_" + uuid.uuid4().hex[:12]
        with psycopg.connect(self.url(), autocommit=True) as db:
            db.execute(f"CREATE DATABASE {name}")
        return self.url(name)

    def remove(self):
        try:
            self.stop("immediate")
        except subprocess.SubprocessError:
            pass
        shutil.rmtree(self.folder, ignore_errors=True)


def _server_env():
    """The server's environment: ours without the sanitizers' preloaded
    runtime (make asan), which the server, not built for it, cannot carry."""
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")}


def throwaway_cluster():
    """Yields a new PostgreSQL server, removed afterwards; skips the test on
    a machine without one."""
    import pytest

    try:
        cluster = Cluster()
    except FileNotFoundError as e:
        pytest.skip(str(e))
    try:
        yield cluster
    finally:
        cluster.remove()
