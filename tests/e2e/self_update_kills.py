#!/usr/bin/env python3
"""Self-updates of the program's own files: one table of shapes, packages made here by hand. Natively
the program is killed before each main-thread call on a file of bin/patch/ (strace fault injection) and
must never open the program or its library for writing; under Wine (--wine WIN64_BIN) a relay trace
must show that their names are never moved away or deleted and get only flushed files, and the run is
killed at moments spread over it. Both start from crash states a replacement may leave. After each,
starts must end at the newest release with the new program files, nothing else in bin/patch/, and a
start after that must succeed.
usage: self_update_kills.py BIN_DIR WORK_DIR [--wine WIN64_BIN] [--shape SUBSTRING]"""
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
]


def record(kind, length, name, data):
    return kind[::-1].encode() + struct.pack('<II', length, len(name) + 1) + name.encode() + b'\0' + struct.pack('<I', len(data)) + data


def make_shape(packages, work):
    """Writes the shape's packages and list; returns the program files' final bytes and the newest version."""
    files = {f: open(os.path.join(WIN or BIN, name), 'rb').read() for f, name in (('P', PROGRAM), ('L', LIBRARY))}
    rng, lines = random.Random(23), ''
    for i, records in enumerate(packages):
        body = b''
        for kind, what, size in records:
            if kind == 'LIST':
                body += record('ADDF', 0, 'data/DelFileList.dat', ''.join(l + '\r\n' for l in size).encode())
                continue
            added = rng.randbytes(4096) * (size // 4096)  # appended: the files still load
            old, files[what] = files[what], files[what] + added
            name = 'bin/patch/' + (PROGRAM if what == 'P' else LIBRARY)
            body += record(kind, len(files[what]), name, files[what] if kind == 'ADDF' else struct.pack('<II', len(old), len(added)) + added)
        body += record('ADDF', 0, 'var/gac/update.ini', b'[Setting]\r\nVersion=2.1.%d\r\n' % (15 + i)) + b'\0'
        pkg = b'ZBNR' + struct.pack('<II', 0x02010000 | (15 + i), 0) + bz2.compress(body, 9)
        open('%s/p%d.pkg' % (work, 15 + i), 'wb').write(pkg)
        lines += '2.1.%d http://127.0.0.1/package/p%d.pkg %s\r\n' % (15 + i, 15 + i, hashlib.md5(pkg).hexdigest())
    open(WORK + '/served/list', 'w').write(lines)
    return files, '2.1.%d' % (14 + len(packages))


def install(game, work, url):
    shutil.rmtree(game, ignore_errors=True)
    for d in ('bin/patch', 'var/gac', 'data'): os.makedirs(os.path.join(game, d))
    for name in (PROGRAM, LIBRARY): shutil.copy2(os.path.join(WIN or BIN, name), os.path.join(game, 'bin/patch', name))
    for f in os.listdir(work):
        if f.endswith('.pkg'): shutil.copy(os.path.join(work, f), game + '/var/gac/')
    open(game + '/var/gac/update.ini', 'w').write('[Setting]\r\nVersion=2.1.14\r\n')
    open(game + '/var/gac/Url.ini', 'w').write('[Setting]\r\n' + ''.join('UpdateURL%s=%s/list\r\n' % (k, url) for k in ('', '2', '3', '4'))
                                               + 'StatURL=%s/query?\r\n' % url)


def start(game, prefix=(), stderr=subprocess.DEVNULL, env=ENV, kill_after=None):
    cmd = list(prefix) + ([WINE_RUN, PROGRAM] if WIN else ['./' + PROGRAM])
    try:
        p = subprocess.Popen(cmd, cwd=game + '/bin/patch', env=dict(env, TMPDIR=game + '/..'), stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=stderr)
    except OSError as e:  # no program left to start
        return e.strerror
    try:
        rc = p.wait(kill_after or 120)
    except subprocess.TimeoutExpired:
        p.send_signal(signal.SIGKILL)
        return 'killed' if kill_after else 'timeout: %s' % p.wait()
    for _ in range(300):  # Windows: the new program takes its name once the old one has ended
        if not WIN or not os.path.exists(game + '/bin/patch/' + PROGRAM + '.nolkpatch-pending'): break
        time.sleep(0.1)
    return rc


def converged(game, files, newest):
    """None when starts from here end the update and a start after that succeeds, else why not."""
    for _ in range(3):
        rc = start(game)
        if rc == 0: break
    else:
        return 'no start succeeds (last: %s)' % rc
    rc = start(game)  # removes what the update set aside
    if rc != 0: return 'the start after the update ends with %s' % rc
    if 'Version=%s' % newest not in open(game + '/var/gac/update.ini').read(): return 'not at %s' % newest
    for f, name in (('P', PROGRAM), ('L', LIBRARY)):
        path = os.path.join(game, 'bin/patch', name)
        if not os.path.exists(path) or open(path, 'rb').read() != files[f]: return name + ' is missing or not the new one'
    left = sorted(set(os.listdir(game + '/bin/patch')) - {PROGRAM, LIBRARY, 'nolk.log'})
    return 'left in bin/patch: ' + ', '.join(left) if left else None


CALLS = 'openat,write,ftruncate,fsync,fdatasync,close,rename,renameat2,link,unlink,unlinkat,mkdir,rmdir'


def native_shape(game, work, files, newest, url):
    install(game, work, url)
    shutil.rmtree(work + '/trace', ignore_errors=True)
    os.makedirs(work + '/trace')
    rc = start(game, ['strace', '-ff', '-qq', '-s', '0', '-o', work + '/trace/t', '-e', 'trace=' + CALLS])
    if rc != 0: return ['the traced run ends with %s' % rc], 0
    threads = sorted((int(f[2:]), f) for f in os.listdir(work + '/trace'))
    fds, points, others, failures = {}, [], {}, []
    for index, (_, f) in enumerate(threads):
        seen = {}
        for m in map(re.compile(r'^(\w+)\((.*)\) += (-?\d+)').match, open(work + '/trace/' + f, errors='replace')):
            if not m: continue
            name, args, ret = m[1], m[2], int(m[3])
            seen[name] = seen.get(name, 0) + 1
            fd = re.match(r'^(\d+),|^(\d+)$', args)
            path = next((p for p in re.findall(r'"([^"]*)"', args) if '/bin/patch/' in p), fds.get(int(fd[1] or fd[2])) if fd else None)
            if index == 0 and name == 'openat' and ret >= 0 and path:
                fds[ret] = path
                if path.endswith(('/' + PROGRAM, '/' + LIBRARY)) and re.search('O_WRONLY|O_RDWR', args):
                    failures.append('opened for writing in place: ' + path)
            if index == 0 and path and not path.endswith('nolk.log'): points.append((name, seen[name], path))
        for name, n in seen.items():
            if index: others[name] = max(others.get(name, 0), n)
    # A call other threads make as often cannot be aimed at; the first and last of a row of writes to
    # one file stand for the others.
    points = [p for i, p in enumerate(points) if others.get(p[0], 0) < p[1] and not (
        0 < i < len(points) - 1 and p[0] == 'write' and points[i - 1][::2] == p[::2] == points[i + 1][::2])]
    for name, n, path in points:
        install(game, work, url)
        start(game, ['strace', '-f', '-qq', '-o', work + '/kill', '-e', 'trace=' + name, '-e', 'inject=%s:signal=KILL:when=%d' % (name, n)])
        why = 'the kill missed' if 'killed by SIGKILL' not in open(work + '/kill').read() else converged(game, files, newest)
        if why: failures.append('killed before %s #%d (%s): %s' % (name, n, os.path.basename(path), why))
    return failures, len(points)


def wine_shape(game, work, files, newest, url):
    subprocess.run([WINE_RUN, 'reg', 'add', 'HKCU\\Software\\Wine\\Debug', '/v', 'RelayInclude', '/t', 'REG_SZ', '/d',
                    'CreateFileW;WriteFile;FlushFileBuffers;MoveFileExW;DeleteFileW', '/f'], check=True, capture_output=True)
    install(game, work, url)
    t0 = time.time()
    with open(work + '/relay.txt', 'w') as err:
        rc = start(game, stderr=err, env=dict(ENV, WINEDEBUG='-all,+relay'))
    seconds, failures = time.time() - t0, [] if rc == 0 else ['the traced run ends with %s' % rc]
    norm = lambda n: n.replace('\\\\', '\\').replace('/', '\\').lower()
    ours = lambda p: p.endswith(('\\bin\\patch\\' + PROGRAM, '\\bin\\patch\\' + LIBRARY))
    handles, dirty, calls, onto = {}, set(), {}, 0
    for m in map(re.compile(r'^(\w+):(?:Call \w+\.(\w+)\((.*)\) ret=|Ret  \w+\.(\w+)\(\) retval=(\w+))').match, open(work + '/relay.txt', errors='replace')):
        if m and m[2]: calls.setdefault(m[1], []).append((m[2], m[3]))
        if not (m and m[4] and calls.get(m[1])): continue
        (func, args), ret = calls[m[1]].pop(), int(m[5], 16)
        names, a = [norm(n) for n in re.findall(r'L"(.*?)"', args)], [x.strip() for x in re.sub(r'L"[^"]*"', 'S', args).split(',')]
        h = handles.get(int(a[0], 16)) if re.match('^[0-9a-f]+$', a[0]) else None
        if func == 'CreateFileW' and ret not in (0xffffffff, 0xffffffffffffffff): handles[ret] = names[0]
        elif func == 'WriteFile' and h: dirty.add(h)
        elif func == 'FlushFileBuffers' and ret and h: dirty.discard(h)
        elif func == 'DeleteFileW' and ret and ours(names[0]): failures.append('deletes ' + names[0])
        elif func == 'MoveFileExW' and ret:
            if ours(names[0]): failures.append('moves %s away to %s' % tuple(names))
            if ours(names[1]) and names[0] in dirty: failures.append('moves %s onto %s unflushed' % tuple(names))
            onto += ours(names[1])
            if names[0] in dirty: dirty.add(names[1])
    if not onto: failures.append('no new file was moved onto a program file')
    failures += [why for why in [converged(game, files, newest)] if why]
    for k in range(1, 6):
        install(game, work, url)
        if start(game, kill_after=seconds * k / 6) == 'killed':
            failures += ['killed after %.1f s: %s' % (seconds * k / 6, why) for why in [converged(game, files, newest)] if why]
    return failures, 5


def crash_states(game, work, url):
    """A replacement by two moves killed between them left the library only under its set-aside name;
    a folder under that name stood in the way of every self-update; Windows keeps the new files whole
    under their pending names until they can take their place."""
    files, newest = make_shape(SHAPES[0][1], work)
    patch, failures = game + '/bin/patch/', []
    states = {'library set aside': lambda: os.rename(patch + LIBRARY, patch + LIBRARY + '.nolkpatch-old'),
              'folder in the way': lambda: os.makedirs(patch + PROGRAM + '.nolkpatch-old/x')}
    if WIN:
        states['pending files'] = lambda: [open(patch + n + '.nolkpatch-pending', 'wb').write(files[f]) for f, n in (('P', PROGRAM), ('L', LIBRARY))]
    for title, make in states.items():
        install(game, work, url)
        make()
        failures += ['%s: %s' % (title, why) for why in [converged(game, files, newest)] if why]
    return failures, len(states)


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK + '/served')
    server = subprocess.Popen([BIN + '/nolk_listserver', '--dir', WORK + '/served', '--port-file', WORK + '/port', '--seconds', '3600'],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    failures, kills = [], 0
    try:
        while not (os.path.exists(WORK + '/port') and open(WORK + '/port').read().strip()): time.sleep(0.01)
        url = 'http://127.0.0.1:' + open(WORK + '/port').read().strip()
        for title, packages in SHAPES + [('crash states', None)]:
            if ONLY not in title: continue
            work = WORK + '/' + title.replace(' ', '-')
            os.makedirs(work)
            if packages is None: found, n = crash_states(work + '/game', work, url)
            else: found, n = (wine_shape if WIN else native_shape)(work + '/game', work, *make_shape(packages, work), url)
            kills += n
            print('%s: %s' % (title, 'ok' if not found else '%d failures' % len(found)) + ''.join('\n  ' + f for f in found), flush=True)
            failures += found
    finally:
        server.kill()
        server.wait()
    print('self-update kills: %d kills or states, %d failures' % (kills, len(failures)))
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
