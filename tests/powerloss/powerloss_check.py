#!/usr/bin/env python3
"""Power-loss crash states of the native program over a small update chain, independent of its code.
One run under strace gives the main thread's calls; a model of the tree replays them and must end on
the real tree. Before each state-changing call the program is killed there (strace fault injection)
and the real tree must equal the model's. The model gives the states a power cut may leave: data
written since a file's last flush is lost, folder operations persist in program order (variants lose
the last 1-3 not yet flushed), and an ext4 variant keeps the data of a file renamed over an existing
one. From each state the program starts up to 3 times and must end with the newest release.
Every other chain (each with --modi-version) changes the version file by a few bytes (MODI).
usage: powerloss_check.py BIN_DIR WORK_DIR [--steps N] [--files N] [--modi-version] SEED..."""
import hashlib, os, queue, re, shutil, subprocess, sys
from concurrent.futures import ThreadPoolExecutor

BIN, WORK, OPT = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), sys.argv[3:]
STEPS = int(OPT[OPT.index('--steps') + 1]) if '--steps' in OPT else 3
FILES = int(OPT[OPT.index('--files') + 1]) if '--files' in OPT else 10
SEEDS = [int(a) for i, a in enumerate(OPT) if a.isdigit() and (i == 0 or OPT[i - 1] not in ('--steps', '--files'))] or [7]
DIR, PROGRAMS = 'DIR', ('nolkpatch', 'nolkdbghelp.dll')
PATHCALLS = {'openat', 'rename', 'renameat', 'renameat2', 'mkdir', 'mkdirat', 'unlink', 'unlinkat', 'rmdir', 'truncate', 'link', 'symlink'}
ENV = dict(os.environ, NOLK_DECODE_THREADS='1', ASAN_OPTIONS='detect_leaks=0', LANG='C.UTF-8', LC_ALL='C.UTF-8')
run = lambda *cmd: subprocess.run(cmd, check=True, stdout=subprocess.PIPE).stdout


def read_tree(root):  # relative path -> bytes or DIR, without the program's folder
    out = {}
    for top, dirs, files in os.walk(root.encode()):
        rel = os.path.relpath(top, root.encode())
        dirs[:] = [d for d in dirs if os.path.normpath(os.path.join(rel, d)) != b'bin/patch']
        out.update({os.path.normpath(os.path.join(rel, d)): DIR for d in dirs})
        for f in files:
            with open(os.path.join(top, f), 'rb') as fh: out[os.path.normpath(os.path.join(rel, f))] = fh.read()
    return out


def write_tree(root, tree):
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root + '/bin/patch')
    for p, c in sorted(tree.items()):
        full = os.path.join(root.encode(), p)
        os.makedirs(full if c is DIR else os.path.dirname(full), exist_ok=True)
        if c is not DIR: open(full, 'wb').write(c)
    for name in PROGRAMS:  # linked, not copied: a copy being written in one thread keeps another's start busy
        try: os.link(os.path.join(BIN, name), os.path.join(root, 'bin/patch', name))
        except OSError: shutil.copy2(os.path.join(BIN, name), root + '/bin/patch/')


def start(game, strace=()):
    try:
        return subprocess.run(list(strace) + ['./nolkpatch'], cwd=game + '/bin/patch', env=dict(ENV, TMPDIR=game + '/..'),
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60).returncode
    except subprocess.TimeoutExpired:
        return None


class Model:
    """The tree as the page cache holds it, and what of it a power cut keeps."""
    def __init__(self, root, initial):
        self.root, self.fds, self.ops, self.flushed, self.cache = root.encode(), {}, [], -1, {}
        self.inodes = [[bytearray(c), bytes(c), None, True] for c in initial.values() if c is not DIR]  # cur, durable, ext4, dirty
        ids = iter(range(len(self.inodes)))
        self.ns0 = {p: DIR if c is DIR else next(ids) for p, c in initial.items()}
        self.ns = dict(self.ns0)

    def rel(self, path, at='AT_FDCWD'):
        if at != 'AT_FDCWD': raise RuntimeError('unmodelled dirfd')
        r = os.path.relpath(os.path.normpath(path), self.root)
        return None if r.startswith((b'..', b'bin/patch')) or r == b'.' else r

    def call(self, name, strs, args, ret):  # True when the call changed the tree or what is durable
        fd = self.fds.get(int(args[0]) if args[0].isdigit() else None)
        at = args[0] if name in ('openat', 'mkdirat', 'unlinkat', 'renameat', 'renameat2') else 'AT_FDCWD'
        paths = [self.rel(s, at) for s in strs[:2]] if name in PATHCALLS else [None]
        if name == 'openat' and paths[0]:
            new = paths[0] not in self.ns
            if new:
                self.inodes.append([bytearray(), b'', None, True])
                self.ns[paths[0]] = len(self.inodes) - 1
                self.ops.append(('new', paths[0], self.ns[paths[0]]))
            v = self.ns[paths[0]]
            self.fds[ret] = ('dir', paths[0]) if v is DIR else ['file', self.inodes[v], 0]
            cut = v is not DIR and 'O_TRUNC' in args[2] and len(self.inodes[v][0]) > 0
            if cut: self.inodes[v][0:4:3] = [bytearray(), True]
            return new or cut
        if name == 'close': self.fds.pop(int(args[0]), None)
        elif name in ('dup', 'dup2', 'dup3') and fd: self.fds[ret] = fd
        elif name in ('write', 'pwrite64', 'ftruncate') and fd and fd[0] == 'file':
            ino = fd[1]
            if name == 'ftruncate': ino[0] = ino[0][:int(args[1])] + bytearray(max(0, int(args[1]) - len(ino[0])))
            else:
                at = int(args[3]) if name == 'pwrite64' else fd[2]
                ino[0][len(ino[0]):at] = bytearray(max(0, at - len(ino[0])))
                ino[0][at:at + ret] = strs[0][:ret]
                if name == 'write': fd[2] = at + ret
            ino[3] = True
            return True
        elif name == 'lseek' and fd and fd[0] == 'file': fd[2] = ret
        elif name in ('fsync', 'fdatasync') and fd:
            if fd[0] == 'file': fd[1][1:3] = [bytes(fd[1][0]), None]
            else: self.flushed = max([self.flushed] + [i for i, o in enumerate(self.ops) if os.path.dirname(o[-1] if o[0] == 'mv' else o[1]) == fd[1]])
            return True
        elif name in ('syncfs', 'sync'):
            for ino in self.inodes: ino[1:3] = [bytes(ino[0]), None]
            self.flushed = len(self.ops) - 1
            return True
        elif name in ('rename', 'renameat', 'renameat2') and any(paths):
            v, old = self.ns[paths[0]], self.ns.get(paths[1])
            if v is not DIR and old is not None and old is not DIR: self.inodes[v][2] = bytes(self.inodes[v][0])
            self.ops.append(('mv', paths[0], paths[1]))
            move(self.ns, *paths)
            return True
        elif name in ('mkdir', 'mkdirat', 'unlink', 'unlinkat', 'rmdir') and paths[0]:
            self.ops.append(('mk' if name.startswith('mkdir') else 'rm', paths[0]))
            if name.startswith('mkdir'): self.ns[paths[0]] = DIR
            else: del self.ns[paths[0]]
            return True
        elif name in ('writev', 'pwritev', 'truncate', 'link', 'symlink', 'copy_file_range', 'sendfile') and (fd or any(paths)):
            raise RuntimeError('unmodelled call on the tree: ' + name)
        return False

    def snapshot(self):
        for i, ino in enumerate(self.inodes):
            if ino[3] or self.cache.get(i, ((),))[0][1:] != (ino[1], ino[2]):
                self.cache[i], ino[3] = ((bytes(ino[0]), ino[1], ino[2]),), False
        return list(self.ops), self.flushed, dict(self.ns), [self.cache[i][0] for i in range(len(self.inodes))]


def move(ns, a, b):
    for p in [p for p in ns if p == a or p.startswith(a + b'/')]: ns[b + p[len(a):]] = ns.pop(p)


def view(ns, inodes, which):  # 0: the cache, 1: durable data, 2: durable with ext4's rename rule
    return {p: DIR if v is DIR else inodes[v][2] if which == 2 and inodes[v][2] is not None else inodes[v][min(which, 1)]
            for p, v in ns.items()}


def crash_states(ns0, snap):
    ops, flushed, _, inodes = snap
    for drop in range(4):
        if drop and len(ops) - drop <= flushed: return
        ns = dict(ns0)
        for o in ops[:len(ops) - drop]:
            if o[0] == 'mv': move(ns, o[1], o[2])
            elif o[0] == 'rm': del ns[o[1]]
            else: ns[o[1]] = o[2] if o[0] == 'new' else DIR
        yield ('lost-last-%d' % drop if drop else 'ordered'), view(ns, inodes, 1)
        if not drop: yield 'ext4-rename', view(ns, inodes, 2)


def digest(tree):
    return hashlib.sha1(b''.join(p + b'\0' + (b'D' if c is DIR else hashlib.sha1(c).digest()) for p, c in sorted(tree.items()))).digest()


def judge(tree, newest, obsolete):
    mine = lambda p: not p.startswith(b'var/gac/') or p == b'var/gac/update.ini'
    for p, c in newest.items():
        if mine(p) and tree.get(p) != c: return 'diverged: %s %s' % ('different' if p in tree else 'missing', p.decode())
    extra = [p for p in tree if mine(p) and p not in newest]
    bad = [p for p in extra if not any(p == o or p.startswith(o + b'/') for o in obsolete)]
    return 'diverged: extra %s' % bad[0].decode() if bad else 'leftover' if extra else 'ok'


def recover(state, newest, obsolete, game):
    write_tree(game, state)
    for _ in range(3):
        rc = start(game)
        if rc == 0: return judge(read_tree(game), newest, obsolete)
    return 'unrecoverable: exit code %s' % rc


def check_chain(index, seed):
    work = os.path.join(WORK, 'seed%d' % seed)
    shutil.rmtree(work, ignore_errors=True)
    trees = [os.path.join(work, '2.1.%d' % (14 + i)) for i in range(STEPS + 1)]
    run(BIN + '/nolk_gametree', 'base', trees[0], '2.1.14', str(FILES), str(seed))
    initial, lines = read_tree(trees[0]), []
    for i in range(1, STEPS + 1):
        run(BIN + '/nolk_gametree', 'evolve', trees[i - 1], trees[i], trees[i][-6:], str(seed * 31 + i))
        if '--modi-version' not in OPT and index % 2 == 0:  # rewritten whole, the version file becomes an ADDF record
            open(trees[i] + '/var/gac/update.ini', 'w').write('; %x\n[Setting]\nVersion=%s\n' % (seed * 977 + i, trees[i][-6:]))
        pkg = '%s/nolk-%s.pkg' % (work, trees[i][-6:])
        run(BIN + '/nolkpack', 'build', trees[i - 1], trees[i], '--version', trees[i][-6:], '-o', pkg)
        lines.append(run(BIN + '/nolkpack', 'line', pkg, '--url', 'http://127.0.0.1/package/' + os.path.basename(pkg)))
        initial[b'var/gac/' + os.path.basename(pkg).encode()] = open(pkg, 'rb').read()
    open(work + '/list.txt', 'wb').write(b''.join(lines))
    obsolete = {os.path.normpath(l.strip().replace('\\', '/').lstrip('./').rstrip('/')).encode()
                for l in open(trees[-1] + '/data/DelFileList.dat', encoding='gbk') if l.strip()}
    server = subprocess.Popen([BIN + '/nolk_listserver', '--body-file', work + '/list.txt', '--port-file', work + '/port',
                               '--seconds', '3600'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        while not (os.path.exists(work + '/port') and open(work + '/port').read().strip()): pass
        url = 'http://127.0.0.1:%s' % open(work + '/port').read().strip()
        initial[b'var/gac/Url.ini'] = ''.join('UpdateURL%s=%s/list\r\n' % (k, url) for k in ('', '2', '3', '4')).encode()
        initial[b'var/gac/Url.ini'] = b'[Setting]\r\n' + initial[b'var/gac/Url.ini'] + b'StatURL=%s/query?\r\n' % url.encode()
        return check_run(work, initial, read_tree(trees[-1]), obsolete)
    finally:
        server.kill()
        server.wait()


def check_run(work, initial, newest, obsolete):
    game = work + '/game'
    write_tree(game, initial)
    if start(game, ['strace', '-ff', '-xx', '-s', '67108864', '-o', work + '/t']) != 0: raise RuntimeError('the traced run failed')
    threads = sorted((int(f[2:]), f) for f in os.listdir(work) if f.startswith('t.'))
    calls = [[(m[1], m[2], m[3]) for m in map(re.compile(r'^(\w+)\((.*)\) += (-?\d+|\?)').match, open(work + '/' + f)) if m]
             for _, f in threads]
    model, moments, pending, counts, others = Model(game, initial), [], [], {}, {}
    for thread in calls[1:]:
        for name in {c[0] for c in thread}: others[name] = max(others.get(name, 0), sum(c[0] == name for c in thread))
    for name, argtext, ret in calls[0]:  # the main thread
        counts[name] = counts.get(name, 0) + 1
        pending.append((name, counts[name], argtext))
        if ret == '?' or int(ret) < 0: continue
        strs = [bytes.fromhex(s.replace('\\x', '')) for s in re.findall(r'"((?:\\x[0-9a-f]{2})*)"', argtext)]
        snap = model.snapshot()
        if model.call(name, strs, [a.strip() for a in re.sub(r'"[^"]*"', '""', argtext).split(',')], int(ret)):
            moments.append((snap, pending))
            pending = []
    moments.append((model.snapshot(), None))
    if view(model.ns, moments[-1][0][3], 0) != read_tree(game): raise RuntimeError('the model does not end on the real tree')
    states, unique = [], {}
    for snap, kills in moments:
        where = 'before %s #%d' % kills[-1][:2] if kills else 'after exit'
        if kills:  # a call in the window only the main thread reaches that often
            kill = next((c for c in reversed(kills) if others.get(c[0], 0) < c[1]), None)
            write_tree(game, initial)
            start(game, ['strace', '-f', '-qq', '-xx', '-s', '67108864', '-o', work + '/kill', '-e', 'trace=' + kill[0],
                         '-e', 'inject=%s:signal=KILL:when=%d' % kill[:2]])
            log = open(work + '/kill').read().splitlines()
            main = min(int(l.split()[0]) for l in log)
            mine = [l for l in log if re.match(r'^ *%d +%s\(' % (main, kill[0]), l)]
            if len(mine) != kill[1] or kill[2] not in mine[-1] or 'killed by SIGKILL' not in log[-1]:
                raise RuntimeError('the kill missed its call, ' + where)
            if read_tree(game) != view(snap[2], snap[3], 0): raise RuntimeError('the real tree differs from the model ' + where)
        for label, tree in crash_states(model.ns0, snap):
            key = digest(tree)
            if states and states[-1][0] == where and any(s[2] == key for s in states if s[0] == where): continue
            states.append((where, label, key))
            unique.setdefault(key, tree)
    slots = queue.Queue()
    for i in range(2): slots.put(work + '/recover%d/game' % i)
    def one(tree):  # on a free copy of the installation
        game = slots.get()
        try: return recover(tree, newest, obsolete, game)
        finally: slots.put(game)
    with ThreadPoolExecutor(2) as pool: verdicts = dict(zip(unique, pool.map(one, unique.values())))
    for where, label, key in states:
        if verdicts[key] not in ('ok', 'leftover'): print('%s, %s: %s' % (where, label, verdicts[key]), flush=True)
    v = [verdicts[s[2]].split(':')[0] for s in states]
    return len(states), v.count('diverged'), v.count('leftover'), v.count('unrecoverable')


if __name__ == '__main__':
    totals = [sum(t) for t in zip(*map(check_chain, range(len(SEEDS)), SEEDS))]
    print('powerloss: %d crash states, %d diverged, %d leftover-only, %d unrecoverable' % tuple(totals))
    sys.exit(1 if totals[1] or totals[3] else 0)
