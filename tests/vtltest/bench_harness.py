"""Runs a benchmark script (tests/bench) inside the Wine harness (tests/wine/wine-env.sh):
a private prefix, an Xvfb display, and everything stopped after. Called from a script's
main with its parsed arguments; inside the harness it calls measure(args) directly."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def run_in_harness(script_path, args, measure):
    if not (os.environ.get("WINEPREFIX") and os.environ.get("DISPLAY") and os.environ.get("VTL_E2E_TMP")):
        env = dict(os.environ)
        env.setdefault("VTL_WINE_PREFIX", os.path.join(ROOT, "build", "wine-prefix-bench"))
        # The same interpreter again: the scripts that take process figures need
        # Debian's python3 with psutil.
        script = ('source "%s/tests/wine/wine-env.sh" && wine_env_init && wine_env_display && '
                  'VTL_E2E_TMP=$WINE_ENV_TMP "$@"' % ROOT)
        return subprocess.call(["bash", "-c", script, "bash", sys.executable, os.path.abspath(script_path)]
                               + sys.argv[1:], env=env)
    os.environ["VTL_WIN_BUILD"] = os.path.abspath(args.build)
    return measure(args)
