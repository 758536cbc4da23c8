#!/usr/bin/env python3
"""Power-loss crash states of the native program over a small update chain.

One run under strace gives the main thread's calls; a model of the tree replays them (file
descriptors, positions, data, renames, folders) and must end on the run's real tree. Before each
state-changing call the program is killed there (strace fault injection) and the real tree must
equal the model's. The model then gives the states a power cut may leave: data written since a
file's last flush is lost, folder operations persist in program order (variants lose the last 1-3
not yet flushed), and an ext4 variant keeps the data of a file renamed over an existing one. From
each state the program is started up to 3 times and must end with the newest release.
usage: powerloss_check.py BIN_DIR WORK_DIR [--steps N] [--files N] [--modi-version] SEED...
"""
import hashlib, os, re, shutil, subprocess, sys

BIN = os.path.abspath(sys.argv[1])
WORK = os.path.abspath(sys.argv[2])
args = sys.argv[3:]
STEPS, FILES, MODI_VERSION, SEEDS = 3, 10, False, []
while args:
    a = args.pop(0)
    if a == '--steps': STEPS = int(args.pop(0))
    elif a == '--files': FILES = int(args.pop(0))
    elif a == '--modi-version': MODI_VERSION = True
    else: SEEDS.append(int(a))
SEEDS = SEEDS or [7]
DIR = 'DIR'
ENV = dict(os.environ, NOLK_DECODE_THREADS='1', ASAN_OPTIONS='detect_leaks=0', LANG='C.UTF-8', LC_ALL='C.UTF-8')


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, **kw).stdout


def read_tree(root):
    """relative path (bytes) -> content or DIR, leaving out the program's folder."""
    out = {}
    for top, dirs, files in os.walk(root.encode()):
        rel = os.path.relpath(top, root.encode())
        if rel == b'bin/patch' or rel.startswith(b'bin/patch/'):
            dirs[:] = []
            continue
        for d in dirs:
            p = os.path.normpath(os.path.join(rel, d))
            if p != b'bin/patch': out[p] = DIR
        for f in files:
            with open(os.path.join(top, f), 'rb') as fh:
                out[os.path.normpath(os.path.join(rel, f))] = fh.read()
    return out


def write_tree(root, tree, programs):
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, 'bin/patch'))
    for p in sorted(tree):
        full = os.path.join(root.encode(), p)
        if tree[p] is DIR: os.makedirs(full, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, 'wb') as fh: fh.write(tree[p])
    for name in programs: shutil.copy2(os.path.join(BIN, name), os.path.join(root, 'bin/patch', name))


def make_chain(work, seed):
    """Releases made by the project's tree generator, packaged by nolkpack; the version file is
    rewritten whole in each release (so it becomes an ADDF record) unless --modi-version."""
    trees = [os.path.join(work, 'trees', '2.1.%d' % (14 + i)) for i in range(STEPS + 1)]
    run([BIN + '/nolk_gametree', 'base', trees[0], '2.1.14', str(FILES), str(seed)])
    lines = []
    for i in range(1, STEPS + 1):
        version = '2.1.%d' % (14 + i)
        run([BIN + '/nolk_gametree', 'evolve', trees[i - 1], trees[i], version, str(seed * 31 + i)])
        if not MODI_VERSION:
            with open(trees[i] + '/var/gac/update.ini', 'wb') as fh:
                fh.write(b'; %s\r\n[Setting]\r\nVersion=%s\r\n' % (hashlib.md5(b'%d' % (seed * 7 + i)).hexdigest().encode(), version.encode()))
        pkg = os.path.join(work, 'nolk-%s.pkg' % version)
        run([BIN + '/nolkpack', 'build', trees[i - 1], trees[i], '--version', version, '-o', pkg])
        lines.append(run([BIN + '/nolkpack', 'line', pkg, '--url', 'http://127.0.0.1/package/' + os.path.basename(pkg)]))
    with open(work + '/list.txt', 'wb') as fh: fh.write(b''.join(lines))
    return trees, [os.path.join(work, 'nolk-2.1.%d.pkg' % (14 + i)) for i in range(1, STEPS + 1)]


# ---- the trace and the model ----

LINE = re.compile(r'^(\d+ )?(\w+)\((.*)\) += (-?\d+|\?)')
STR = re.compile(r'"((?:\\x[0-9a-f]{2})*)"')


def parse(line):
    m = LINE.match(line)
    if not m: return None
    name, argtext, ret = m.group(2), m.group(3), m.group(4)
    strs = [bytes.fromhex(s.replace('\\x', '')) for s in STR.findall(argtext)]
    plain = [a.strip() for a in STR.sub('S', argtext).split(',')]
    return name, argtext, strs, plain, (None if ret == '?' else int(ret))


class Inode:
    def __init__(self, data, new):
        self.cur, self.dur, self.ext4 = bytearray(data), (b'' if new else bytes(data)), None
        self.dirty = True


class Model:
    def __init__(self, root, initial):
        self.root, self.cwd = root.encode(), b'/'
        self.inodes, self.fds, self.ops, self.last_flushed = {}, {}, [], -1
        self.ns0, self.cache = {}, {}
        for p, c in initial.items():
            if c is DIR: self.ns0[p] = DIR
            else:
                self.inodes[len(self.inodes)] = Inode(c, False)
                self.ns0[p] = len(self.inodes) - 1
        self.ns = dict(self.ns0)

    def rel(self, path, dirfd='AT_FDCWD'):
        if dirfd != 'AT_FDCWD': raise RuntimeError('unmodelled dirfd ' + dirfd)
        full = os.path.normpath(os.path.join(self.cwd, path))
        r = os.path.relpath(full, self.root)
        return None if r.startswith(b'..') or r == b'.' or r.startswith(b'bin/patch') else r

    def op(self, *o):
        self.ops.append(o)

    def flush_all(self):
        for ino in self.inodes.values(): ino.dur, ino.ext4 = bytes(ino.cur), None
        self.last_flushed = len(self.ops) - 1

    def call(self, name, strs, plain, ret):
        """Applies one successful call; True when it changed the tree or what is durable."""
        if name in ('open', 'openat', 'creat'):
            at = plain[0] if name == 'openat' else 'AT_FDCWD'
            r = self.rel(strs[0], at)
            flags = plain[2 if name == 'openat' else 1] if name != 'creat' else 'O_CREAT|O_TRUNC'
            if r is None: return False
            changed = False
            if r not in self.ns:
                self.inodes[len(self.inodes)] = Inode(b'', True)
                self.ns[r] = len(self.inodes) - 1
                self.op('new', r, self.ns[r])
                changed = True
            if self.ns[r] is DIR:
                self.fds[ret] = ('dir', r)
                return changed
            ino = self.inodes[self.ns[r]]
            if 'O_TRUNC' in flags and ino.cur:
                ino.cur, changed = bytearray(), True
            self.fds[ret] = ['file', self.ns[r], 0, 'O_APPEND' in flags]
            return changed
        if name in ('close',):
            self.fds.pop(int(plain[0]), None)
            return False
        if name in ('dup', 'dup2', 'dup3') or (name == 'fcntl' and 'F_DUPFD' in plain[1]):
            fd = int(plain[0])
            if fd in self.fds: self.fds[ret] = self.fds[fd]
            return False
        if name == 'chdir':
            self.cwd = os.path.normpath(os.path.join(self.cwd, strs[0]))
            return False
        fd = int(plain[0]) if plain and plain[0].isdigit() else None
        f = self.fds.get(fd)
        if name in ('write', 'pwrite64'):
            if not f or f[0] != 'file': return False
            data = strs[0][:ret]
            ino = self.inodes[f[1]]
            at = int(plain[3]) if name == 'pwrite64' else (len(ino.cur) if f[3] else f[2])
            if len(ino.cur) < at: ino.cur.extend(b'\0' * (at - len(ino.cur)))
            ino.cur[at:at + len(data)] = data
            ino.dirty = True
            if name == 'write': f[2] = at + len(data)
            return True
        if name in ('writev', 'pwritev', 'sendfile', 'copy_file_range', 'fallocate', 'mmap') and f:
            raise RuntimeError('unmodelled write to the tree: ' + name)
        if name == 'lseek':
            if f and f[0] == 'file': f[2] = ret
            return False
        if name == 'ftruncate':
            if not f or f[0] != 'file': return False
            ino, n = self.inodes[f[1]], int(plain[1])
            ino.cur = ino.cur[:n] + bytearray(max(0, n - len(ino.cur)))
            ino.dirty = True
            return True
        if name in ('fsync', 'fdatasync'):
            if not f: return False
            if f[0] == 'file':
                ino = self.inodes[f[1]]
                ino.dur, ino.ext4 = bytes(ino.cur), None
            else:
                for i, o in enumerate(self.ops):
                    if any(os.path.dirname(p) == f[1] for p in o[1:] if isinstance(p, bytes)):
                        self.last_flushed = max(self.last_flushed, i)
            return True
        if name in ('syncfs', 'sync'):
            self.flush_all()
            return True
        if name in ('rename', 'renameat', 'renameat2'):
            a, b = (self.rel(strs[0]), self.rel(strs[1])) if name == 'rename' else \
                   (self.rel(strs[0], plain[0]), self.rel(strs[1], plain[2]))
            if a is None and b is None: return False
            if a is None or b is None: raise RuntimeError('rename across the tree')
            ino = self.ns[a]
            if ino is not DIR and isinstance(self.ns.get(b), int):
                self.inodes[ino].ext4 = bytes(self.inodes[ino].cur)  # ext4 flushes it with the rename
            move(self.ns, a, b)
            self.op('mv', a, b)
            return True
        if name in ('unlink', 'unlinkat', 'rmdir', 'mkdir', 'mkdirat'):
            at = plain[0] if name.endswith('at') else 'AT_FDCWD'
            r = self.rel(strs[0], at)
            if r is None: return False
            if name.startswith('mkdir'):
                self.ns[r] = DIR
                self.op('mk', r)
            else:
                del self.ns[r]
                self.op('rm', r)
            return True
        if name in ('truncate', 'link', 'linkat', 'symlink', 'symlinkat') and any(self.rel(s) for s in strs):
            raise RuntimeError('unmodelled call on the tree: ' + name)
        return False

    def snapshot(self):
        for i, n in self.inodes.items():
            key = (id(n.cur), len(n.cur), hash(bytes(n.cur[:64])), n.dur, n.ext4)
            if self.cache.get(i, (None,))[0] != key or n.dirty:
                self.cache[i] = (key, (bytes(n.cur), n.dur, n.ext4))
                n.dirty = False
        return (list(self.ops), self.last_flushed, dict(self.ns), {i: c[1] for i, c in self.cache.items()})


def move(ns, a, b):
    for p in [p for p in ns if p == a or p.startswith(a + b'/')]:
        ns[b + p[len(a):]] = ns.pop(p)


def view(ns, inodes, which):
    pick = lambda i: i[2] if which == 2 and i[2] is not None else i[min(which, 1)]
    return {p: DIR if v is DIR else pick(inodes[v]) for p, v in ns.items()}


def crash_states(model0_ns, snap):
    """(label, tree) for every state a power cut just here may leave."""
    ops, last_flushed, _, inodes = snap
    out = []
    for drop in range(0, 4):
        if drop and len(ops) - drop <= last_flushed: break
        ns = dict(model0_ns)
        for o in ops[:len(ops) - drop]:
            if o[0] == 'new': ns[o[1]] = o[2]
            elif o[0] == 'mk': ns[o[1]] = DIR
            elif o[0] == 'rm': ns.pop(o[1], None)
            else: move(ns, o[1], o[2])
        out.append(('lost-last-%d' % drop if drop else 'ordered', view(ns, inodes, 1)))
        if not drop: out.append(('ext4-rename', view(ns, inodes, 2)))
    seen, unique = set(), []
    for label, tree in out:
        key = digest(tree)
        if key not in seen: seen.add(key); unique.append((label, tree))
    return unique


def digest(tree):
    h = hashlib.sha1()
    for p in sorted(tree):
        h.update(p + b'\0' + (b'D' if tree[p] is DIR else hashlib.sha1(tree[p]).digest()))
    return h.hexdigest()


def main_thread_calls(prefix):
    pids = sorted(int(f.rsplit('.', 1)[1]) for f in os.listdir(os.path.dirname(prefix))
                  if f.startswith(os.path.basename(prefix) + '.'))
    calls = {}
    for pid in pids:
        with open('%s.%d' % (prefix, pid), errors='replace') as fh:
            calls[pid] = [c for c in map(parse, fh) if c]
    return calls[pids[0]], [c for pid in pids[1:] for c in calls[pid]]


def obsolete_paths(newest):
    out = set()
    with open(newest + '/data/DelFileList.dat', 'rb') as fh:
        for line in fh.read().decode('gbk').splitlines():
            line = line.strip().replace('\\', '/')
            while line.startswith('../'): line = line[3:]
            if line: out.add(os.path.normpath(line.rstrip('/')).encode())
    return out


def judge(game, newest, obsolete):
    """'ok', 'leftover' or 'diverged: why' after a successful start."""
    want, got = read_tree(newest), read_tree(game)
    skip = lambda p: p.startswith(b'var/gac/') and p != b'var/gac/update.ini'
    for p, c in want.items():
        if skip(p): continue
        if p not in got: return 'diverged: missing %s' % p.decode()
        if got[p] != c: return 'diverged: different %s' % p.decode()
    extra = [p for p in got if p not in want and not skip(p)]
    for p in extra:
        if not any(p == o or p.startswith(o + b'/') for o in obsolete): return 'diverged: extra %s' % p.decode()
    return 'leftover' if extra else 'ok'


def check_chain(seed):
    work = os.path.join(WORK, 'seed%d' % seed)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    trees, packages = make_chain(work, seed)
    obsolete = obsolete_paths(trees[-1])
    server = subprocess.Popen([BIN + '/nolk_listserver', '--body-file', work + '/list.txt', '--port-file',
                               work + '/port', '--seconds', '3600'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        while not os.path.exists(work + '/port') or not open(work + '/port').read().strip(): pass
        url = 'http://127.0.0.1:%s' % open(work + '/port').read().strip()
        initial = read_tree(trees[0])
        for p in packages: initial[b'var/gac/' + os.path.basename(p).encode()] = open(p, 'rb').read()
        initial[b'var/gac/Url.ini'] = ('[Setting]\r\n' + ''.join('UpdateURL%s=%s/list\r\n' % (k, url) for k in ('', '2', '3', '4'))
                                       + 'StatURL=%s/query?\r\n' % url).encode()
        return check_run(work, initial, trees[-1], obsolete)
    finally:
        server.kill()
        server.wait()


def start(game, strace=()):
    env = dict(ENV, TMPDIR=os.path.dirname(game))
    try:
        return subprocess.run(list(strace) + ['./nolkpatch'], cwd=game + '/bin/patch', env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60).returncode
    except subprocess.TimeoutExpired:
        return None


def check_run(work, initial, newest, obsolete):
    game, programs = work + '/game', ('nolkpatch', 'nolkdbghelp.dll')
    write_tree(game, initial, programs)
    os.makedirs(work + '/trace')
    if start(game, ['strace', '-ff', '-xx', '-s', '67108864', '-o', work + '/trace/t']) != 0:
        raise RuntimeError('the traced run failed')
    final = read_tree(game)
    main, others = main_thread_calls(work + '/trace/t')
    model = Model(game, initial)
    moments, pending, counts = [], [], {}  # (model before the call, the calls a kill may land on)
    for name, argtext, strs, plain, ret in main:
        counts[name] = counts.get(name, 0) + 1
        pending.append((name, counts[name], argtext))
        if ret is None or ret < 0: continue
        snap = model.snapshot()
        if model.call(name, strs, plain, ret):
            moments.append((snap, pending))
            pending = []
    if view(model.ns, model.snapshot()[3], 0) != final:
        raise RuntimeError('the model does not end on the real tree')
    moments.append((model.snapshot(), None))
    other_counts = {}
    for c in others: other_counts[c[0]] = other_counts.get(c[0], 0) + 1
    states = failed = left = lost = 0
    outcomes = {}
    for index, (snap, candidates) in enumerate(moments):
        where = 'after exit' if candidates is None else 'before %s #%d' % candidates[-1][:2]
        if candidates is not None:
            kill = next((c for c in reversed(candidates) if other_counts.get(c[0], 0) < c[1]), None)
            if kill is None: raise RuntimeError('no kill point only the main thread reaches, %s' % where)
            write_tree(game, initial, programs)
            log = work + '/kill.txt'
            start(game, ['strace', '-f', '-qq', '-xx', '-s', '67108864', '-o', log, '-e', 'trace=' + kill[0],
                         '-e', 'inject=%s:signal=KILL:when=%d' % kill[:2]])
            lines = open(log, errors='replace').read().splitlines()
            calls = [l for l in lines if re.match(r'^\d+ %s\(' % kill[0], l)]
            mine = [l for l in calls if int(l.split()[0]) == min(int(c.split()[0]) for c in calls)]
            if len(mine) != kill[1] or kill[2] not in mine[-1] or 'killed by SIGKILL' not in lines[-1]:
                raise RuntimeError('the kill missed its call, %s' % where)
            if read_tree(game) != view(snap[2], snap[3], 0):
                raise RuntimeError('the real tree differs from the model %s' % where)
        for label, tree in crash_states(model.ns0, snap):
            states += 1
            key = digest(tree)
            if key not in outcomes:
                write_tree(game, tree, programs)
                rc = None
                for _ in range(3):
                    rc = start(game)
                    if rc == 0: break
                outcomes[key] = judge(game, newest, obsolete) if rc == 0 else 'unrecoverable: exit code %s' % rc
            verdict = outcomes[key]
            if verdict == 'leftover': left += 1
            elif verdict != 'ok':
                failed += verdict.startswith('diverged')
                lost += verdict.startswith('unrecoverable')
                print('%s, %s: %s' % (where, label, verdict), flush=True)
    return states, failed, left, lost


if __name__ == '__main__':
    totals = [0, 0, 0, 0]
    for seed in SEEDS:
        for i, n in enumerate(check_chain(seed)): totals[i] += n
    print('powerloss: %d crash states, %d diverged, %d leftover-only, %d unrecoverable' % tuple(totals))
    sys.exit(0 if totals[1] == 0 and totals[3] == 0 else 1)
