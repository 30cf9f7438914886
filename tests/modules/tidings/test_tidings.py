"""_tidings through the interpreter: the status word after port events, a blocking read that
waits with the interpreter lock released, clean-up waking readers, the four subscriptions and
their filters, events that do not match, a port flipped from another process with the qlevent
tool, and calls that must neither hang nor report a failed set-up as success."""
import os
import subprocess
import sys
import time

from conftest import PRELUDE, QLEVENT_TOOL, child_env

PORT_FILTER = ("topic0@tns1=s:Device topic1@tnsorvex=s:IO topic2@tnsorvex=s:Port "
               "port=i:{} state=b:*")


def test_word_after_port_events(child):
    c = child("""
assert lib.event_subscriber_init() == 0
first = lib.pop_states_block()
words = []
for port, state in ((2, 1), (0, 1), (2, 0)):
    t, box = blocked_reader()
    ql.qlevent_sim_port_event(port, state)
    t.join(5)
    words.append(box.get("word"))
cleanup = lib.event_subscriber_cleanup()
out(first=first, words=words, cleanup=cleanup, after=lib.pop_states())
""")
    assert c.result == {"first": 0, "words": [4, 5, 1], "cleanup": 0, "after": 1}, c.stderr


def test_blocking_read_waits_for_the_next_event_without_holding_the_interpreter(child):
    c = child("""
lib.event_subscriber_init()
lib.pop_states_block()
t, box = blocked_reader()
ticks = 0
t0 = time.monotonic()
while time.monotonic() - t0 < 0.3:       # the interpreter keeps running meanwhile
    ticks += 1
    time.sleep(0.001)
waiting = t.is_alive()
ql.qlevent_sim_port_event(1, 1)
t.join(5)
# An event that repeats the port's state still ends the wait, with the same word.
t2, box2 = blocked_reader()
until(lambda: ql.qlevent_sim_pending() == 0)
# A repeat sent before the reader has blocked wakes no one: send it until the reader returns.
deadline = time.monotonic() + 5
while t2.is_alive() and time.monotonic() < deadline:
    ql.qlevent_sim_port_event(1, 1)
    t2.join(0.05)
lib.event_subscriber_cleanup()
out(waiting=waiting, ticks=ticks > 50, word=box.get("word"), repeat=box2.get("word"))
""")
    assert c.result == {"waiting": True, "ticks": True, "word": 2, "repeat": 2}, c.stderr


def test_cleanup_wakes_every_blocked_reader(child):
    c = child("""
lib.event_subscriber_init()
lib.pop_states_block()
ql.qlevent_sim_port_event(3, 1)
until(lambda: lib.pop_states() == 8)
lib.pop_states_block()
readers = [blocked_reader() for _ in range(5)]
time.sleep(0.1)
alive = sum(t.is_alive() for t, _ in readers)
r = lib.event_subscriber_cleanup()
for t, _ in readers:
    t.join(5)
out(alive=alive, r=r, words=[b.get("word") for _, b in readers],
    still=[t.is_alive() for t, _ in readers])
""")
    assert c.result == {"alive": 5, "r": 0, "words": [8] * 5, "still": [False] * 5}, c.stderr


def test_four_subscriptions_with_the_port_filters_and_none_after_cleanup(child):
    c = child("""
lib.event_subscriber_init()
subs = text(ql.qlevent_sim_subscriptions)
# Only the camera's port events for ports 0-3 reach the module.
other_topic = ql.qlevent_sim_inject(b"topic0@tns1=s:Device topic1@tnsorvex=s:IO "
                                    b"topic2@tnsorvex=s:Other port=i:1 state=b:1")
other_port = ql.qlevent_sim_port_event(7, 1)
lib.event_subscriber_cleanup()
out(subs=subs, other_topic=other_topic, other_port=other_port, word=lib.pop_states(),
    after=text(ql.qlevent_sim_subscriptions))
""")
    r = c.result
    assert r is not None, c.stderr
    lines = r["subs"].splitlines()
    assert [l.split(" ", 1)[1] for l in lines] == [PORT_FILTER.format(p) for p in range(4)]
    ids = [int(l.split(" ", 1)[0]) for l in lines]
    assert ids == sorted(ids) and len(set(ids)) == 4
    assert (r["other_topic"], r["other_port"], r["word"], r["after"]) == (0, 0, 0, "")


def test_init_then_cleanup_cycles_do_not_hang(child):
    c = child("""
results = []
for _ in range(3):
    results.append(lib.event_subscriber_init())
    results.append(lib.event_subscriber_cleanup())
out(results=results, subs=ql.qlevent_sim_subscription_count())
""", timeout=30)
    assert c.result == {"results": [0] * 6, "subs": 0}, c.stderr


def test_double_init_and_reads_outside_a_subscription(child):
    c = child("""
before = [lib.pop_states_block(), lib.pop_states_block()]      # neither may hang
a, b = lib.event_subscriber_init(), lib.event_subscriber_init()
subs = ql.qlevent_sim_subscription_count()
lib.event_subscriber_cleanup()
t0 = time.monotonic()
again = lib.event_subscriber_cleanup()
quick = time.monotonic() - t0 < 0.5
after = [lib.pop_states_block(), lib.pop_states_block()]
out(before=before, a=a, b=b, subs=subs, again=again, quick=quick, after=after)
""")
    assert c.result == {"before": [0, 0], "a": 0, "b": 0, "subs": 4, "again": 0,
                        "quick": True, "after": [0, 0]}, c.stderr


def test_failed_setup_is_reported(child):
    c = child("""
r = lib.event_subscriber_init()
out(r=r, subs=ql.qlevent_sim_subscription_count(), block=lib.pop_states_block(),
    block2=lib.pop_states_block(), cleanup=lib.event_subscriber_cleanup())
""", QLEVENT_FAIL="ql_event_handler_subscribe")
    assert c.result == {"r": -1, "subs": 0, "block": 0, "block2": 0, "cleanup": 0}, c.stderr


def test_port_flipped_from_another_process(child, tmp_path):
    # The child signals readiness through a file, then waits for the word to change.
    ready = tmp_path / "ready"
    proc = subprocess.Popen([sys.executable, "-c", PRELUDE + f"""
lib.event_subscriber_init()
lib.pop_states_block()
open({str(ready)!r}, "w").close()
word = lib.pop_states_block()
lib.event_subscriber_cleanup()
out(word=word)
"""], env=child_env(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 10
        while not ready.exists() and time.monotonic() < deadline:
            time.sleep(0.01)
        assert ready.exists()
        tool = subprocess.run([QLEVENT_TOOL, "port", "3", "on"], env=child_env(tmp_path),
                              capture_output=True, text=True, timeout=10)
        assert (tool.returncode, tool.stdout) == (0, "1\n"), tool.stderr
        stdout, stderr = proc.communicate(timeout=20)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, stderr
    assert stdout.strip().endswith('RESULT {"word": 8}'), stdout + stderr
