#!/usr/bin/env python3
"""Self-updates of the program's own files: killed natively before each call on bin/patch/ (never opened for
writing in place), relay-traced under Wine (names never moved away or deleted, given only flushed files) and
killed at spread moments, and crash states. Starts must then end at the newest release with the new program
files and nothing else in bin/patch/. usage: self_update_kills.py BIN_DIR WORK_DIR [--wine WIN64_BIN] [--shape S]"""
import bz2, hashlib, os, random, re, shutil, signal, struct, subprocess, sys, time

BIN, WORK, OPT = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3:]
WIN = os.path.abspath(OPT[OPT.index('--wine') + 1]) if '--wine' in OPT else None
ONLY = OPT[OPT.index('--shape') + 1] if '--shape' in OPT else ''
WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), '../support/wine-run')
PROGRAM, LIBRARY = ('nolkpatch.exe' if WIN else 'nolkpatch'), 'nolkdbghelp.dll'
ENV = dict(os.environ, NOLK_DECODE_THREADS='1', ASAN_OPTIONS='detect_leaks=0', LANG='C.UTF-8', LC_ALL='C.UTF-8')
BIG = 5 << 20  # records over 4 MiB are streamed (ADDF) or spooled (MODI)
# Packages of records (kind, P(rogram) or L(ibrary), bytes appended), or ('LIST', 'D', lines).
SHAPES = [
    ('ADDF small', [[('ADDF', 'P', 4096), ('ADDF', 'L', 4096)]]),
    ('MODI small', [[('MODI', 'P', 4096), ('MODI', 'L', 4096)]]),
    ('ADDF over 4 MiB', [[('ADDF', 'P', BIG), ('ADDF', 'L', BIG)]]),
    ('MODI over 4 MiB', [[('MODI', 'P', BIG), ('MODI', 'L', BIG)]]),
    ('replaced earlier in the run', [[('ADDF', 'P', 4096), ('MODI', 'L', 4096)], [('MODI', 'P', 4096), ('MODI', 'L', BIG)]]),
    ('listed for removal', [[('MODI', 'L', 4096), ('LIST', 'D', ['..\\..\\bin\\patch\\' + PROGRAM, '.\\' + LIBRARY,
                                                                 '..\\patch\\.\\NolkDbgHelp.DLL.', '..\\..\\BIN\\patch\\' + PROGRAM.upper()])]]),
    ('crash states', [[('ADDF', 'P', 4096), ('ADDF', 'L', 4096)]]),
]


def record(kind, length, name, data):
    return kind[::-1].encode() + struct.pack('<II', length, len(name) + 1) + name.encode() + b'\0' + struct.pack('<I', len(data)) + data


def make_shape(packages, work):  # the packages and the list; returns the program files' final bytes and the newest version
    files, rng, lines = {f: open(os.path.join(WIN or BIN, n), 'rb').read() for f, n in (('P', PROGRAM), ('L', LIBRARY))}, random.Random(23), ''
    for i, records in enumerate(packages):
        body = b''
        for kind, what, size in records:
            if kind == 'LIST':
                body += record('ADDF', 0, 'data/DelFileList.dat', ''.join(l + '\r\n' for l in size).encode())
                continue
            added = rng.randbytes(4096) * (size // 4096)  # appended: the files still load
            old, files[what] = files[what], files[what] + added
            body += record(kind, len(files[what]), 'bin/patch/' + (PROGRAM if what == 'P' else LIBRARY),
                           files[what] if kind == 'ADDF' else struct.pack('<II', len(old), len(added)) + added)
        body += record('ADDF', 0, 'var/gac/update.ini', b'[Setting]\r\nVersion=2.1.%d\r\n' % (15 + i)) + b'\0'
        pkg = b'ZBNR' + struct.pack('<II', 0x02010000 | (15 + i), 0) + bz2.compress(body, 9)
        open('%s/p%d.pkg' % (work, 15 + i), 'wb').write(pkg)
        lines += '2.1.%d http://127.0.0.1/package/p%d.pkg %s\r\n' % (15 + i, 15 + i, hashlib.md5(pkg).hexdigest())
    open(WORK + '/served/list', 'w').write(lines)
    return files, '2.1.%d' % (14 + len(packages))


def install(game, work, url):
    shutil.rmtree(game, ignore_errors=True)
    for d in ('bin/patch', 'var/gac', 'data'): os.makedirs(os.path.join(game, d))
    for n in (PROGRAM, LIBRARY): shutil.copy2(os.path.join(WIN or BIN, n), os.path.join(game, 'bin/patch', n))
    for f in [f for f in os.listdir(work) if f.endswith('.pkg')]: shutil.copy(os.path.join(work, f), game + '/var/gac/')
    open(game + '/var/gac/update.ini', 'w').write('[Setting]\r\nVersion=2.1.14\r\n')
    open(game + '/var/gac/Url.ini', 'w').write('[Setting]\r\n' + ''.join('UpdateURL%s=%s/list\r\n' % (k, url) for k in ('', '2', '3', '4'))
                                               + 'StatURL=%s/query?\r\n' % url)


def start(game, prefix=(), stderr=subprocess.DEVNULL, env=ENV, kill_after=None):
    try:
        p = subprocess.Popen(list(prefix) + ([WINE_RUN, PROGRAM] if WIN else ['./' + PROGRAM]), cwd=game + '/bin/patch',
                             env=dict(env, TMPDIR=game + '/..'), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr)
        rc = p.wait(kill_after or 120)
    except OSError as e:  # no program left to start
        return e.strerror
    except subprocess.TimeoutExpired:
        p.send_signal(signal.SIGKILL)
        return 'killed' if kill_after else 'timeout: %s' % p.wait()
    for _ in range(300):  # Windows: the new program takes its name once the old one has ended
        if not WIN or not os.path.exists(game + '/bin/patch/' + PROGRAM + '.nolkpatch-pending'): break
        time.sleep(0.1)
    return rc


def converged(game, files, newest):  # None when starts from here end the update, else why not
    if next((rc for rc in (start(game) for _ in range(3)) if rc == 0), None) != 0: return 'no start succeeds'
    rc = start(game)  # removes what the update set aside
    if rc != 0: return 'the start after the update ends with %s' % rc
    if 'Version=%s' % newest not in open(game + '/var/gac/update.ini').read(): return 'not at %s' % newest
    for f, n in (('P', PROGRAM), ('L', LIBRARY)):
        if not os.path.exists(game + '/bin/patch/' + n) or open(game + '/bin/patch/' + n, 'rb').read() != files[f]: return n + ' is not the new one'
    left = sorted(set(os.listdir(game + '/bin/patch')) - {PROGRAM, LIBRARY, 'nolk.log'})
    return 'left in bin/patch: ' + ', '.join(left) if left else None


def native_shape(game, work, files, newest, url):
    install(game, work, url)
    os.makedirs(work + '/trace')
    rc = start(game, ['strace', '-ff', '-qq', '-o', work + '/trace/t', '-e', 'trace=openat,write,ftruncate,fsync,close,rename,link,unlink'])
    fds, points, others, failures = {}, [], {}, [] if rc == 0 else ['the traced run ends with %s' % rc]
    for index, f in enumerate(sorted(os.listdir(work + '/trace'), key=lambda f: int(f[2:]))):
        seen = {}
        for m in filter(None, map(re.compile(r'^(\w+)\((.*)\) += (-?\d+)').match, open(work + '/trace/' + f, errors='replace'))):
            name, args, ret, fd = m[1], m[2], int(m[3]), re.match(r'^(\d+)(,|$)', m[2])
            seen[name] = seen.get(name, 0) + 1
            path = next((p for p in re.findall(r'"([^"]*)"', args) if '/bin/patch/' in p), fds.get(int(fd[1])) if fd else None)
            if index or not path or path.endswith('nolk.log'): continue
            if name == 'openat' and ret >= 0: fds[ret] = path
            if name == 'close': fds.pop(int(fd[1]), None)
            if name == 'openat' and path.endswith(('/' + PROGRAM, '/' + LIBRARY)) and re.search('O_WRONLY|O_RDWR', args):
                failures.append('opened for writing in place: ' + path)
            points.append((name, seen[name], path))
        others.update({k: max(others.get(k, 0), v) for k, v in seen.items()} if index else {})
    # Calls other threads make as often cannot be aimed at; a close changes nothing on the disk, and of a
    # row of writes to one file the first and last stand for the others.
    points = [p for i, p in enumerate(points) if others.get(p[0], 0) < p[1] and p[0] != 'close' and not (
        0 < i < len(points) - 1 and p[0] == 'write' and points[i - 1][::2] == p[::2] == points[i + 1][::2])]
    for name, n, path in points:
        install(game, work, url)
        start(game, ['strace', '-f', '-qq', '-o', work + '/kill', '-e', 'trace=' + name, '-e', 'inject=%s:signal=KILL:when=%d' % (name, n)])
        why = converged(game, files, newest) if 'killed by SIGKILL' in open(work + '/kill').read() else 'the kill missed'
        failures += ['killed before %s #%d (%s): %s' % (name, n, os.path.basename(path), why)] if why else []
    return failures, len(points)


def wine_shape(game, work, files, newest, url):
    subprocess.run([WINE_RUN, 'reg', 'add', 'HKCU\\Software\\Wine\\Debug', '/v', 'RelayInclude', '/t', 'REG_SZ', '/d',
                    'CreateFileW;WriteFile;FlushFileBuffers;MoveFileExW;DeleteFileW', '/f'], check=True, capture_output=True)
    install(game, work, url)
    t0 = time.time()
    with open(work + '/relay.txt', 'w') as err: rc = start(game, stderr=err, env=dict(ENV, WINEDEBUG='-all,+relay'))
    seconds, failures, calls, handles, dirty, onto = time.time() - t0, [] if rc == 0 else ['the traced run ends with %s' % rc], {}, {}, set(), 0
    ours = lambda p: p.endswith(('\\bin\\patch\\' + PROGRAM, '\\bin\\patch\\' + LIBRARY))
    for m in filter(None, map(re.compile(r'^(\w+):(?:Call \w+\.(\w+)\((.*)\) ret=|Ret  \w+\.(\w+)\(\) retval=(\w+))').match,
                              open(work + '/relay.txt', errors='replace'))):
        if m[2]: calls.setdefault(m[1], []).append((m[2], m[3]))
        if not (m[4] and calls.get(m[1])): continue
        (func, args), ret = calls[m[1]].pop(), int(m[5], 16)
        names = [n.replace('\\\\', '\\').replace('/', '\\').lower() for n in re.findall(r'L"(.*?)"', args)]
        h = handles.get(int(args.split(',')[0], 16)) if re.match('^[0-9a-f]+(,|$)', args) else None
        if func == 'CreateFileW' and ret not in (0xffffffff, 0xffffffffffffffff): handles[ret] = names[0]
        elif func == 'WriteFile' and h: dirty.add(h)
        elif func == 'FlushFileBuffers' and ret and h: dirty.discard(h)
        elif func == 'DeleteFileW' and ret and ours(names[0]): failures.append('deletes ' + names[0])
        elif func == 'MoveFileExW' and ret:
            failures += ['moves %s away to %s' % tuple(names)] if ours(names[0]) else []
            whole = ours(names[1].removesuffix('.nolkpatch-pending'))  # the name, or the one it gets at one rename
            failures += ['moves %s onto %s unflushed' % tuple(names)] if whole and names[0] in dirty else []
            onto += whole
            dirty |= {names[1]} if names[0] in dirty else set()
    failures += [why for why in [converged(game, files, newest) if onto else 'nothing moved onto a program file or its pending name'] if why]
    for k in range(1, 6):
        install(game, work, url)
        if start(game, kill_after=seconds * k / 6) == 'killed':
            failures += ['killed after %.1f s: %s' % (seconds * k / 6, why) for why in [converged(game, files, newest)] if why]
    return failures, 5


def crash_states(game, work, files, newest, url):
    # What two moves killed between them left; what stood in the way; the new files waiting whole (Windows).
    patch, failures = game + '/bin/patch/', []
    states = {'library set aside': lambda: os.rename(patch + LIBRARY, patch + LIBRARY + '.nolkpatch-old'),
              'folder in the way': lambda: os.makedirs(patch + PROGRAM + '.nolkpatch-old/x')}
    if WIN: states['pending files'] = lambda: [open(patch + n + '.nolkpatch-pending', 'wb').write(files[f]) for f, n in (('P', PROGRAM), ('L', LIBRARY))]
    for title, make in states.items():
        install(game, work, url)
        make()
        failures += ['%s: %s' % (title, why) for why in [converged(game, files, newest)] if why]
    return failures, len(states)


shutil.rmtree(WORK, ignore_errors=True)
os.makedirs(WORK + '/served')
server = subprocess.Popen([BIN + '/nolk_listserver', '--dir', WORK + '/served', '--port-file', WORK + '/port', '--seconds', '3600'],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
failures, kills = [], 0
try:
    while not (os.path.exists(WORK + '/port') and open(WORK + '/port').read().strip()): time.sleep(0.01)
    for title, packages in [s for s in SHAPES if ONLY in s[0]]:
        os.makedirs(WORK + '/' + title.replace(' ', '-'))
        check = crash_states if title == 'crash states' else wine_shape if WIN else native_shape
        work = WORK + '/' + title.replace(' ', '-')
        found, n = check(work + '/game', work, *make_shape(packages, work), 'http://127.0.0.1:' + open(WORK + '/port').read().strip())
        kills += n
        print('%s: %s' % (title, 'ok' if not found else '%d failures' % len(found)) + ''.join('\n  ' + f for f in found), flush=True)
        failures += found
finally:
    server.kill()
print('self-update kills: %d kills or states, %d failures' % (kills, len(failures)))
sys.exit(1 if failures else 0)
