"""A process killed while it saves never leaves a torn session file."""

import json
import os
import random
import signal
import subprocess
import sys
import time

from waymark_support import run_python

STATES = """
states = [{"round": n, "answers": ["answer %d " % n * (2000 * (n % 4) + 1)], "done": n % 2 == 0} for n in range(8)]
"""

SAVE_FOREVER = STATES + """
import sys
from brevanta import waymark
path = sys.argv[1]
print("saving", flush=True)
n = 0
while True:
    waymark.save_state("acme", states[n % len(states)], "analysis", path)
    n += 1
"""

FIRST_SAVE = STATES + """
from brevanta import waymark
print(waymark.save_state("acme", states[0], "interview"))
"""


def test_killed_at_random_moments(tmp_path):
    namespace = {}
    exec(STATES, namespace)
    written = namespace["states"]
    result = run_python(FIRST_SAVE, home=tmp_path)
    assert result.returncode == 0, result.stderr
    path = result.stdout.strip()
    env = {**os.environ, "CORVANE_HOME": str(tmp_path)}
    rng = random.Random(5)
    for _ in range(20):
        child = subprocess.Popen([sys.executable, "-c", SAVE_FOREVER, path], env=env, stdout=subprocess.PIPE,
                                 text=True)
        assert child.stdout.readline() == "saving\n"
        time.sleep(rng.uniform(0.0, 0.15))
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=60)
        child.stdout.close()
        with open(path, encoding="utf-8") as f:
            assert json.load(f)["state"] in written
    listed = run_python("from brevanta import waymark; print(len(waymark.load_incomplete_sessions('acme')))",
                        home=tmp_path)
    assert listed.stdout.strip() == "1", listed.stderr
