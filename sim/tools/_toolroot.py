"""Shared by the Python tool stand-ins: the camera root they run in and their call logs."""
import json
import os


def camera_root(script, camera_dir):
    """ZENT_ROOT when set, else the root this script was installed under (its camera
    directory `camera_dir`, e.g. "/usr/bin", stripped from its own place)."""
    root = os.environ.get("ZENT_ROOT", "").rstrip("/")
    if root:
        return root
    here = os.path.dirname(os.path.abspath(script))
    if here.endswith(camera_dir):
        return here[: -len(camera_dir)]
    return ""


def record(root, name, entry):
    """Appends one JSON line to <root>/tmp/<name>.calls."""
    path = os.path.join(root + "/tmp", name + ".calls")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "a", encoding="utf-8") as f:
        f.write(json.dumps(entry) + "\n")
