# Sample counting application: records how it was started, signals that it is up with the
# marker file, and talks on both output streams every second until SIGTERM. As "pipeline" it
# runs the camera's modules on the stereo stream instead (pipeline.py) and saves what they
# see as pictures under <root>/tmp/pipeline.
import json
import os
import signal
import sys
import time

PACKAGE_SUFFIX = "/usr/local/packages/tallyo/package"


def camera_root():
    cwd = os.getcwd()
    if cwd.endswith(PACKAGE_SUFFIX):
        return cwd[: -len(PACKAGE_SUFFIX)]
    return ""


def load_conf(here):
    conf = {"behaviour": "normal", "label": "sample", "marker_delay": 0.5, "fps": 10,
            "save_every": 3.0}
    try:
        with open(os.path.join(here, "app.conf")) as f:
            conf.update(json.load(f))
    except (OSError, ValueError):
        pass
    return conf


def say(stream, text):
    try:
        stream.write(text + "\n")
        stream.flush()
    except (BrokenPipeError, OSError):
        # The launcher is gone: nobody reads us any more.
        os._exit(0)


def start_environment():
    # The environment exactly as exec'd: the interpreter adds entries of its own to
    # os.environ (locale coercion), the kernel's copy shows only what the launcher gave.
    try:
        with open("/proc/self/environ", "rb") as f:
            raw = f.read()
        env = {}
        for item in raw.split(b"\0"):
            if item:
                k, _, v = item.partition(b"=")
                env[k.decode("utf-8", "replace")] = v.decode("utf-8", "replace")
        return env
    except OSError:
        return dict(os.environ)


def write_json_atomically(path, record):
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "w") as f:
        json.dump(record, f, indent=1, sort_keys=True)
    os.replace(tmp, path)


def start_pipeline(root, conf):
    """The processing chain on the modules of python-site-packages, or None (said on stderr)
    when it cannot run here."""
    # The modules take the camera's paths under the root, like everything on this camera.
    if root:
        os.environ["ZENT_ROOT"] = root
    try:
        import pipeline
        return pipeline.Pipeline(lambda text: say(sys.stdout, text), root + "/tmp/pipeline",
                                 float(conf["save_every"]))
    except Exception as e:  # the plain sample goes on without it
        say(sys.stderr, "app: pipeline not started: %s: %s" % (type(e).__name__, e))
        return None


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    conf = load_conf(here)
    behaviour = conf["behaviour"]
    root = camera_root()
    tmpdir = root + "/tmp"
    try:
        import sample_helper  # found only through PYTHONPATH=python-site-packages
        site_import = sample_helper.NAME
    except ImportError:
        site_import = None

    record = {
        "argv": sys.argv,
        "pyrun_argv": globals().get("PYRUN_ARGV"),
        "cwd": os.getcwd(),
        "env": start_environment(),
        "pid": os.getpid(),
        "behaviour": behaviour,
        "label": conf["label"],
        "site_import": site_import,
    }
    os.makedirs(tmpdir, exist_ok=True)
    write_json_atomically(tmpdir + "/app-started.json", record)
    with open(tmpdir + "/app-starts.log", "a") as f:
        f.write("%d %s\n" % (os.getpid(), conf["label"]))

    say(sys.stdout, "app: started pid=%d label=%s behaviour=%s" % (os.getpid(), conf["label"], behaviour))
    say(sys.stderr, "app: stderr open pid=%d" % os.getpid())

    if behaviour == "crash":
        say(sys.stderr, "app: crashing on purpose")
        sys.exit(1)

    if behaviour == "noterm":
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    else:
        def on_term(signum, frame):
            say(sys.stdout, "app: SIGTERM received, exiting")
            sys.exit(0)
        signal.signal(signal.SIGTERM, on_term)

    marker_at = None if behaviour == "nomarker" else float(conf["marker_delay"])
    chain = start_pipeline(root, conf) if behaviour == "pipeline" else None

    start = time.monotonic()
    next_tick = start + 1.0
    tick = 0
    period = 1.0 / float(conf["fps"])
    try:
        while True:
            now = time.monotonic()
            if marker_at is not None and now - start >= marker_at:
                with open(tmpdir + "/runner_mounted_apps", "a"):
                    pass
                say(sys.stdout, "app: up, marker written")
                marker_at = None
            if chain is not None:
                chain.step()
                time.sleep(max(0.0, period - (time.monotonic() - now)))
                continue
            if now >= next_tick:
                tick += 1
                say(sys.stdout, "app: tick %d" % tick)
                say(sys.stderr, "app: tick %d on stderr" % tick)
                next_tick += 1.0
            time.sleep(0.05)
    finally:
        if chain is not None:
            chain.close()


main()
