#!/usr/bin/env python3
"""nolkpatch.exe under Wine with a relay trace of its file calls: before every move of update.ini
each file written since the previous one must have been flushed (FlushFileBuffers on it or on its
volume), the new update.ini itself included, and the move must be written through.
usage: flush_trace.py NATIVE_BIN WIN64_BIN WORK_DIR"""
import os, re, shutil, subprocess, sys

NATIVE, WIN, WORK = map(os.path.abspath, sys.argv[1:4])
WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), '../support/wine-run')
shutil.rmtree(WORK, ignore_errors=True)
subprocess.run([NATIVE + '/nolk_gametree', 'chain', WORK + '/chain', '2.1.14', '3', '10', '5'], check=True, stdout=subprocess.DEVNULL)
game = WORK + '/game'
shutil.copytree(WORK + '/chain/trees/2.1.14', game)
os.makedirs(game + '/bin/patch')
for f in ('nolkpatch.exe', 'nolkdbghelp.dll'): shutil.copy(os.path.join(WIN, f), game + '/bin/patch')
for f in os.listdir(WORK + '/chain/packages'): shutil.copy(WORK + '/chain/packages/' + f, game + '/var/gac')
server = subprocess.Popen([NATIVE + '/nolk_listserver', '--body-file', WORK + '/chain/list.txt', '--port-file', WORK + '/port',
                           '--seconds', '600'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    while not (os.path.exists(WORK + '/port') and open(WORK + '/port').read().strip()): pass
    url = 'http://127.0.0.1:' + open(WORK + '/port').read().strip()
    open(game + '/var/gac/Url.ini', 'w').write('[Setting]\r\n' + ''.join('UpdateURL%s=%s/list\r\n' % (k, url) for k in ('', '2', '3', '4'))
                                                + 'StatURL=%s/query?\r\n' % url)
    subprocess.run([WINE_RUN, 'reg', 'add', 'HKCU\\Software\\Wine\\Debug', '/v', 'RelayInclude', '/t', 'REG_SZ', '/d',
                    'CreateFileA;CreateFileW;WriteFile;FlushFileBuffers;MoveFileExA;MoveFileExW;CloseHandle', '/f'],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(WORK + '/relay.txt', 'w') as err:
        rc = subprocess.run([WINE_RUN, 'nolkpatch.exe'], cwd=game + '/bin/patch', stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=err, env=dict(os.environ, WINEDEBUG='-all,+relay'), timeout=300).returncode
finally:
    server.kill()
if rc != 0 or 'Version=2.1.17' not in open(game + '/var/gac/update.ini').read(): sys.exit('the run failed (exit code %d)' % rc)

calls, pending = [], {}  # (function, arguments, return value) in the order they returned, per thread
for line in open(WORK + '/relay.txt', errors='replace'):
    m = re.match(r'^(\w+):Call (?:\w+)\.(\w+)\((.*)\) ret=', line) or re.match(r'^(\w+):Ret  (?:\w+)\.(\w+)\(\) retval=(\w+)', line)
    if m and ':Call ' in line: pending.setdefault(m[1], []).append((m[2], m[3]))
    elif m and pending.get(m[1]): calls.append(pending[m[1]].pop() + (int(m[3], 16),))
norm = lambda n: n.replace('\\\\', '\\').replace('/', '\\').lower()
name = lambda args: norm(re.search(r'"(.*?)"', args)[1]) if '"' in args else ''
handles, dirty, moves, flushes, problems = {}, set(), 0, 0, []
inside = norm('z:' + game + '/')  # the game's files; the run log and WinINet's cache are no part of it
for func, args, ret in calls:
    a = [x.strip() for x in re.sub(r'(L?"[^"]*")', 'S', args).split(',')]
    if func.startswith('CreateFile') and ret != 0xffffffffffffffff and ret != 0xffffffff:
        handles[ret] = (name(args), int(a[1], 16) & 0x40000000 != 0)
    elif func == 'WriteFile' and int(a[0], 16) in handles: dirty.add(handles[int(a[0], 16)][0])
    elif func == 'FlushFileBuffers' and ret and int(a[0], 16) in handles:
        flushes += 1
        target = handles[int(a[0], 16)][0]
        if re.match(r'^\\\\\.\\[a-z]:$', target): dirty.clear()
        else: dirty.discard(target)
    elif func.startswith('MoveFileEx') and ret:
        src, dst = map(norm, re.findall(r'"(.*?)"', args))
        if src in dirty: dirty.discard(src); dirty.add(dst)
        if dst.endswith('var\\gac\\update.ini'):
            moves += 1
            if not int(a[2], 16) & 8: problems.append('move %d of update.ini not written through' % moves)
            left = sorted(d for d in dirty if d.startswith(inside) and not d.startswith(inside + 'bin\\patch\\'))
            if left: problems.append('move %d of update.ini before flushes of %s' % (moves, ', '.join(left)))
            dirty.discard(dst)
for p in problems: print(p)
print('flush trace: %d moves of update.ini, %d flushes, %d problems' % (moves, flushes, len(problems)))
sys.exit(1 if problems or moves != 3 else 0)
