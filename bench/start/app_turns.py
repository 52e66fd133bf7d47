#!/usr/bin/env python3
"""Times the GUI thread of `nerim` itself while it is used from outside.

Runs `nerim` on an X display (DISPLAY; Xvfb will do) in a temporary home with
one project of three panes of 12 lines, with the preloaded gui_turn_probe
timing every turn of its GUI thread, and drives it with xdotool as a user
would: opens the project from its card (Tab, Return), clicks into the prompt field, sends the session's
first prompt to a pane ("… is on it." is spoken), then has the three agents
(the stand-in `claude`) print 2,000 lines a second each for 5 seconds. For
each stretch it prints the longest turn (wall and GUI-thread CPU) beside
16 ms, and for the streaming the process's CPU per printed line.

Usage: app_turns.py NERIM GUI_TURN_PROBE OPEN_PROJECT_BENCH CLAUDE_STANDIN
(open_project_bench writes the project's panes.json). Needs xdotool.
"""
import json, os, shutil, subprocess, sys, tempfile, time

LINES_PER_SECOND = 2000
SECONDS = 5


def turns(path, start, end):
    worst_wall = worst_cpu = 0.0
    cpu = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if parts[0] == 'cpu':
                cpu.append((float(parts[1]), float(parts[2])))
                continue
            at, wall, busy = map(float, parts)
            if start <= at <= end:
                worst_wall = max(worst_wall, wall)
                worst_cpu = max(worst_cpu, busy)
    inside = [c for c in cpu if start <= c[0] <= end]
    used = (inside[-1][1] - inside[0][1], inside[-1][0] - inside[0][0]) if len(inside) > 1 else (0, 0)
    return worst_wall, worst_cpu, used


def main():
    nerim, probe, open_bench, standin = map(os.path.abspath, sys.argv[1:5])
    with open('/proc/loadavg') as f:
        print('machine load (1, 5, 15 min; running/all; last pid):', f.read().strip())
    home = tempfile.mkdtemp(prefix='nerim-turns-')
    env = dict(os.environ, HOME=home, XDG_DATA_HOME=home + '/.local/share', XDG_CONFIG_HOME=home + '/.config',
               XDG_CACHE_HOME=home + '/.cache', XDG_RUNTIME_DIR=home + '/runtime', NERIM_TURN_PROBE=home + '/turns',
               LD_PRELOAD=probe, DBUS_SESSION_BUS_ADDRESS=os.environ.get('DBUS_SESSION_BUS_ADDRESS', 'disabled:'))
    os.makedirs(home + '/runtime', mode=0o700)
    project = home + '/Recipes'
    os.makedirs(project)
    subprocess.run([open_bench, '--write-panes', project, '12'], env=env, check=True, stdout=subprocess.DEVNULL)
    os.makedirs(home + '/.local/share/Nerim', mode=0o700)
    stamp = '2026-01-01T00:00:00Z'
    with open(home + '/.local/share/Nerim/app.json', 'w') as f:
        json.dump({'schemaVersion': 1, 'createdAt': stamp,
                   'preferences': {'outputMode': 'verbose', 'theme': 'default', 'userDisplayName': '',
                                   'primaryDomain': 'exploring', 'wantsManagedKeys': False},
                   'projects': [{'id': 'A0000000-0000-4000-8000-000000000001', 'path': project,
                                 'displayName': 'Recipes', 'createdAt': stamp, 'lastOpenedAt': stamp}],
                   'onboarding': {'completedAt': stamp, 'version': 1, 'skippedQuestions': []}}, f)
    os.makedirs(home + '/.local/bin')
    os.symlink(standin, home + '/.local/bin/claude')
    script = home + '/script'
    with open(script, 'w') as f:
        for _ in range(SECONDS * 100):
            f.write('repeat %d Step {n}: the *list* keeps its order when a card is added.\nsleep 10\n'
                    % (LINES_PER_SECOND // 100))
        f.write('out TASK_COMPLETE: printed\nexit 0\n')
    env['CLAUDE_STANDIN_SCRIPT'] = script
    app = subprocess.Popen([nerim], env=env, stdout=subprocess.DEVNULL, stderr=open(home + '/log', 'w'))
    try:
        time.sleep(4)
        xdo = lambda *args: subprocess.run(['xdotool', *args], env=env, check=False)
        now = lambda: time.clock_gettime(time.CLOCK_REALTIME) * 1000
        xdo('search', '--sync', '--onlyvisible', '--class', 'nerim', 'windowactivate', '--sync')
        opened = now()
        xdo('key', 'Tab', 'Return')
        time.sleep(3)
        report = lambda what, w: print('%-58s worst turn %6.1f ms wall, %6.1f ms CPU (target 16): %s'
                                       % (what, w[0], w[1], 'met' if max(w[0], w[1]) <= 16 else 'MISSED'))
        report('open the project from its card to three panes', turns(home + '/turns', opened, now()))
        # Into the prompt field (the bottom of the window, left of its middle).
        window = subprocess.run(['xdotool', 'getactivewindow'], env=env, capture_output=True, text=True).stdout.strip()
        height = int(subprocess.run(['xdotool', 'getwindowgeometry', '--shell', window], env=env, capture_output=True,
                                    text=True).stdout.split('HEIGHT=')[1].split()[0])
        xdo('mousemove', '--window', window, '450', str(height - 80), 'click', '1')
        time.sleep(0.5)
        prompted = now()
        for pane in (1, 2, 3):
            xdo('type', '--delay', '20', 'Claude %d print the list' % pane)
            xdo('key', 'Return')
            if pane == 1:
                time.sleep(1)
                report('the first prompt of the session', turns(home + '/turns', prompted, now()))
                streamed = now()
        time.sleep(SECONDS + 1)
        w = turns(home + '/turns', streamed, now())
        report('three agents printing %d lines/s each' % LINES_PER_SECOND, w)
        cpu_ms, span_ms = w[2]
        if span_ms:
            per_line = cpu_ms * 1000 / (3 * LINES_PER_SECOND * span_ms / 1000)
            print('%-58s %6.1f us CPU per printed line (target 40): %s'
                  % ('  the process while they print', per_line, 'met' if per_line <= 40 else 'MISSED'))
    finally:
        app.terminate()
        try:
            app.wait(20)
        except subprocess.TimeoutExpired:
            app.kill()
        if os.environ.get('NERIM_TURNS_KEEP'):
            print('kept', home)
        else:
            shutil.rmtree(home, ignore_errors=True)


if __name__ == '__main__':
    main()
